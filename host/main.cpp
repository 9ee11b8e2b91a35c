// quorvane-uninstall: the utility on a simulated Windows machine.
//
//   quorvane-uninstall [--machine DIR] [--headless] [--reset-machine] [--log FILE]
//                      [--version] [--list-supported] [--help]
//
// Exit status: 0 when the dialog was closed, 1 when a registry change could
// not be saved during the run, 2 for a bad command line or an image that
// cannot be loaded or could not take a save (nothing is changed then).
#include "dialog/uninstall_app.h"
#include "host/ansi_text.h"
#include "host/line_mode.h"
#include "host/machine_image.h"
#include "host/program_setup.h"
#include "host/run_record.h"
#include "host/version.h"
#include "host/tui/terminal_ui.h"
#include "winsim/machine.h"
#include "winsim/user.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: quorvane-uninstall [--machine DIR] [--headless] [--reset-machine] [--log FILE]\n"
    "                          [--version] [--list-supported] [--help]\n"
    "\n"
    "Runs the Quorvane USB Miniport Driver Uninstall Utility on a simulated Windows machine.\n"
    "\n"
    "  --machine DIR    use the machine image in DIR (changes are saved to it)\n"
    "                   default: a working copy of the built-in Windows XP image in\n"
    "                   $XDG_STATE_HOME (or ~/.local/state)/quorvane-uninstall/machine\n"
    "  --reset-machine  recreate that working copy from the built-in image first\n"
    "  --headless       line mode: read commands from standard input (also when\n"
    "                   standard input is not a terminal)\n"
    "  --log FILE       append every status text to FILE, a UTC time stamp a line\n"
    "  --version        show the product, its version and the build's revision\n"
    "  --list-supported show the hardware-ID patterns of the supported adapters\n"
    "  --help           show this text\n"
    "\n"
    "Line mode commands, one per line: detect, uninstall, restart, close, select N,\n"
    "about, state, devices. End of input closes the dialog. The terminal UI prints\n"
    "the status text when it ends.\n";

struct Options {
    std::string machine;
    bool headless = false;
    bool resetMachine = false;
    bool help = false;
    std::string log;
    bool version = false;
    bool listSupported = false;
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
        } else if (arg == "--log") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                *error = "--log needs a file";
                return false;
            }
            options->log = argv[++i];
        } else if (arg == "--version") {
            options->version = true;
        } else if (arg == "--list-supported") {
            options->listSupported = true;
        } else if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else {
            *error = "unknown argument: " + arg;
            return false;
        }
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
        std::cerr << "quorvane-uninstall: " << error << "\n\n" << kUsage;
        return 2;
    }
    if (options.help) {
        std::cout << kUsage;
        return 0;
    }
    if (options.version || options.listSupported) {
        if (options.version) std::cout << versionLine() << '\n';
        if (options.listSupported) std::cout << supportedList();
        return 0;
    }

    std::string machineDir = options.machine;
    if (machineDir.empty()) {
        machineDir = defaultMachineDir(&error);
        if (machineDir.empty() ||
            !prepareDefaultMachine(machineDir, options.resetMachine, &error)) {
            return fail(error);
        }
    }
    const MachineImage image = describeMachineImage(machineDir, options.machine.empty());
    if (!winsim::loadMachine(machineDir, &error)) {
        return fail(error);
    }
    if (!loadDialogResources(&error)) {
        winsim::unloadMachine();
        return fail("built-in resources: " + error);
    }

    const AnsiText ansi(winsim::codePage());
    RunRecord record(ansi, imageRecordLine(image), std::cerr);
    // A terminal gets the terminal UI (an input driver of its own); otherwise,
    // or when the terminal cannot be used, the line mode.
    const bool interactive = !options.headless && isatty(STDIN_FILENO) == 1;
    TerminalUi terminalUi(ansi);
    const char* home = std::getenv("HOME");
    terminalUi.setImageLine(imageScreenLine(image, home != nullptr ? home : ""));
    std::string terminalError;
    const bool terminal = interactive && terminalUi.start(&terminalError);
    if (terminal) record.holdErrors();
    if (!options.log.empty()) record.openLog(options.log, versionLine());
    if (interactive && !terminal) {
        std::cerr << "quorvane-uninstall: " << terminalError
                  << "; line mode (commands: see --help)\n";
    }
    LineMode lineMode(std::cin, std::cout, std::cerr, ansi);
    winsim::ui::setTextObserver(
        [&](HWND window, const std::string& before, const std::string& after) {
            record.onTextChanged(window, before, after);
            if (!terminal) lineMode.onTextChanged(window, before, after);
        });
    if (!terminal) winsim::ui::setInputDriver(&lineMode);

    int status = theApp.run(GetModuleHandleA(nullptr));
    terminalUi.stop();
    if (terminal) record.print(std::cout);

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
