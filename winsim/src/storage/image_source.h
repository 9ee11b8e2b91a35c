// Where a machine's parts are: machine.ini, the registry (an export or hive
// files) and the C: drive.
#pragma once

#include <string>
#include <vector>

namespace winsim {

enum class HiveKind { None, Nt, Win9x };

// The three kinds of store, chosen once from what the user named: an image
// folder (with machine.ini), a bare export (a .reg file, or a folder with
// system.reg and no machine.ini), an installation's hive files and drive.
enum class StoreKind { ImageFolder, Export, Hives };

struct ImageSource {
    StoreKind kind = StoreKind::ImageFolder;
    std::string dir;       // the store folder: locked; saves, journals and backups/ go there
    std::string iniPath;   // "" when there is no machine.ini
    std::string regPath;   // the export; "" for hives
    std::string driveDir;  // the C: drive's folder ("" when there is none)
    HiveKind hives = HiveKind::None;
    std::string systemHive, softwareHive;  // NT: config\system, config\software; 9x: SYSTEM.DAT
    std::string windowsDir;                // the installation's Windows directory (host path)
    std::string describe;                  // for messages
    // The entries of `dir` that hold the registry: system.reg, the export's
    // name, or the hives (system and software as the folder spells them).
    std::vector<std::string> registryFiles;
};

// An image directory (system.reg, machine.ini when present, drive_c), a
// .reg file (machine.ini beside it only when it is an image's system.reg;
// drive_c beside it when present), or with `installation` a Windows
// directory or drive root (names matched ignoring case).
bool resolveImageSource(const std::string& source, bool installation, ImageSource* out,
                        std::string* error);

// The places on disk that belong to `source` (resolveImageSource's
// arguments): an image directory; an export with the drive_c and backups
// folders beside it (and machine.ini when it is an image's system.reg); an
// installation's drive root and its hive files. Paths with links resolved;
// empty when `source` is no image.
std::vector<std::string> imagePlacesOf(const std::string& source, bool installation);

// The entry of `dir` named `name` ignoring case (an exact match wins), or "".
std::string findEntryIgnoringCase(const std::string& dir, const std::string& name);

}  // namespace winsim
