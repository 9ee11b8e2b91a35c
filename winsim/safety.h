// Previews, backups and undo of what an operator command deletes. Used by
// the host program; the product never sees it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace winsim {

// What the changes staged since a point delete.
struct Deletions {
    std::vector<std::string> instances;  // device instance IDs the device installer removed
    std::vector<std::string> keys;       // top of every deleted subtree, "HKEY_LOCAL_MACHINE\..."
    std::vector<std::string> files;      // every deleted file, "C:\..."
    bool empty() const { return instances.empty() && keys.empty() && files.empty(); }
};

// A trial: beginTrial() marks the staged state; endTrial() returns what was
// deleted since and undoes every staged change made since (registry, file
// operations, removed instances). Trials do not nest.
void beginTrial();
Deletions endTrial();

// What the changes staged since the last commit delete.
Deletions stagedDeletions();

// With an observer set, every commit that deletes something first saves
// what it deletes in backups/<UTC time>/ of the image folder and syncs it;
// the observer gets that folder's path. A backup that cannot be written
// fails the commit (nothing of it reaches the disk). A backup holds:
//   manifest         "quorvane-backup 1", "before SIZE HASH" and "after SIZE
//                    HASH" (system.reg before and after the commit), then a
//                    "key PATH", "instance ID" or "file MODE PATH" line for
//                    every deletion (paths escaped as in the journal)
//   system.reg.before  system.reg as it was before the commit
//   deleted.reg      the deleted keys as a .reg file of the image's format
//   files/...        the deleted files at their paths below drive_c, with
//                    their permission bits
void setBackupObserver(std::function<void(const std::string& folder)> observer);

enum class UndoResult { Restored, NothingToUndo, Refused, Failed };

// Restores the latest backup of the loaded image and moves it to
// backups/undone/. When system.reg is still what that commit wrote, the
// bytes from before it come back; otherwise the deleted keys are imported
// again. Refused, with nothing changed, when a key or file it would restore
// exists again. Goes through the journal like every commit. `message` says
// what was done or why not.
UndoResult undoLatestBackup(std::string* message);

}  // namespace winsim

namespace winsim {

// What on the loaded machine still names one of `terms` (compared without
// case; empty terms are ignored): keys whose name contains one
// ("HKEY_LOCAL_MACHINE\..."), string values whose data contains one ("<key
// path> : <value name>"), files and folders of the C: drive whose name
// contains one ("C:\..."). At most `limit` entries.
std::vector<std::string> findTraces(const std::vector<std::string>& terms, size_t limit);
// Starts the slow part of the next findTraces with these `terms` (the look
// at the registry's text) on a second thread, to run beside the commit that
// ends a command: what the search finds is the same either way. The look
// ends when that search, another start, or the machine's end comes first.
void startTraceSearch(const std::vector<std::string>& terms);

}  // namespace winsim
