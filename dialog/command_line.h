// The exe's command line: split into arguments by the MSVC runtime's rules
// and read as the switches of an unattended run. Plain text in, plain data
// out; no platform call.
#pragma once

#include <cstddef>

// Writes the arguments of `commandLine` (the whole line, program name
// first, as GetCommandLineA gives it) into `arguments`, one after another,
// each zero-terminated, and returns how many there are; the program name is
// not one of them. `arguments` needs room for strlen(commandLine) + 1 bytes.
//
// The program name ends at the next quote when it starts with one, else at
// the first blank (space or tab). The arguments after it are separated by
// blanks outside quotes; a quote toggles quoting and is dropped, and inside
// quotes two quotes give one literal quote; 2n backslashes before a quote
// give n backslashes and the quote acts, 2n+1 give n backslashes and a
// literal quote; other backslashes are literal.
int splitCommandLine(const char* commandLine, char* arguments);

enum class SwitchError { None, Unknown, MissingLogFile };

// What the switches ask for. Case does not matter, and "-" works in place of
// "/": /quiet (also /q and /S), /log FILE, /restart, /?.
struct Switches {
    bool quiet = false;
    bool restart = false;
    bool help = false;
    const char* logFile = nullptr;  // points into the arguments; null without /log
    // The first argument that is no switch, or a /log without a file name
    // (the next argument is missing, empty or itself a switch): its kind and
    // the argument. The switches after it are still read, so that /quiet
    // counts wherever it stands.
    SwitchError error = SwitchError::None;
    const char* offending = nullptr;
};

// Reads `count` arguments laid out as splitCommandLine writes them.
Switches parseSwitches(const char* arguments, int count);

// The exit codes of an unattended run, as deployment tools read them.
enum ExitCode : int {
    kExitSuccess = 0,           // done, or nothing to uninstall
    kExitBadSwitch = 87,        // ERROR_INVALID_PARAMETER
    kExitFailed = 1603,         // ERROR_INSTALL_FAILURE
    kExitRestartNeeded = 3010,  // ERROR_SUCCESS_REBOOT_REQUIRED
};
