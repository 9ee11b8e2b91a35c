#include "winsim/src/registry/key_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "winsim/src/base/codepage.h"
#include "winsim/src/base/hex_digit.h"

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

namespace {

bool matchesNoCase(std::string_view text, size_t place, std::string_view needle) {
    if (needle.size() > text.size() - place) return false;
    for (size_t k = 0; k < needle.size(); ++k) {
        const char c = text[place + k];
        if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c) != needle[k]) return false;
    }
    return true;
}

#if defined(__SSE2__)
// The places from `*p` on, 16 at a time, while 16 + `second` bytes are
// left, then the last 16 places (those already looked at left out), for N
// needles at once (N known here, so that the needles' bytes stay in
// registers); `*p` ends where the rest begins: past the text's end when
// no place is left (a place after the last 16 cannot hold the shortest
// needle).
template <size_t N>
size_t scanAny(std::string_view text, const std::string_view* needles, size_t second, size_t* p,
               size_t* which) {
    const __m128i letter = _mm_set1_epi8(0x20);
    // The loops over the needles are unrolled, so that their bytes stay in
    // registers (at -O2 they were kept in memory and looped over).
    __m128i first[N], other[N];
#pragma GCC unroll 8
    for (size_t i = 0; i < N; ++i) {
        first[i] = _mm_set1_epi8(static_cast<char>(needles[i][0] | 0x20));
        other[i] = _mm_set1_epi8(static_cast<char>(needles[i][second] | 0x20));
    }
    const char* d = text.data();
    // The first needle at the first of the 16 places from `at` in `wanted`.
    auto look = [&](size_t at, unsigned wanted) {
        const __m128i a =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at)), letter);
        const __m128i b = _mm_or_si128(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at + second)), letter);
        __m128i any = _mm_and_si128(_mm_cmpeq_epi8(a, first[0]), _mm_cmpeq_epi8(b, other[0]));
#pragma GCC unroll 8
        for (size_t i = 1; i < N; ++i) {
            any = _mm_or_si128(
                any, _mm_and_si128(_mm_cmpeq_epi8(a, first[i]), _mm_cmpeq_epi8(b, other[i])));
        }
        for (auto hits = static_cast<unsigned>(_mm_movemask_epi8(any)) & wanted; hits != 0;
             hits &= hits - 1) {
            const size_t place = at + static_cast<size_t>(__builtin_ctz(hits));
            for (size_t i = 0; i < N; ++i) {
                if (matchesNoCase(text, place, needles[i])) {
                    *which = i;
                    return place;
                }
            }
        }
        return std::string_view::npos;
    };
    for (; *p + 16 + second <= text.size(); *p += 16) {
        const size_t at = look(*p, 0xFFFFu);
        if (at != std::string_view::npos) return at;
    }
    if (text.size() >= 16 + second) {
        const size_t last = text.size() - 16 - second;
        if (*p > last && *p < last + 16) {
            const size_t at = look(last, (0xFFFFu << (*p - last)) & 0xFFFFu);
            if (at != std::string_view::npos) return at;
            *p = text.size() + 1;
        }
    }
    return std::string_view::npos;
}
#endif

}  // namespace

// As findNoCase, with the bytes at two places of every needle compared 16
// places at a time: its first and the last that the shortest needle has.
size_t findAnyNoCase(std::string_view text, const std::vector<std::string_view>& needles,
                     size_t from, size_t* which) {
    constexpr size_t npos = std::string_view::npos;
    size_t p = from;
#if defined(__SSE2__)
    size_t shortest = SIZE_MAX;
    for (const std::string_view needle : needles) shortest = std::min(shortest, needle.size());
    // One scan for each count of needles up to six; more: each on its own
    // below.
    using Scan = size_t (*)(std::string_view, const std::string_view*, size_t, size_t*, size_t*);
    constexpr Scan kScans[] = {nullptr,    scanAny<1>, scanAny<2>, scanAny<3>,
                               scanAny<4>, scanAny<5>, scanAny<6>};
    if (needles.size() < std::size(kScans) && !needles.empty() && shortest > 0) {
        const size_t at = kScans[needles.size()](text, needles.data(), shortest - 1, &p, which);
        if (at != npos) return at;
        if (p > text.size()) return npos;  // every place looked at
    }
#endif
    // The rest, each needle on its own: the first place wins, then the
    // first needle.
    size_t best = npos;
    for (size_t i = 0; i < needles.size(); ++i) {
        const size_t at = findNoCase(text, needles[i], p);
        if (at < best) {
            best = at;
            *which = i;
        }
    }
    return best;
}

