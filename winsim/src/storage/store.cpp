#include "winsim/src/storage/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace winsim {

namespace {

const char kNewInfix[] = ".new-";
const char kJournalInfix[] = ".journal-";
const char kJournalMagic[] = "quorvane-uninstall journal 2";
// Written by earlier versions for system.reg alone ("base" and "new" lines).
const char kJournalMagic1[] = "quorvane-uninstall journal 1";
constexpr uint64_t kMaxJournalSize = uint64_t{64} << 20;

std::function<void(int, const char*)> g_stepHook;
std::function<void()> g_beforeJournalHook;
int g_steps = 0;

void step(const char* what) {
    ++g_steps;
    if (g_stepHook) g_stepHook(g_steps, what);
    static const long crashAfter = [] {
        const char* v = std::getenv("QU_CRASH_AFTER");
        return v ? std::strtol(v, nullptr, 10) : 0L;
    }();
    if (crashAfter > 0 && g_steps == crashAfter) ::kill(::getpid(), SIGKILL);
}

std::string errnoText(int err) { return std::strerror(err); }

// A name no other process or commit can hold: pid and 64 random bits.
std::string uniqueName(const char* prefix) {
    uint64_t r = 0;
    if (::getrandom(&r, sizeof r, 0) != sizeof r) {
        static uint64_t counter = 0;
        r = static_cast<uint64_t>(::time(nullptr)) * 1000003u + ++counter;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%ld-%016llx", prefix, static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(r));
    return buf;
}

bool syncDir(int dirFd) { return ::fsync(dirFd) == 0 || errno == EINVAL; }

std::string hex64(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

bool parseHex64(const std::string& s, uint64_t* v) {
    if (s.size() != 16 || s.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return false;
    }
    *v = std::strtoull(s.c_str(), nullptr, 16);
    return true;
}

}  // namespace

// Journal paths: bytes outside printable ASCII, '%' and space as %XX.
std::string escapePath(const std::string& p) {
    std::string out;
    for (unsigned char c : p) {
        if (c <= 0x20 || c >= 0x7f || c == '%') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool unescapePath(const std::string& s, std::string* out) {
    out->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            *out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return false;
        const std::string h = s.substr(i + 1, 2);
        if (h.find_first_not_of("0123456789ABCDEF") != std::string::npos) return false;
        *out += static_cast<char>(std::strtoul(h.c_str(), nullptr, 16));
        i += 2;
    }
    return true;
}

namespace {

// One registry file a journal replaces.
struct JournalFile {
    std::string name;
    uint64_t baseSize = 0, baseHash = 0;
    std::string newName;
    uint64_t newSize = 0, newHash = 0;
};

struct Journal {
    std::vector<JournalFile> files;
    std::vector<FileOp> ops;
};

std::string octal(unsigned mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

std::string journalText(const Journal& j) {
    std::string t = std::string(kJournalMagic) + "\n";
    for (const JournalFile& f : j.files) {
        t += "reg " + escapePath(f.name) + " " + std::to_string(f.baseSize) + " " +
             hex64(f.baseHash) + " " + escapePath(f.newName) + " " + std::to_string(f.newSize) +
             " " + hex64(f.newHash) + "\n";
    }
    for (const FileOp& op : j.ops) {
        if (op.kind == FileOp::Mode) {
            t += "mode " + octal(op.mode) + " " + escapePath(op.relative) + "\n";
        } else if (op.kind == FileOp::Restore) {
            t += "restore " + octal(op.mode) + " " + escapePath(op.relative) + " " +
                 escapePath(op.source) + "\n";
        } else {
            t += "delete " + escapePath(op.relative) + "\n";
        }
    }
    t += "end " + hex64(contentHash(t)) + "\n";
    return t;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        const size_t sp = line.find(' ', i);
        const size_t end = sp == std::string::npos ? line.size() : sp;
        w.push_back(line.substr(i, end - i));
        i = end + 1;
    }
    return w;
}

bool parseNumber(const std::string& s, uint64_t* v) {
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *v = std::strtoull(s.c_str(), nullptr, 10);
    return true;
}

// A new file's name: the registry file's, ".new-" and no folder.
bool newNameFor(const std::string& registryFile, const std::string& name) {
    return name.rfind(registryFile + kNewInfix, 0) == 0 && name.find('/') == std::string::npos;
}

// A journal whose checksum line is present and right, naming only the
// store's registry files; false for anything else (a journal cut short by a
// crash never counts).
bool parseJournal(const std::string& text, const std::vector<std::string>& registryFiles,
                  Journal* j) {
    if (text.empty() || text.back() != '\n') return false;
    const size_t endAt = text.rfind("end ", text.size() - 1);
    if (endAt == std::string::npos || (endAt > 0 && text[endAt - 1] != '\n')) return false;
    uint64_t sum = 0;
    if (!parseHex64(text.substr(endAt + 4, text.size() - endAt - 5), &sum)) return false;
    if (contentHash(text.data(), endAt) != sum) return false;
    size_t pos = 0;
    bool first = true, version1 = false, haveBase = false, haveNew = false;
    JournalFile old;
    old.name = "system.reg";
    auto known = [&](const std::string& name) {
        return std::find(registryFiles.begin(), registryFiles.end(), name) != registryFiles.end();
    };
    while (pos < endAt) {
        const size_t nl = text.find('\n', pos);
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (first) {
            if (line != kJournalMagic && line != kJournalMagic1) return false;
            version1 = line == kJournalMagic1;
            first = false;
            continue;
        }
        const std::vector<std::string> w = words(line);
        if (w.size() == 7 && w[0] == "reg" && !version1) {
            JournalFile f;
            if (!unescapePath(w[1], &f.name) || !unescapePath(w[4], &f.newName) || !known(f.name) ||
                !newNameFor(f.name, f.newName) || !parseNumber(w[2], &f.baseSize) ||
                !parseHex64(w[3], &f.baseHash) || !parseNumber(w[5], &f.newSize) ||
                !parseHex64(w[6], &f.newHash)) {
                return false;
            }
            j->files.push_back(f);
        } else if (w.size() == 3 && w[0] == "base" && version1) {
            haveBase = parseNumber(w[1], &old.baseSize) && parseHex64(w[2], &old.baseHash);
        } else if (w.size() == 2 && w[0] == "new" && w[1] == "-" && version1) {
            haveNew = true;
        } else if (w.size() == 4 && w[0] == "new" && version1) {
            if (!known(old.name) || !newNameFor(old.name, w[1])) return false;
            old.newName = w[1];
            haveNew = parseNumber(w[2], &old.newSize) && parseHex64(w[3], &old.newHash);
        } else if (w.size() == 3 && w[0] == "mode") {
            FileOp op;
            op.kind = FileOp::Mode;
            op.mode = static_cast<unsigned>(std::strtoul(w[1].c_str(), nullptr, 8)) & 07777;
            if (!unescapePath(w[2], &op.relative)) return false;
            j->ops.push_back(op);
        } else if (w.size() == 4 && w[0] == "restore") {
            FileOp op;
            op.kind = FileOp::Restore;
            op.mode = static_cast<unsigned>(std::strtoul(w[1].c_str(), nullptr, 8)) & 07777;
            if (!unescapePath(w[2], &op.relative) || !unescapePath(w[3], &op.source)) return false;
            j->ops.push_back(op);
        } else if (w.size() == 2 && w[0] == "delete") {
            FileOp op;
            op.kind = FileOp::Delete;
            if (!unescapePath(w[1], &op.relative)) return false;
            j->ops.push_back(op);
        } else {
            return false;
        }
    }
    if (version1) {
        if (!haveBase || !haveNew) return false;
        if (!old.newName.empty()) j->files.push_back(old);
    }
    return true;
}

// The entries of the store folder a commit of it may have left.
void listLeftovers(const StoreFolder& store, std::vector<std::string>* journals,
                   std::vector<std::string>* news) {
    const int own = ::openat(store.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!d) {
        if (own >= 0) ::close(own);
        return;
    }
    const std::string journalPrefix =
        store.registryFiles.empty() ? std::string() : store.registryFiles.front() + kJournalInfix;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (!journalPrefix.empty() && name.rfind(journalPrefix, 0) == 0) journals->push_back(name);
        for (const std::string& file : store.registryFiles) {
            if (news && newNameFor(file, name)) news->push_back(name);
        }
    }
    ::closedir(d);
    std::sort(journals->begin(), journals->end());
}

Fd openDrive(const StoreFolder& store) {
    if (store.driveDir.empty()) return Fd();
    return Fd(::open(store.driveDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Whether the file `now` is still the one `expected` describes.
bool sameContent(const FileIdentity& expected, const FileIdentity& now) {
    if (now.dev != expected.dev || now.ino != expected.ino || now.size != expected.size) {
        return false;
    }
    return expected.statOnly ? now.mtimeNs == expected.mtimeNs : now.hash == expected.hash;
}

}  // namespace

bool lockImageDir(const std::string& dir, Fd* lock, bool* inUse, std::string* error) {
    *inUse = false;
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        *error = dir + ": cannot open the machine image (" + errnoText(errno) + ")";
        return false;
    }
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) {
            *inUse = true;
            *error = dir + ": the machine image is in use by another process";
        } else {
            *error = dir + ": cannot lock the machine image (" + errnoText(errno) + ")";
        }
        return false;
    }
    *lock = std::move(fd);
    return true;
}

bool recoverStore(const StoreFolder& store, std::vector<std::string>* notices, std::string* error) {
    const int dirFd = store.dirFd;
    const std::string& dir = store.dir;
    std::vector<std::string> journals, news;
    listLeftovers(store, &journals, &news);
    bool removed = false;
    for (const std::string& name : journals) {
        std::string text, scratch;
        Journal j;
        if (!readRegularFile(dirFd, name, dir + "/" + name, kMaxJournalSize, &text, nullptr,
                             &scratch) ||
            !parseJournal(text, store.registryFiles, &j)) {
            // Cut short before the change was decided: the store is as before.
            ::unlinkat(dirFd, name.c_str(), 0);
            removed = true;
            continue;
        }
        const std::string cannot =
            dir + ": an interrupted change cannot be finished (" + name + ")";
        for (const JournalFile& f : j.files) {
            FileIdentity now, fresh;
            const bool haveCurrent = identifyFile(dirFd, f.name, &now);
            const bool haveNew = identifyFile(dirFd, f.newName, &fresh);
            if (haveCurrent && now.size == f.newSize && now.hash == f.newHash) {
                // Replaced before the interruption.
            } else if (haveNew && fresh.size == f.newSize && fresh.hash == f.newHash &&
                       haveCurrent && now.size == f.baseSize && now.hash == f.baseHash) {
                if (::renameat(dirFd, f.newName.c_str(), dirFd, f.name.c_str()) != 0 ||
                    !syncDir(dirFd)) {
                    *error = cannot + ": cannot replace " + f.name + ": " + errnoText(errno);
                    return false;
                }
            } else {
                *error = cannot + ": " + f.name +
                         " is neither the file it was made for nor its result; the journal was "
                         "left in place";
                return false;
            }
        }
        std::vector<std::string> failures;
        Fd drive = openDrive(store);
        if (drive.valid()) applyFileOps(drive.get(), j.ops, &failures, nullptr, dirFd);
        for (const auto& f : failures) notices->push_back(dir + ": " + f);
        if (::unlinkat(dirFd, name.c_str(), 0) != 0 || !syncDir(dirFd)) {
            *error = cannot + ": cannot remove the journal: " + errnoText(errno);
            return false;
        }
        notices->push_back(dir + ": finished an interrupted change (" +
                           (j.files.empty() ? std::string("no registry change")
                                            : std::string("registry replaced")) +
                           ", " + std::to_string(j.ops.size()) + " file operations)");
    }
    for (const std::string& name : news) {
        // Whatever a journal still named was renamed above; the rest are strays.
        if (::unlinkat(dirFd, name.c_str(), 0) == 0) removed = true;
    }
    if (removed) syncDir(dirFd);
    return true;
}

std::vector<std::string> unfinishedJournals(const StoreFolder& store) {
    std::vector<std::string> journals;
    listLeftovers(store, &journals, nullptr);
    return journals;
}

namespace {

// Whether this process can give a new file the owner and group of `st`.
bool canKeepOwner(const struct stat& st) {
    const uid_t me = ::geteuid();
    if (me == 0) return true;
    if (st.st_uid != me) return false;
    if (st.st_gid == ::getegid()) return true;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(0, ::getgroups(0, nullptr))) + 1);
    const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
    return n > 0 && std::find(groups.begin(), groups.begin() + n, st.st_gid) != groups.begin() + n;
}

}  // namespace

