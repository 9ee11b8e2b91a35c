// The lowest layer of the .reg reader: a file's raw bytes split into lines,
// and the pieces a line is made of (blanks, quoted names, hex numbers and
// byte lists, header lines). Header-only: the loader calls these for every
// line of a file of millions.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/src/base/codepage.h"
#include "winsim/src/base/hex_digit.h"

namespace winsim {

inline constexpr char kHeader4[] = "REGEDIT4";
inline constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view skipBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    return s;
}

// Rest of a line after a value's data: blanks, then nothing or a ';' comment.
inline bool onlyCommentLeft(std::string_view s) {
    s = skipBlanks(s);
    return s.empty() || s.front() == ';';
}

// 1..8 hex digits at the front of `s`; advances past them.
inline bool parseHex32(std::string_view& s, uint32_t* out) {
    size_t n = 0;
    uint32_t v = 0;
    for (int digit; n < s.size() && (digit = hexDigit(s[n])) >= 0; ++n) {
        if (n == 8) return false;
        v = (v << 4) | static_cast<uint32_t>(digit);
    }
    if (n == 0) return false;
    s.remove_prefix(n);
    *out = v;
    return true;
}

// The place of the first quote or backslash in s[from, size), or s.size().
inline size_t quotedStretchEnd(std::string_view s, size_t from) {
    size_t end = from;
    const size_t n = s.size();
#if defined(__SSE2__)
    // Sixteen bytes at a time: data strings run to hundreds of bytes.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i slash = _mm_set1_epi8('\\');
    for (; end + 16 <= n; end += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + end));
        const auto hits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash))));
        if (hits != 0) return end + static_cast<size_t>(__builtin_ctz(hits));
    }
#endif
    while (end < n && s[end] != '"' && s[end] != '\\') ++end;
    return end;
}

// The end of the plain stretch of a quoted string at the front of `s`
// (which starts with '"'): the place of the first quote or backslash after
// the opening quote, or s.size().
inline size_t plainQuotedEnd(std::string_view s) { return quotedStretchEnd(s, 1); }

// A quoted string at the front of `s` (which starts with '"'): unescapes
// \\ and \" and advances past the closing quote, handing the text to
// `put(data, size)` stretch by stretch. \0 or no closing quote: false.
template <class Put>
inline bool readQuoted(std::string_view& s, Put&& put) {
    // Stretch by stretch: each ends at a quote or a backslash.
    size_t i = plainQuotedEnd(s);
    put(s.data() + 1, i - 1);
    while (i < s.size()) {
        const char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        // A backslash: an escape, or itself.
        const char n = i + 1 < s.size() ? s[i + 1] : '\0';
        if (i + 1 < s.size() && (n == '\\' || n == '"')) {
            put(s.data() + i + 1, 1);
            i += 2;
        } else if (i + 1 < s.size() && n == '0') {
            return false;
        } else {
            put(s.data() + i, 1);
            ++i;
        }
        const size_t next = quotedStretchEnd(s, i);
        put(s.data() + i, next - i);
        i = next;
    }
    return false;
}

// As readQuoted, the text into `out`; a null `out`: the text is only checked.
inline bool parseQuoted(std::string_view& s, std::string* out) {
    if (!out) return readQuoted(s, [](const char*, size_t) {});
    out->clear();
    return readQuoted(s, [out](const char* p, size_t n) { out->append(p, n); });
}

enum class HexEnd { Done, Continues, Bad };

// The length of the run of whole groups "xx," (two hex digits and a comma)
// at the front of `s`, in multiples of three bytes, not always the whole
// run: what it leaves is read byte by byte. Sixteen groups (48 bytes) at a
// time where SSE2 is, one group at a time otherwise.
inline size_t hexGroupRun(std::string_view s) {
    size_t at = 0;
    const size_t n = s.size();
#if defined(__SSE2__)
    // The commas of 48 bytes of groups, in the three 16-byte pieces.
    constexpr unsigned kCommas[3] = {0x4924, 0x2492, 0x9249};
    auto piece = [&](size_t from, unsigned commas, unsigned mask = 0xFFFFu) {
        unsigned isComma = 0, isHex = 0;
        hexLanes(s.data() + from, &isComma, &isHex);
        return (isComma & mask) == commas && (isHex & mask) == (~commas & mask);
    };
    while (at + 48 <= n && piece(at, kCommas[0]) && piece(at + 16, kCommas[1]) &&
           piece(at + 32, kCommas[2])) {
        at += 48;
    }
    // Then five groups (15 of the 16 bytes read) at a time.
    while (at + 16 <= n && piece(at, kCommas[0], 0x7FFFu)) at += 15;
#endif
    while (at + 3 <= n && s[at + 2] == ',' && hexDigit(s[at]) >= 0 && hexDigit(s[at + 1]) >= 0) {
        at += 3;
    }
    return at;
}

