// The C: drive of the simulated machine: Windows paths resolved inside the
// image's drive_c/ directory and nowhere else.
//
// Every path is resolved from an open descriptor of the drive_c folder, one
// component at a time, never through a symbolic link: each folder is opened
// with O_NOFOLLOW relative to the one before, and an operation acts on the
// entry of the folder descriptor it was checked through. A link inside the
// drive is an entry of its own (deleted as a link, never changed through).
//
// File changes made by the program (deletions, attribute changes) are
// staged: later calls see them, the disk does not until the machine commits
// (see store.h), which replays them with applyFileOps.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "winsim/src/base/posix_file.h"

namespace winsim {

struct ResolvedPath {
    uint32_t error =
        0;  // 0, ERROR_FILE_NOT_FOUND (last component missing), ERROR_PATH_NOT_FOUND, ...
    std::string hostPath;  // set when error is 0 or ERROR_FILE_NOT_FOUND
    // Set when error is 0 or ERROR_FILE_NOT_FOUND: the folder holding the
    // entry (the drive itself for "C:\"), the entry's name in it ("" for the
    // drive itself; as given when missing) and its path below drive_c with
    // the names as they are on disk, "/"-separated.
    Fd dir;
    std::string name;
    std::string relative;
};

// Resolves the UTF-8 Windows path `path` below `driveDir`. Only absolute
// C: paths resolve; components match case-insensitively (an exact match
// wins); "." and ".." work but ".." never leaves the drive; a folder that
// is a symbolic link is not entered; a last component that is a link whose
// target lies outside the drive (or nowhere) is not found; another drive, a
// UNC or device path, a reserved device name and characters Windows forbids
// in names all come back not found.
ResolvedPath resolveDrivePath(const std::string& driveDir, const std::string& path);

// One staged file change, in the order the program made them.
// Publish is not a change of the drive: the folder `source` of the image
// folder is renamed to `relative` once every other operation of the commit
// was applied (store.h), with the deletions that failed listed in its file
// "kept"; a backup is published so, and only by a commit that happened.
struct FileOp {
    enum Kind : char { Delete = 'D', Mode = 'M', Restore = 'R', Publish = 'P' };
    Kind kind = Delete;
    std::string relative;  // below drive_c, names as on disk, "/"-separated
    unsigned mode = 0;     // Mode: the permission bits to set; Restore: the file's
    std::string source;    // Restore: the copy to put back, relative to the image folder
};

// The file changes of the running command, not yet on disk.
struct StagedFiles {
    std::vector<FileOp> ops;
    std::map<std::string, unsigned> modes;  // relative -> staged permission bits
    std::map<std::string, bool> deleted;    // relative -> staged deletion
    bool empty() const { return ops.empty(); }
    void clear() {
        ops.clear();
        modes.clear();
        deleted.clear();
    }
};

// Replays `ops` below the drive folder open as `driveFd` (Publish ops are
// the caller's). Idempotent: an entry already gone (or no longer of its
// kind) is skipped. A deletion that fails restores the permission bits this
// replay changed on the same file. A file with more than one link is never
// changed in place: its mode change fails (access denied). A restore copies
// its source (a regular file or a link, reached from the image folder
// `imageFd` one component at a time, never through a link) into a new
// entry and renames it into place, unless an entry of that name exists.
// `step` is called after every file-system change. Returns the number of
// operations that failed (each described in `failures`); the paths whose
// deletion failed go to `notDeleted` when given.
int applyFileOps(int driveFd, const std::vector<FileOp>& ops, std::vector<std::string>* failures,
                 void (*step)(const char* what), int imageFd = -1,
                 std::vector<std::string>* notDeleted = nullptr);

}  // namespace winsim
