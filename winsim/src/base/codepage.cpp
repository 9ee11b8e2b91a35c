// ANSI code pages of the simulated machine and the UTF-8/UTF-16 plumbing.
#include "winsim/src/base/codepage.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace winsim {
namespace {

// Upper halves (bytes 0x80..0xFF) as Unicode code points. Bytes a code page
// leaves undefined map to the C1 control of the same value, as the Windows
// conversion functions do, so every byte survives a round trip.
const uint16_t kHigh1252[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039,
    0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3,
    0x00A4, 0x00A5, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB,
    0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3,
    0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB,
    0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};
const uint16_t kHigh1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};
const uint16_t kHigh437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};
const uint16_t kHigh850[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557,
    0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9,
    0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

const uint16_t* highHalf(unsigned codePage) {
    switch (codePage) {
        case 1252:
            return kHigh1252;
        case 1251:
            return kHigh1251;
        case 437:
            return kHigh437;
        case 850:
            return kHigh850;
        default:
            return nullptr;
    }
}

// Writes `cp` in UTF-8 at `out` (one to four bytes); returns the end.
char* putUtf8(char* out, uint32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

void appendUtf8(std::string& out, uint32_t cp) {
    char bytes[4];
    out.append(bytes, static_cast<size_t>(putUtf8(bytes, cp) - bytes));
}

constexpr uint32_t kBad = 0xFFFFFFFF;

// Decodes one code point at `i` and advances; kBad for a malformed byte
// (which is then consumed alone).
uint32_t nextCodePoint(std::string_view s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    size_t len = 0;
    uint32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        ++i;
        return kBad;
    }
    if (i + len > s.size()) {
        ++i;
        return kBad;
    }
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kBad;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return kBad;
    }
    i += len;
    return cp;
}

uint32_t upperOf(uint32_t cp) {
    if (cp >= 'a' && cp <= 'z') return cp - 0x20;
    if (cp < 0x80) return cp;
    if ((cp >= 0xE0 && cp <= 0xFE && cp != 0xF7)) return cp - 0x20;
    if (cp == 0xFF) return 0x178;
    if (cp >= 0x100 && cp <= 0x17F && cp != 0x130 && cp != 0x131 && cp != 0x138 && cp != 0x149 &&
        cp != 0x17F) {
        // Latin Extended-A pairs upper/lower as even/odd, shifted at 0x139..0x148 and 0x179..0x17E.
        const bool oddLower = (cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E);
        if (oddLower) return (cp % 2 == 0) ? cp - 1 : cp;
        return (cp % 2 == 1) ? cp - 1 : cp;
    }
    if (cp == 0x192) return 0x191;
    if (cp >= 0x3B1 && cp <= 0x3C9 && cp != 0x3C2) return cp - 0x20;
    if (cp >= 0x430 && cp <= 0x44F) return cp - 0x20;
    if (cp >= 0x450 && cp <= 0x45F) return cp - 0x50;
    if (cp == 0x491) return 0x490;
    return cp;
}

}  // namespace

bool codePageSupported(unsigned codePage) { return highHalf(codePage) != nullptr; }

namespace {

uint32_t charOf(const uint16_t* high, unsigned char byte) {
    return byte < 0x80 ? byte : high[byte - 0x80];
}

// The byte that holds `cp` in the code page; `fallback` when none does.
unsigned char byteOf(const uint16_t* high, uint32_t cp, unsigned char fallback) {
    if (cp < 0x80) return static_cast<unsigned char>(cp);
    for (unsigned k = 0; k < 128; ++k) {
        if (high[k] == cp) return static_cast<unsigned char>(0x80 + k);
    }
    return fallback;
}

}  // namespace

unsigned char ansiUpper(unsigned codePage, unsigned char byte) {
    const uint16_t* high = highHalf(codePage);
    if (!high) return byte;
    return byteOf(high, upperOf(charOf(high, byte)), byte);
}

unsigned char ansiLower(unsigned codePage, unsigned char byte) {
    const uint16_t* high = highHalf(codePage);
    if (!high) return byte;
    // The lower-case letter is the character whose upper case this one is.
    const uint32_t cp = charOf(high, byte);
    for (unsigned c = 0; c < 256; ++c) {
        const uint32_t candidate = charOf(high, static_cast<unsigned char>(c));
        if (candidate != cp && upperOf(candidate) == cp) return static_cast<unsigned char>(c);
    }
    return byte;
}

