// The machine as a store, whichever kind it is kept in (image_source.h):
// one writer at a time, commits through a write-ahead journal, and recovery
// of an interrupted commit.
//
// The store's folder (the image folder, the folder of a bare export, the
// folder of an installation's hives) is locked (flock on its descriptor, no
// lock file) for as long as a process has it loaded. It holds the registry
// files (system.reg; the export; the hives system and software), the
// journal and the new files of a commit, and backups/. A commit of the
// changes staged since the last one:
//   1. check that every registry file it replaces is still the file loaded
//      or last committed (same file, size and content hash; a hive loaded
//      without reading it whole: same file, size and modification time;
//      a text still guarded by its read lease since the load, see
//      RegistryWrite::loaded: the same file, not read again), else refuse:
//      a hand edit is never overwritten (see also step 5);
//   2. write each new registry file into NAME.new-<pid>-<random> (created
//      exclusively), with the old file's mode and, as root, its owner, and
//      start its write-out while it is being written (WriteOutAhead);
//   3. the caller's step before the commit point (the backup, written
//      under a name undo ignores; it adds the operation that publishes it;
//      it keeps the replaced registry file itself, by a second link);
//      meanwhile the new files are fsynced, side by side with the backup's
//      own files, so that the file system commits them together
//      (store_parallel.h);
//   4. write NAME.journal-<pid>-<random> (NAME: the first registry file):
//      for each registry file it applies to (size, hash) and the new file's
//      name, size and hash; the file operations below the drive (delete,
//      mode, and restore from a backup copy in the store folder, as an undo
//      makes them) and the folders to publish, and a checksum line; fsync
//      it and the folder. From here on the change is decided;
//   5. exchange each new file with its registry file in one step
//      (renameat2) and check what was swapped out, under a read lease,
//      against step 1's file (same file, size and content hash; a text
//      guarded since the load: the same file, its lease still unbroken
//      after the exchange, so nothing can have written it; any other file
//      is held under a lease from step 1 on and hashed under it beside
//      steps 2 to 4, and is read again here only when that lease did not
//      hold): an edit
//      made at any moment up to the exchange, in place or as a new file,
//      has every pair exchanged back, the journal and new files removed,
//      and the commit refused as if never decided. Then remove the old
//      files, fsync the folder. (Where the file system cannot exchange:
//      the same check, then a rename over; commitSafeguardGaps says so.)
//   6. apply the file operations (idempotent), then publish each folder
//      (renamed into place, the deletions that failed listed in it);
//   7. remove the journal, fsync the folder.
// At load, under the lock, a complete journal is rolled forward (steps 5 to
// 7) and an incomplete one removed with any stray new file: the store is
// then either as before the command or as after it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "winsim/src/base/posix_file.h"
#include "winsim/src/storage/drive.h"

namespace winsim {

// Paths in journal and manifest lines: bytes outside printable ASCII, '%'
// and space as %XX.
std::string escapePath(const std::string& path);
bool unescapePath(const std::string& text, std::string* path);

// Opens and locks the store folder `dir`. `inUse` is set when another
// process holds it.
bool lockImageDir(const std::string& dir, Fd* lock, bool* inUse, std::string* error);

// Where a store keeps its parts.
struct StoreFolder {
    int dirFd = -1;   // the locked folder
    std::string dir;  // its path, for messages
    // The entries of the folder that hold the registry (the first names the
    // journal and new files).
    std::vector<std::string> registryFiles;
    std::string driveDir;  // the C: drive ("" when there is none)
};

// Finishes or discards what an interrupted commit left in the locked
// folder. `notices` gets a line for every finished change.
bool recoverStore(const StoreFolder& store, std::vector<std::string>* notices, std::string* error);

// The journals an interrupted commit left (for a run that recovers
// nothing); empty when there are none.
std::vector<std::string> unfinishedJournals(const StoreFolder& store);

// Whether a commit could replace the registry files: each a regular file
// (not a link) this process may write and whose owner it can keep, the
// folder writable, backups/ a folder or absent. Writes nothing. `refused`
// is set when the store must not be used for writing at all (a registry
// file that is a link, an owner that would not be kept, a backups/ that is
// no folder), rather than merely not writable now.
bool checkCommittable(const StoreFolder& store, std::string* error, bool* refused);

// One registry file a commit replaces, and how its new content is made.
struct RegistryWrite {
    std::string name;        // an entry of the store folder
    FileIdentity* identity;  // as loaded or last committed; becomes the new file's
    // Writes the new content into `fd`, the new file (empty, at `path`),
    // giving its size and content hash. False, with `error`, when it cannot.
    std::function<bool(int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                       std::string* error)>
        write;
    FileIdentity before, after;  // set by the commit
    // Identifies the file as it is now, for the check against `identity`
    // (empty: identifyFile, the file read and hashed at that point). A
    // writer that has the file read already, in step with its own work,
    // hands that identity over here.
    std::function<bool(FileIdentity* now)> identifyNow = nullptr;
    // The text `identity` was loaded from (its hash may still be pending).
    // While it is the file's own pages under an unbroken read lease
    // (BaseText::guardsFile) on a local file system, nothing has written the
    // file since the load: the checks of steps 1 and 5 then look at which
    // file is there without reading it again, and the pending hash (for the
    // journal and the backup) is taken from the text on a second thread
    // while the new file is written. Otherwise the file is read as always.
    const BaseText* loaded = nullptr;
};

// The new file's content from a text source, written in pieces (and hashed
// on a second thread; pieces that lie in `stable`, memory that stays as it
// is meanwhile, are hashed where they lie).
std::function<bool(int, const std::string&, uint64_t*, uint64_t*, std::string*)> writeText(
    const TextSource* text, const BaseText* stable = nullptr);

// Called before the commit point with the registry files as they are and
// as they will be (before/after set); it may add operations to the
// commit's (a Publish); false with `error` refuses the commit.
using BeforeCommitPoint = std::function<bool(const std::vector<RegistryWrite>& writes,
                                             std::vector<FileOp>* ops, std::string* error)>;

// Commits `writes` (each registry file replaced) and `ops`. On failure
// before the change is decided nothing on disk changed and `decided` is
// false.
bool commitStore(const StoreFolder& store, std::vector<RegistryWrite>& writes,
                 const std::vector<FileOp>& ops, const BeforeCommitPoint& beforeCommitPoint,
                 bool* decided, std::string* error, std::vector<std::string>* warnings);

// Called after every file-system step of a commit with the step's number
// (counted over the process's life) and name. The environment variable
// QU_CRASH_AFTER=N kills the process with SIGKILL right after step N.
void setCommitStepHook(std::function<void(int step, const char* what)> hook);
void setBeforeJournalHook(std::function<void()> hook);

// What the file system or a registry file's owner does not allow of the
// checks that keep another program's edit from being replaced unseen (an
// atomic exchange of two files, a read lease on each registry file), each
// as a line saying what can then be lost; empty when both hold. Writes
// nothing. The environment variable QU_DELAY_BEFORE_REPLACE=MS (for tests)
// holds every commit that far right before its registry files are replaced.
std::vector<std::string> commitSafeguardGaps(const StoreFolder& store);

}  // namespace winsim
