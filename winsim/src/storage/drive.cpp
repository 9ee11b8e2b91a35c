#include "winsim/src/storage/drive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "winsim/api/win32_base.h"
#include "winsim/src/base/codepage.h"

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

int openDirAt(int dirFd, const char* name) {
    return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The entry of the folder `dirFd` named `name` ignoring case; an exact
// match wins, otherwise the first in byte order.
bool findEntry(int dirFd, const std::string& name, std::string* found) {
    const int own = openDirAt(dirFd, ".");
    if (own < 0) return false;
    DIR* d = ::fdopendir(own);
    if (!d) {
        ::close(own);
        return false;
    }
    const std::string fold = foldName(name);
    std::string best;
    while (dirent* e = ::readdir(d)) {
        const std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        if (entry == name) {
            best = entry;
            break;
        }
        if (foldName(entry) == fold && (best.empty() || entry < best)) best = entry;
    }
    ::closedir(d);
    if (best.empty()) return false;
    *found = best;
    return true;
}

std::vector<std::string> splitRelative(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        const size_t slash = relative.find('/', start);
        const size_t end = slash == std::string::npos ? relative.size() : slash;
        parts.push_back(relative.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

// Puts the copy `op.source` back as `name` of the folder `dirFd`; 0 or an
// errno value. An existing entry of that name is left alone (a replay).
int restoreEntry(int imageFd, const FileOp& op, int dirFd, const char* name) {
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) return 0;
    if (imageFd < 0 || op.source.empty() || op.source[0] == '/') return EINVAL;
    for (const std::string& part : splitRelative(op.source)) {
        if (part.empty() || part == "." || part == "..") return EINVAL;
    }
    // The copy is reached one folder at a time, never through a link: a
    // linked folder in the backup must not bring a file from elsewhere.
    std::string sourceName;
    Fd sourceDir = openParentNoFollow(imageFd, op.source, &sourceName);
    if (!sourceDir.valid()) return errno;
    if (::fstatat(sourceDir.get(), sourceName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) return EINVAL;
    const std::string temp = std::string(".qu-restore-") + std::to_string(::getpid()) + "-" + name;
    ::unlinkat(dirFd, temp.c_str(), 0);
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        const ssize_t n =
            ::readlinkat(sourceDir.get(), sourceName.c_str(), &target[0], target.size());
        if (n < 0) return errno;
        target.resize(static_cast<size_t>(n));
        if (::symlinkat(target.c_str(), dirFd, temp.c_str()) != 0) return errno;
    } else {
        Fd in(::openat(sourceDir.get(), sourceName.c_str(),
                       O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (!in.valid()) return errno;
        if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return EINVAL;
        Fd out(::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600));
        if (!out.valid()) return errno;
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                const int err = errno;
                ::unlinkat(dirFd, temp.c_str(), 0);
                return err;
            }
            if (got == 0) break;
            for (ssize_t done = 0; done < got;) {
                const ssize_t put =
                    ::write(out.get(), buffer + done, static_cast<size_t>(got - done));
                if (put < 0 && errno == EINTR) continue;
                if (put < 0) {
                    const int err = errno;
                    ::unlinkat(dirFd, temp.c_str(), 0);
                    return err;
                }
                done += put;
            }
        }
        if (::fchmod(out.get(), op.mode & 07777) != 0 || ::fsync(out.get()) != 0) {
            const int err = errno;
            ::unlinkat(dirFd, temp.c_str(), 0);
            return err;
        }
    }
    if (::renameat(dirFd, temp.c_str(), dirFd, name) != 0) {
        const int err = errno;
        ::unlinkat(dirFd, temp.c_str(), 0);
        return err;
    }
    ::fsync(dirFd);
    return 0;
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
    Fd cur(::open(driveDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!cur.valid()) return r;
    const std::string root = realPath(driveDir);
    if (root.empty()) return r;
    std::string curHost = root;
    std::string relative;
    if (parts.empty()) {
        r.error = 0;
        r.hostPath = root;
        r.dir = std::move(cur);
        return r;
    }
    for (size_t k = 0; k < parts.size(); ++k) {
        const bool last = k + 1 == parts.size();
        std::string entry;
        if (!findEntry(cur.get(), parts[k], &entry)) {
            if (last) {
                r.error = ERROR_FILE_NOT_FOUND;
                r.hostPath = curHost + "/" + parts[k];
                r.name = parts[k];
                r.relative = relative + parts[k];
                r.dir = std::move(cur);
            }
            return r;
        }
        if (last) {
            struct stat st;
            if (::fstatat(cur.get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return r;
            if (S_ISLNK(st.st_mode)) {
                // Seen only when it points into the drive; acted on as a link.
                const std::string target = realPath(curHost + "/" + entry);
                if (target.empty() || !within(root, target)) {
                    r.error = ERROR_FILE_NOT_FOUND;
                    return r;
                }
            }
            r.error = 0;
            r.hostPath = curHost + "/" + entry;
            r.name = entry;
            r.relative = relative + entry;
            r.dir = std::move(cur);
            return r;
        }
        Fd next(openDirAt(cur.get(), entry.c_str()));
        if (!next.valid()) return r;  // a file, a link or gone: no folder to enter
        cur = std::move(next);
        curHost += "/" + entry;
        relative += entry + "/";
    }
    return r;  // not reached
}

int applyFileOps(int driveFd, const std::vector<FileOp>& ops, std::vector<std::string>* failures,
                 void (*step)(const char* what), int imageFd,
                 std::vector<std::string>* notDeleted) {
    struct Changed {
        Fd file;
        mode_t before;
    };
    std::map<std::string, Changed> changed;
    int failed = 0;
    auto fail = [&](const FileOp& op, const char* what, int err) {
        ++failed;
        if (failures) {
            failures->push_back(std::string("cannot ") + what + " drive_c/" + op.relative + ": " +
                                std::strerror(err));
        }
    };
    for (const FileOp& op : ops) {
        if (op.kind == FileOp::Publish) continue;
        const std::vector<std::string> parts = splitRelative(op.relative);
        // Names as read from the folders: never empty, "." or ".." (a
        // journal that says otherwise was not written by a commit).
        bool plain = true;
        for (const std::string& part : parts)
            plain = plain && part != "" && part != "." && part != "..";
        if (!plain) {
            fail(op, "resolve", EINVAL);
            continue;
        }
        Fd dir(::fcntl(driveFd, F_DUPFD_CLOEXEC, 0));
        bool reached = dir.valid();
        for (size_t k = 0; reached && k + 1 < parts.size(); ++k) {
            Fd next(openDirAt(dir.get(), parts[k].c_str()));
            reached = next.valid();
            dir = std::move(next);
        }
        if (!reached) continue;  // the folder is gone or became a link: nothing to do
        const char* name = parts.back().c_str();
        if (op.kind == FileOp::Restore) {
            const int err = restoreEntry(imageFd, op, dir.get(), name);
            if (err != 0) {
                fail(op, "restore", err);
            } else if (step) {
                step("restore");
            }
            continue;
        }
        if (op.kind == FileOp::Mode) {
            Fd file(::openat(dir.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            const mode_t before = st.st_mode & 07777;
            if (before == op.mode) continue;
            if (st.st_nlink > 1) {
                // Its other names may lie outside the image: changed here,
                // the file would change there too.
                fail(op, "change the attributes of", EACCES);
                continue;
            }
            // The very file just checked, through its descriptor: never a link's target.
            const std::string self = "/proc/self/fd/" + std::to_string(file.get());
            if (::chmod(self.c_str(), op.mode) != 0) {
                fail(op, "change the attributes of", errno);
                continue;
            }
            if (step) step("chmod");
            if (changed.count(op.relative) == 0) {
                changed[op.relative] = Changed{std::move(file), before};
            }
            continue;
        }
        struct stat st;
        if (::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) {
            continue;
        }
        if (::unlinkat(dir.get(), name, 0) != 0) {
            const int err = errno;
            if (err == ENOENT) continue;
            fail(op, "delete", err);
            if (notDeleted) notDeleted->push_back(op.relative);
            auto it = changed.find(op.relative);
            if (it != changed.end()) {
                // A file that stays keeps the protection it had.
                const std::string self = "/proc/self/fd/" + std::to_string(it->second.file.get());
                ::chmod(self.c_str(), it->second.before);
                if (step) step("chmod");
            }
            continue;
        }
        changed.erase(op.relative);
        if (step) step("unlink");
    }
    return failed;
}

}  // namespace winsim
