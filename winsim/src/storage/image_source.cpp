#include "winsim/src/storage/image_source.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

// What a folder that is not what the option wanted holds, and the option
// that takes it: "; it holds system.reg and drive_c: --machine DIR takes a
// machine image or a registry export".
std::string whatIsHere(const std::string& dir, bool installationWanted) {
    std::vector<std::string> names, exports;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> image;
    for (const char* part : {"system.reg", "machine.ini", "drive_c"}) {
        if (std::find(names.begin(), names.end(), part) != names.end()) image.push_back(part);
    }
    std::string windows;
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        const std::string folded = foldName(name);
        if (name != "system.reg" && folded.size() > 4 &&
            folded.compare(folded.size() - 4, 4, ".REG") == 0 && isFile(path)) {
            exports.push_back(name);
        }
        ImageSource probe;
        if (windows.empty() && name != "." && name != ".." && isDir(path) &&
            windowsDirHives(path, &probe)) {
            windows = name;
        }
    }
    ImageSource itself;
    if (!installationWanted && windowsDirHives(dir, &itself)) windows = ".";
    std::string list;
    for (size_t i = 0; i < image.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == image.size() ? " and " : ", ") + image[i];
    }
    if (installationWanted && !image.empty()) {
        return "; it holds " + list + ": --machine " + dir +
               " takes a machine image or a registry export";
    }
    if (!installationWanted && !windows.empty()) {
        return windows == "." ? "; it is the Windows directory of an installation: --windows " +
                                    dir + " takes its hive files"
                              : "; it holds a Windows installation (" + windows + "): --windows " +
                                    dir + " takes its hive files";
    }
    if (!exports.empty()) {
        return "; it holds " + exports.front() +
               (exports.size() > 1
                    ? " and " + std::to_string(exports.size() - 1) + " more .reg files"
                    : "") +
               ": --machine " + dir + "/" + exports.front() + " takes a registry export";
    }
    return installationWanted ? ""
                              : "; --machine takes a machine image folder (system.reg, "
                                "machine.ini, drive_c) or a FILE.reg export";
}

// `path` with its links resolved; for a path that does not exist (yet),
// its folder's.
std::string resolvedPath(const std::string& path) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        const std::string out = real;
        std::free(real);
        return out;
    }
    const std::string parent = parentOf(path);
    if (char* real = ::realpath(parent.c_str(), nullptr)) {
        const std::string out =
            std::string(real) + (std::strcmp(real, "/") == 0 ? "" : "/") + baseOf(path);
        std::free(real);
        return out;
    }
    return path;
}

}  // namespace

std::vector<std::string> imagePlacesOf(const std::string& source, bool installation) {
    ImageSource src;
    std::string error;
    if (!resolveImageSource(source, installation, &src, &error)) return {};
    if (src.hives != HiveKind::None) {
        // The drive, and the hive files by name (for another name of one).
        std::vector<std::string> places = {resolvedPath(src.driveDir)};
        for (const std::string& hive : {src.systemHive, src.softwareHive}) {
            if (!hive.empty()) places.push_back(resolvedPath(hive));
        }
        return places;
    }
    if (isDir(source)) return {resolvedPath(src.dir)};
    // An export: the file, and what the program keeps beside it.
    std::vector<std::string> places = {resolvedPath(src.regPath),
                                       resolvedPath(src.dir + "/drive_c"),
                                       resolvedPath(src.dir + "/backups")};
    if (!src.iniPath.empty()) places.push_back(resolvedPath(src.iniPath));
    return places;
}

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
            *error = source + (isFile(source) ? ": a file, not a folder" : ": no such folder") +
                     " (--windows takes the Windows directory of an installation or the root of "
                     "its drive" +
                     (isFile(source) ? "; --machine " + source + " takes a registry export)" : ")");
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
                     "and SYSTEM.DAT in it and in the folders under it)" +
                     whatIsHere(source, true);
            return false;
        }
        out->kind = StoreKind::Hives;
        out->dir = parentOf(out->systemHive);
        out->driveDir = driveRoot;
        out->describe = "hives under " + out->windowsDir;
        out->registryFiles.push_back(baseOf(out->systemHive));
        if (!out->softwareHive.empty()) {
            if (parentOf(out->softwareHive) == out->dir) {
                out->registryFiles.push_back(baseOf(out->softwareHive));
            } else {
                out->softwareHive.clear();
            }
        }
        return true;
    }
    if (isFile(source)) {
        out->regPath = source;
        out->dir = parentOf(source);
        if (foldName(baseOf(source)) == "SYSTEM.REG" && isFile(out->dir + "/machine.ini")) {
            out->iniPath = out->dir + "/machine.ini";
            out->kind = StoreKind::ImageFolder;
        } else {
            out->kind = StoreKind::Export;
        }
        if (isDir(out->dir + "/drive_c")) out->driveDir = out->dir + "/drive_c";
        out->describe = "export " + source;
        out->registryFiles.push_back(baseOf(source));
        return true;
    }
    if (!isDir(source)) {
        *error = source + ": " +
                 (errno == ENOENT ? "no such file or directory" : std::strerror(errno)) +
                 " (--machine takes a machine image folder or a FILE.reg export)";
        return false;
    }
    out->dir = source;
    out->regPath = source + "/system.reg";
    out->driveDir = source + "/drive_c";
    struct stat st;
    const bool hasIni = ::lstat((source + "/machine.ini").c_str(), &st) == 0;
    if (!hasIni && ::lstat(out->regPath.c_str(), &st) != 0) {
        *error = source + ": no machine image here (no system.reg or machine.ini)" +
                 whatIsHere(source, false);
        return false;
    }
    if (hasIni || !isFile(out->regPath)) {
        // An image: machine.ini is read (and reported when it cannot be).
        out->iniPath = source + "/machine.ini";
    }
    out->kind = out->iniPath.empty() ? StoreKind::Export : StoreKind::ImageFolder;
    out->registryFiles.push_back("system.reg");
    out->describe = "image " + source;
    return true;
}

}  // namespace winsim