// Comma-separated two-digit hex bytes, then end, a ';' comment, or (right
// after a comma) a backslash announcing a continuation line. The bytes go
// into `bytes` unless it is null (the line only checked).
inline HexEnd parseHexBytes(std::string_view s, std::vector<uint8_t>* bytes) {
    bool afterComma = true;  // at the start a byte may come
    bool any = false;
    if (!bytes) {
        // Only checked: the groups "xx," that open the list, many at a
        // time; what follows them (the line's end, or any other shape) is
        // read byte by byte below, as when the bytes are kept.
        const size_t run = hexGroupRun(s);
        any = run != 0;
        s.remove_prefix(run);
    }
    while (true) {
        // The common run first: "xx," without blanks, as an export writes.
        while (afterComma && s.size() >= 3 && s[2] == ',') {
            const int high = hexDigit(s[0]), low = hexDigit(s[1]);
            if (high < 0 || low < 0) break;
            if (bytes) bytes->push_back(static_cast<uint8_t>(high * 16 + low));
            any = true;
            s.remove_prefix(3);
        }
        s = skipBlanks(s);
        if (s.empty() || s.front() == ';') return HexEnd::Done;
        if (s.front() == '\\') {
            if (!(any && afterComma)) return HexEnd::Bad;
            s.remove_prefix(1);
            return onlyCommentLeft(s) ? HexEnd::Continues : HexEnd::Bad;
        }
        if (!afterComma) return HexEnd::Bad;
        if (s.size() < 2 || hexDigit(s[0]) < 0 || hexDigit(s[1]) < 0) return HexEnd::Bad;
        if (bytes) bytes->push_back(static_cast<uint8_t>(hexDigit(s[0]) * 16 + hexDigit(s[1])));
        any = true;
        s.remove_prefix(2);
        s = skipBlanks(s);
        afterComma = false;
        if (!s.empty() && s.front() == ',') {
            s.remove_prefix(1);
            afterComma = true;
        }
    }
}

// A header line, with the byte order mark a UTF-16 file appended to another
// brings along (U+FEFF in UTF-8).
inline bool isHeaderLine(std::string_view s) {
    if (s.substr(0, 3) == "\xEF\xBB\xBF") s.remove_prefix(3);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s == kHeader4 || s == kHeader5;
}

// UTF-16 units of a UTF-8 text: the unit Windows counts name lengths in.
inline size_t utf16Length(std::string_view s) {
    size_t n = 0;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80) ++n;
        if (c >= 0xF0) ++n;
    }
    return n;
}

// One line of the raw text: content [begin, end), next line at `next`.
struct RawLine {
    size_t begin = 0, end = 0, next = 0;
};

// The first CR or LF in d[from, n) in one pass over the line, 16 bytes at a
// time (two memchr calls per line, one for each, cost more than the line's
// bytes): bytes, or UTF-16LE units when `Wide` (`from` even, as every unit
// starts). Without one: n, or for units the place past the last whole unit.
template <bool Wide>
inline size_t breakFrom(const char* d, size_t from, size_t n) {
    size_t q = from;
#if defined(__SSE2__)
    const __m128i cr = Wide ? _mm_set1_epi16(0x0D) : _mm_set1_epi8('\r');
    const __m128i lf = Wide ? _mm_set1_epi16(0x0A) : _mm_set1_epi8('\n');
    for (; q + 16 <= n; q += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + q));
        const __m128i hit = Wide ? _mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf))
                                 : _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (hits != 0) return q + static_cast<size_t>(__builtin_ctz(hits));
    }
