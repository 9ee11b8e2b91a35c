// Backups before a commit, and undo of the latest backup.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "winsim/api/win32_base.h"
#include "winsim/safety.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/machine/changes.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/storage/hive_store.h"

namespace winsim {

namespace {

const char kManifestMagic[] = "quorvane-backup 1";

std::function<void(const std::string&)> g_backupObserver;

std::string errnoText() { return std::strerror(errno); }

bool writeFileAt(int dirFd, const std::string& name, const std::string& bytes, unsigned mode,
                 std::string* error) {
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
    if (::fchmod(fd.get(), mode & 07777) != 0 || ::fsync(fd.get()) != 0) {
        *error = "cannot sync " + name + ": " + errnoText();
        return false;
    }
    return true;
}

// Copies the open file `from` (`shown` in messages) into the new file
// `name` of `dirFd` in pieces, giving the size and content hash of what
// was copied.
bool copyFileAt(int from, const std::string& shown, int dirFd, const std::string& name,
                unsigned mode, uint64_t* size, uint64_t* hash, std::string* error) {
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
    if (::fchmod(fd.get(), mode & 07777) != 0 || ::fsync(fd.get()) != 0) {
        *error = "cannot sync " + name + ": " + errnoText();
        return false;
    }
    return true;
}

// Opens (creating) the folder `name` of `dirFd`.
Fd makeDir(int dirFd, const std::string& name, std::string* error) {
    if (::mkdirat(dirFd, name.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create " + name + ": " + errnoText();
        return Fd();
    }
    Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) *error = "cannot open " + name + ": " + errnoText();
    return fd;
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
                    std::string* error) {
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
        Fd next = makeDir(dir.get(), rest.substr(0, slash), error);
        if (!next.valid()) return false;
        dir = std::move(next);
        rest.erase(0, slash + 1);
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
        Fd in(::openat(r.dir.get(), r.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        std::string bytes;
        char buffer[65536];
        ssize_t got = 0;
        while (in.valid() && (got = ::read(in.get(), buffer, sizeof buffer)) != 0) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            bytes.append(buffer, static_cast<size_t>(got));
        }
        if (!in.valid() || got < 0) {
            *error = "cannot read drive_c/" + relative + ": " + errnoText();
            return false;
        }
        if (!writeFileAt(dir.get(), rest, bytes, *mode, error)) return false;
    }
    ::fsync(dir.get());
    return true;
}

// A registry file a backed-up commit replaced: NAME.before holds it as it
// was.
struct BackedUpFile {
    std::string name;
    uint64_t beforeSize = 0, beforeHash = 0, afterSize = 0, afterHash = 0;
};

struct Manifest {
    std::vector<BackedUpFile> registry;
    std::vector<std::string> keys, instances;
    std::vector<std::pair<unsigned, std::string>> files;  // mode, relative
};

std::string hex(uint64_t v) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

bool parseManifest(const std::string& text, Manifest* out) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kManifestMagic) return false;
    // Backups of earlier versions: "before" and "after" of system.reg.
    BackedUpFile old;
    old.name = "system.reg";
    bool before = false, after = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word, a, b;
        words >> word >> a >> b;
        if (word == "before" || word == "after") {
            unsigned long long size = 0, hash = 0;
            if (std::sscanf(a.c_str(), "%llu", &size) != 1 ||
                std::sscanf(b.c_str(), "%llx", &hash) != 1) {
                return false;
            }
            (word == "before" ? old.beforeSize : old.afterSize) = size;
            (word == "before" ? old.beforeHash : old.afterHash) = hash;
            (word == "before" ? before : after) = true;
        } else if (word == "registry") {
            BackedUpFile f;
            std::string c, d;
            words >> c >> d;
            unsigned long long sizes[2] = {}, hashes[2] = {};
            if (!unescapePath(a, &f.name) || f.name.find('/') != std::string::npos ||
                std::sscanf(b.c_str(), "%llu", &sizes[0]) != 1 ||
                std::sscanf(c.c_str(), "%llx", &hashes[0]) != 1 ||
                std::sscanf(d.c_str(), "%llu", &sizes[1]) != 1) {
                return false;
            }
            std::string e;
            words >> e;
            if (std::sscanf(e.c_str(), "%llx", &hashes[1]) != 1) return false;
            f.beforeSize = sizes[0];
            f.beforeHash = hashes[0];
            f.afterSize = sizes[1];
            f.afterHash = hashes[1];
            out->registry.push_back(f);
        } else if (word == "key" || word == "instance") {
            std::string path;
            if (!unescapePath(a, &path)) return false;
            (word == "key" ? out->keys : out->instances).push_back(path);
        } else if (word == "file") {
            std::string path;
            if (!unescapePath(b, &path)) return false;
            out->files.push_back(
                {static_cast<unsigned>(std::strtoul(a.c_str(), nullptr, 8)), path});
        } else if (!word.empty()) {
            return false;
        }
    }
    if (before != after) return false;
    if (before && (old.beforeSize != old.afterSize || old.beforeHash != old.afterHash)) {
        out->registry.push_back(old);
    }
    return true;
}