bool checkCommittable(const StoreFolder& store, std::string* error, bool* refused) {
    *refused = false;
    const int dirFd = store.dirFd;
    const std::string& dir = store.dir;
    auto unwritable = [&](const std::string& what) {
        const int err = errno;
        *error = dir + ": the machine image cannot be saved (cannot write " + what + ": " +
                 errnoText(err) + "); nothing was changed";
        return false;
    };
    auto refuse = [&](const std::string& why) {
        *refused = true;
        *error = why + "; nothing was changed (--read-only uses it as it is)";
        return false;
    };
    for (const std::string& name : store.registryFiles) {
        const std::string shown = dir + "/" + name;
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return unwritable(shown);
        }
        if (S_ISLNK(st.st_mode)) {
            return refuse(shown +
                          " is a symbolic link, which a save would replace by a file; name the "
                          "file it points to instead");
        }
        if (!S_ISREG(st.st_mode)) return refuse(shown + " is not a regular file");
        if (!canKeepOwner(st)) {
            return refuse(shown +
                          " belongs to another user or group, which a saved file would not keep "
                          "without running as that user or as root");
        }
        if (::faccessat(dirFd, name.c_str(), W_OK, AT_EACCESS) != 0) return unwritable(shown);
    }
    if (::faccessat(dirFd, ".", W_OK | X_OK, AT_EACCESS) != 0) return unwritable(dir);
    struct stat st;
    if (::fstatat(dirFd, "backups", &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        return refuse(dir +
                      "/backups is not a folder (a link there is never followed), so no "
                      "backup could be kept");
    }
    return true;
}

