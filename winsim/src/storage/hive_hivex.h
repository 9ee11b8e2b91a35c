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

// hivex writes `h` to `path` (the commit's new file).
bool commitHive(hive_h* h, const std::string& path, std::string* error);
// The size and hash of the new hive written there (open as `fd`), read back
// beside its fsync (RegistryWrite::readBack).
bool readBackHive(int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                  std::string* error);

}  // namespace winsim
