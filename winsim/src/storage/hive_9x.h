// Windows 98/ME's SYSTEM.DAT, read with libcreg (never written).
#pragma once

#include <string>

#include "winsim/src/registry/registry.h"

namespace winsim {

// Loads what the simulated API reads (Enum, the current control set's
// Services, Control\DeviceClasses and Control\Nls\CodePage, the values of
// Software\Microsoft\Windows\CurrentVersion) into `registry`, whose root is
// the file's root; strings are decoded in the file's own ACP (1252 when it
// names none the simulation supports), which `codePage` gets. False with
// `error` when the file cannot be read.
bool loadWin9xHive(const std::string& file, Registry& registry, unsigned* codePage,
                   std::string* error);

}  // namespace winsim