// Keeps the registry file `name` of the store folder, as it is now, as
// `copy` in the backup folder: a second link to the same file where the
// file system allows it (the commit replaces the file by a new one, so the
// old one is never written again), a copy otherwise. Either way it must
// have the content the commit checked.
bool keepRegistryFile(int dirFd, const std::string& name, const std::string& shown, int folderFd,
                      const std::string& copy, const FileIdentity& checked, std::string* error) {
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
    if (!copyFileAt(before.get(), shown, folderFd, copy, 0644, &size, &hash, error)) return false;
    if (size != checked.size || hash != checked.hash) {
        *error = shown + " was changed by another program while it was backed up";
        return false;
    }
    return true;
}

bool readAt(int dirFd, const std::string& name, std::string* out) {
    std::string error;
    return readRegularFile(dirFd, name, name, kMaxRegistryFileSize, out, nullptr, &error);
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

void setBackupObserver(std::function<void(const std::string&)> observer) {
    g_backupObserver = std::move(observer);
}

bool backupBeforeCommit(Machine& m, const std::vector<RegistryWrite>& writes, std::string* error) {
    if (!g_backupObserver) return true;
    const CommandChanges::Mark committed = m.changes.lastCommit();
    const std::vector<DeletedKey> keys = m.changes.deletedKeys(committed);
    const std::vector<std::string> files = m.changes.deletedFiles(committed);
    const std::vector<std::string>& instances = m.changes.removedInstances;
    if (keys.empty() && files.empty() && instances.empty()) return true;
    const std::string failed = "the backup could not be written: ";
    std::string why;
    // Written under a name that undo ignores and published by a rename once
    // complete: a backup folder is whole or absent. backups/ is never a
    // link (makeDir does not follow one).
    Fd backups = makeDir(m.lock.get(), "backups", &why);
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
            folder = makeDir(backups.get(), partial, &why);
        } else if (errno != EEXIST) {
            why = "cannot create backups/" + partial + ": " + errnoText();
            break;
        }
    }
    if (!folder.valid()) {
        *error = failed + why;
        return false;
    }
    bool ok = true;
    std::string manifest = std::string(kManifestMagic) + "\n";
    for (const RegistryWrite& w : writes) {
        ok = ok && keepRegistryFile(m.lock.get(), w.name, m.dir + "/" + w.name, folder.get(),
                                    w.name + ".before", w.before, &why);
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
                           0644, &why);
    Fd filesDir = ok ? makeDir(folder.get(), "files", &why) : Fd();
    ok = ok && filesDir.valid();
    for (size_t i = 0; ok && i < files.size(); ++i) {
        unsigned mode = 0;
        ok = copyDriveEntry(m, files[i], filesDir.get(), &mode, &why);
        char octal[16];
        std::snprintf(octal, sizeof octal, "%04o", mode);
        manifest += std::string("file ") + octal + " " + escapePath(files[i]) + "\n";
    }
    ok = ok && writeFileAt(folder.get(), "manifest", manifest, 0644, &why) &&
         ::fsync(filesDir.get()) == 0 && ::fsync(folder.get()) == 0;
    if (ok && ::renameat(backups.get(), partial.c_str(), backups.get(), name.c_str()) != 0) {
        why = "cannot rename backups/" + partial + ": " + errnoText();
        ok = false;
    }
    ok = ok && ::fsync(backups.get()) == 0 && ::fsync(m.lock.get()) == 0;
    if (!ok) {
        std::error_code ignored;
        std::filesystem::remove_all(m.dir + "/backups/" + partial, ignored);
        *error = failed + why;
        return false;
    }
    g_backupObserver(m.dir + "/backups/" + name);
    return true;
}

