// The value of a byte as a hex digit: read by the .reg reader and by the
// looks at a key's lines before it.
#pragma once

namespace winsim {

// The value of each byte as a hex digit, -1 when it is none.
struct HexDigits {
    signed char of[256];
    constexpr HexDigits() : of() {
        for (int c = 0; c < 256; ++c) {
            of[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                    : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                    : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                           : static_cast<signed char>(-1);
        }
    }
};
inline constexpr HexDigits kHexDigits{};

inline int hexDigit(char c) { return kHexDigits.of[static_cast<unsigned char>(c)]; }

}  // namespace winsim
