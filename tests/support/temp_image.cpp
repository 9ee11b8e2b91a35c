#include "tests/support/temp_image.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "winsim/machine.h"

namespace fs = std::filesystem;

namespace qu_test {

namespace {

void writeFile(const std::string& path, const std::string& bytes, bool append = false) {
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

// "C:\A\B" -> "A/B" (the drive prefix dropped, separators turned).
std::string relativeOf(const std::string& cPath) {
    if (cPath.size() < 3 || cPath[1] != ':') throw std::runtime_error("not a C: path: " + cPath);
    std::string rel = cPath.substr(3);
    for (auto& c : rel) {
        if (c == '\\') c = '/';
    }
    return rel;
}

}  // namespace

TempImage::TempImage(const std::string& platform, const std::string& version,
                     const std::string& windows) {
    std::string base = (fs::temp_directory_path() / "qu-image-XXXXXX").string();
    if (!::mkdtemp(base.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = base;
    writeFile(dir_ + "/machine.ini", "[system]\nplatform = " + platform + "\nversion = " + version +
                                         "\nwindows = " + windows + "\n");
    writeFile(dir_ + "/system.reg", "REGEDIT4\r\n\r\n");
    fs::create_directories(dir_ + "/drive_c");
    if (windows.size() > 3 && (windows[0] == 'C' || windows[0] == 'c')) {
        fs::create_directories(dir_ + "/drive_c/" + relativeOf(windows));
    }
}

TempImage::~TempImage() {
    if (winsim::hasMachine() && winsim::machineDir() == dir_) winsim::unloadMachine();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void TempImage::ini(const std::string& extraIniText) {
    writeFile(dir_ + "/machine.ini", extraIniText, true);
}

void TempImage::reg(const std::string& regTextAfterHeader) {
    writeFile(dir_ + "/system.reg", "REGEDIT4\r\n\r\n" + regTextAfterHeader);
}

void TempImage::rawReg(const std::string& bytes) { writeFile(dir_ + "/system.reg", bytes); }

void TempImage::file(const std::string& cPath, const std::string& content, bool readOnly) {
    const fs::path p = fs::path(dir_) / "drive_c" / relativeOf(cPath);
    fs::create_directories(p.parent_path());
    writeFile(p.string(), content);
    if (readOnly) ::chmod(p.c_str(), 0444);
}

bool TempImage::exists(const std::string& cPath) const {
    const std::string p = host(cPath);
    struct stat st;
    return !p.empty() && ::lstat(p.c_str(), &st) == 0;
}

std::string TempImage::dir() const { return dir_; }

std::string TempImage::host(const std::string& cPath) const {
    return winsim::hostPathIn(dir_, cPath);
}

void TempImage::load() {
    std::string error;
    if (!winsim::loadMachine(dir_, &error)) throw std::runtime_error("loadMachine: " + error);
}

std::string TempImage::systemReg() const {
    std::ifstream in(dir_ + "/system.reg", std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string readHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::set<std::string> listTree(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir)) names.insert(e.path().string());
    return names;
}

}  // namespace qu_test
