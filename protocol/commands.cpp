#include "protocol/commands.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace protocol {

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// A non-negative decimal number that fits an int, nothing else.
bool parseIndex(const std::string& text, int* index) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || value > 0x7FFFFFFFL) return false;
    *index = static_cast<int>(value);
    return true;
}

struct Word {
    const char* word;
    Command command;
};

const Word kWords[] = {
    {"detect", Command::Detect},
    {"uninstall", Command::Uninstall},
    {"restart", Command::Restart},
    {"close", Command::Close},
    {"select", Command::Select},
    {"about", Command::About},
    {"about-open", Command::AboutOpen},
    {"about-close", Command::AboutClose},
    {"state", Command::State},
    {"devices", Command::Devices},
    {"plan", Command::Plan},
};

}  // namespace

ParsedCommand parseCommand(const std::string& line) {
    ParsedCommand parsed;
    parsed.line = trim(line);
    std::istringstream words(parsed.line);
    std::string command, argument, extra;
    words >> command >> argument >> extra;
    if (command.empty()) return parsed;
    parsed.command = Command::Unknown;
    if (!extra.empty() || (!argument.empty() && command != "select")) return parsed;
    for (const Word& w : kWords) {
        if (command == w.word) parsed.command = w.command;
    }
    if (parsed.command == Command::Select && !parseIndex(argument, &parsed.index)) {
        parsed.command = Command::BadIndex;
    }
    return parsed;
}

}  // namespace protocol
