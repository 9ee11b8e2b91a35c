// What the running command changed and the last commit has not written:
// the registry's changes since its savepoint at that commit (and whether a
// change was staged that the log does not show), the file operations staged
// below drive_c, and the device instances the device installer removed.
// The commit, the backup before it and a plan (mark, run, roll back) all
// ask here.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "winsim/safety.h"
#include "winsim/src/registry/registry.h"
#include "winsim/src/storage/drive.h"

namespace winsim {

// A key deleted since a mark, its subtree as it was when it went.
struct DeletedKey {
    std::string path;
    std::shared_ptr<const RegKey> subtree;
};

class CommandChanges {
public:
    // A point to come back to. The staged files are copied whole, so that a
    // roll back puts them back exactly.
    struct Mark {
        size_t registry = 0;
        bool registryChanged = false;
        StagedFiles files;
        size_t instances = 0;
    };

    explicit CommandChanges(Registry& registry) : registry_(registry) {}
    CommandChanges(const CommandChanges&) = delete;
    CommandChanges& operator=(const CommandChanges&) = delete;

    // The file changes staged (the kernel functions add to them).
    StagedFiles files;
    // Device instances the device installer removed.
    std::vector<std::string> removedInstances;

    // Records a change of the registry: staged until the next commit.
    void stageRegistry() { registryChanged_ = true; }
    // Whether the registry changed since the last commit.
    bool registryChanged() const { return registryChanged_ || registry_.savepoint() != committed_; }
    // Whether the next commit has anything to write.
    bool any() const { return registryChanged() || !files.empty(); }

    // The state now, and the last commit's (nothing staged).
    Mark mark() const;
    Mark lastCommit() const;
    // Undoes every change staged since `mark`: the registry, the staged
    // files and the removed instances are as they were then.
    void rollBack(Mark mark);

    // What the changes staged since `mark` delete.
    Deletions since(const Mark& mark) const;
    // Keys deleted since `mark` that existed at it, every one (tops and the
    // keys below them deleted earlier), parents first.
    std::vector<DeletedKey> deletedKeys(const Mark& mark) const;
    // Files deleted (relative to drive_c) by the operations staged since `mark`.
    std::vector<std::string> deletedFiles(const Mark& mark) const;

    // A commit is over (written, or given up after a roll back): what the
    // registry holds now is the last commit's, and nothing is staged.
    void settle();
    // The registry as it is now was written outside a command (an undo).
    void registryCommitted() { committed_ = registry_.savepoint(); }

private:
    Registry& registry_;
    size_t committed_ = 0;          // the registry's savepoint of the last commit
    bool registryChanged_ = false;  // a change was staged since (also kept in the log)
};

// Whether the folded key path `fold` lies below `parentFold`.
bool keyBelow(const std::string& fold, const std::string& parentFold);
// The top of every deleted subtree among `keys` (parents first).
std::vector<std::string> topKeys(const std::vector<DeletedKey>& keys);
// "C:\..." for a path relative to drive_c.
std::string windowsPath(const std::string& relative);

}  // namespace winsim
