// Where a machine's parts are: machine.ini, the registry (an export or hive
// files) and the C: drive.
#pragma once

#include <string>

namespace winsim {

enum class HiveKind { None, Nt, Win9x };

struct ImageSource {
    std::string dir;       // where saves (and their temporary files) go
    std::string iniPath;   // "" when there is no machine.ini
    std::string regPath;   // the export; "" for hives
    std::string driveDir;  // the C: drive's folder ("" when there is none)
    HiveKind hives = HiveKind::None;
    std::string systemHive, softwareHive;  // NT: config\system, config\software; 9x: SYSTEM.DAT
    std::string windowsDir;                // the installation's Windows directory (host path)
    std::string describe;                  // for messages
};

// An image directory (system.reg, machine.ini when present, drive_c), a
// .reg file (machine.ini beside it only when it is an image's system.reg;
// drive_c beside it when present), or with `installation` a Windows
// directory or drive root (names matched ignoring case).
bool resolveImageSource(const std::string& source, bool installation, ImageSource* out,
                        std::string* error);

// The entry of `dir` named `name` ignoring case (an exact match wins), or "".
std::string findEntryIgnoringCase(const std::string& dir, const std::string& name);

}  // namespace winsim
