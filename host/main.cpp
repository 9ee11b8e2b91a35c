// quorvane-uninstall: the utility on a simulated Windows machine.
//
//   quorvane-uninstall [--machine DIR] [--headless] [--reset-machine] [--help]
//
// Exit status: 0 when the dialog was closed, 1 when a registry change could
// not be saved during the run, 2 for a bad command line or an image that
// cannot be loaded or could not take a save (nothing is changed then).
#include "dialog/uninstall_app.h"
#include "host/ansi_text.h"
#include "host/line_mode.h"
#include "host/offline_options.h"
#include "host/program_setup.h"
#include "host/tui/terminal_ui.h"
#include "winsim/machine.h"
#include "winsim/user.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: quorvane-uninstall [--machine DIR | --machine FILE.reg | --windows DIR]\n"
    "                          [--hive-root KEY] [--read-only] [--headless] [--reset-machine]\n"
    "                          [--help]\n"
    "\n"
    "Runs the Quorvane USB Miniport Driver Uninstall Utility on a simulated Windows machine.\n"
    "\n"
    "  --machine DIR    use the machine image in DIR (changes are saved to it)\n"
    "                   default: a working copy of the built-in Windows XP image in\n"
    "                   $XDG_STATE_HOME (or ~/.local/state)/quorvane-uninstall/machine\n"
    "  --reset-machine  recreate that working copy from the built-in image first\n"
    "  --headless       line mode: read commands from standard input (also when\n"
    "                   standard input is not a terminal)\n"
    "%OFFLINE%"
    "  --help           show this text\n"
    "\n"
    "Line mode commands, one per line: detect, uninstall, restart, close, select N,\n"
    "about, state. End of input closes the dialog.\n";

std::string usage() {
    std::string text = kUsage;
    text.replace(text.find("%OFFLINE%"), 9, kOfflineUsage);
    return text;
}

struct Options {
    std::string machine;
    bool headless = false;
    bool resetMachine = false;
    bool help = false;
    OfflineOptions offline;
};

bool parseOptions(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--machine") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                *error = "--machine needs a directory";
                return false;
            }
            options->machine = argv[++i];
        } else if (arg.rfind("--machine=", 0) == 0 && arg.size() > 10) {
            options->machine = arg.substr(10);
        } else if (arg == "--headless") {
            options->headless = true;
        } else if (arg == "--reset-machine") {
            options->resetMachine = true;
        } else if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (const int taken = parseOfflineOption(argc, argv, &i, &options->offline, error)) {
            if (taken < 0) return false;
        } else {
            *error = "unknown argument: " + arg;
            return false;
        }
    }
    if (!options->offline.windows.empty() && !options->machine.empty()) {
        *error = "--windows and --machine name two machines; give one";
        return false;
    }
    if (options->resetMachine && !options->machine.empty()) {
        *error =
            "--reset-machine recreates the default machine image; it does not apply to --machine";
        return false;
    }
    return true;
}

int fail(const std::string& message) {
    std::cerr << "quorvane-uninstall: " << message << '\n';
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, &options, &error)) {
        std::cerr << "quorvane-uninstall: " << error << "\n\n" << usage();
        return 2;
    }
    if (options.help) {
        std::cout << usage();
        return 0;
    }

    std::string machineDir = options.machine;
    if (!options.offline.windows.empty()) machineDir = options.offline.windows;
    if (machineDir.empty()) {
        machineDir = defaultMachineDir(&error);
        if (machineDir.empty() ||
            !prepareDefaultMachine(machineDir, options.resetMachine, &error)) {
            return fail(error);
        }
    }
    if (!winsim::loadMachine(machineDir, options.offline.load, &error)) {
        return fail(error);
    }
    if (!loadDialogResources(&error)) {
        winsim::unloadMachine();
        return fail("built-in resources: " + error);
    }

    const AnsiText ansi(winsim::codePage());
    // A terminal gets the terminal UI (an input driver of its own); otherwise,
    // or when the terminal cannot be used, the line mode.
    const bool interactive = !options.headless && isatty(STDIN_FILENO) == 1;
    TerminalUi terminalUi(ansi);
    std::string terminalError;
    const bool terminal = interactive && terminalUi.start(&terminalError);
    if (interactive && !terminal) {
        std::cerr << "quorvane-uninstall: " << terminalError
                  << "; line mode (commands: see --help)\n";
    }
    LineMode lineMode(std::cin, std::cout, std::cerr, ansi);
    if (!terminal) {
        winsim::ui::setTextObserver(
            [&lineMode](HWND window, const std::string& before, const std::string& after) {
                lineMode.onTextChanged(window, before, after);
            });
        winsim::ui::setInputDriver(&lineMode);
    }

    ReadOnlyGuard readOnlyGuard(std::cerr);
    int status = theApp.run(GetModuleHandleA(nullptr));
    if (readOnlyGuard.refusedUnasked()) status = 1;
    terminalUi.stop();

    winsim::ui::setInputDriver(nullptr);
    winsim::ui::setTextObserver(nullptr);
    std::string saveError;
    if (winsim::lastSaveFailed(&saveError)) {
        std::cerr << "quorvane-uninstall: the machine image could not be saved: " << saveError
                  << '\n';
        status = 1;
    }
    winsim::unloadMachine();
    return status;
}
