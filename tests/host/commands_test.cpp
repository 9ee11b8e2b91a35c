// The line-mode command parser both the host program and the UI driver use.
#include "protocol/commands.h"

#include <gtest/gtest.h>

using protocol::Command;

TEST(Commands, ParseTable) {
    struct Case {
        const char* line;
        Command command;
        int index;
        const char* trimmed;
    };
    const Case cases[] = {
        {"", Command::Empty, 0, ""},
        {" \t\r\n", Command::Empty, 0, ""},
        {"detect", Command::Detect, 0, "detect"},
        {"  uninstall \r", Command::Uninstall, 0, "uninstall"},
        {"restart", Command::Restart, 0, "restart"},
        {"close", Command::Close, 0, "close"},
        {"about", Command::About, 0, "about"},
        {"about-open", Command::AboutOpen, 0, "about-open"},
        {"about-close", Command::AboutClose, 0, "about-close"},
        {"state", Command::State, 0, "state"},
        {"devices", Command::Devices, 0, "devices"},
        {"select 0", Command::Select, 0, "select 0"},
        {"select\t 12 ", Command::Select, 12, "select\t 12"},
        {"select 007", Command::Select, 7, "select 007"},
        {"select 2147483647", Command::Select, 2147483647, "select 2147483647"},
        // Bad item numbers.
        {"select", Command::BadIndex, 0, "select"},
        {"select 2147483648", Command::BadIndex, 0, "select 2147483648"},
        {"select 99999999999999999999", Command::BadIndex, 0, "select 99999999999999999999"},
        {"select -1", Command::BadIndex, 0, "select -1"},
        {"select +1", Command::BadIndex, 0, "select +1"},
        {"select 1x", Command::BadIndex, 0, "select 1x"},
        // Surplus words, unknown words, other case.
        {"select 1 2", Command::Unknown, 0, "select 1 2"},
        {"detect now", Command::Unknown, 0, "detect now"},
        {"Detect", Command::Unknown, 0, "Detect"},
        {"frobnicate", Command::Unknown, 0, "frobnicate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const protocol::ParsedCommand parsed = protocol::parseCommand(c.line);
        EXPECT_EQ(parsed.command, c.command);
        EXPECT_EQ(parsed.index, c.index);
        EXPECT_EQ(parsed.line, c.trimmed);
    }
}
