// Registry hive files for tests, made from .reg text: a minimal empty hive
// written from the published layout of the format (base block, one hive
// bin, the root key and its security cell), filled through hivex.
#pragma once

#include <string>

namespace qu_test {

// Writes to `path` a hive whose root holds what the .reg text `regText`
// (a whole file, any supported format) has below `keyPath` (e.g.
// "HKEY_LOCAL_MACHINE\\SYSTEM"); strings are stored as UTF-16LE, as
// 2000/XP keep them. Returns false with `error` on failure.
bool writeHiveFromReg(const std::string& regText, const std::string& keyPath,
                      const std::string& path, std::string* error);

// The bytes of a valid hive with an empty root key named `rootName`.
std::string emptyHive(const std::string& rootName = "ROOT");

}  // namespace qu_test
