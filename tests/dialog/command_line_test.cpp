// The exe's command line: the MSVC-rules splitter and the switches read from
// what it gives.
#include "dialog/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& line) {
    std::vector<char> storage(line.size() + 1, '#');
    const int count = splitCommandLine(line.c_str(), storage.data());
    std::vector<std::string> arguments;
    const char* at = storage.data();
    for (int i = 0; i < count; ++i, at += std::strlen(at) + 1) {
        // Within the room the contract names.
        EXPECT_LT(static_cast<std::size_t>(at - storage.data()), storage.size());
        arguments.emplace_back(at);
    }
    return arguments;
}

TEST(CommandLine, SplitsByTheMsvcRules) {
    struct Case {
        const char* line;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"", {}},
        {"prog\t/q  -S\t\t/restart ", {"/q", "-S", "/restart"}},
        // The program name by its simpler rules: up to the closing quote, or
        // up to a blank; backslashes and quotes in it count for nothing.
        {"\"C:\\Program Files\\Q\\QuorvaneUninstall.exe\" /q", {"/q"}},
        {"\"C:\\a b\\q.exe\"/q", {"/q"}},
        {"C:\\dir\\q\"x.exe /q", {"/q"}},
        {"\"unterminated name /q", {}},
        // Quotes group blanks and are dropped, also mid-argument; inside
        // quotes two quotes give one literal quote.
        {"p /log \"C:\\my logs\\run.log\"", {"/log", "C:\\my logs\\run.log"}},
        {"p \"\" x \"unterminated quote", {"", "x", "unterminated quote"}},
        {"p \"a \"\" b\" \"\"\"\"", {"a \" b", "\""}},
        // Backslashes: literal unless before a quote; 2n before a quote give
        // n and the quote acts, 2n+1 give n and a literal quote.
        {"p C:\\dir\\ x\\\\y trailing\\\\", {"C:\\dir\\", "x\\\\y", "trailing\\\\"}},
        {"p C:\\\\\"my logs\"\\run.log", {"C:\\my logs\\run.log"}},
        {"p \"C:\\dir\\\\\" next", {"C:\\dir\\", "next"}},
        {"p C:\\\"a b\"", {"C:\"a", "b"}},
        {"p a\\\\\\\"b c", {"a\\\"b", "c"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(split(c.line), c.arguments) << c.line;
    }
}

TEST(CommandLine, ReadsTheSwitches) {
    struct Case {
        const char* line;
        bool quiet, restart, help;
        const char* logFile;  // null: none
        SwitchError error;
        const char* offending;  // null: none
    };
    const auto none = SwitchError::None;
    const Case cases[] = {
        {"p", false, false, false, nullptr, none, nullptr},
        {"p -QUIET /ReStart", true, true, false, nullptr, none, nullptr},
        {"p /Q", true, false, false, nullptr, none, nullptr},
        {"p -s -? ", true, false, true, nullptr, none, nullptr},
        {"p /LOG \"C:\\my logs\\a.log\" /q", true, false, false, "C:\\my logs\\a.log", none,
         nullptr},
        // The file may look like anything but a switch; the last /log wins.
        {"p /log -x.log /log b.log", false, false, false, "b.log", none, nullptr},
        // Unknown: after or before /quiet (which still counts), a near miss,
        // a bare prefix, no prefix, another form, an empty argument.
        {"p /quiet /bogus", true, false, false, nullptr, SwitchError::Unknown, "/bogus"},
        {"p /bogus /quiet", true, false, false, nullptr, SwitchError::Unknown, "/bogus"},
        {"p /quiets", false, false, false, nullptr, SwitchError::Unknown, "/quiets"},
        {"p / quiet", false, false, false, nullptr, SwitchError::Unknown, "/"},
        {"p /log:x.log", false, false, false, nullptr, SwitchError::Unknown, "/log:x.log"},
        {"p \"\"", false, false, false, nullptr, SwitchError::Unknown, ""},
        // A /log without its file: last, before an empty argument, or before
        // a switch; the first error is the one named.
        {"p /q /log", true, false, false, nullptr, SwitchError::MissingLogFile, "/log"},
        {"p /Log \"\" /q", true, false, false, nullptr, SwitchError::MissingLogFile, "/Log"},
        {"p /log -restart x", false, true, false, nullptr, SwitchError::MissingLogFile, "/log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<char> storage(std::strlen(c.line) + 1);
        const int count = splitCommandLine(c.line, storage.data());
        const Switches s = parseSwitches(storage.data(), count);
        EXPECT_EQ(s.quiet, c.quiet);
        EXPECT_EQ(s.restart, c.restart);
        EXPECT_EQ(s.help, c.help);
        EXPECT_EQ(s.logFile ? std::string(s.logFile) : "(none)",
                  c.logFile ? std::string(c.logFile) : "(none)");
        EXPECT_EQ(s.error, c.error);
        EXPECT_EQ(s.offending ? std::string(s.offending) : "(none)",
                  c.offending ? std::string(c.offending) : "(none)");
    }
}

}  // namespace
