// The C: drive of the simulated machine: Windows paths resolved inside the
// image's drive_c/ directory and nowhere else.
#pragma once

#include <cstdint>
#include <string>

namespace winsim {

struct ResolvedPath {
    uint32_t error =
        0;  // 0, ERROR_FILE_NOT_FOUND (last component missing), ERROR_PATH_NOT_FOUND, ...
    std::string hostPath;  // set when error is 0 or ERROR_FILE_NOT_FOUND
};

// Resolves the UTF-8 Windows path `path` below `driveDir`. Only absolute
// C: paths resolve; components match case-insensitively; "." and ".." work
// but ".." never leaves the drive; a symbolic link whose target lies
// outside the drive, another drive, a UNC or device path, a reserved device
// name and characters Windows forbids in names all come back not found.
ResolvedPath resolveDrivePath(const std::string& driveDir, const std::string& path);

}  // namespace winsim
