// A 2000/XP hive through hivex, the program's writer of hives: changed to
// hold what the loaded subtrees of the registry hold, and written into a
// commit's new file.
// Every hive is checked (hive_check_nt.h) before hivex opens it.
#pragma once

#include <hivex.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "winsim/src/registry/registry.h"
#include "winsim/src/storage/hive_store.h"

namespace winsim {

struct HiveCloser {
    void operator()(hive_h* h) const {
        if (h) hivex_close(h);
    }
};

// Changes `h` so that each of the `loaded` subtrees holds what it holds
// below `mount` in the registry (what did not change keeps its stored
// bytes); `changed` tells whether anything did. False with `failure` when
// hivex cannot read or change the hive.
bool syncHive(hive_h* h, RegKey* mount, const std::vector<HiveStore::Subtree>& loaded,
              bool* changed, std::string* failure);

// hivex writes `h` into the commit's new file, open as `fd` at `path`;
// `size` and `hash` are those of what it wrote.
bool commitHive(hive_h* h, int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                std::string* error);

}  // namespace winsim