UndoResult undoLatestBackup(std::string* message) {
    Machine* m = currentMachine();
    if (!m) {
        *message = "no machine loaded";
        return UndoResult::Failed;
    }
    if (m->readOnly) {
        *message = m->dir + ": not undone, nothing changed: the machine is read-only (" +
                   m->readOnlyReason + ")";
        return UndoResult::Refused;
    }
    Fd backups(::openat(m->lock.get(), "backups", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string latest;
    if (backups.valid()) {
        Fd own(::openat(backups.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (DIR* d = ::fdopendir(own.release())) {
            while (dirent* e = ::readdir(d)) {
                const std::string entry = e->d_name;
                if (entry.empty() || entry[0] == '.' || entry == "undone") continue;
                if (entry > latest) latest = entry;
            }
            ::closedir(d);
        }
    }
    if (latest.empty()) {
        *message = m->dir + ": no backup to undo";
        return UndoResult::NothingToUndo;
    }
    const std::string shown = m->dir + "/backups/" + latest;
    Fd folder(
        ::openat(backups.get(), latest.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string text;
    Manifest manifest;
    if (!folder.valid() || !readAt(folder.get(), "manifest", &text) ||
        !parseManifest(text, &manifest)) {
        *message = shown + ": not a complete backup (no readable manifest); nothing changed";
        return UndoResult::Failed;
    }
    // What would come back must be gone.
    std::vector<std::string> present;
    for (const std::string& key : manifest.keys) {
        const size_t slash = key.find('\\');
        const std::string root = Registry::canonicalRoot(key.substr(0, slash));
        RegKey* top = m->registry.root(root, false);
        if (top &&
            (slash == std::string::npos || findKeyPath(top, key.substr(slash + 1)) != nullptr)) {
            present.push_back(key);
        }
    }
    std::vector<FileOp> ops;
    for (const auto& file : manifest.files) {
        const ResolvedPath r = resolveDrivePath(m->driveDir, windowsPath(file.second));
        struct stat st;
        if (r.error != ERROR_FILE_NOT_FOUND ||
            ::fstatat(r.dir.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (r.error == 0 || r.error == ERROR_FILE_NOT_FOUND) {
                present.push_back(windowsPath(file.second));
            } else {
                present.push_back(windowsPath(file.second) + " (its folder is gone)");
            }
            continue;
        }
        FileOp op;
        op.kind = FileOp::Restore;
        op.relative = r.relative;
        op.mode = file.first;
        op.source = "backups/" + latest + "/files/" + file.second;
        ops.push_back(op);
    }
    if (!present.empty()) {
        *message = shown + ": not undone, nothing changed: these exist again:";
        for (const std::string& p : present) *message += "\n  " + p;
        return UndoResult::Refused;
    }
    // The registry files as that commit left them get their bytes from
    // before it back; otherwise the deleted keys are imported again.
    bool exact = true;
    for (const BackedUpFile& f : manifest.registry) {
        FileIdentity now;
        exact = exact && identifyFile(m->lock.get(), f.name, &now) && now.size == f.afterSize &&
                now.hash == f.afterHash;
    }
    std::vector<std::string> before(manifest.registry.size());
    std::vector<TextSource> sources(manifest.registry.size());
    std::vector<RegistryWrite> writes;
    std::string why;
    for (size_t i = 0; exact && i < manifest.registry.size(); ++i) {
        const BackedUpFile& f = manifest.registry[i];
        FileIdentity* identity = m->hives ? m->hives->identityOf(f.name) : &m->regFile;
        if (!identity || (!m->hives && f.name != m->registryFiles.front())) {
            *message =
                shown + ": names " + f.name + ", which is not this machine's; nothing changed";
            return UndoResult::Failed;
        }
        if (!readAt(folder.get(), f.name + ".before", &before[i]) ||
            before[i].size() != f.beforeSize || contentHash(before[i]) != f.beforeHash) {
            *message = shown + ": " + f.name + ".before is damaged; nothing changed";
            return UndoResult::Failed;
        }
        const std::string* bytes = &before[i];
        sources[i] = [bytes](const TextSink& sink) { return sink(bytes->data(), bytes->size()); };
        settleHash(m->regFile, m->registry.source);
        writes.push_back(RegistryWrite{f.name, identity, writeText(&sources[i]), {}, {}});
    }
    const TextSource patched = [m](const TextSink& sink) {
        return exportRegFile(m->registry, m->format, m->codePage, sink);
    };
    if (!exact) {
        std::string reg;
        RegImport imported;
        if (!readAt(folder.get(), "deleted.reg", &reg) ||
            !importRegFile(reg, shown + "/deleted.reg", m->codePage, m->registry, &imported, &why,
                           false)) {
            *message = shown + ": deleted.reg cannot be read: " + why + "; nothing changed";
            m->registry.rollback(m->changes.lastCommit().registry);
            return UndoResult::Failed;
        }
        if (!registryWrites(*m, &patched, &writes, &why)) {
            m->registry.rollback(m->changes.lastCommit().registry);
            *message = shown + ": not undone: " + why;
            return UndoResult::Failed;
        }
    }
    bool decided = false;
    std::vector<std::string> warnings;
    const bool ok = commitWrites(*m, writes, ops, false, &decided, &why, &warnings);
    for (const std::string& w : warnings) tell(w);
    if (!ok) {
        m->registry.rollback(m->changes.lastCommit().registry);
        *message = shown + ": not undone: " + why;
        return UndoResult::Failed;
    }
    // The image in memory no longer matches the disk: a reload reads it.
    m->changes.registryCommitted();
    Fd undone = makeDir(backups.get(), "undone", &why);
    if (!undone.valid() ||
        ::renameat(backups.get(), latest.c_str(), undone.get(), latest.c_str()) != 0) {
        *message = shown + ": restored, but it could not be moved to backups/undone/";
        return UndoResult::Restored;
    }
    ::fsync(undone.get());
    ::fsync(backups.get());
    *message = shown + ": restored (" +
               (exact ? std::string("the registry as before that change")
                      : std::string("the registry had changed since; the deleted keys imported")) +
               ", " + std::to_string(manifest.keys.size()) + " keys, " +
               std::to_string(ops.size()) + " files); moved to backups/undone/";
    return UndoResult::Restored;
}

}  // namespace winsim
