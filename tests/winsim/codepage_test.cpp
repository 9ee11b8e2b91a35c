#include <gtest/gtest.h>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/src/codepage.h"

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

}  // namespace
}  // namespace winsim
