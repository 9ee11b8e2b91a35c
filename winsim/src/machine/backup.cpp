// Backups before a commit: written whole under a name undo ignores, published
// by the commit that makes their change (store.h), leftovers removed at start.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "winsim/api/win32_base.h"
#include "winsim/safety.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/machine/changes.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/storage/hive_store.h"
#include "winsim/src/storage/store_parallel.h"

namespace winsim {

namespace {

std::function<void(const std::string&)> g_backupObserver;

std::string errnoText() { return std::strerror(errno); }

// The files and folders a backup writes, synced together when it is whole:
// every file's write-out is started first, so the file system commits them
// in one go instead of one journal commit per file and folder.
class PendingSyncs {
public:
    PendingSyncs() = default;
    PendingSyncs(const PendingSyncs&) = delete;
    PendingSyncs& operator=(const PendingSyncs&) = delete;
    // Keeps `fd` (a file or a folder) to be synced; false when it cannot be
    // kept open.
    bool add(int fd, const std::string& shown, std::string* error) {
        struct stat st;
        if (::fstat(fd, &st) == 0) {
            for (const Entry& e : pending_) {
                if (e.dev == st.st_dev && e.ino == st.st_ino) return true;  // once is enough
            }
        }
        if (pending_.size() >= kMaxOpen && !syncAll(error)) return false;
        Fd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!copy.valid()) {
            *error = "cannot sync " + shown + ": " + errnoText();
            return false;
        }
        pending_.push_back({std::move(copy), shown, st.st_dev, st.st_ino});
        return true;
    }
    bool syncAll(std::string* error) {
        std::vector<int> fds;
        for (const Entry& e : pending_) fds.push_back(e.fd.get());
        int err = 0;
        const int failed = syncTogether(fds, &err);
        if (failed >= 0) {
            *error = "cannot sync " + pending_[static_cast<size_t>(failed)].shown + ": " +
                     std::strerror(err);
        }
        pending_.clear();
        return failed < 0;
    }

private:
    static constexpr size_t kMaxOpen = 128;
    struct Entry {
        Fd fd;
        std::string shown;
        dev_t dev;
        ino_t ino;
    };
    std::vector<Entry> pending_;
};

// The folder `name` in dirFd, made when missing (`made` says so), opened
// without following a link.
Fd makeOrOpenFolder(int dirFd, const std::string& name, bool* made, std::string* error) {
    *made = ::mkdirat(dirFd, name.c_str(), 0755) == 0;
    if (!*made && errno != EEXIST) {
        *error = "cannot create " + name + ": " + errnoText();
        return Fd();
    }
    Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) *error = "cannot open " + name + ": " + errnoText();
    return fd;
}

// makeFolder, with the folder holding a new one synced later.
Fd makeFolderLater(int dirFd, const std::string& name, PendingSyncs* syncs, std::string* error) {
    bool made = false;
    Fd fd = makeOrOpenFolder(dirFd, name, &made, error);
    if (fd.valid() && made && !syncs->add(dirFd, "the folder holding " + name, error)) return Fd();
    return fd;
}

bool writeFileAt(int dirFd, const std::string& name, const std::string& bytes, unsigned mode,
                 PendingSyncs* syncs, std::string* error) {
    Fd fd(
        ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        *error = "cannot create " + name + ": " + errnoText();
        return false;
    }
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t put = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            *error = "cannot write " + name + ": " + errnoText();
            return false;
        }
        done += static_cast<size_t>(put);
    }
    if (::fchmod(fd.get(), mode & 07777) != 0) {
        *error = "cannot write " + name + ": " + errnoText();
        return false;
    }
    return syncs->add(fd.get(), name, error);
}

// Copies the open file `from` (`shown` in messages) into the new file
// `name` of `dirFd` in pieces, giving the size and content hash of what
// was copied.
bool copyFileAt(int from, const std::string& shown, int dirFd, const std::string& name,
                unsigned mode, uint64_t* size, uint64_t* hash, PendingSyncs* syncs,
                std::string* error) {
    Fd fd(
        ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        *error = "cannot create " + name + ": " + errnoText();
        return false;
    }
    ContentHasher hasher;
    PieceWriter writer(fd.get());
    std::vector<char> buffer(size_t{1} << 20);
    *size = 0;
    while (true) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = shown + ": cannot be read (" + errnoText() + ")";
            return false;
        }
        if (n == 0) break;
        hasher.update(buffer.data(), static_cast<size_t>(n));
        *size += static_cast<uint64_t>(n);
        if (!writer.put(buffer.data(), static_cast<size_t>(n))) {
            errno = writer.error();
            *error = "cannot write " + name + ": " + errnoText();
            return false;
        }
    }
    if (!writer.flush()) {
        errno = writer.error();
        *error = "cannot write " + name + ": " + errnoText();
        return false;
    }
    *hash = hasher.finish();
    if (::fchmod(fd.get(), mode & 07777) != 0) {
        *error = "cannot write " + name + ": " + errnoText();
        return false;
    }
    return syncs->add(fd.get(), name, error);
}