std::function<bool(int, const std::string&, uint64_t*, uint64_t*, std::string*)> writeText(
    const TextSource* text) {
    return [text](int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                  std::string* error) {
        // Written as it is made, in pieces: the new text is never held whole.
        ContentHasher hasher;
        *size = 0;
        PieceWriter writer(fd);
        const bool written = (*text)([&](const char* data, size_t n) {
            hasher.update(data, n);
            *size += n;
            return writer.put(data, n);
        });
        if (!written || !writer.flush()) {
            *error = "cannot write " + path + ": " + errnoText(writer.error());
            return false;
        }
        *hash = hasher.finish();
        return true;
    };
}

bool commitStore(const StoreFolder& store, std::vector<RegistryWrite>& writes,
                 const std::vector<FileOp>& ops, const BeforeCommitPoint& beforeCommitPoint,
                 bool* decided, std::string* error, std::vector<std::string>* warnings) {
    *decided = false;
    const int dirFd = store.dirFd;
    const std::string& dir = store.dir;
    Journal j;
    j.ops = ops;
    std::vector<std::string> made;  // new files to remove when the commit is given up
    auto giveUp = [&]() {
        for (const std::string& name : made) ::unlinkat(dirFd, name.c_str(), 0);
        return false;
    };
    auto undo = [&](const std::string& message, int err) {
        *error = message + ": " + errnoText(err);
        return giveUp();
    };
    for (RegistryWrite& w : writes) {
        if (w.identity->hashPending) {
            // The caller settles the hash of the text it loaded (settleHash).
            *error =
                dir + "/" + w.name + ": its loaded content was never identified; not committed";
            return giveUp();
        }
        // The file must still be what this process loaded or wrote last.
        const bool identified =
            w.identifyNow ? w.identifyNow(&w.before) : identifyFile(dirFd, w.name, &w.before);
        if (!identified || !sameContent(*w.identity, w.before)) {
            *error = dir + "/" + w.name +
                     " was changed by another program since it was loaded; it was not "
                     "overwritten";
            return giveUp();
        }
        struct stat st;
        if (::fstatat(dirFd, w.name.c_str(), &st, 0) != 0) {
            return undo("cannot read " + dir + "/" + w.name, errno);
        }
        const std::string tempName = uniqueName((w.name + kNewInfix).c_str());
        const std::string tempPath = dir + "/" + tempName;
        Fd fd(::openat(dirFd, tempName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
        if (!fd.valid()) return undo("cannot create " + tempPath, errno);
        made.push_back(tempName);
        step("create");
        uint64_t size = 0, hash = 0;
        if (!w.write(fd.get(), tempPath, &size, &hash, error)) return giveUp();
        step("write");
        // The saved file keeps the mode and the owner of the one it replaces.
        const bool root = ::geteuid() == 0;
        if ((root || st.st_gid != ::getegid()) &&
            ::fchown(fd.get(), root ? st.st_uid : static_cast<uid_t>(-1), st.st_gid) != 0) {
            return undo("cannot give " + tempPath + " the owner of " + w.name, errno);
        }
        if (::fchmod(fd.get(), st.st_mode & 07777) != 0 || ::fsync(fd.get()) != 0) {
            return undo("cannot write " + tempPath, errno);
        }
        step("fsync");
        struct stat written;
        if (::fstat(fd.get(), &written) != 0) return undo("cannot write " + tempPath, errno);
        w.after = FileIdentity{};
        w.after.dev = written.st_dev;
        w.after.ino = written.st_ino;
        w.after.size = size;
        w.after.hash = hash;
        w.after.mtimeNs = int64_t{written.st_mtim.tv_sec} * 1000000000 + written.st_mtim.tv_nsec;
        if (::close(fd.release()) != 0) return undo("cannot write " + tempPath, errno);
        j.files.push_back({w.name, w.before.size, w.before.hash, tempName, size, hash});
    }
    if (beforeCommitPoint && !beforeCommitPoint(writes, error)) return giveUp();
    if (g_beforeJournalHook) g_beforeJournalHook();
    const std::string journalName = uniqueName(
        ((store.registryFiles.empty() ? std::string("registry") : store.registryFiles.front()) +
         kJournalInfix)
            .c_str());
    {
        const std::string text = journalText(j);
        Fd fd(::openat(dirFd, journalName.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid()) return undo("cannot create " + dir + "/" + journalName, errno);
        made.push_back(journalName);
        step("create journal");
        const bool ok = writeAll(fd.get(), text.data(), text.size());
        step("write journal");
        if (!ok || ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
            return undo("cannot write " + dir + "/" + journalName, errno);
        }
        step("fsync journal");
    }
    if (!syncDir(dirFd)) return undo("cannot sync " + dir, errno);
    step("fsync directory");
    // Decided: from here on a crash is finished by the next start.
    *decided = true;
    const std::string later = "; the change is finished at the next start";
    for (size_t i = 0; i < writes.size(); ++i) {
        if (::renameat(dirFd, j.files[i].newName.c_str(), dirFd, writes[i].name.c_str()) != 0) {
            *error =
                "cannot replace " + dir + "/" + writes[i].name + ": " + errnoText(errno) + later;
            return false;
        }
        step("rename");
    }
    if (!writes.empty()) {
        if (!syncDir(dirFd)) {
            *error = "cannot sync " + dir + ": " + errnoText(errno) + later;
            return false;
        }
        step("fsync directory");
        for (RegistryWrite& w : writes) *w.identity = w.after;
    }
    if (!ops.empty()) {
        Fd drive = openDrive(store);
        if (drive.valid()) {
            applyFileOps(drive.get(), ops, warnings, &step, dirFd);
        } else {
            warnings->push_back("cannot open the drive " + store.driveDir + ": " +
                                errnoText(errno) + "; its files were not changed");
        }
    }
    if (::unlinkat(dirFd, journalName.c_str(), 0) != 0) {
        *error = "cannot remove " + dir + "/" + journalName + ": " + errnoText(errno) + later;
        return false;
    }
    step("unlink journal");
    syncDir(dirFd);
    step("fsync directory");
    return true;
}

void setCommitStepHook(std::function<void(int, const char*)> hook) { g_stepHook = std::move(hook); }

void setBeforeJournalHook(std::function<void()> hook) { g_beforeJournalHook = std::move(hook); }

}  // namespace winsim
