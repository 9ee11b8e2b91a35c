// The line-mode commands, one a line, as the host program's line mode and
// the UI-automation driver read them:
//
//   detect | uninstall | restart | close | select N | about | state | devices | plan
//   about-open | about-close   (the driver: the about box stays on screen)
//
// Leading and trailing white space is ignored; words are separated by white
// space; only `select` takes an argument, a non-negative decimal number that
// fits an int. Each program acts on the commands it knows and reports the
// others as unknown. Platform-free: it builds for the host and for Windows.
#pragma once

#include <string>

namespace protocol {

enum class Command {
    Empty,     // a blank line: nothing to do
    Unknown,   // not a command, or a command with surplus words
    BadIndex,  // `select` without a valid item number
    Detect,
    Uninstall,
    Restart,
    Close,
    Select,
    About,
    AboutOpen,
    AboutClose,
    State,
    Devices,
    Plan,
};

struct ParsedCommand {
    Command command = Command::Empty;
    int index = 0;     // Select: the item number
    std::string line;  // the line, trimmed, for messages
};

ParsedCommand parseCommand(const std::string& line);

}  // namespace protocol
