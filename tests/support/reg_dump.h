// A registry as text, for comparing two loads of the same file.
#pragma once

#include <string>
#include <vector>

#include "winsim/src/registry/registry.h"

namespace qu_test {

// Everything a load gives, in tree order: keys with their blocks in the
// base text, values with names, types, data and the places of their lines,
// the open ends, deletion lines and implied ends. With `eager` (a load of
// the same file), every value of the twin key there is first looked up by
// name in the other letter case, which must give it whole without reading
// the key's other values.
std::string placesDump(const winsim::Registry& r, const winsim::Registry* eager = nullptr);

// Every key of a registry in tree order, building the subtrees still held
// as text: those below HKEY_LOCAL_MACHINE, and with `otherRoots` those of
// the other roots too.
std::vector<winsim::RegKey*> allKeys(winsim::Registry& r, bool otherRoots = false);

}  // namespace qu_test
