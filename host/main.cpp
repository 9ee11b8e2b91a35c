// quorvane-uninstall: the utility on a simulated Windows machine.
//
//   quorvane-uninstall [--machine DIR | --machine FILE.reg | --windows DIR]
//                      [--hive-root KEY] [--read-only] [--headless] [--reset-machine]
//                      [--log FILE] [--undo] [--version] [--list-supported] [--help]
//
// Exit status: 0 when every Uninstall of the run succeeded or none ran (or
// --undo restored a backup); 1 when an Uninstall ended in message 109 or 110,
// when the changes of a command could not be committed to the image (the
// dialog is closed then and nothing of that command is on disk; a
// system.reg changed by another program is never overwritten), when
// standard output could not be written (nothing after that point is
// committed) or when --undo restored nothing; 2 for a bad command line or
// an image that cannot be used (unreadable, damaged, not a regular file,
// not writable; nothing is changed then); 3 when another process has the
// image loaded (nothing is changed); 4 when an Uninstall succeeded on the
// 9x family and the run ended without Restart (a restart is still needed).
// The Uninstall outcomes are read from the status texts the dialog writes.
#include "dialog/uninstall_app.h"
#include "host/ansi_text.h"
#include "host/line_mode.h"
#include "host/machine_image.h"
#include "host/offline_options.h"
#include "host/program_setup.h"
#include "host/uninstall_watch.h"
#include "host/run_record.h"
#include "host/version.h"
#include "host/tui/terminal_ui.h"
#include "winsim/machine.h"
#include "winsim/safety.h"
#include "winsim/user.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: quorvane-uninstall [--machine DIR | --machine FILE.reg | --windows DIR]\n"
    "                          [--hive-root KEY] [--read-only] [--headless] [--reset-machine]\n"
    "                          [--log FILE] [--undo] [--version] [--list-supported] [--help]\n"
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
    "  --log FILE       append every status text to FILE, a UTC time stamp a line\n"
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
    "in DIR/backups/<UTC time>/ (the path is shown on standard error).\n"
    "\n"
    "Exit status: 0 every Uninstall succeeded, or none ran (--undo: restored);\n"
    "1 an Uninstall failed (message 109 or 110), changes could not be saved,\n"
    "standard output could not be written, or --undo restored nothing; 2 bad\n"
    "arguments or an image that cannot be used; 3 the image is in use by another\n"
    "process; 4 an Uninstall succeeded on Windows 98/ME and the run ended without\n"
    "Restart (a restart is still needed).\n";

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
    std::string log;
    bool version = false;
    bool listSupported = false;
    OfflineOptions offline;
    bool undo = false;
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
    return true;
}

int fail(const std::string& message, int status = 2) {
    std::cerr << "quorvane-uninstall: " << message << '\n';
    return status;
}

// A standard descriptor the program was started without gets /dev/null,
// opened for reading only: no file the program opens later takes its
// number, and writes to a closed standard output still fail.
void occupyClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDONLY);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    occupyClosedStandardDescriptors();
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, &options, &error)) {
        std::cerr << "quorvane-uninstall: " << error << "\n\n" << usage();
        return 2;
    }
    if (options.help) {
        std::cout << usage() << std::flush;
        if (!std::cout) {
            return fail("standard output cannot be written", 1);
        }
        return 0;
    }
    if (options.version || options.listSupported) {
        if (options.version) std::cout << versionLine() << '\n';
        if (options.listSupported) std::cout << supportedList();
        return 0;
    }

    std::string machineDir = options.machine;
    if (!options.offline.windows.empty()) machineDir = options.offline.windows;
    const bool defaultCopy = machineDir.empty();
    if (defaultCopy) {
        machineDir = defaultMachineDir(&error);
        bool inUse = false;
        if (machineDir.empty() ||
            !prepareDefaultMachine(machineDir, options.resetMachine, &error, &inUse)) {
            return fail(error, inUse ? 3 : 2);
        }
    }
    const MachineImage image = describeMachineImage(machineDir, defaultCopy);
    winsim::setCallLogging(false);
    winsim::LoadFailure why = winsim::LoadFailure::None;
    if (!winsim::loadMachine(machineDir, options.offline.load, &error, &why)) {
        if (why == winsim::LoadFailure::InUse) {
            return fail(error, 3);
        }
        return fail(defaultCopy ? error + kResetHint : error);
    }
    if (options.undo) {
        const winsim::UndoResult undone = winsim::undoLatestBackup(&error);
        std::cerr << "quorvane-uninstall: " << error << '\n';
        winsim::unloadMachine();
        return undone == winsim::UndoResult::Restored ? 0 : 1;
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
    // Notes on backups and what remains wait while the terminal UI owns the
    // terminal.
    std::ostringstream heldNotes;
    std::ostream& notes = terminal ? static_cast<std::ostream&>(heldNotes) : std::cerr;
    UninstallWatch uninstalls(notes);
    winsim::setBackupObserver([&](const std::string& folder) {
        notes << "quorvane-uninstall: what this command deletes is saved in " << folder << '\n';
    });
    winsim::ui::setTextObserver(
        [&](HWND window, const std::string& before, const std::string& after) {
            record.onTextChanged(window, before, after);
            uninstalls.onTextChanged(window, before, after);
            if (!terminal) lineMode.onTextChanged(window, before, after);
        });
    if (!terminal) winsim::ui::setInputDriver(&lineMode);

    ReadOnlyGuard readOnlyGuard(std::cerr);
    // One commit per operator command: when the dialog is at rest again.
    // After a failed commit, or once the operator can no longer read the
    // output, no more input is taken and nothing more is committed.
    const auto outputBroken = [&] { return !terminal && lineMode.outputFailed(); };
    bool commitFailed = false;
    std::string commitError;
    winsim::ui::setIdleObserver([&] {
        if (outputBroken()) {
            return false;
        }
        if (!winsim::commit(&commitError)) {
            commitFailed = true;
            return false;
        }
        uninstalls.onIdle();
        return true;
    });

    int status = theApp.run(GetModuleHandleA(nullptr));
    status = status != 0 ? status : uninstalls.exitStatus(winsim::restartRequested());
    if (readOnlyGuard.refusedUnasked() && status == 0) status = 1;
    terminalUi.stop();
    if (terminal) record.print(std::cout);
    if (!terminal) lineMode.endOutput();

    winsim::ui::setIdleObserver(nullptr);
    winsim::ui::setInputDriver(nullptr);
    winsim::ui::setTextObserver(nullptr);
    if (outputBroken()) {
        std::cerr << "quorvane-uninstall: standard output cannot be written; the changes "
                     "after the last output were not saved\n";
        status = 1;
    } else if (!commitFailed && !winsim::commit(&commitError)) {
        commitFailed = true;
    }
    if (commitFailed) {
        std::cerr << "quorvane-uninstall: the machine image could not be saved: " << commitError
                  << '\n';
        status = 1;
    } else {
        uninstalls.onIdle();
    }
    winsim::setBackupObserver(nullptr);
    std::cerr << heldNotes.str();
    winsim::unloadMachine();
    return status;
}
