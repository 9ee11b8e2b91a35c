// Text conversions of the simulated machine. Inside the simulation every
// name and string is UTF-8; the narrow API functions speak the image's ANSI
// code page (winsim/codepage.h), .reg files of version 5 speak UTF-16LE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "winsim/codepage.h"

namespace winsim {

// Case mapping of one ANSI byte as CharUpperBuffA / CharLowerBuffA do it:
// through Unicode and back; a result the code page cannot hold, or an
// unsupported code page, leaves the byte unchanged.
unsigned char ansiUpper(unsigned codePage, unsigned char byte);
unsigned char ansiLower(unsigned codePage, unsigned char byte);

// UTF-16LE bytes -> UTF-8 (an unpaired surrogate becomes U+FFFD; an odd
// trailing byte is dropped).
std::string utf16leToUtf8(std::string_view bytes);
// The same into `into`, whose room is reused (a loader decodes line after
// line).
void utf16leToUtf8(std::string_view bytes, std::string* into);
// The same into the front of `buffer`, which only grows (no bytes are
// cleared for each of a loader's lines): the length of the text.
size_t utf16leToUtf8Front(std::string_view bytes, std::string* buffer);
std::string utf8ToUtf16le(std::string_view utf8);

// No byte of `s` is outside ASCII. Eight bytes at a time: key paths and
// names run to a hundred bytes and more.
inline bool isAscii(std::string_view s) {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        high |= word;
    }
    for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
    return (high & 0x8080808080808080ull) == 0;
}

// The case-insensitive comparison key of a name: Windows compares names by
// their upper-case form.
std::string foldName(std::string_view utf8);
bool namesEqual(std::string_view a, std::string_view b);
// Orders names as the registry enumerates them (upper-case comparison).
bool nameLess(std::string_view a, std::string_view b);

}  // namespace winsim
