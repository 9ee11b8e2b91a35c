#include "winsim/src/storage/image_source.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>
#include <cstring>

#include "winsim/src/base/codepage.h"

namespace winsim {

namespace {

bool isDir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path of `components` below `dir`, each matched ignoring case; "" when
// one is missing.
std::string walkIgnoringCase(std::string dir, std::initializer_list<const char*> components) {
    for (const char* c : components) {
        const std::string name = findEntryIgnoringCase(dir, c);
        if (name.empty()) return {};
        dir += "/" + name;
    }
    return dir;
}

// A Windows directory: 2000/XP have system32/config/system, 98/ME SYSTEM.DAT.
bool windowsDirHives(const std::string& dir, ImageSource* out) {
    const std::string system = walkIgnoringCase(dir, {"system32", "config", "system"});
    if (!system.empty() && isFile(system)) {
        out->hives = HiveKind::Nt;
        out->systemHive = system;
        const std::string software = walkIgnoringCase(dir, {"system32", "config", "software"});
        out->softwareHive = isFile(software) ? software : std::string();
        out->windowsDir = dir;
        return true;
    }
    const std::string dat = walkIgnoringCase(dir, {"SYSTEM.DAT"});
    if (!dat.empty() && isFile(dat)) {
        out->hives = HiveKind::Win9x;
        out->systemHive = dat;
        out->windowsDir = dir;
        return true;
    }
    return false;
}

}  // namespace

std::string findEntryIgnoringCase(const std::string& dir, const std::string& name) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};
    std::string found;
    const std::string want = foldName(name);
    while (const dirent* e = ::readdir(d)) {
        const std::string entry = e->d_name;
        if (entry == name) {
            found = entry;
            break;
        }
        if (found.empty() && foldName(entry) == want) found = entry;
    }
    ::closedir(d);
    return found;
}

bool resolveImageSource(const std::string& raw, bool installation, ImageSource* out,
                        std::string* error) {
    std::string source = raw;
    while (source.size() > 1 && source.back() == '/') source.pop_back();
    *out = ImageSource{};
    if (installation) {
        if (!isDir(source)) {
            *error = source +
                     ": not a directory (--windows needs the Windows directory of an "
                     "installation or the root of its drive)";
            return false;
        }
        // The Windows directory itself, or a drive root holding one.
        bool found = windowsDirHives(source, out);
        std::string driveRoot = parentOf(source);
        if (!found) {
            std::vector<std::string> names;
            if (DIR* d = ::opendir(source.c_str())) {
                while (const dirent* e = ::readdir(d)) names.push_back(e->d_name);
                ::closedir(d);
            }
            std::sort(names.begin(), names.end());
            std::vector<std::string> candidates;
            for (const auto& name : names) {
                ImageSource probe;
                if (name != "." && name != ".." && isDir(source + "/" + name) &&
                    windowsDirHives(source + "/" + name, &probe)) {
                    candidates.push_back(name);
                    if (candidates.size() == 1) *out = probe;
                }
            }
            if (candidates.size() > 1) {
                std::string list;
                for (const auto& c : candidates) list += (list.empty() ? "" : ", ") + c;
                *error = source + ": several Windows installations (" + list +
                         "); name the Windows directory of the one to use";
                return false;
            }
            found = candidates.size() == 1;
            driveRoot = source;
        }
        if (!found) {
            *error = source +
                     ": no Windows installation here (looked for system32/config/system "
                     "and SYSTEM.DAT in it and in the folders under it)";
            return false;
        }
        out->dir = parentOf(out->systemHive);
        out->driveDir = driveRoot;
        out->describe = "hives under " + out->windowsDir;
        return true;
    }
    if (isFile(source)) {
        out->regPath = source;
        out->dir = parentOf(source);
        if (foldName(baseOf(source)) == "SYSTEM.REG" && isFile(out->dir + "/machine.ini")) {
            out->iniPath = out->dir + "/machine.ini";
        }
        if (isDir(out->dir + "/drive_c")) out->driveDir = out->dir + "/drive_c";
        out->describe = "export " + source;
        return true;
    }
    if (!isDir(source)) {
        *error =
            source + ": " + (errno == ENOENT ? "no such file or directory" : std::strerror(errno));
        return false;
    }
    out->dir = source;
    out->regPath = source + "/system.reg";
    out->driveDir = source + "/drive_c";
    struct stat st;
    if (::lstat((source + "/machine.ini").c_str(), &st) == 0 || !isFile(out->regPath)) {
        // An image: machine.ini is read (and reported when it cannot be).
        out->iniPath = source + "/machine.ini";
    }
    out->describe = "image " + source;
    return true;
}

}  // namespace winsim
