// The text forms the line mode writes: JSON strings and code-page text.
#include "host/ansi_text.h"
#include "host/json_lines.h"
#include "protocol/state_json.h"
#include "winsim/codepage.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

TEST(JsonString, EscapesExactlyTheJsonSpecials) {
    EXPECT_EQ(statejson::jsonString(""), "\"\"");
    EXPECT_EQ(statejson::jsonString("a \"b\" \\c"), "\"a \\\"b\\\" \\\\c\"");
    EXPECT_EQ(statejson::jsonString("line\r\r\n"), "\"line\\r\\r\\n\"");
    EXPECT_EQ(statejson::jsonString(std::string("\t\x01\x1f", 3)), "\"\\u0009\\u0001\\u001f\"");
    EXPECT_EQ(statejson::jsonString(std::string(1, '\0')), "\"\\u0000\"");
    // Slash, DEL and UTF-8 pass through.
    EXPECT_EQ(statejson::jsonString("a/b\x7f\xc3\xa9"), "\"a/b\x7f\xc3\xa9\"");
}

TEST(AnsiText, ConvertsThroughTheMachinesCodePage) {
    EXPECT_EQ(AnsiText(1252).toUtf8("caf\xe9 \x80"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(AnsiText(1251).toUtf8("\xc0"), "\xd0\x90");
    EXPECT_EQ(AnsiText(850).toUtf8("\x82"), "\xc3\xa9");
    // Undefined in 1252: the C1 control, as the simulated A functions read it.
    EXPECT_EQ(AnsiText(1252).toUtf8("\x81"), "\xc2\x81");
    EXPECT_EQ(AnsiText(1252).toUtf8("\x81"), winsim::ansiToUtf8(1252, "\x81"));
    // An unknown code page: U+FFFD, ASCII kept.
    EXPECT_EQ(AnsiText(99999).toUtf8("a\xe9"), "a\xef\xbf\xbd");
}
