// Undo of the latest backup, through the store's journal like every commit.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "winsim/api/win32_base.h"
#include "winsim/safety.h"
#include "winsim/src/machine/changes.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/storage/hive_store.h"

namespace winsim {

namespace {

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

bool parseManifest(const std::string& text, Manifest* out) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kBackupManifestMagic) return false;
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

// A file of a backup, reached without following a link.
bool readAt(int dirFd, const std::string& name, std::string* out) {
    std::string error;
    return readFileBelow(dirFd, name, name, kMaxRegistryFileSize, out, &error);
}

}  // namespace

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
                // Backups are folders named by their time; a partial one
                // starts with '.', and nothing else counts.
                const std::string entry = e->d_name;
                struct stat st;
                if (entry.empty() || entry[0] < '0' || entry[0] > '9' ||
                    ::fstatat(::dirfd(d), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                    !S_ISDIR(st.st_mode)) {
                    continue;
                }
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
    // The files whose deletion failed at that commit: still there, and
    // nothing to restore.
    std::vector<std::string> kept;
    if (readAt(folder.get(), "kept", &text)) {
        std::istringstream lines(text);
        std::string line, path;
        while (std::getline(lines, line)) {
            if (unescapePath(line, &path)) kept.push_back(path);
        }
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
        if (std::find(kept.begin(), kept.end(), file.second) != kept.end()) continue;
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
    // Every copy must be there as the backup wrote it: reached one folder
    // at a time, a file or a link of its own, never through a link.
    for (const FileOp& op : ops) {
        std::string name;
        Fd dir = openParentNoFollow(m->lock.get(), op.source, &name);
        struct stat st;
        if (!dir.valid() || ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
            *message = shown + ": the copy of " + windowsPath(op.relative) +
                       " cannot be reached without following a link, or is missing; nothing "
                       "changed";
            return UndoResult::Failed;
        }
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
    // The backup moves to backups/undone/ with the commit that restores it:
    // the next undo reaches the one before.
    const size_t restored = ops.size();
    Fd undone = makeFolder(backups.get(), "undone", &why);
    if (!undone.valid()) {
        m->registry.rollback(m->changes.lastCommit().registry);
        *message = shown + ": not undone: " + why;
        return UndoResult::Failed;
    }
    FileOp moved;
    moved.kind = FileOp::Publish;
    moved.source = "backups/" + latest;
    moved.relative = "backups/undone/" + latest;
    ops.push_back(moved);
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
    *message = shown + ": restored (" +
               (exact ? std::string("the registry as before that change")
                      : std::string("the registry had changed since; the deleted keys imported")) +
               ", " + std::to_string(manifest.keys.size()) + " keys, " + std::to_string(restored) +
               " files); moved to backups/undone/";
    return UndoResult::Restored;
}

}  // namespace winsim
