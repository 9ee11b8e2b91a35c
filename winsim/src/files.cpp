#include "winsim/src/files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "winsim/api/win32_base.h"
#include "winsim/src/codepage.h"

namespace winsim {

namespace {

bool isSep(char c) { return c == '\\' || c == '/'; }

bool reservedDeviceName(const std::string& name) {
    std::string base = foldName(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
        base == "CONOUT$") {
        return true;
    }
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

bool badNameChars(const std::string& name) {
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
            c == '*') {
            return true;
        }
    }
    return false;
}

std::string realPath(const std::string& p) {
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

bool within(const std::string& root, const std::string& p) {
    return p == root || (p.size() > root.size() && p.compare(0, root.size(), root) == 0 &&
                         p[root.size()] == '/');
}

// The entry of `dir` named `name` ignoring case; an exact match wins.
bool findEntry(const std::string& dir, const std::string& name, std::string* found) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    const std::string fold = foldName(name);
    std::string best;
    bool exact = false;
    while (dirent* e = ::readdir(d)) {
        const std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        if (entry == name) {
            best = entry;
            exact = true;
            break;
        }
        if (foldName(entry) == fold && (best.empty() || entry < best)) best = entry;
    }
    ::closedir(d);
    if (best.empty()) return false;
    (void)exact;
    *found = best;
    return true;
}

}  // namespace

ResolvedPath resolveDrivePath(const std::string& driveDir, const std::string& path) {
    ResolvedPath r;
    r.error = ERROR_PATH_NOT_FOUND;
    if (path.size() >= MAX_PATH) {
        r.error = ERROR_FILENAME_EXCED_RANGE;
        return r;
    }
    if (path.size() < 3 || path[1] != ':' || !isSep(path[2])) return r;  // relative, UNC, \\?\ ...
    if (path[0] != 'C' && path[0] != 'c') return r;
    std::vector<std::string> parts;
    size_t i = 3;
    while (i <= path.size()) {
        size_t end = i;
        while (end < path.size() && !isSep(path[end])) ++end;
        std::string part = path.substr(i, end - i);
        i = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (parts.empty()) return r;  // would leave the drive
            parts.pop_back();
            continue;
        }
        // Windows drops trailing dots and spaces of a name.
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        if (part.empty() || badNameChars(part)) {
            r.error = ERROR_INVALID_NAME;
            return r;
        }
        if (reservedDeviceName(part)) return r;
        parts.push_back(part);
    }
    // The drive itself must be a folder of the image, not a link to elsewhere.
    struct stat driveStat;
    if (::lstat(driveDir.c_str(), &driveStat) != 0 || !S_ISDIR(driveStat.st_mode)) return r;
    const std::string root = realPath(driveDir);
    if (root.empty()) return r;
    std::string cur = root;
    for (size_t k = 0; k < parts.size(); ++k) {
        const bool last = k + 1 == parts.size();
        std::string entry;
        if (!findEntry(cur, parts[k], &entry)) {
            if (last) {
                r.error = ERROR_FILE_NOT_FOUND;
                r.hostPath = cur + "/" + parts[k];
            }
            return r;
        }
        const std::string candidate = cur + "/" + entry;
        struct stat st;
        if (::lstat(candidate.c_str(), &st) != 0) return r;
        std::string next = candidate;
        if (S_ISLNK(st.st_mode)) {
            next = realPath(candidate);
            if (next.empty() || !within(root, next)) {
                if (last) r.error = ERROR_FILE_NOT_FOUND;
                return r;
            }
            if (::stat(next.c_str(), &st) != 0) return r;
        }
        if (last) {
            r.error = 0;
            r.hostPath = candidate;  // a link itself, not its target, is what a delete removes
            return r;
        }
        if (!S_ISDIR(st.st_mode)) return r;
        cur = next;
    }
    r.error = 0;
    r.hostPath = cur;
    return r;
}

}  // namespace winsim
