// Windows 98/ME registry files (SYSTEM.DAT) for tests, made from .reg
// text after the published description of the format: a file header, the
// key navigation record (one 28-byte entry per key: parent, first child,
// next sibling, where its name entry lives) and one data block holding each
// key's name and values.
#pragma once

#include <string>

namespace winsim {
struct Registry;
}

namespace qu_test {

// Writes to `path` a SYSTEM.DAT whose root holds the HKEY_LOCAL_MACHINE
// keys of the .reg text `regText` (read in code page `codePage`, which also
// encodes the file's strings). False with `error` on failure.
bool writeWin9xRegistryFromReg(const std::string& regText, unsigned codePage,
                               const std::string& path, std::string* error);
// The same from a registry already built (keys that no .reg file may hold:
// names over 255 characters, nesting over 512 levels).
bool writeWin9xRegistry(const winsim::Registry& registry, unsigned codePage,
                        const std::string& path, std::string* error);

}  // namespace qu_test
