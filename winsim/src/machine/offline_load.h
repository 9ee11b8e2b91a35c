// Reading a machine's registry from where its source keeps it: a .reg
// export (in the code page the registry itself names) or hive files.
#pragma once

#include <string>
#include <vector>

#include "winsim/src/storage/image_source.h"
#include "winsim/src/machine/state.h"

namespace winsim {

// Fills m.registry (and m.format, or m.hives), links control sets (and
// `hiveRoot`). `regBytes` is the export's content (unused for hives),
// taken over as the registry's base text.
// `codePageGiven`: machine.ini named the code page, which then decodes an
// ANSI export; otherwise the export's own ACP does (1252 when it names
// none the simulation supports). Warnings go to `warnings`, what was found
// to `notes`.
bool readMachineRegistry(const ImageSource& src, BaseText&& regBytes, const std::string& hiveRoot,
                         bool codePageGiven, Machine& m, std::vector<std::string>& warnings,
                         std::vector<std::string>& notes, std::string* error);

}  // namespace winsim
