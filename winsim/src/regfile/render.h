// A value's lines as a .reg file writes them, shared by the writer of whole
// files and the patcher of a base text.
#pragma once

#include <string>

#include "winsim/src/registry/registry.h"

namespace winsim {

// A value's line(s) in UTF-8, each ended by `eol`: a plain string in
// quotes, a DWORD as dword:, anything else as hex bytes (strings encoded
// for `format`: ANSI in `codePage`, or UTF-16LE).
std::string renderValue(const RegValue& v, RegFormat format, unsigned codePage,
                        const std::string& eol);
// UTF-8 text in the encoding of a file of `format`.
std::string encodeText(const std::string& utf8, RegFormat format, unsigned codePage);

}  // namespace winsim
