// machine.ini: the [system] settings and [faults] of a machine image.
#pragma once

#include <string>
#include <vector>

#include "winsim/src/machine/machine_info.h"
#include "winsim/src/machine/state.h"

namespace winsim {

// Reads `text` (the file `path`) into `m`. A line it does not know is a
// warning; a malformed line or a missing [system] key is an error naming
// file and line. With `given`, missing [system] keys are no error: `given`
// says which keys the file set, for the registry to supply the rest.
bool parseIni(const std::string& text, const std::string& path, Machine& m,
              std::vector<std::string>& warnings, std::string* error, IniGiven* given = nullptr);

}  // namespace winsim
