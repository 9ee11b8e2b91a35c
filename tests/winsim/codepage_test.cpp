#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/src/base/codepage.h"

namespace winsim {
namespace {

TEST(CodePage, AnsiRoundTripsEveryByteInEverySupportedPage) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    for (unsigned cp : {1252u, 1251u, 850u, 437u}) {
        EXPECT_EQ(utf8ToAnsi(cp, ansiToUtf8(cp, all)), all) << cp;
    }
}

TEST(CodePage, ConversionsAndCaseFolding) {
    EXPECT_EQ(ansiToUtf8(1252, "\x80"), "\u20AC");
    EXPECT_EQ(ansiToUtf8(1251, "\xC0"), "\u0410");
    EXPECT_EQ(ansiToUtf8(850, "\x9B"), "\u00F8");
    EXPECT_EQ(utf8ToAnsi(1252, "a\u0410b"), "a?b");  // Cyrillic not in 1252
    EXPECT_EQ(utf8ToAnsi(1251, "\u0410"), "\xC0");
    EXPECT_EQ(utf8ToAnsi(1252, "\xFF"), "?");  // malformed UTF-8
    EXPECT_EQ(utf16leToUtf8(utf8ToUtf16le("x\u00E9\U0001F600")), "x\u00E9\U0001F600");
    EXPECT_TRUE(namesEqual("Enum\u00E9", "ENUM\u00C9"));
    EXPECT_TRUE(namesEqual("\u0430\u0431", "\u0410\u0411"));
    EXPECT_FALSE(namesEqual("a", "b"));
    EXPECT_TRUE(nameLess("abc", "ABD"));
    EXPECT_TRUE(nameLess("B", "c"));  // case-insensitive, unlike byte order
}

// The A functions' case mapping agrees with the registry's own name folding
// for every byte of every code page: the upper-case form is used when the
// code page holds it (otherwise the byte stays), and lower-casing undoes it.
TEST(CodePage, AnsiCaseMappingAgreesWithNameFolding) {
    for (unsigned cp : {1252u, 1251u, 850u, 437u}) {
        for (int b = 1; b < 256; ++b) {
            const auto byte = static_cast<unsigned char>(b);
            const std::string folded = utf8ToAnsi(cp, foldName(ansiToUtf8(cp, std::string(1, b))));
            const auto expected =
                folded == "?" && b != '?' ? byte : static_cast<unsigned char>(folded[0]);
            const unsigned char upper = ansiUpper(cp, byte);
            EXPECT_EQ(upper, expected) << cp << " " << b;
            if (upper != byte) {
                EXPECT_EQ(ansiLower(cp, upper), byte) << cp << " " << b;
            }
        }
    }
}

TEST(CodePage, CharUpperAndLowerFollowTheMachinesCodePage) {
    struct Case {
        const char* codePage;
        std::string lower, upper;
    } cases[] = {
        {"1252", "ger\xE4t \xFF \xDF", "GER\xC4T \x9F \xDF"},  // y-diaeresis to 0x9F; sharp s stays
        {"1251", "\xB8\xE6 \xE0", "\xA8\xC6 \xC0"},
        {"850", "ger\x84t \x94", "GER\x8ET \x99"},
    };
    for (const auto& c : cases) {
        qu_test::TempImage image;
        image.ini(std::string("codepage = ") + c.codePage + "\n");
        image.load();
        std::string text = c.lower;
        EXPECT_EQ(CharUpperBuffA(&text[0], static_cast<DWORD>(text.size())), text.size());
        EXPECT_EQ(text, c.upper) << c.codePage;
        EXPECT_EQ(CharLowerBuffA(&text[0], static_cast<DWORD>(text.size())), text.size());
        EXPECT_EQ(text, c.lower) << c.codePage;
        winsim::unloadMachine();
    }
}

// UTF-16LE to UTF-8 over many random texts: runs of ASCII long and short
// (the fast path takes eight units at a time), two- and three-byte forms,
// surrogate pairs, lone and reversed surrogates, an odd byte at the end; and
// a buffer reused from a longer text. The oracle decodes unit by unit.
TEST(CodePage, Utf16DecodingAgreesWithADecoderOfOneUnitAtATime) {
    auto oracle = [](const std::string& bytes) {
        std::u32string points;
        const size_t n = bytes.size() / 2;
        auto unit = [&](size_t k) {
            return static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                         (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
        };
        for (size_t k = 0; k < n; ++k) {
            char32_t u = unit(k);
            if (u >= 0xD800 && u < 0xDC00 && k + 1 < n && unit(k + 1) >= 0xDC00 &&
                unit(k + 1) < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (unit(++k) - 0xDC00);
            } else if (u >= 0xD800 && u < 0xE000) {
                u = 0xFFFD;
            }
            points += u;
        }
        std::string out;
        for (char32_t c : points) {
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (c >> 18));
                out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return out;
    };
    const char16_t kOdd[] = {0x7F,   0x80,   0xE9,   0x7FF,  0x800, 0x410,  0xFFFF, 0xD83D,
                             0xDE00, 0xDC00, 0xDBFF, 0xD800, 0x100, 0xFF80, 0x0A};
    std::mt19937 random(20261208);
    std::string reused(4096, 'x');
    std::string front(64, 'x');  // grows with the longest text, never shrinks
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        const int pieces = static_cast<int>(random() % 6);
        for (int p = 0; p < pieces; ++p) {
            const bool ascii = random() % 2 == 0;
            const int length = static_cast<int>(random() % 20);
            for (int i = 0; i < length; ++i) {
                const char16_t u =
                    ascii ? static_cast<char16_t>(random() % 0x80) : kOdd[random() % 15];
                bytes += static_cast<char>(u & 0xFF);
                bytes += static_cast<char>(u >> 8);
            }
        }
        if (random() % 8 == 0) bytes += static_cast<char>(random() % 256);
        const std::string expected = oracle(bytes);
        ASSERT_EQ(utf16leToUtf8(bytes), expected) << round;
        utf16leToUtf8(bytes, &reused);
        ASSERT_EQ(reused, expected) << round;
        const size_t length = utf16leToUtf8Front(bytes, &front);
        ASSERT_EQ(front.substr(0, length), expected) << round;
    }
}

}  // namespace
}  // namespace winsim
