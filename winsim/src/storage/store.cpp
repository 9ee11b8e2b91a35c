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

const char kNewPrefix[] = "system.reg.new-";
const char kJournalPrefix[] = "system.reg.journal-";
const char kJournalMagic[] = "quorvane-uninstall journal 1";
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

struct Journal {
    uint64_t baseSize = 0, baseHash = 0;
    std::string newName;  // "" when system.reg does not change
    uint64_t newSize = 0, newHash = 0;
    std::vector<FileOp> ops;
};

std::string journalText(const Journal& j) {
    std::string t = std::string(kJournalMagic) + "\n";
    t += "base " + std::to_string(j.baseSize) + " " + hex64(j.baseHash) + "\n";
    if (j.newName.empty()) {
        t += "new -\n";
    } else {
        t += "new " + j.newName + " " + std::to_string(j.newSize) + " " + hex64(j.newHash) + "\n";
    }
    for (const FileOp& op : j.ops) {
        if (op.kind == FileOp::Mode) {
            char mode[16];
            std::snprintf(mode, sizeof mode, "%04o", op.mode & 07777);
            t += std::string("mode ") + mode + " " + escapePath(op.relative) + "\n";
        } else if (op.kind == FileOp::Restore) {
            char mode[16];
            std::snprintf(mode, sizeof mode, "%04o", op.mode & 07777);
            t += std::string("restore ") + mode + " " + escapePath(op.relative) + " " +
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

// A journal whose checksum line is present and right; false for anything
// else (a journal cut short by a crash never counts).
bool parseJournal(const std::string& text, Journal* j) {
    if (text.empty() || text.back() != '\n') return false;
    const size_t endAt = text.rfind("end ", text.size() - 1);
    if (endAt == std::string::npos || (endAt > 0 && text[endAt - 1] != '\n')) return false;
    uint64_t sum = 0;
    if (!parseHex64(text.substr(endAt + 4, text.size() - endAt - 5), &sum)) return false;
    if (contentHash(text.data(), endAt) != sum) return false;
    size_t pos = 0;
    bool first = true, haveBase = false, haveNew = false;
    while (pos < endAt) {
        const size_t nl = text.find('\n', pos);
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (first) {
            if (line != kJournalMagic) return false;
            first = false;
            continue;
        }
        const std::vector<std::string> w = words(line);
        if (w.size() == 3 && w[0] == "base") {
            haveBase = parseNumber(w[1], &j->baseSize) && parseHex64(w[2], &j->baseHash);
        } else if (w.size() == 2 && w[0] == "new" && w[1] == "-") {
            haveNew = true;
        } else if (w.size() == 4 && w[0] == "new") {
            if (w[1].rfind(kNewPrefix, 0) != 0 || w[1].find('/') != std::string::npos) return false;
            j->newName = w[1];
            haveNew = parseNumber(w[2], &j->newSize) && parseHex64(w[3], &j->newHash);
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
    return haveBase && haveNew;
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

bool recoverImage(int dirFd, const std::string& dir, std::vector<std::string>* notices,
                  std::string* error) {
    std::vector<std::string> journals, news;
    {
        const int own = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* d = own >= 0 ? ::fdopendir(own) : nullptr;
        if (!d) {
            if (own >= 0) ::close(own);
            *error = dir + ": cannot list the machine image (" + errnoText(errno) + ")";
            return false;
        }
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind(kJournalPrefix, 0) == 0) journals.push_back(name);
            if (name.rfind(kNewPrefix, 0) == 0) news.push_back(name);
        }
        ::closedir(d);
    }
    bool removed = false;
    for (const std::string& name : journals) {
        std::string text, scratch;
        Journal j;
        if (!readRegularFile(dirFd, name, dir + "/" + name, kMaxJournalSize, &text, nullptr,
                             &scratch) ||
            !parseJournal(text, &j)) {
            // Cut short before the change was decided: the image is as before.
            ::unlinkat(dirFd, name.c_str(), 0);
            removed = true;
            continue;
        }
        const std::string cannot =
            dir + ": an interrupted change cannot be finished (" + name + ")";
        if (!j.newName.empty()) {
            FileIdentity now, fresh;
            const bool haveCurrent = identifyFile(dirFd, "system.reg", &now);
            const bool haveNew = identifyFile(dirFd, j.newName, &fresh);
            if (haveCurrent && now.size == j.newSize && now.hash == j.newHash) {
                // Replaced before the interruption.
            } else if (haveNew && fresh.size == j.newSize && fresh.hash == j.newHash &&
                       haveCurrent && now.size == j.baseSize && now.hash == j.baseHash) {
                if (::renameat(dirFd, j.newName.c_str(), dirFd, "system.reg") != 0 ||
                    !syncDir(dirFd)) {
                    *error = cannot + ": cannot replace system.reg: " + errnoText(errno);
                    return false;
                }
            } else {
                *error = cannot +
                         ": system.reg is neither the file it was made for nor its "
                         "result; the journal was left in place";
                return false;
            }
        }
        std::vector<std::string> failures;
        Fd drive(::openat(dirFd, "drive_c", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (drive.valid()) applyFileOps(drive.get(), j.ops, &failures, nullptr, dirFd);
        for (const auto& f : failures) notices->push_back(dir + ": " + f);
        if (::unlinkat(dirFd, name.c_str(), 0) != 0 || !syncDir(dirFd)) {
            *error = cannot + ": cannot remove the journal: " + errnoText(errno);
            return false;
        }
        notices->push_back(dir + ": finished an interrupted change (" +
                           (j.newName.empty() ? std::string("no registry change")
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

bool checkCommittable(int dirFd, const std::string& dir, std::string* error) {
    auto refuse = [&](const char* verb, const std::string& name) {
        const int err = errno;
        *error = dir + ": the machine image cannot be saved (cannot " + verb + " " + dir + "/" +
                 name + ": " + errnoText(err) + "); nothing was changed";
        return false;
    };
    if (::faccessat(dirFd, "system.reg", W_OK, 0) != 0) return refuse("write", "system.reg");
    const std::string probe = uniqueName(kNewPrefix);
    const int fd =
        ::openat(dirFd, probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return refuse("create", probe);
    ::close(fd);
    if (::unlinkat(dirFd, probe.c_str(), 0) != 0) return refuse("remove", probe);
    return true;
}

bool commitImage(int dirFd, const std::string& dir, const std::string* newRegistry,
                 FileIdentity* expected, const std::vector<FileOp>& ops, bool* decided,
                 std::string* error, std::vector<std::string>* warnings) {
    if (!newRegistry) {
        return commitImage(dirFd, dir, static_cast<const TextSource*>(nullptr), expected, ops,
                           decided, error, warnings);
    }
    const TextSource whole = [newRegistry](const TextSink& sink) {
        return sink(newRegistry->data(), newRegistry->size());
    };
    return commitImage(dirFd, dir, &whole, expected, ops, decided, error, warnings);
}

bool commitImage(int dirFd, const std::string& dir, const TextSource* newRegistry,
                 FileIdentity* expected, const std::vector<FileOp>& ops, bool* decided,
                 std::string* error, std::vector<std::string>* warnings) {
    *decided = false;
    if (expected->hashPending) {
        // The caller settles the hash of the text it loaded (settleHash).
        *error = dir + "/system.reg: its loaded content was never identified; not committed";
        return false;
    }
    Journal j;
    j.baseSize = expected->size;
    j.baseHash = expected->hash;
    j.ops = ops;
    FileIdentity fresh;
    std::string tempName;
    auto undo = [&](const std::string& message, int err) {
        *error = message + ": " + errnoText(err);
        if (!tempName.empty()) ::unlinkat(dirFd, tempName.c_str(), 0);
        return false;
    };
    if (newRegistry) {
        // The file must still be what this process loaded or wrote last.
        FileIdentity now;
        if (!identifyFile(dirFd, "system.reg", &now) || now.dev != expected->dev ||
            now.ino != expected->ino || now.size != expected->size || now.hash != expected->hash) {
            *error = dir +
                     "/system.reg was changed by another program since it was loaded; "
                     "it was not overwritten";
            return false;
        }
        struct stat st;
        const mode_t mode =
            ::fstatat(dirFd, "system.reg", &st, 0) == 0 ? (st.st_mode & 0777) : 0644;
        tempName = uniqueName(kNewPrefix);
        Fd fd(::openat(dirFd, tempName.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid()) {
            const int err = errno;
            const std::string shown = tempName;
            tempName.clear();
            return undo("cannot create " + dir + "/" + shown, err);
        }
        step("create");
        // Written as it is made, in pieces: the new text is never held whole.
        ContentHasher hasher;
        uint64_t size = 0;
        PieceWriter writer(fd.get());
        const bool written = (*newRegistry)([&](const char* data, size_t n) {
            hasher.update(data, n);
            size += n;
            return writer.put(data, n);
        });
        if (!written || !writer.flush()) {
            return undo("cannot write " + dir + "/" + tempName, writer.error());
        }
        step("write");
        if (::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0) {
            return undo("cannot write " + dir + "/" + tempName, errno);
        }
        step("fsync");
        if (::fstat(fd.get(), &st) != 0) return undo("cannot write " + dir + "/" + tempName, errno);
        fresh.dev = st.st_dev;
        fresh.ino = st.st_ino;
        fresh.size = size;
        fresh.hash = hasher.finish();
        if (::close(fd.release()) != 0) return undo("cannot write " + dir + "/" + tempName, errno);
        j.newName = tempName;
        j.newSize = fresh.size;
        j.newHash = fresh.hash;
    }
    if (g_beforeJournalHook) g_beforeJournalHook();
    const std::string journalName = uniqueName(kJournalPrefix);
    {
        const std::string text = journalText(j);
        Fd fd(::openat(dirFd, journalName.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid()) return undo("cannot create " + dir + "/" + journalName, errno);
        step("create journal");
        const bool ok = writeAll(fd.get(), text.data(), text.size());
        step("write journal");
        if (!ok || ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
            const int err = errno;
            ::unlinkat(dirFd, journalName.c_str(), 0);
            return undo("cannot write " + dir + "/" + journalName, err);
        }
        step("fsync journal");
    }
    if (!syncDir(dirFd)) {
        const int err = errno;
        ::unlinkat(dirFd, journalName.c_str(), 0);
        return undo("cannot sync " + dir, err);
    }
    step("fsync directory");
    // Decided: from here on a crash is finished by the next start.
    *decided = true;
    const std::string later = "; the change is finished at the next start";
    if (newRegistry) {
        if (::renameat(dirFd, tempName.c_str(), dirFd, "system.reg") != 0) {
            *error = "cannot replace " + dir + "/system.reg: " + errnoText(errno) + later;
            return false;
        }
        step("rename");
        if (!syncDir(dirFd)) {
            *error = "cannot sync " + dir + ": " + errnoText(errno) + later;
            return false;
        }
        step("fsync directory");
        *expected = fresh;
    }
    if (!ops.empty()) {
        Fd drive(::openat(dirFd, "drive_c", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (drive.valid()) applyFileOps(drive.get(), ops, warnings, &step, dirFd);
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
