// The simulated machine's ANSI code pages, for the programs that show its
// text: the same conversion the A functions use, so a byte reads the same
// inside the machine and on the screen. Bytes a code page leaves undefined
// map to the C1 control of the same value, as the Windows conversion
// functions do.
#pragma once

#include <string>
#include <string_view>

namespace winsim {

// Code pages the A functions can be configured with.
bool codePageSupported(unsigned codePage);

// ANSI bytes -> UTF-8. Every byte has a meaning, so this cannot fail.
std::string ansiToUtf8(unsigned codePage, std::string_view ansi);
// UTF-8 -> ANSI bytes; a character the code page cannot represent (or a
// malformed UTF-8 byte) becomes '?'.
std::string utf8ToAnsi(unsigned codePage, std::string_view utf8);

}  // namespace winsim