std::string ansiToUtf8(unsigned codePage, std::string_view ansi) {
    const uint16_t* high = highHalf(codePage);
    std::string out;
    out.reserve(ansi.size());
    for (char c : ansi) {
        const auto b = static_cast<unsigned char>(c);
        appendUtf8(out, b < 0x80 || !high ? b : high[b - 0x80]);
    }
    return out;
}

std::string utf8ToAnsi(unsigned codePage, std::string_view utf8) {
    const uint16_t* high = highHalf(codePage);
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const uint32_t cp = nextCodePoint(utf8, i);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        char mapped = '?';
        if (high && cp != kBad) {
            for (unsigned k = 0; k < 128; ++k) {
                if (high[k] == cp) {
                    mapped = static_cast<char>(0x80 + k);
                    break;
                }
            }
        }
        out += mapped;
    }
    return out;
}

std::string utf16leToUtf8(std::string_view bytes) {
    std::string out;
    utf16leToUtf8(bytes, &out);
    return out;
}

void utf16leToUtf8(std::string_view bytes, std::string* into) {
    into->resize(utf16leToUtf8Front(bytes, into));
}

size_t utf16leToUtf8Front(std::string_view bytes, std::string* buffer) {
    const size_t units = bytes.size() / 2;
    // At most three bytes a unit (a surrogate pair: four for two units).
    if (buffer->size() < units * 3) buffer->resize(units * 3);
    char* const begin = &(*buffer)[0];
    char* out = begin;
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    auto unit = [in](size_t k) {
        return static_cast<uint32_t>(in[2 * k]) | (static_cast<uint32_t>(in[2 * k + 1]) << 8);
    };
    size_t k = 0;
    while (k < units) {
#if defined(__SSE2__)
        // Sixteen or eight ASCII units at a time: the common case of an
        // export's lines.
        if (k + 16 <= units) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * k));
            const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * k + 16));
            const __m128i high =
                _mm_and_si128(_mm_or_si128(v, w), _mm_set1_epi16(static_cast<short>(0xFF80)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, w));
                out += 16;
                k += 16;
                continue;
            }
        }
        if (k + 8 <= units) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * k));
            const __m128i high = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
                out += 8;
                k += 8;
                continue;
            }
        }
#endif
        uint32_t u = unit(k++);
        if (u < 0x80) {
            *out++ = static_cast<char>(u);
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && k < units) {
            const uint32_t lo = unit(k);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                ++k;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        out = putUtf8(out, u);
    }
    return static_cast<size_t>(out - begin);
}

std::string utf8ToUtf16le(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    auto put = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    size_t i = 0;
    while (i < utf8.size()) {
        uint32_t cp = nextCodePoint(utf8, i);
        if (cp == kBad) cp = 0xFFFD;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

std::string foldName(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
            ++i;
            continue;
        }
        const size_t start = i;
        const uint32_t cp = nextCodePoint(utf8, i);
        if (cp == kBad) {
            out.append(utf8.substr(start, i - start));
        } else {
            appendUtf8(out, upperOf(cp));
        }
    }
    return out;
}

bool namesEqual(std::string_view a, std::string_view b) {
    // ASCII folds to ASCII of the same length: compare in place.
    bool ascii = true;
    if (a.size() == b.size()) {
        for (size_t i = 0; i < a.size() && ascii; ++i) {
            auto x = static_cast<unsigned char>(a[i]);
            auto y = static_cast<unsigned char>(b[i]);
            if (x >= 0x80 || y >= 0x80) {
                ascii = false;
            } else if (x != y) {
                if (x >= 'a' && x <= 'z') x -= 0x20;
                if (y >= 'a' && y <= 'z') y -= 0x20;
                if (x != y) return false;
            }
        }
        if (ascii) return true;
    } else if (isAscii(a) && isAscii(b)) {
        return false;
    }
    return foldName(a) == foldName(b);
}

bool nameLess(std::string_view a, std::string_view b) {
    // UTF-8 byte order equals code point order.
    return foldName(a) < foldName(b);
}

}  // namespace winsim
