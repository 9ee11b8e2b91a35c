#include "tests/hardening/image_run.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/run_as_nobody.h"
#include "winsim/machine.h"

namespace fs = std::filesystem;

namespace qu_hardening {

namespace {

// The unprivileged user the program runs as when the tests run as root.
using qu_test::kNobody;

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeWhole(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

FileState walk(const fs::path& root, const fs::path& base) {
    FileState out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        struct stat st;
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        Entry e;
        e.mode = st.st_mode & 07777;
        if (S_ISLNK(st.st_mode)) {
            e.kind = 'l';
            e.content = fs::read_symlink(it->path(), ec).string();
        } else if (S_ISDIR(st.st_mode)) {
            e.kind = 'd';
        } else if (S_ISREG(st.st_mode)) {
            e.kind = 'f';
            e.content = readWhole(it->path());
        } else {
            e.kind = 'o';  // a pipe, socket or device: never opened
        }
        out[it->path().lexically_relative(base).string()] = e;
    }
    return out;
}

// "[HKEY_LOCAL_MACHINE\A\B]" blocks of an export, keyed by "A\B"; the
// parents a key line implies are keys too.
RegistryState parseExport(const std::string& text) {
    RegistryState keys;
    std::istringstream in(text);
    std::string line, current;
    bool inKey = false;
    const std::string prefix = "[HKEY_LOCAL_MACHINE\\";
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("[", 0) == 0) {
            inKey = line.rfind(prefix, 0) == 0 && line.back() == ']';
            if (inKey) {
                current = line.substr(prefix.size(), line.size() - prefix.size() - 1);
                keys[current];
                // A key line makes its parents too, line or no line.
                for (size_t at = current.find('\\'); at != std::string::npos;
                     at = current.find('\\', at + 1)) {
                    keys[current.substr(0, at)];
                }
            }
        } else if (inKey && !line.empty()) {
            keys[current] += line + "\n";
        }
    }
    return keys;
}

bool isBelow(const std::string& key, const std::set<std::string>& tops) {
    const auto slash = key.rfind('\\');
    return slash != std::string::npos && tops.count(key.substr(0, slash)) != 0;
}

// The roots of the subtrees in `keys`: keys whose parent is not in it.
std::set<std::string> subtreeRoots(const std::set<std::string>& keys) {
    std::set<std::string> roots;
    for (const auto& k : keys) {
        if (!isBelow(k, keys)) roots.insert(k);
    }
    return roots;
}

void chownTree(const fs::path& path, unsigned uid) {
    std::error_code ec;
    if (::lchown(path.c_str(), uid, uid) != 0) return;
    if (!fs::is_directory(fs::symlink_status(path, ec))) return;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (::lchown(it->path().c_str(), uid, uid) != 0) break;
    }
}

}  // namespace

