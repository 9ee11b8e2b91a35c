// Recovery of a store folder: the journals a cut-short commit left are
// finished or given up, and the file operations of a decided change (its
// drive's files, then its publications) carried out.
#include "winsim/src/storage/store.h"

#include "winsim/src/storage/store_journal.h"
#include "winsim/src/storage/store_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace winsim {

namespace {

void step(const char* what) { commitStep(what); }

std::string errnoText(int err) { return std::strerror(err); }

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

// The folder `op.source` renamed to `op.relative` (both relative to the
// store folder, reached without following links), with `kept` (paths below
// the drive whose deletion failed) in its file "kept" first. Done already
// (a replay) when the target exists or the source does not.
bool publish(int dirFd, const FileOp& op, const std::vector<std::string>& kept,
             std::vector<Fd>* syncLater, std::string* error) {
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
    if (syncLater) {
        syncLater->push_back(std::move(from));
        syncLater->push_back(std::move(to));
        return true;
    }
    if (!syncDir(from.get()) || !syncDir(to.get())) return fail("sync " + op.relative);
    return true;
}

}  // namespace

bool finishOps(const StoreFolder& store, const std::vector<FileOp>& ops,
               std::vector<std::string>* failures, void (*onStep)(const char*),
               std::vector<Fd>* syncLater, std::string* error) {
    std::vector<std::string> kept;
    bool onDrive = false;
    for (const FileOp& op : ops) onDrive = onDrive || op.kind != FileOp::Publish;
    if (onDrive) {
        Fd drive = openDrive(store);
        if (drive.valid()) {
            applyFileOps(drive.get(), ops, failures, onStep, store.dirFd, &kept);
        } else {
            failures->push_back("cannot open the drive " + store.driveDir + ": " +
                                errnoText(errno) + "; its files were not changed");
        }
    }
    for (const FileOp& op : ops) {
        if (op.kind == FileOp::Publish && !publish(store.dirFd, op, kept, syncLater, error)) {
            return false;
        }
    }
    return true;
}

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
        // Each registry file is replaced already (its new file gone, or
        // still there holding what was swapped out, not yet checked), or
        // still to be replaced.
        std::vector<Swap> toReplace, swappedOut;
        bool anyDone = false;
        for (const JournalFile& f : j.files) {
            FileIdentity base, made;
            base.size = f.baseSize;
            base.hash = f.baseHash;
            made.size = f.newSize;
            made.hash = f.newHash;
            struct stat st;
            const bool haveNew = ::fstatat(dirFd, f.newName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
            if (sameFile(dirFd, f.name, made, false)) {
                if (haveNew) {
                    swappedOut.push_back({f.name, f.newName, base});
                } else {
                    anyDone = true;
                }
            } else if (haveNew && sameFile(dirFd, f.newName, made, false)) {
                toReplace.push_back({f.name, f.newName, base});
            } else {
                *error = cannot + ": " + f.name +
                         " is neither the file it was made for nor its result; the journal was "
                         "left in place";
                return false;
            }
        }
        // Once one old file was removed, every one had been checked.
        bool changed = false;
        for (const Swap& s : swappedOut) {
            changed = changed || (!anyDone && !sameFile(dirFd, s.newName, s.base, false));
        }
        int err = 0;
        Replaced replaced = Replaced::Done;
        if (changed) {
            for (const Swap& s : swappedOut) {
                if (exchange(dirFd, s.newName, s.name) != 0) {
                    err = errno;
                    replaced = Replaced::Failed;
                }
            }
            if (replaced != Replaced::Failed) replaced = Replaced::Changed;
        } else {
            for (const Swap& s : swappedOut) {
                if (::unlinkat(dirFd, s.newName.c_str(), 0) != 0 && errno != ENOENT) {
                    err = errno;
                    replaced = Replaced::Failed;
                }
            }
            if (replaced == Replaced::Done && !toReplace.empty()) {
                replaced = replaceChecked(dirFd, toReplace, false, &err);
            }
        }
        if (replaced == Replaced::Failed) {
            *error = cannot + ": cannot replace the registry files: " + errnoText(err);
            return false;
        }
        if (replaced == Replaced::Changed) {
            // Another program's edit came in while the change was made: it
            // is kept, and the change given up as if never decided.
            ::unlinkat(dirFd, name.c_str(), 0);
            removed = true;  // the new files go with the strays below
            notices->push_back(dir +
                               ": an interrupted change was given up: a registry file was "
                               "changed by another program meanwhile and was kept");
            continue;
        }
        std::vector<std::string> failures;
        std::string why;
        if (!finishOps(store, j.ops, &failures, nullptr, nullptr, &why)) {
            *error = cannot + ": " + why;
            return false;
        }
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

}  // namespace winsim
