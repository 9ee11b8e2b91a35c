#include "winsim/src/storage/store.h"

#include "winsim/src/storage/store_journal.h"
#include "winsim/src/storage/store_replace.h"
#include "winsim/src/storage/store_parallel.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/vfs.h>
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
#include <memory>
#include <vector>

namespace winsim {

namespace {

std::function<void(int, const char*)> g_stepHook;
std::function<void()> g_beforeJournalHook;
int g_steps = 0;

}  // namespace

void commitStep(const char* what) {
    ++g_steps;
    if (g_stepHook) g_stepHook(g_steps, what);
    static const long crashAfter = [] {
        const char* v = std::getenv("QU_CRASH_AFTER");
        return v ? std::strtol(v, nullptr, 10) : 0L;
    }();
    if (crashAfter > 0 && g_steps == crashAfter) ::kill(::getpid(), SIGKILL);
}

namespace {

void step(const char* what) { commitStep(what); }

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

// Whether the file `now` is still the one `expected` describes.
bool sameContent(const FileIdentity& expected, const FileIdentity& now) {
    if (now.dev != expected.dev || now.ino != expected.ino || now.size != expected.size) {
        return false;
    }
    return expected.statOnly ? now.mtimeNs == expected.mtimeNs : now.hash == expected.hash;
}

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
    const TextSource* text, const BaseText* stable) {
    return [text, stable](int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                          std::string* error) {
        // Written as it is made, in pieces: the new text is never held
        // whole. Hashed beside the writing, on a second thread.
        PieceHasher hasher(stable);
        *size = 0;
        PieceWriter writer(fd);
        const bool written = (*text)([&](const char* data, size_t n) {
            hasher.add(data, n);
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
    std::vector<Fd> newFiles;       // open until they are synced
    std::vector<bool> guarded(writes.size(), false);
    std::unique_ptr<HashInBackground[]> hashes(new HashInBackground[writes.size()]);
    // Each registry file that is not guarded since the load, held under a
    // lease from its check on and hashed under it, for step 5.
    std::unique_ptr<LeasedRead[]> leases(new LeasedRead[writes.size()]);
    auto giveUp = [&]() {
        for (size_t i = 0; i < writes.size(); ++i) hashes[i].result();
        newFiles.clear();
        for (const std::string& name : made) ::unlinkat(dirFd, name.c_str(), 0);
        return false;
    };
    auto undo = [&](const std::string& message, int err) {
        *error = message + ": " + errnoText(err);
        return giveUp();
    };
    for (size_t i = 0; i < writes.size(); ++i) {
        RegistryWrite& w = writes[i];
        if (w.identity->lost || (w.loaded && w.loaded->lost())) {
            w.identity->lost = true;
            *error = dir + "/" + w.name +
                     " was changed by another program while this program was stopped and could "
                     "not guard what it had read; nothing was written";
            return giveUp();
        }
        guarded[i] =
            w.loaded && !w.identifyNow && stillGuarded(dirFd, w.name, *w.identity, w.loaded);
        if (guarded[i]) {
            // Not written since the load: the very file, not read again.
            w.before = *w.identity;
            if (w.identity->hashPending) hashes[i].start(w.loaded);
        } else {
            if (w.identity->hashPending && w.loaded) settleHash(*w.identity, *w.loaded);
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
            leases[i].start(dirFd, w.name);
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
        WriteOutAhead writeOut(fd.get());
        const bool wrote = w.write(fd.get(), tempPath, &size, &hash, error);
        writeOut.stop();
        if (!wrote) return giveUp();
        step("write");
        // The saved file keeps the mode and the owner of the one it replaces.
        const bool root = ::geteuid() == 0;
        if ((root || st.st_gid != ::getegid()) &&
            ::fchown(fd.get(), root ? st.st_uid : static_cast<uid_t>(-1), st.st_gid) != 0) {
            return undo("cannot give " + tempPath + " the owner of " + w.name, errno);
        }
        if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
            return undo("cannot write " + tempPath, errno);
        }
        struct stat written;
        if (::fstat(fd.get(), &written) != 0) return undo("cannot write " + tempPath, errno);
        w.after = FileIdentity{};
        w.after.dev = written.st_dev;
        w.after.ino = written.st_ino;
        w.after.size = size;
        w.after.hash = hash;
        w.after.mtimeNs = int64_t{written.st_mtim.tv_sec} * 1000000000 + written.st_mtim.tv_nsec;
        newFiles.push_back(std::move(fd));
        j.files.push_back({w.name, 0, 0, tempName, size, hash});
    }
    // The new files are synced from here on, while the hashes of the loaded
    // texts are awaited and the backup is written and synced: the file
    // system commits them together.
    std::vector<int> fds;
    for (const Fd& fd : newFiles) fds.push_back(fd.get());
    int syncFailed = -1, syncErr = 0;
    std::thread syncing = inBackground([&] { syncFailed = syncTogether(fds, &syncErr); });
    bool ready = true;
    for (size_t i = 0; ready && i < writes.size(); ++i) {
        RegistryWrite& w = writes[i];
        if (hashes[i].started()) {
            w.before.hash = hashes[i].result();
            w.before.hashPending = false;
            if (w.loaded->lost()) {
                w.identity->lost = true;
                *error = dir + "/" + w.name +
                         " was changed by another program while this program was stopped and "
                         "could not guard what it had read; nothing was written";
                ready = false;
                break;
            }
            w.identity->hash = w.before.hash;
            w.identity->hashPending = false;
        }
        j.files[i].baseSize = w.before.size;
        j.files[i].baseHash = w.before.hash;
    }
    ready = ready && (!beforeCommitPoint || beforeCommitPoint(writes, &j.ops, error));
    syncing.join();
    if (!ready) return giveUp();
    if (syncFailed >= 0) {
        return undo("cannot write " + dir + "/" + j.files[static_cast<size_t>(syncFailed)].newName,
                    syncErr);
    }
    for (size_t i = 0; i < newFiles.size(); ++i) {
        if (::close(newFiles[i].release()) != 0) {
            return undo("cannot write " + dir + "/" + j.files[i].newName, errno);
        }
        step("fsync");
    }
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
        if (!ok) return undo("cannot write " + dir + "/" + journalName, errno);
        // The journal and its entry in the folder, together.
        int err = 0;
        const int failed = syncTogether({fd.get(), dirFd}, &err);
        if (failed == 0 || ::close(fd.release()) != 0) {
            return undo("cannot write " + dir + "/" + journalName, failed == 0 ? err : errno);
        }
        step("fsync journal");
        if (failed == 1) return undo("cannot sync " + dir, err);
    }
    step("fsync directory");
    // Decided: from here on a crash is finished by the next start.
    *decided = true;
    const std::string later = "; the change is finished at the next start";
    std::vector<Swap> swaps;
    for (size_t i = 0; i < writes.size(); ++i) {
        swaps.push_back({writes[i].name, j.files[i].newName, writes[i].before,
                         guarded[i] ? writes[i].loaded : nullptr,
                         leases[i].started() ? &leases[i] : nullptr});
    }
    int err = 0;
    // The folders are synced once everything of the change is in place:
    // the file system commits it all at once, before the journal goes.
    const Replaced replaced =
        swaps.empty() ? Replaced::Done : replaceChecked(dirFd, swaps, true, &err, true);
    // A writer that waits for one of the leases gets in now, to a file that
    // is in its place again or swapped out for good.
    for (size_t i = 0; i < writes.size(); ++i) leases[i].release();
    if (replaced == Replaced::Changed) {
        // Nothing was changed after all: the journal goes, and the new files.
        *decided = false;
        giveUp();
        syncDir(dirFd);
        *error = dir + "/" + (writes.size() == 1 ? writes.front().name : "a registry file") +
                 " was changed by another program since it was loaded; it was not overwritten";
        return false;
    }
    if (replaced == Replaced::Failed) {
        *error = "cannot replace the registry files in " + dir + ": " + errnoText(err) + later;
        return false;
    }
    for (RegistryWrite& w : writes) *w.identity = w.after;
    std::string why;
    std::vector<Fd> published;
    if (!finishOps(store, j.ops, warnings, &step, &published, &why)) {
        *error = dir + ": " + why + later;
        return false;
    }
    std::vector<int> folders = {dirFd};
    for (const Fd& fd : published) folders.push_back(fd.get());
    if (syncTogether(folders, &err) >= 0) {
        *error = "cannot sync " + dir + ": " + errnoText(err) + later;
        return false;
    }
    step("fsync directory");
    // The journal's removal need not reach the disk now: were it lost, the
    // next start would find every step done and only remove it (and the
    // next commit's own folder sync makes it durable first).
    if (::unlinkat(dirFd, journalName.c_str(), 0) != 0) {
        *error = "cannot remove " + dir + "/" + journalName + ": " + errnoText(errno) + later;
        return false;
    }
    step("unlink journal");
    return true;
}

void setCommitStepHook(std::function<void(int, const char*)> hook) { g_stepHook = std::move(hook); }

void setBeforeJournalHook(std::function<void()> hook) { g_beforeJournalHook = std::move(hook); }

}  // namespace winsim
