// The class of every device instance below an Enum root, remembered between
// device sets while the registry stays the same: a set of one class would
// otherwise read the ClassGUID of every instance of the machine, and an
// Uninstall makes several sets.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "winsim/api/win32_base.h"
#include "winsim/src/registry/registry.h"

namespace winsim {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hex digits of either case.
bool parseGuid(std::string_view s, GUID* g);

struct InstanceClass {
    RegKey* key = nullptr;  // <root>\<bus>\<device>\<instance>; skip it once deleted
    GUID guid{};            // its ClassGUID, when `parsed`
    bool parsed = false;
    // The ClassGUID's text is plain ASCII: unless parsed, it names no class
    // (otherwise it is compared as a set compares it).
    bool ascii = true;
    DWORD devInst = 0;  // 0: not looked up yet
    // Its place among its siblings when found; removals since only move
    // it towards the front.
    uint32_t place = 0;
};

// The instance keys below `root`, in the order a walk of the tree meets
// them. Valid until the next call; the pointers are live while the
// registry's change count stays what it was (a removed key only turns
// deleted).
std::vector<InstanceClass>& instanceClasses(RegKey* root);

}  // namespace winsim
