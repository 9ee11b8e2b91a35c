#include "winsim/src/registry/key_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "winsim/src/base/codepage.h"

namespace winsim {

namespace {

// The end of the line that holds the place before `at`: the reader reads a
// line that starts before a block's end whole.
size_t lineEnd(std::string_view s, bool utf16, size_t at) {
    const size_t unit = utf16 ? 2 : 1;
    auto isBreak = [&](size_t p) {
        return (s[p] == '\r' || s[p] == '\n') && (!utf16 || s[p + 1] == 0);
    };
    if (at >= s.size()) return s.size();
    if (at < unit || isBreak(at - unit)) return at;
    for (size_t p = at; p + unit <= s.size(); p += unit) {
        if (isBreak(p)) return p;
    }
    return s.size();
}

}  // namespace

// The first and last byte of every place are compared 16 places at a time,
// with the letter bit set on both sides; the places that pass are compared
// whole.
size_t findNoCase(std::string_view text, std::string_view needle, size_t from) {
    const size_t m = needle.size();
    if (text.size() < m || from > text.size() - m) return std::string_view::npos;
    auto at = [&](size_t p) {
        for (size_t k = 0; k < m; ++k) {
            const char c = text[p + k];
            if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c) != needle[k]) return false;
        }
        return true;
    };
    const size_t places = text.size() - m + 1;
    size_t p = from;
#if defined(__SSE2__)
    if (m > 0) {
        const __m128i letter = _mm_set1_epi8(0x20);
        const __m128i first = _mm_set1_epi8(static_cast<char>(needle.front() | 0x20));
        const __m128i last = _mm_set1_epi8(static_cast<char>(needle.back() | 0x20));
        const char* d = text.data();
        for (; p + 16 <= places; p += 16) {
            const __m128i a =
                _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + p)), letter);
            const __m128i b = _mm_or_si128(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + p + m - 1)), letter);
            auto hits = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
            for (; hits != 0; hits &= hits - 1) {
                const size_t place = p + static_cast<size_t>(__builtin_ctz(hits));
                if (at(place)) return place;
            }
        }
    }
#endif
    for (; p < places; ++p) {
        if (at(p)) return p;
    }
    return std::string_view::npos;
}

bool holdsNoCase(std::string_view text, std::string_view needle) {
    return findNoCase(text, needle, 0) != std::string_view::npos;
}

std::string_view blockText(const Registry& registry, const KeyBlock& block, std::string* room) {
    const std::string_view source = registry.source.view();
    const size_t end = lineEnd(source, registry.utf16, block.end);
    if (block.begin >= end) return {};
    const std::string_view text = source.substr(block.begin, end - block.begin);
    if (!registry.utf16) return text;
    utf16leToUtf8(text, room);
    return *room;
}

// A value's name is a quoted string on its line: a name of letters, digits
// and the like (no quote, backslash or byte outside ASCII) is written as it
// reads, quotes included, in some case (a name outside ASCII never equals
// an ASCII one ignoring case).
bool linesMayName(const RegKey& key, std::string_view name) {
    if (!key.registry || key.registry->utf16 || name.empty() || name.size() > 64) return true;
    char upper[64];
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F ||
            c == '"' || c == '\\') {
            return true;
        }
        upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c;
    }
    const std::string_view needle(upper, name.size());
    std::string room;
    for (const KeyBlock& block : key.blocks) {
        const std::string_view text = blockText(*key.registry, block, &room);
        for (size_t at = findNoCase(text, needle, 0); at != std::string_view::npos;
             at = findNoCase(text, needle, at + 1)) {
            const size_t end = at + needle.size();
            if (at > 0 && text[at - 1] == '"' && end < text.size() && text[end] == '"') return true;
        }
    }
    return false;
}

}  // namespace winsim
