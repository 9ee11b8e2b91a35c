// The machine image as a store: one writer at a time, commits through a
// write-ahead journal, and recovery of an interrupted commit.
//
// The image directory is locked (flock on its descriptor, no lock file) for
// as long as a process has it loaded. A commit of the changes staged since
// the last one:
//   1. check that system.reg is still the file loaded or last committed
//      (same file, size and content hash), else refuse: a hand edit is
//      never overwritten;
//   2. write the new system.reg into system.reg.new-<pid>-<random>, fsync;
//   3. write system.reg.journal-<pid>-<random>: the system.reg it applies
//      to (size, hash), the new file's name, size and hash, the file
//      operations below drive_c (delete, mode, and restore from a backup
//      copy in the image folder, as an undo makes them), and a checksum line; fsync it and the
//      directory. From here on the change is decided;
//   4. rename the new file over system.reg, fsync the directory;
//   5. apply the file operations (idempotent);
//   6. remove the journal, fsync the directory.
// At load, under the lock, a complete journal is rolled forward (steps 4 to
// 6) and an incomplete one removed with any stray new file: the image is
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

// Opens and locks the image directory `dir`. `inUse` is set when another
// process holds it.
bool lockImageDir(const std::string& dir, Fd* lock, bool* inUse, std::string* error);

// Finishes or discards what an interrupted commit left in the locked image
// directory. `notices` gets a line for every finished change.
bool recoverImage(int dirFd, const std::string& dir, std::vector<std::string>* notices,
                  std::string* error);

// Whether a commit could create its files beside system.reg and replace
// it. Creates one file of its own and removes it again; nothing else.
bool checkCommittable(int dirFd, const std::string& dir, std::string* error);

// Commits: `newRegistry` (nullptr: system.reg does not change) and `ops`.
// `expected` is system.reg as last loaded or committed; on success it
// becomes the new file's identity. On failure before the change is decided
// nothing on disk changed and `decided` is false.
bool commitImage(int dirFd, const std::string& dir, const std::string* newRegistry,
                 FileIdentity* expected, const std::vector<FileOp>& ops, bool* decided,
                 std::string* error, std::vector<std::string>* warnings);

// The same, with the new system.reg given in pieces: `newRegistry` calls
// its sink with each piece in order (and returns false as soon as the sink
// does), so that the new text need not be held whole.
bool commitImage(int dirFd, const std::string& dir, const TextSource* newRegistry,
                 FileIdentity* expected, const std::vector<FileOp>& ops, bool* decided,
                 std::string* error, std::vector<std::string>* warnings);

// Called after every file-system step of a commit with the step's number
// (counted over the process's life) and name. The environment variable
// QU_CRASH_AFTER=N kills the process with SIGKILL right after step N.
void setCommitStepHook(std::function<void(int step, const char* what)> hook);
void setBeforeJournalHook(std::function<void()> hook);

}  // namespace winsim