namespace {

// Five groups "xx," from `p` (16 bytes readable there, the byte before `p`
// no hex digit), as the group-by-group reading below would read them:
// false, with nothing noted, when one of the five is not such a group.
inline bool fiveHexGroups(const char* p, uint64_t seen[2]) {
#if defined(__SSE2__)
    // Commas at 2, 5, 8, 11 and 14; hex digits at the other places up to 13.
    unsigned commas = 0, hex = 0;
    alignas(16) uint8_t nibble[16];
    hexLanes(p, &commas, &hex, nibble);
    if ((commas & 0x4924u) != 0x4924u || (hex & 0x36DBu) != 0x36DBu) return false;
    for (int g = 0; g < 15; g += 3) {
        const unsigned b = nibble[g] * 16u + nibble[g + 1];
        if (b < 0x80) seen[b >> 6] |= uint64_t{1} << (b & 63);
    }
    return true;
#else
    (void)p;
    (void)seen;
    return false;
#endif
}

}  // namespace

void hexStringBytes(std::string_view text, size_t at, uint64_t seen[2]) {
    const size_t n = text.size();
    while (at != std::string_view::npos) {
        bool backslash = false, blank = true, comment = false;
        size_t p = at;
        for (; p < n; ++p) {
            // A group "xx," as an export writes them: a byte, then the next.
            while (p + 2 < n && text[p + 2] == ',' && (p == at || hexDigit(text[p - 1]) < 0)) {
                if (p + 16 <= n && fiveHexGroups(text.data() + p, seen)) {
                    blank = false;
                    p += 15;
                    continue;
                }
                const int high = hexDigit(text[p]), low = hexDigit(text[p + 1]);
                if (high < 0 || low < 0) break;
                const auto b = static_cast<unsigned>(high * 16 + low);
                if (b < 0x80) seen[b >> 6] |= uint64_t{1} << (b & 63);
                blank = false;
                p += 3;
            }
            if (p >= n) break;
            const char c = text[p];
            if (c == '\r' || c == '\n') {
                if (!backslash && !blank && !comment) break;
                backslash = comment = false;
                blank = true;
                continue;
            }
            if (c == '\\') backslash = true;
            if (c != ' ' && c != '\t') {
                if (blank && c == ';') comment = true;
                blank = false;
            }
            const int high = hexDigit(c);
            if (high >= 0 && high < 8 && p + 1 < n && (p == at || hexDigit(text[p - 1]) < 0)) {
                const int low = hexDigit(text[p + 1]);
                if (low >= 0) {
                    const unsigned b = static_cast<unsigned>(high * 16 + low);
                    seen[b >> 6] |= uint64_t{1} << (b & 63);
                }
            }
        }
        at = p < n ? findNoCase(text, "HEX(", p) : std::string_view::npos;
    }
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

// What the lines say is fixed by the text and the places of the key's
// blocks in it. The text stays where it is while it is the registry's
// (a rebase's new text lives beside the old one until it takes over); a
// text freed and another mapped at its place comes with keys freed and
// made, which move the count on. The key's address only tells the first
// name asked of a key from the next.
const std::vector<NameLine>* recentNameLines(const RegKey& key, bool remembered) {
    enum class State { Asked, Named, Unnamed };
    struct Recent {
        const RegKey* key = nullptr;
        const char* text = nullptr;
        size_t size = 0, blocks = 0;
        uint32_t firstBegin = 0, lastEnd = 0;
        uint64_t changes = 0;
        State state = State::Asked;
        unsigned asked = 0;       // names asked of the key, not counting remembered ones
        bool remembered = false;  // one of them was
        std::vector<NameLine> lines;
    };
    thread_local Recent recent;
    const Registry& r = *key.registry;
    const size_t blocks = key.blocks.size();
    const uint32_t firstBegin = blocks ? key.blocks.begin()->begin : 0;
    const uint32_t lastEnd = blocks ? key.blocks.back().end : 0;
    const uint64_t changes = registryChanges({});
    if (recent.key != &key || recent.text != r.source.data() || recent.size != r.source.size() ||
        recent.blocks != blocks || recent.firstBegin != firstBegin || recent.lastEnd != lastEnd ||
        recent.changes != changes) {
        // A walk asks several names of every key in turn: after a key asked
        // for two or more, none of them remembered, the next key's lines are
        // noted at its first name (its second would note them anyway).
        const bool walk = recent.asked >= 2 && !recent.remembered;
        recent.key = &key;
        recent.text = r.source.data();
        recent.size = r.source.size();
        recent.blocks = blocks;
        recent.firstBegin = firstBegin;
        recent.lastEnd = lastEnd;
        recent.changes = changes;
        recent.state = remembered ? State::Unnamed : State::Asked;
        recent.asked = remembered ? 0 : 1;
        recent.remembered = remembered;
        if (!walk || remembered) return nullptr;
    } else if (remembered) {
        recent.remembered = true;
        if (recent.state == State::Asked) recent.state = State::Unnamed;
        return nullptr;
    } else {
        ++recent.asked;
    }
    if (recent.state == State::Asked) {
        recent.lines.clear();
        recent.state = r.textReader->nameLines(key, &recent.lines) ? State::Named : State::Unnamed;
    }
    return recent.state == State::Named ? &recent.lines : nullptr;
}

}  // namespace winsim
