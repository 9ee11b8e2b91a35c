#include "fuzz/fuzz_image.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace qu_fuzz {

const char* const kLinkTargets[6] = {"canary", "canaryfile", "image", "ini", "reg", "windows"};

namespace {

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> out;
    std::string current;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!current.empty()) out.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

bool readFile(const fs::path& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return true;
}

}  // namespace

FuzzImage parseFuzzImage(std::string_view bytes) {
    FuzzImage image;
    size_t pos = bytes.rfind("@@", 0) == 0 ? 0 : bytes.find("\n@@");
    if (pos != 0 && pos != std::string_view::npos) ++pos;
    while (pos != std::string_view::npos && pos < bytes.size()) {
        const size_t headerEnd = bytes.find('\n', pos);
        const std::string_view header = bytes.substr(
            pos + 2, (headerEnd == std::string_view::npos ? bytes.size() : headerEnd) - (pos + 2));
        size_t bodyStart = headerEnd == std::string_view::npos ? bytes.size() : headerEnd + 1;
        size_t next =
            bytes.find("\n@@", headerEnd == std::string_view::npos ? bytes.size() : headerEnd);
        const std::string body(bytes.substr(
            bodyStart, (next == std::string_view::npos ? bytes.size() : next) - bodyStart));
        pos = next == std::string_view::npos ? next : next + 1;

        const std::vector<std::string> w = words(header);
        if (w.empty()) continue;
        if (w[0] == "commands") {
            image.commands = body;
        } else if (w[0] == "machine.ini") {
            image.machineIni = body;
        } else if (w[0] == "system.reg") {
            image.systemReg = body;
        } else if ((w[0] == "file" || w[0] == "rofile") && w.size() >= 2) {
            // A path may hold spaces: everything after the keyword.
            const size_t at = header.find_first_not_of(" \t", header.find(w[0]) + w[0].size());
            std::string path(header.substr(at));
            while (!path.empty() && (path.back() == '\r' || path.back() == ' ')) path.pop_back();
            image.files.push_back({path, body, w[0] == "rofile"});
        } else if (w[0] == "link" && w.size() == 3) {
            for (const char* target : kLinkTargets) {
                if (w[2] == target) image.links.push_back({w[1], w[2]});
            }
        } else if (w[0] == "refuse" && w.size() == 4) {
            FuzzImage::Refusal r;
            r.function = w[1];
            r.error = static_cast<uint32_t>(std::strtoul(w[2].c_str(), nullptr, 10));
            r.nth = static_cast<unsigned>(std::strtoul(w[3].c_str(), nullptr, 10) % 16);
            image.refusals.push_back(r);
        }
    }
    return image;
}

std::string serialiseFuzzImage(const FuzzImage& image) {
    std::string out;
    out += "@@commands\n" + image.commands + "\n";
    out += "@@machine.ini\n" + image.machineIni + "\n";
    out += "@@system.reg\n" + image.systemReg + "\n";
    for (const auto& f : image.files) {
        out +=
            std::string(f.readOnly ? "@@rofile " : "@@file ") + f.cPath + "\n" + f.content + "\n";
    }
    for (const auto& l : image.links) out += "@@link " + l.cPath + " " + l.target + "\n";
    for (const auto& r : image.refusals) {
        out += "@@refuse " + r.function + " " + std::to_string(r.error) + " " +
               std::to_string(r.nth) + "\n";
    }
    return out;
}

bool readImageDir(const std::string& dir, FuzzImage* image) {
    const fs::path root(dir);
    if (!readFile(root / "machine.ini", &image->machineIni)) return false;
    if (!readFile(root / "system.reg", &image->systemReg)) return false;
    const fs::path drive = root / "drive_c";
    std::error_code ec;
    if (!fs::is_directory(drive, ec)) return true;
    for (auto it = fs::recursive_directory_iterator(drive, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec || !it->is_regular_file()) continue;
        std::string cPath = "C:";
        for (const auto& part : fs::relative(it->path(), drive)) cPath += "\\" + part.string();
        FuzzImage::File file;
        file.cPath = cPath;
        readFile(it->path(), &file.content);
        const auto perms = fs::status(it->path()).permissions();
        file.readOnly = (perms & fs::perms::owner_write) == fs::perms::none;
        image->files.push_back(std::move(file));
    }
    return true;
}

}  // namespace qu_fuzz
