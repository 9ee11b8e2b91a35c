// Windows 98/ME's SYSTEM.DAT, read with libcreg (never written).
#pragma once

#include <string>

namespace winsim {

struct Machine;

// Loads what the simulated API reads (Enum, the current control set's
// Services, Control\DeviceClasses and Control\Nls\CodePage, the values of
// Software\Microsoft\Windows\CurrentVersion) into m.registry, whose root is
// the file's root; strings are decoded in the file's own ACP (1252 when it
// names none the simulation supports). False with `error` when the file
// cannot be read.
bool loadWin9xHive(const std::string& file, Machine& m, std::string* error);

}  // namespace winsim
