// Commits of machines that are no image directory: a bare export (any file
// name) and the hive files of an installation. The image store's journal
// needs system.reg in the locked image directory; these keep the simpler
// order of the registry first, then the staged file operations on the
// drive (a crash between the two leaves files the registry no longer
// names, never keys naming files that are gone).
#pragma once

#include <string>
#include <vector>

#include "winsim/src/registry/registry.h"
#include "winsim/src/storage/drive.h"

namespace winsim {

class HiveStore;

// Whether a machine whose registry is in `hives` (null: none) or the export
// `regPath`, saved in `dir`, commits here rather than through the image
// store: it does unless the export is the image's own system.reg.
bool commitsOffline(const HiveStore* hives, const std::string& regPath, const std::string& dir);

// Whether an export (not an image's system.reg) can be replaced: the file
// writable, a temporary file creatable beside it (made and removed again).
bool checkExportWritable(const std::string& path, std::string* error);

// Writes the staged registry (when `registryChanged`): `registry` through
// `hives`, or `data` over the export `regPath`; then applies the staged
// file operations below `driveDir`. False with `error` when the registry
// could not be written (then nothing changed); failed file operations are
// warnings.
bool commitOffline(HiveStore* hives, const Registry& registry, const std::string& regPath,
                   const std::string& driveDir, const StagedFiles& files, bool registryChanged,
                   std::string* data, std::string* error, std::vector<std::string>* warnings);

}  // namespace winsim
