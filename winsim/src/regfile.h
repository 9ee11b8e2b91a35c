// .reg files as the registry editor reads and writes them.
#pragma once

#include <string>
#include <vector>

#include "winsim/src/registry.h"

namespace winsim {

enum class RegFormat {
    Regedit4,  // "REGEDIT4", ANSI
    V5Utf16,   // "Windows Registry Editor Version 5.00", UTF-16LE with BOM
    V5Ansi,    // "Windows Registry Editor Version 5.00", ANSI
};

struct RegImport {
    RegFormat format = RegFormat::Regedit4;
    std::vector<std::string> warnings;  // "file:line: text", one per skipped line
};

// Applies the .reg file `bytes` to `registry`. A file without a valid header
// is refused: false, `error` set, registry untouched. Malformed lines are
// skipped with a warning; the rest is applied. `fileName` only names the
// file in messages; `codePage` decodes an ANSI file. With `keepSkipped`
// the skipped lines are kept in `registry` (with the key they appeared in,
// or in its preamble) for the export to write back.
bool importRegFile(const std::string& bytes, const std::string& fileName, unsigned codePage,
                   Registry& registry, RegImport* result, std::string* error,
                   bool keepSkipped = true);

// The whole registry (the kept preamble lines, HKEY_LOCAL_MACHINE, then any
// other hive kept from the file) as a file of `format`, CRLF line ends; a
// key's kept skipped lines follow its values. Values whose text
// form would not read back identically (a REG_SZ without its terminating
// zero, with an inner zero or a line break) are written in hex(1) form.
std::string exportRegFile(const Registry& registry, RegFormat format, unsigned codePage);

}  // namespace winsim
