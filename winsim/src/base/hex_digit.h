// The value of a byte as a hex digit: read by the .reg reader and by the
// looks at a key's lines before it.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>

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

#if defined(__SSE2__)
// Of the 16 bytes at `p`: which are commas (`commas`, a bit each, the first
// byte lowest) and which hex digits (`hex`); with `nibble`, each hex
// digit's value at its place (anything at the other places).
inline void hexLanes(const char* p, unsigned* commas, unsigned* hex, uint8_t* nibble = nullptr) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // c - '0' <= 9 or (c | 0x20) - 'a' <= 5, unsigned.
    const __m128i digit = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
    const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    *commas = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(','))));
    *hex = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)));
    if (nibble) {
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(nibble),
            _mm_or_si128(_mm_and_si128(isDigit, digit),
                         _mm_andnot_si128(isDigit, _mm_add_epi8(letter, _mm_set1_epi8(10)))));
    }
}
#endif

}  // namespace winsim