ImageRun::ImageRun(const std::string& sample) {
    std::string pattern = (fs::temp_directory_path() / "qu-hardening-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);
    image_ = root_ + "/image";
    outside_ = root_ + "/outside";
    fs::copy(fs::path(QU_SOURCE_DIR) / "machines" / sample, image_, fs::copy_options::recursive);
    fs::create_directories(outside_);
    fs::create_directories(root_ + "/io");
    writeWhole(fs::path(outside_) / "keep.txt", "outside the image");
}

ImageRun::~ImageRun() {
    unload();
    std::error_code ec;
    // Give back write permission a case took away, so the tree can go.
    fs::permissions(image_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(image_, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (!it->is_symlink() && it->is_directory()) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::remove_all(root_, ec);
}

void ImageRun::load() {
    if (winsim::hasMachine() && winsim::machineDir() == image_) return;
    std::string error;
    if (!winsim::loadMachine(image_, &error)) throw std::runtime_error(error);
}

void ImageRun::unload() {
    if (winsim::hasMachine()) winsim::unloadMachine();
}

void ImageRun::setString(const std::string& key, const std::string& name,
                         const std::string& value) {
    load();
    winsim::setStringValue(key, name, value);
}

void ImageRun::setRaw(const std::string& key, const std::string& name, uint32_t type,
                      const std::vector<uint8_t>& bytes) {
    load();
    winsim::setRawValue(key, name, type, bytes);
}

void ImageRun::deleteValue(const std::string& key, const std::string& name) {
    // The test API has no value deletion: the key is rebuilt without it.
    load();
    std::string text = winsim::exportRegistry();
    unload();
    const std::string header = "[HKEY_LOCAL_MACHINE\\" + key + "]\r\n";
    const size_t start = text.find(header);
    if (start == std::string::npos) throw std::runtime_error("no key " + key);
    const size_t end = text.find("\r\n\r\n", start);
    const std::string quoted = "\r\n\"" + name + "\"=";
    const size_t at = text.find(quoted, start);
    if (at == std::string::npos || at > end) throw std::runtime_error("no value " + name);
    size_t lineEnd = text.find("\r\n", at + 2);
    while (text.compare(lineEnd - 1, 1, "\\") == 0) lineEnd = text.find("\r\n", lineEnd + 2);
    text.erase(at, lineEnd - at);
    writeImageFile("system.reg", text);
}

void ImageRun::deleteKey(const std::string& key) {
    load();
    if (!winsim::deleteTree(key)) throw std::runtime_error("no key " + key);
}

void ImageRun::writeDriveFile(const std::string& cPath, const std::string& bytes, bool readOnly) {
    const std::string host = winsim::hostPathIn(image_, cPath);
    if (host.empty()) throw std::runtime_error("not on the drive: " + cPath);
    fs::create_directories(fs::path(host).parent_path());
    writeWhole(host, bytes);
    if (readOnly) ::chmod(host.c_str(), 0444);
}

void ImageRun::removeDriveFile(const std::string& cPath) {
    const std::string host = winsim::hostPathIn(image_, cPath);
    if (host.empty() || !fs::remove(host)) throw std::runtime_error("no file " + cPath);
}

void ImageRun::linkDrivePath(const std::string& cPath, const std::string& hostTarget) {
    const std::string host = winsim::hostPathIn(image_, cPath);
    if (host.empty()) throw std::runtime_error("not on the drive: " + cPath);
    std::error_code ec;
    fs::remove_all(host, ec);
    fs::create_symlink(hostTarget, host);
}

void ImageRun::writeImageFile(const std::string& name, const std::string& bytes) {
    unload();
    writeWhole(fs::path(image_) / name, bytes);
}

std::string ImageRun::readImageFile(const std::string& name) const {
    return readWhole(fs::path(image_) / name);
}

void ImageRun::appendIni(const std::string& text) {
    unload();
    std::ofstream(fs::path(image_) / "machine.ini", std::ios::binary | std::ios::app) << "\r\n"
                                                                                      << text;
}

void ImageRun::chmodImage(const std::string& relative, unsigned mode, bool recursive) {
    const fs::path top = relative.empty() ? fs::path(image_) : fs::path(image_) / relative;
    std::error_code ec;
    if (recursive) {
        for (auto it = fs::recursive_directory_iterator(top, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (ec) break;
            if (it->is_symlink()) continue;
            const unsigned m = it->is_directory() ? mode : (mode & 0666);
            ::chmod(it->path().c_str(), m);
        }
    }
    ::chmod(top.c_str(), mode);
}

RegistryState ImageRun::registry(bool* loads) {
    unload();
    std::string error;
    *loads = winsim::loadMachine(image_, &error);
    if (!*loads) return {};
    RegistryState state = parseExport(winsim::exportRegistry());
    unload();
    return state;
}

void ImageRun::snapshot() {
    unload();
    keys_ = registry(&registryLoadedBefore);
    regBytes_ = readImageFile("system.reg");
    files_ = walk(image_, root_);
    for (auto& [path, entry] : walk(outside_, root_)) files_[path] = entry;
}

std::string ImageRun::programCommand(const std::string& stdinPath, const std::string& environment,
                                     const std::string& stdoutRedirect,
                                     const std::string& shellSetup, const std::string& suffix) {
    const fs::path io = fs::path(root_) / "io";
    std::string prefix;
    std::string program = QU_PROGRAM;
    if (::geteuid() == 0) {
        chownTree(root_, kNobody);
        prefix = "setpriv --reuid=" + std::to_string(kNobody) +
                 " --regid=" + std::to_string(kNobody) + " --clear-groups ";
        program = qu_test::programForNobody(program);
    }
    const std::string out = stdoutRedirect.empty()
                                ? ">'" + (io / ("stdout" + suffix + ".txt")).string() + "'"
                                : stdoutRedirect;
    return (shellSetup.empty() ? "" : shellSetup + "; ") + "env -i PATH=/usr/bin:/bin " +
           environment + " " + prefix + wrapper + " '" + program + "' --machine '" + image_ +
           "' --headless " + extraArgs + " <'" + stdinPath + "' " + out + " 2>'" +
           (io / ("stderr" + suffix + ".txt")).string() + "'";
}

RunResult ImageRun::runOnly(const std::string& commands, const std::string& environment,
                            const std::string& stdoutRedirect) {
    unload();
    const fs::path io = fs::path(root_) / "io";
    writeWhole(io / "stdin.txt", commands);
    writeWhole(io / "stdout.txt", "");
    const std::string command =
        programCommand((io / "stdin.txt").string(), environment, stdoutRedirect);
    RunResult result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    // A shell reports a child killed by a signal as 128 + the signal.
    if (result.status > 128 && result.status < 128 + 65) result.status = -1;
    result.out = readWhole(io / "stdout.txt");
    result.err = readWhole(io / "stderr.txt");
    return result;
}

RunResult ImageRun::run(const std::string& commands, const std::string& shellSetup) {
    unload();
    const fs::path io = fs::path(root_) / "io";
    writeWhole(io / "stdin.txt", commands);
    const std::string command = programCommand((io / "stdin.txt").string(), "", "", shellSetup);
    RunResult result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readWhole(io / "stdout.txt");
    result.err = readWhole(io / "stderr.txt");
    compare();
    return result;
}

void ImageRun::compare() {
    FileState after = walk(image_, root_);
    for (auto& [path, entry] : walk(outside_, root_)) after[path] = entry;
    removedFiles.clear();
    changedFiles.clear();
    createdFiles.clear();
    backups.clear();
    // The backups an Uninstall writes are counted apart.
    const std::string backupDir = "image/backups/";
    for (auto it = after.begin(); it != after.end();) {
        if (it->first.rfind(backupDir, 0) == 0 || it->first + "/" == backupDir) {
            const std::string rest = it->first.substr(std::min(it->first.size(), backupDir.size()));
            if (!rest.empty() && rest.find('/') == std::string::npos) backups.insert(rest);
            it = after.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [path, was] : files_) {
        if (path == "image/system.reg" || path.rfind(backupDir, 0) == 0 ||
            path + "/" == backupDir) {
            continue;
        }
        const auto now = after.find(path);
        if (now == after.end()) {
            if (was.kind != 'd') removedFiles.insert(path);
        } else if (now->second.kind != was.kind || now->second.content != was.content ||
                   now->second.mode != was.mode) {
            if (was.kind != 'd') changedFiles.insert(path);
        }
    }
    for (const auto& [path, is] : after) {
        if (files_.count(path) == 0) createdFiles.insert(path);
    }

    regFileKept = readImageFile("system.reg") == regBytes_;
    const RegistryState keys = registry(&registryLoads);
    std::set<std::string> removed, created;
    changedKeys.clear();
    for (const auto& [key, lines] : keys_) {
        const auto now = keys.find(key);
        if (now == keys.end()) {
            removed.insert(key);
        } else if (now->second != lines) {
            changedKeys.insert(key);
        }
    }
    for (const auto& [key, lines] : keys) {
        if (keys_.count(key) == 0) created.insert(key);
    }
    removedKeys = subtreeRoots(removed);
    createdKeys = subtreeRoots(created);
}

std::set<std::string> planList(const std::string& out, const std::string& field, bool* found) {
    std::set<std::string> items;
    *found = false;
    const size_t line = out.find("{\"plan\": ");
    if (line == std::string::npos || out.compare(line, 14, "{\"plan\": null}") == 0) return items;
    const size_t end = out.find('\n', line);
    const std::string text = out.substr(line, end - line);
    size_t at = text.find("\"" + field + "\": [");
    if (at == std::string::npos) return items;
    *found = true;
    at = text.find('[', at) + 1;
    while (at < text.size() && text[at] != ']') {
        if (text[at] != '"') {
            ++at;
            continue;
        }
        std::string item;
        for (++at; at < text.size() && text[at] != '"'; ++at) {
            if (text[at] == '\\' && at + 1 < text.size()) ++at;
            item += text[at];
        }
        ++at;
        const std::string hklm = "HKEY_LOCAL_MACHINE\\";
        if (item.rfind(hklm, 0) == 0) item.erase(0, hklm.size());
        if (item.rfind("C:\\", 0) == 0) {
            item = "image/drive_c/" + item.substr(3);
            std::replace(item.begin(), item.end(), '\\', '/');
        }
        items.insert(item);
    }
    return items;
}

}  // namespace qu_hardening
