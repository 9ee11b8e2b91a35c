#include <gtest/gtest.h>

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

}  // namespace
}  // namespace winsim
