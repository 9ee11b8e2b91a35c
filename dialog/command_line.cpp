#include "dialog/command_line.h"

#include <cstring>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The switch a known argument names, by its name after "/" or "-".
enum class Known { None, Quiet, Log, Restart, Help };

Known knownSwitch(const char* argument) {
    if (argument[0] != '/' && argument[0] != '-') return Known::None;
    // The names in lower case, each with the switch it names (a Known
    // value as a digit).
    static const char kNames[] = "quiet1q1s1log2restart3?4";
    for (const char* name = kNames; *name != '\0'; ++name) {
        const char* a = argument + 1;
        // ASCII case folding: every name is ASCII, and a byte of another
        // code page never equals one of them.
        while (*name > '9' &&
               (*a == *name || (*a >= 'A' && *a <= 'Z' && *a - 'A' + 'a' == *name))) {
            ++a;
            ++name;
        }
        if (*name >= '0' && *name <= '9' && *a == '\0') return static_cast<Known>(*name - '0');
        while (*name < '0' || *name > '9') ++name;
    }
    return Known::None;
}

// What follows the program name and the blanks after it.
const char* afterProgramName(const char* line) {
    if (*line == '"') {
        ++line;
        while (*line != '\0' && *line != '"') ++line;
        if (*line == '"') ++line;
    } else {
        while (*line != '\0' && !isBlank(*line)) ++line;
    }
    while (isBlank(*line)) ++line;
    return line;
}

}  // namespace

int splitCommandLine(const char* line, char* out) {
    const char* at = afterProgramName(line);
    int count = 0;
    for (;; ++count) {
        if (*at == '\0') return count;
        bool quoted = false;
        unsigned backslashes = 0;  // seen and not yet written
        for (; *at != '\0' && (quoted || !isBlank(*at)); ++at) {
            if (*at == '\\') {
                ++backslashes;
                continue;
            }
            if (*at == '"') {
                // Each pair before a quote is one backslash; an odd one out
                // makes the quote literal.
                for (; backslashes > 1; backslashes -= 2) *out++ = '\\';
                if (backslashes == 1) {
                    *out++ = '"';
                } else if (quoted && at[1] == '"') {
                    *out++ = *at++;
                } else {
                    quoted = !quoted;
                }
                backslashes = 0;
                continue;
            }
            for (; backslashes > 0; --backslashes) *out++ = '\\';
            *out++ = *at;
        }
        for (; backslashes > 0; --backslashes) *out++ = '\\';
        *out++ = '\0';
        while (isBlank(*at)) ++at;
    }
}

Switches parseSwitches(const char* arguments, int count) {
    Switches result;
    const char* argument = arguments;
    for (int i = 0; i < count; ++i, argument += std::strlen(argument) + 1) {
        SwitchError error = SwitchError::None;
        switch (knownSwitch(argument)) {
            case Known::Quiet:
                result.quiet = true;
                break;
            case Known::Restart:
                result.restart = true;
                break;
            case Known::Help:
                result.help = true;
                break;
            case Known::Log: {
                const char* file = argument + std::strlen(argument) + 1;
                if (i + 1 < count && *file != '\0' && knownSwitch(file) == Known::None) {
                    result.logFile = file;
                    argument = file;
                    ++i;
                } else {
                    error = SwitchError::MissingLogFile;
                }
                break;
            }
            case Known::None:
                error = SwitchError::Unknown;
                break;
        }
        if (error != SwitchError::None && result.error == SwitchError::None) {
            result.error = error;
            result.offending = argument;
        }
    }
    return result;
}
