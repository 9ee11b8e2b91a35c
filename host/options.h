// The command line of quorvane-uninstall and its --help text.
#pragma once

#include "host/offline_options.h"

#include <string>

struct Options {
    std::string machine;
    bool headless = false;
    bool resetMachine = false;
    bool help = false;
    std::string log;
    bool version = false;
    bool listSupported = false;
    OfflineOptions offline;
    bool undo = false;
};

// False, with one line naming the problem in `error`, for a command line
// the program does not take.
bool parseOptions(int argc, char** argv, Options* options, std::string* error);

// The --help text.
std::string usage();
