#include "host/options.h"

namespace {

const char kUsage[] =
    "usage: quorvane-uninstall [--machine DIR | --machine FILE.reg | --windows DIR]\n"
    "                          [--hive-root KEY] [--fact NAME=VALUE ...] [--read-only]\n"
    "                          [--headless] [--reset-machine] [--log FILE] [--undo]\n"
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
    "%OFFLINE%"
    "  --log FILE       append every status text and every message of standard\n"
    "                   error to FILE, a UTC time stamp a line\n"
    "  --undo           restore the latest backup of the image (see below) and move\n"
    "                   it to backups/undone/; refused when what it restores exists\n"
    "  --version        show the product, its version and the build's revision\n"
    "  --list-supported show the hardware-ID patterns of the supported adapters\n"
    "  --help           show this text\n"
    "\n"
    "Line mode commands, one per line: detect, uninstall, restart, close, select N,\n"
    "about, state, devices, plan (what an Uninstall would remove). End of input\n"
    "closes the dialog. The terminal UI prints the status text when it ends.\n"
    "\n"
    "The changes of each command are saved to the image together once the command\n"
    "is complete. Before an Uninstall's changes are saved, what it deletes is saved\n"
    "in backups/<UTC time>/ beside the registry (the path is shown on standard\n"
    "error): DIR/backups/ for an image folder or a folder with system.reg, the\n"
    "folder of FILE.reg for an export, WINDOWS/system32/config/backups/ for an\n"
    "installation. A backups that is a link is never followed: the run is refused.\n"
    "\n"
    "Exit status: 0 every Uninstall succeeded, or none ran (--undo: restored);\n"
    "1 an Uninstall failed (message 109 or 110), changes could not be saved,\n"
    "standard output could not be written, or --undo restored nothing; 2 bad\n"
    "arguments or an image that cannot be used; 3 the image is in use by another\n"
    "process; 4 an Uninstall succeeded on Windows 98/ME and the run ended without\n"
    "Restart (a restart is still needed).\n";

}  // namespace

std::string usage() {
    std::string text = kUsage;
    text.replace(text.find("%OFFLINE%"), 9, kOfflineUsage);
    return text;
}

bool parseOptions(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--machine") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                *error = "--machine needs a machine image folder or a FILE.reg export";
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
        } else if (arg == "--undo") {
            options->undo = true;
        } else if (arg == "--version") {
            options->version = true;
        } else if (arg == "--list-supported") {
            options->listSupported = true;
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
    if (options->undo && options->offline.load.readOnly) {
        *error = "--undo changes the image, which --read-only keeps as it is; give one";
        return false;
    }
    return true;
}
