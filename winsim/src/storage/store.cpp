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

// Whether the file `name` of `dirFd` is, and stays while it is read, the
// one `want` names (its size and hash; with `sameInode`, that very file). A
// read lease is held while it is read where the file system and the file's
// owner allow one: a process that has the file open for writing makes it
// fail, one that opens it meanwhile breaks it, and either counts as a
// change.
bool sameFile(int dirFd, const std::string& name, const FileIdentity& want, bool sameInode) {
    Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (sameInode && (st.st_dev != want.dev || st.st_ino != want.ino)) return false;
    const bool leased = leaseSignalHandled() && ::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0;
    if (!leased && errno == EAGAIN) return false;  // open for writing elsewhere
    ContentHasher hasher;
    std::vector<char> buffer(size_t{1} << 20);
    uint64_t size = 0;
    bool read = true;
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            read = false;
            break;
        }
        hasher.update(buffer.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
    }
    const bool kept = !leased || ::fcntl(fd.get(), F_GETLEASE) == F_RDLCK;
    if (leased) ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return read && kept && size == want.size && hasher.finish() == want.hash;
}

int exchange(int dirFd, const char* a, const char* b) {
    return ::renameat2(dirFd, a, dirFd, b, RENAME_EXCHANGE);
}

bool noExchangeHere(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

enum class Replaced { Done, Changed, Failed };

// Puts the file `newName` in system.reg's place if system.reg is still
// `base`. Both are exchanged in one step and what was swapped out is
// checked; when it is not `base` (an edit came in since it was last
// checked, in place or as a new file), the two are exchanged back. Where
// the file system cannot exchange, system.reg is checked and then replaced
// (an edit in between is lost; said at start, commitSafeguardGaps).
// Failed: errno in `err`.
Replaced replaceChecked(int dirFd, const std::string& newName, const FileIdentity& base,
                        bool sameInode, int* err) {
    // For tests: QU_DELAY_BEFORE_REPLACE=MS holds the decided commit for
    // that long right before system.reg is replaced.
    static const long delayMs = [] {
        const char* v = std::getenv("QU_DELAY_BEFORE_REPLACE");
        return v ? std::strtol(v, nullptr, 10) : 0L;
    }();
    if (delayMs > 0) {
        const timespec pause{delayMs / 1000, (delayMs % 1000) * 1000000L};
        ::nanosleep(&pause, nullptr);
    }
    if (exchange(dirFd, newName.c_str(), "system.reg") == 0) {
        step("exchange");
        if (!sameFile(dirFd, newName, base, sameInode)) {
            if (exchange(dirFd, newName.c_str(), "system.reg") != 0 || !syncDir(dirFd)) {
                *err = errno;
                return Replaced::Failed;
            }
            step("exchange back");
            return Replaced::Changed;
        }
        if (::unlinkat(dirFd, newName.c_str(), 0) != 0 && errno != ENOENT) {
            *err = errno;
            return Replaced::Failed;
        }
        step("unlink old");
    } else if (!noExchangeHere(errno)) {
        *err = errno;
        return Replaced::Failed;
    } else if (!sameFile(dirFd, "system.reg", base, sameInode)) {
        return Replaced::Changed;
    } else if (::renameat(dirFd, newName.c_str(), dirFd, "system.reg") != 0) {
        *err = errno;
        return Replaced::Failed;
    } else {
        step("rename");
    }
    if (!syncDir(dirFd)) {
        *err = errno;
        return Replaced::Failed;
    }
    step("fsync directory");
    return Replaced::Done;
}

// The folder `op.source` renamed to `op.relative` (both relative to the
// image folder, reached without following links), with `kept` (paths below
// drive_c whose deletion failed) in its file "kept" first. Done already
// (a replay) when the target exists or the source does not.
bool publish(int dirFd, const FileOp& op, const std::vector<std::string>& kept,
             std::string* error) {
    std::string fromName, toName;
    Fd from = openParentNoFollow(dirFd, op.source, &fromName);
    Fd to = openParentNoFollow(dirFd, op.relative, &toName);
    const auto fail = [&](const std::string& what) {
        *error = "cannot " + what + ": " + errnoText(errno);
        return false;
    };
    if (!from.valid() || !to.valid()) return fail("reach " + op.source + " and " + op.relative);
    struct stat st;
    if (::fstatat(to.get(), toName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    Fd folder(
        ::openat(from.get(), fromName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return errno == ENOENT || fail("open " + op.source);
    if (!kept.empty()) {
        std::string text;
        for (const std::string& k : kept) text += escapePath(k) + "\n";
        Fd list(::openat(folder.get(), "kept",
                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!list.valid() || !writeAll(list.get(), text.data(), text.size()) ||
            ::fsync(list.get()) != 0 || !syncDir(folder.get())) {
            return fail("write " + op.source + "/kept");
        }
    }
    if (::renameat(from.get(), fromName.c_str(), to.get(), toName.c_str()) != 0) {
        return fail("rename " + op.source + " to " + op.relative);
    }
    step("publish");
    if (!syncDir(from.get()) || !syncDir(to.get())) return fail("sync " + op.relative);
    return true;
}

// The file operations of a decided change, then its publications; false,
// with `error`, when a publication fails.
bool finishOps(int dirFd, const std::vector<FileOp>& ops, std::vector<std::string>* failures,
               void (*onStep)(const char*), std::string* error) {
    std::vector<std::string> kept;
    Fd drive(::openat(dirFd, "drive_c", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (drive.valid()) applyFileOps(drive.get(), ops, failures, onStep, dirFd, &kept);
    for (const FileOp& op : ops) {
        if (op.kind == FileOp::Publish && !publish(dirFd, op, kept, error)) return false;
    }
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
        } else if (op.kind == FileOp::Publish) {
            t += "publish " + escapePath(op.source) + " " + escapePath(op.relative) + "\n";
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
        } else if (w.size() == 3 && w[0] == "publish") {
            FileOp op;
            op.kind = FileOp::Publish;
            if (!unescapePath(w[1], &op.source) || !unescapePath(w[2], &op.relative)) return false;
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
            FileIdentity base, made, now;
            base.size = j.baseSize;
            base.hash = j.baseHash;
            made.size = j.newSize;
            made.hash = j.newHash;
            const bool haveNew = identifyFile(dirFd, j.newName, &now) && now.size == made.size &&
                                 now.hash == made.hash;
            Replaced replaced = Replaced::Done;
            int err = 0;
            if (sameFile(dirFd, "system.reg", made, false)) {
                // Replaced before the interruption; when the file swapped out
                // is still there, it is checked now.
                struct stat st;
                if (::fstatat(dirFd, j.newName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                    if (!sameFile(dirFd, j.newName, base, false)) {
                        replaced =
                            exchange(dirFd, j.newName.c_str(), "system.reg") == 0 && syncDir(dirFd)
                                ? Replaced::Changed
                                : Replaced::Failed;
                        err = errno;
                    } else if (::unlinkat(dirFd, j.newName.c_str(), 0) != 0) {
                        replaced = Replaced::Failed;
                        err = errno;
                    }
                }
            } else if (haveNew) {
                replaced = replaceChecked(dirFd, j.newName, base, false, &err);
            } else {
                *error = cannot +
                         ": system.reg is neither the file it was made for nor its "
                         "result; the journal was left in place";
                return false;
            }
            if (replaced == Replaced::Failed) {
                *error = cannot + ": cannot replace system.reg: " + errnoText(err);
                return false;
            }
            if (replaced == Replaced::Changed) {
                // Another program's edit came in while it was made: kept, and
                // the change given up as if it had never been decided.
                ::unlinkat(dirFd, name.c_str(), 0);
                ::unlinkat(dirFd, j.newName.c_str(), 0);
                removed = true;
                notices->push_back(dir +
                                   ": an interrupted change was given up: system.reg was "
                                   "changed by another program meanwhile and was kept");
                continue;
            }
        }
        std::vector<std::string> failures;
        std::string why;
        if (!finishOps(dirFd, j.ops, &failures, nullptr, &why)) {
            *error = cannot + ": " + why;
            return false;
        }
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

std::vector<std::string> commitSafeguardGaps(int dirFd, const std::string& dir) {
    std::vector<std::string> gaps;
    const std::string a = uniqueName(kNewPrefix), b = uniqueName(kNewPrefix);
    Fd fa(::openat(dirFd, a.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    Fd fb(::openat(dirFd, b.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fa.valid() && fb.valid() && exchange(dirFd, a.c_str(), b.c_str()) != 0 &&
        noExchangeHere(errno)) {
        gaps.push_back(dir +
                       ": the file system cannot exchange two files in one step; an edit "
                       "another program makes to system.reg just as a change replaces it "
                       "can be lost");
    }
    ::unlinkat(dirFd, a.c_str(), 0);
    ::unlinkat(dirFd, b.c_str(), 0);
    Fd reg(
        ::openat(dirFd, "system.reg", O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (reg.valid() && leaseSignalHandled()) {
        if (::fcntl(reg.get(), F_SETLEASE, F_RDLCK) == 0) {
            ::fcntl(reg.get(), F_SETLEASE, F_UNLCK);
        } else if (errno != EAGAIN) {  // EAGAIN: open for writing now, not a lack
            gaps.push_back(dir + "/system.reg: no lease can be taken on it (" + errnoText(errno) +
                           "); an edit made in place by a program that keeps it open can be "
                           "lost when a change replaces it");
        }
    }
    return gaps;
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
        // The file must still be what this process loaded or wrote last; a
        // first look here, the check that holds comes with the replace.
        struct stat st;
        if (expected->lost || ::fstatat(dirFd, "system.reg", &st, 0) != 0 ||
            st.st_dev != expected->dev || st.st_ino != expected->ino ||
            static_cast<uint64_t>(st.st_size) != expected->size) {
            *error = dir +
                     "/system.reg was changed by another program since it was loaded; "
                     "it was not overwritten";
            return false;
        }
        const mode_t mode = st.st_mode & 0777;
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
        int err = 0;
        const Replaced replaced = replaceChecked(dirFd, tempName, *expected, true, &err);
        if (replaced == Replaced::Changed) {
            // Nothing was changed after all: the journal goes, and the new file.
            *decided = false;
            ::unlinkat(dirFd, journalName.c_str(), 0);
            ::unlinkat(dirFd, tempName.c_str(), 0);
            syncDir(dirFd);
            *error = dir +
                     "/system.reg was changed by another program since it was loaded; "
                     "it was not overwritten";
            return false;
        }
        if (replaced == Replaced::Failed) {
            *error = "cannot replace " + dir + "/system.reg: " + errnoText(err) + later;
            return false;
        }
        *expected = fresh;
    }
    std::string why;
    if (!finishOps(dirFd, ops, warnings, &step, &why)) {
        *error = dir + ": " + why + later;
        return false;
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