// Syncs the folder `fd` (`shown` in messages).
bool syncFolder(int fd, const std::string& shown, std::string* error) {
    if (::fsync(fd) == 0 || errno == EINVAL) return true;
    *error = "cannot sync " + shown + ": " + errnoText();
    return false;
}

std::string utcStamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%06ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long>(now.tv_nsec / 1000));
    return text;
}

// Copies the drive entry `relative` (a file or a link) into `filesFd` at
// the same relative path; its permission bits go to `mode`.
bool copyDriveEntry(const Machine& m, const std::string& relative, int filesFd, unsigned* mode,
                    PendingSyncs* syncs, std::string* error) {
    const ResolvedPath r = resolveDrivePath(m.driveDir, windowsPath(relative));
    struct stat st;
    if (r.error != 0 || ::fstatat(r.dir.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = "cannot read drive_c/" + relative;
        return false;
    }
    *mode = st.st_mode & 07777;
    Fd dir(::fcntl(filesFd, F_DUPFD_CLOEXEC, 0));
    std::string rest = relative;
    for (size_t slash; (slash = rest.find('/')) != std::string::npos;) {
        Fd next = makeFolderLater(dir.get(), rest.substr(0, slash), syncs, error);
        if (!next.valid()) return false;
        dir = std::move(next);
        rest.erase(0, slash + 1);
    }
    if (!S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) {
        *error = "drive_c/" + relative + " is not a regular file; not copied";
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        const ssize_t n = ::readlinkat(r.dir.get(), r.name.c_str(), &target[0], target.size());
        if (n < 0 || ::symlinkat(target.substr(0, static_cast<size_t>(n)).c_str(), dir.get(),
                                 rest.c_str()) != 0) {
            *error = "cannot copy the link drive_c/" + relative + ": " + errnoText();
            return false;
        }
    } else {
        // Never a pipe or device: opened without blocking, its kind checked
        // on the descriptor, and copied in pieces.
        Fd in(::openat(r.dir.get(), r.name.c_str(),
                       O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (!in.valid() || ::fstat(in.get(), &st) != 0) {
            *error = "cannot read drive_c/" + relative + ": " + errnoText();
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            *error = "drive_c/" + relative + " is not a regular file; not copied";
            return false;
        }
        uint64_t size = 0, hash = 0;
        if (!copyFileAt(in.get(), "drive_c/" + relative, dir.get(), rest, *mode, &size, &hash,
                        syncs, error)) {
            return false;
        }
    }
    return syncs->add(dir.get(), "the backup's copy of drive_c/" + relative, error);
}

std::string hex(uint64_t v) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

// Keeps the registry file `name` of the store folder, as it is now, as
// `copy` in the backup folder: a second link to the same file where the
// file system allows it (the commit replaces the file by a new one, so the
// old one is never written again), a copy otherwise. Either way it must
// have the content the commit checked.
bool keepRegistryFile(int dirFd, const std::string& name, const std::string& shown, int folderFd,
                      const std::string& copy, const FileIdentity& checked, PendingSyncs* syncs,
                      std::string* error) {
    if (::linkat(dirFd, name.c_str(), folderFd, copy.c_str(), 0) == 0) {
        struct stat st;
        if (::fstatat(folderFd, copy.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            st.st_dev == checked.dev && st.st_ino == checked.ino) {
            return true;
        }
        *error = shown + " was replaced while it was backed up";
        return false;
    }
    Fd before;
    if (!openRegularFile(dirFd, name, shown, kMaxRegistryFileSize, &before, error)) return false;
    uint64_t size = 0, hash = 0;
    if (!copyFileAt(before.get(), shown, folderFd, copy, 0644, &size, &hash, syncs, error)) {
        return false;
    }
    if (size != checked.size || hash != checked.hash) {
        *error = shown + " was changed by another program while it was backed up";
        return false;
    }
    return true;
}

// Copies `from` (values and subkeys) into `to`, without recursion.
void copyInto(const RegKey& from, RegKey* to) {
    std::vector<std::pair<const RegKey*, RegKey*>> work = {{&from, to}};
    while (!work.empty()) {
        const auto [source, target] = work.back();
        work.pop_back();
        for (const RegValue& v : source->values()) target->setValue(v.name, v.type, v.data);
        for (const auto& sub : source->subkeys) {
            work.push_back({sub.get(), target->createSubkey(sub->name)});
        }
    }
}

// The deleted subtrees as they were at `point`: copies (in `scratch`) of
// the keys deleted since, the keys deleted earlier put back below the later
// tops, and every value change made to them since undone. A removal enables
// a device before it removes it; its backup keeps the device as it was.
std::vector<RegSubtree> keysAsTheyWere(const Registry& registry, size_t point,
                                       const std::vector<DeletedKey>& keys, Registry* scratch) {
    scratch->recording = false;
    std::vector<RegSubtree> tops;
    std::vector<std::string> topFolds;
    for (const DeletedKey& k : keys) {
        const std::string fold = foldName(k.path);
        size_t top = 0;
        while (top < topFolds.size() && !keyBelow(fold, topFolds[top]) && fold != topFolds[top]) {
            ++top;
        }
        RegKey* target = nullptr;
        if (top == topFolds.size()) {
            target = scratch->localMachine->createSubkey(std::to_string(tops.size()));
            tops.push_back({k.path, target});
            topFolds.push_back(fold);
        } else if (fold == topFolds[top]) {
            target = const_cast<RegKey*>(tops[top].key);
        } else {
            std::vector<std::string> parts;
            if (splitKeyPath(k.path.substr(tops[top].path.size() + 1), &parts)) {
                target = const_cast<RegKey*>(tops[top].key);
                for (const std::string& part : parts) target = target->createSubkey(part);
            }
        }
        if (target && k.subtree) copyInto(*k.subtree, target);
    }
    const std::vector<RegChange> changes = registry.changesSince(point);
    for (auto c = changes.rbegin(); c != changes.rend(); ++c) {
        if (c->kind != RegChangeKind::ValueSet && c->kind != RegChangeKind::ValueDeleted) continue;
        const std::string fold = foldName(c->path);
        for (size_t top = 0; top < tops.size(); ++top) {
            if (fold != topFolds[top] && !keyBelow(fold, topFolds[top])) continue;
            RegKey* key = const_cast<RegKey*>(tops[top].key);
            if (fold != topFolds[top]) {
                key = findKeyPath(key, c->path.substr(tops[top].path.size() + 1));
            }
            if (!key) break;
            if (c->before) {
                key->setValue(c->before->name, c->before->type, c->before->data);
            } else {
                key->removeValue(c->valueName);
            }
            break;
        }
    }
    return tops;
}

}  // namespace

const char kBackupManifestMagic[] = "quorvane-backup 1";

Fd makeFolder(int dirFd, const std::string& name, std::string* error) {
    bool made = false;
    Fd fd = makeOrOpenFolder(dirFd, name, &made, error);
    if (fd.valid() && made && !syncFolder(dirFd, "the folder holding " + name, error)) return Fd();
    return fd;
}

void setBackupObserver(std::function<void(const std::string&)> observer) {
    g_backupObserver = std::move(observer);
}

bool backupBeforeCommit(Machine& m, const std::vector<RegistryWrite>& writes, FileOp* publish,
                        std::string* error) {
    *publish = FileOp();
    if (!g_backupObserver) return true;
    const CommandChanges::Mark committed = m.changes.lastCommit();
    const std::vector<DeletedKey> keys = m.changes.deletedKeys(committed);
    const std::vector<std::string> files = m.changes.deletedFiles(committed);
    const std::vector<std::string>& instances = m.changes.removedInstances;
    if (keys.empty() && files.empty() && instances.empty()) return true;
    const std::string failed = "the backup could not be written: ";
    std::string why;
    // Written under a name that undo ignores; the commit publishes it by a
    // rename once its change is made (store.h): a backup folder is whole,
    // and there only for a change that happened. backups/ is never a link
    // (makeFolder does not follow one).
    PendingSyncs syncs;  // all synced once the backup is whole, before the commit point
    Fd backups = makeFolderLater(m.lock.get(), "backups", &syncs, &why);
    std::string name = utcStamp();
    std::string partial;
    Fd folder;
    for (int n = 0; backups.valid() && !folder.valid() && n < 100; ++n) {
        const std::string tried = n == 0 ? name : name + "-" + std::to_string(n);
        struct stat st;
        if (::fstatat(backups.get(), tried.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
        partial = ".partial-" + tried;
        if (::mkdirat(backups.get(), partial.c_str(), 0755) == 0) {
            name = tried;
            folder = makeFolderLater(backups.get(), partial, &syncs, &why);
            if (!folder.valid()) break;
        } else if (errno != EEXIST) {
            why = "cannot create backups/" + partial + ": " + errnoText();
            partial.clear();
            break;
        } else {
            partial.clear();
        }
    }
    if (!folder.valid()) {
        if (!partial.empty()) discardBackup(m, "backups/" + partial);
        *error = failed + (why.empty() ? "no free name in backups/" : why);
        return false;
    }
    // The mkdirat above made the folder, which makeFolderLater found there.
    bool ok = syncs.add(backups.get(), "backups", &why);
    std::string manifest = std::string(kBackupManifestMagic) + "\n";
    for (const RegistryWrite& w : writes) {
        ok = ok && keepRegistryFile(m.lock.get(), w.name, m.dir + "/" + w.name, folder.get(),
                                    w.name + ".before", w.before, &syncs, &why);
        manifest += "registry " + escapePath(w.name) + " " + std::to_string(w.before.size) + " " +
                    hex(w.before.hash) + " " + std::to_string(w.after.size) + " " +
                    hex(w.after.hash) + "\n";
    }
    for (const std::string& key : topKeys(keys)) manifest += "key " + escapePath(key) + "\n";
    for (const std::string& id : instances) {
        manifest += "instance " + escapePath(id) + "\n";
    }
    Registry scratch;
    const std::vector<RegSubtree> subtrees =
        keysAsTheyWere(m.registry, committed.registry, keys, &scratch);
    ok = ok && writeFileAt(folder.get(), "deleted.reg", exportKeys(subtrees, m.format, m.codePage),
                           0644, &syncs, &why);
    Fd filesDir = ok ? makeFolderLater(folder.get(), "files", &syncs, &why) : Fd();
    ok = ok && filesDir.valid();
    for (size_t i = 0; ok && i < files.size(); ++i) {
        unsigned mode = 0;
        ok = copyDriveEntry(m, files[i], filesDir.get(), &mode, &syncs, &why);
        char octal[16];
        std::snprintf(octal, sizeof octal, "%04o", mode);
        manifest += std::string("file ") + octal + " " + escapePath(files[i]) + "\n";
    }
    ok = ok && writeFileAt(folder.get(), "manifest", manifest, 0644, &syncs, &why) &&
         syncs.add(filesDir.get(), "backups/" + partial + "/files", &why) &&
         syncs.add(folder.get(), "backups/" + partial, &why) && syncs.syncAll(&why);
    if (!ok) {
        discardBackup(m, "backups/" + partial);
        *error = failed + why;
        return false;
    }
    publish->kind = FileOp::Publish;
    publish->source = "backups/" + partial;
    publish->relative = "backups/" + name;
    return true;
}

namespace {

// Removes the entry `name` of `dirFd` and, for a folder, what it holds,
// never through a link. `depth` bounds a tree that grows as it is removed.
void removeTree(int dirFd, const std::string& name, int depth) {
    if (::unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT) return;
    Fd dir(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid() || depth > 256) return;
    std::vector<std::string> entries;
    Fd own(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (DIR* d = ::fdopendir(own.release())) {
        while (dirent* e = ::readdir(d)) {
            const std::string entry = e->d_name;
            if (entry != "." && entry != "..") entries.push_back(entry);
        }
        ::closedir(d);
    }
    for (const std::string& entry : entries) removeTree(dir.get(), entry, depth + 1);
    ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
}

}  // namespace

void discardBackup(Machine& m, const std::string& partial) {
    std::string name;
    Fd parent = openParentNoFollow(m.lock.get(), partial, &name);
    if (!parent.valid()) return;
    removeTree(parent.get(), name, 0);
    ::fsync(parent.get());
}

void announceBackup(const std::string& folder) {
    if (g_backupObserver) g_backupObserver(folder);
}

void removeLeftoverBackups(Machine& m, std::vector<std::string>* notices) {
    Fd backups(::openat(m.lock.get(), "backups", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!backups.valid()) return;
    std::vector<std::string> leftovers;
    Fd own(::openat(backups.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (DIR* d = ::fdopendir(own.release())) {
        while (dirent* e = ::readdir(d)) {
            const std::string entry = e->d_name;
            if (entry.rfind(".partial-", 0) == 0) leftovers.push_back(entry);
        }
        ::closedir(d);
    }
    for (const std::string& entry : leftovers) {
        // Every decided change was finished before this: what is left is
        // the backup of a change that was never made.
        discardBackup(m, "backups/" + entry);
        notices->push_back(m.dir + "/backups/" + entry +
                           ": removed, the backup of a change that was not made");
    }
}

}  // namespace winsim
