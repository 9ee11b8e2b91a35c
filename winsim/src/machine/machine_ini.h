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
// One [system] key (`key` in lower case) into `m`, with `from` as its
// source: 1 taken, 0 not a [system] key, -1 a value the key does not take
// (`expected` says what it takes).
int setSystemKey(const std::string& key, const std::string& value, Machine& m, FactSource from,
                 std::string* expected);

// The --fact "NAME=VALUE" items, applied over what machine.ini gave. False,
// with a message naming the item, when one is not a [system] key and value.
bool applyFacts(const std::vector<std::string>& facts, Machine& m, std::string* error);

// Which [system] keys machine.ini or the command line gave `m`.
IniGiven givenFacts(const Machine& m);

bool parseIni(const std::string& text, const std::string& path, Machine& m,
              std::vector<std::string>& warnings, std::string* error, IniGiven* given = nullptr);

}  // namespace winsim