#endif
    const size_t unit = Wide ? 2 : 1;
    for (; q + unit <= n; q += unit) {
        if ((d[q] == '\r' || d[q] == '\n') && (!Wide || d[q + 1] == 0)) return q;
    }
    return q;
}

// Splits the raw bytes of a file into lines at CR, LF or CR LF (in UTF-16
// units for a UTF-16 file). A last line without a line end counts when it
// is not empty.
class LineReader {
public:
    LineReader(std::string_view s, bool utf16) : s_(s), utf16_(utf16), pos_(utf16 ? 2 : 0) {}
    // From `from`, the start of a line.
    LineReader(std::string_view s, bool utf16, size_t from) : s_(s), utf16_(utf16), pos_(from) {}

    bool next(RawLine* line) {
        const size_t n = s_.size();
        const char* d = s_.data();
        if (pos_ >= n) return false;
        size_t p = pos_;
        line->begin = p;
        if (!utf16_) {
            p = blockBreakFrom<false>(p);
            line->end = p;
            if (p < n) p += (d[p] == '\r' && p + 1 < n && d[p + 1] == '\n') ? 2 : 1;
        } else {
            auto unit = [&](size_t at) {
                return static_cast<unsigned>(static_cast<unsigned char>(d[at])) |
                       (static_cast<unsigned>(static_cast<unsigned char>(d[at + 1])) << 8);
            };
            p = blockBreakFrom<true>(p);
            if (p + 1 >= n) {
                line->end = n;  // an odd byte left over stays with the last line
                p = n;
            } else {
                line->end = p;
                p += (unit(p) == 0x0D && p + 3 < n && unit(p + 2) == 0x0A) ? 4 : 2;
            }
        }
        line->next = p;
        pos_ = p;
        return true;
    }

private:
#if defined(__SSE2__)
    // The CRs and LFs of the 64 bytes from `at`, a bit each (both bits of
    // a unit when `Wide`).
    template <bool Wide>
    static uint64_t breaksOf64(const char* at) {
        const __m128i cr = Wide ? _mm_set1_epi16(0x0D) : _mm_set1_epi8('\r');
        const __m128i lf = Wide ? _mm_set1_epi16(0x0A) : _mm_set1_epi8('\n');
        uint64_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * i));
            const __m128i hit = Wide ? _mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf))
                                     : _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
            bits |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hit)))
                    << (16 * i);
        }
        return bits;
    }

    // breakFrom for the next line: the breaks of 64 bytes at a time are
    // kept, so that each of the short lines within them costs a bit scan.
    // (Units start at even places, so a block from one is aligned to them.)
    template <bool Wide>
    size_t blockBreakFrom(size_t from) {
        const size_t n = s_.size();
        while (true) {
            if (!haveBlock_ || from < blockAt_ || from - blockAt_ >= 64) {
                if (from + 64 > n) break;  // the last bytes: as before
                blockAt_ = from;
                breaks_ = breaksOf64<Wide>(s_.data() + from);
                haveBlock_ = true;
            }
            const uint64_t left = breaks_ >> (from - blockAt_);
            if (left != 0) return from + static_cast<size_t>(__builtin_ctzll(left));
            from = blockAt_ + 64;
        }
        return breakFrom<Wide>(s_.data(), from, n);
    }

    bool haveBlock_ = false;
    size_t blockAt_ = 0;  // breaks_: the breaks of [blockAt_, blockAt_ + 64)
    uint64_t breaks_ = 0;
#else
    template <bool Wide>
    size_t blockBreakFrom(size_t from) {
        return breakFrom<Wide>(s_.data(), from, s_.size());
    }
#endif

    std::string_view s_;
    bool utf16_;
    size_t pos_;
};

// The text of line `l` of `bytes` in UTF-8: a view of the bytes, or for a
// UTF-16 file the line decoded into `room`.
inline std::string_view lineText(std::string_view bytes, bool utf16, const RawLine& l,
                                 std::string* room) {
    const std::string_view raw = bytes.substr(l.begin, l.end - l.begin);
    if (!utf16) return raw;
    const size_t length = utf16leToUtf8Front(raw, room);  // may move the text
    return std::string_view(room->data(), length);
}

}  // namespace winsim
