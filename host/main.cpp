// quorvane-uninstall: the utility on a simulated Windows machine.
//
//   quorvane-uninstall [--machine DIR | --machine FILE.reg | --windows DIR]
//                      [--hive-root KEY] [--fact NAME=VALUE ...] [--read-only]
//                      [--headless] [--reset-machine] [--log FILE] [--undo]
//                      [--version] [--list-supported] [--help]
//
// Every message on standard error starts with "quorvane-uninstall: " and
// goes to the --log file as well (diagnostics.h).
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
#include "host/diagnostics.h"
#include "host/line_mode.h"
#include "host/machine_facts.h"
#include "host/machine_image.h"
#include "host/offline_options.h"
#include "host/options.h"
#include "host/program_setup.h"
#include "host/run_log.h"
#include "host/run_record.h"
#include "host/uninstall_watch.h"
#include "host/version.h"
#include "host/tui/terminal_ui.h"
#include "winsim/machine.h"
#include "winsim/offline.h"
#include "winsim/safety.h"
#include "winsim/user.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

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

// What the terminal UI shows before the dialog takes input: what changes
// what an Uninstall does on this machine. Empty when nothing does.
std::string startNotice(const winsim::MachineFacts& facts, const std::string& versionProblem) {
    std::string notice;
    if (facts.driveEmpty) {
        notice =
            "The C: drive of this machine is empty: no drive_c folder was found beside its "
            "registry. An Uninstall changes the registry only; the INF, PNF and driver files it "
            "would delete are not there to delete.";
    }
    if (!versionProblem.empty()) {
        notice +=
            (notice.empty() ? "" : "\n\n") + std::string("This machine's ") + versionProblem + ".";
    }
    return notice;
}

// Where the log may not be: the image, or for an installation its drive.
std::vector<std::string> imagePlaces(const std::string& source, bool installation) {
    std::vector<std::string> places = winsim::imagePlaces(source, installation);
    if (places.empty()) {
        std::error_code ec;
        const std::filesystem::path path = std::filesystem::weakly_canonical(source, ec);
        places.push_back(ec ? source : path.string());
    }
    return places;
}

// Sends the machine's own notes and warnings to the program's messages
// while it lives.
struct MachineMessages {
    explicit MachineMessages(Diagnostics& diagnostics) {
        winsim::setMessageSink([&diagnostics](const std::string& line) { diagnostics.say(line); });
    }
    ~MachineMessages() { winsim::setMessageSink(nullptr); }
    MachineMessages(const MachineMessages&) = delete;
    MachineMessages& operator=(const MachineMessages&) = delete;
};

}  // namespace

int main(int argc, char** argv) {
    occupyClosedStandardDescriptors();
    // A reader that went away makes a write fail (EPIPE), which is reported
    // like any other output failure, instead of ending the program unheard.
    std::signal(SIGPIPE, SIG_IGN);
    Diagnostics diagnostics(std::cerr);
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, &options, &error)) {
        diagnostics.say(error + "; see --help");
        return 2;
    }
    if (options.help || options.version || options.listSupported) {
        if (options.help) {
            std::cout << usage();
        } else {
            if (options.version) std::cout << versionLine() << '\n';
            if (options.listSupported) std::cout << supportedList();
        }
        std::cout.flush();
        if (!std::cout) {
            diagnostics.say("standard output cannot be written");
            return 1;
        }
        return 0;
    }

    const bool installation = !options.offline.windows.empty();
    std::string machineDir = installation ? options.offline.windows : options.machine;
    const bool defaultCopy = machineDir.empty();
    if (defaultCopy) {
        machineDir = defaultMachineDir(&error);
        if (machineDir.empty()) {
            diagnostics.say(error);
            return 2;
        }
    }
    // In a terminal the messages wait until the terminal UI gives it back
    // (or turns out not to start).
    const bool interactive = !options.headless && isatty(STDIN_FILENO) == 1;
    if (interactive) diagnostics.hold();
    // The log before the image's lock: opening it never blocks.
    RunLog log([&diagnostics](const std::string& message) { diagnostics.say(message); });
    if (!options.log.empty() && log.open(options.log, imagePlaces(machineDir, installation),
                                         (installation ? "on the drive of the Windows installation "
                                                       : "inside the machine image ") +
                                             machineDir)) {
        diagnostics.setLog(&log);
        log.header(versionLine());
    }
    if (defaultCopy) {
        bool inUse = false;
        if (!prepareDefaultMachine(machineDir, options.resetMachine, &error, &inUse)) {
            diagnostics.say(error);
            return inUse ? 3 : 2;
        }
    }
    const MachineImage image = describeMachineImage(machineDir, defaultCopy);
    log.header(imageRecordLine(image));
    const MachineMessages machineMessages(diagnostics);
    winsim::setCallLogging(false);
    winsim::LoadFailure why = winsim::LoadFailure::None;
    if (!winsim::loadMachine(machineDir, options.offline.load, &error, &why)) {
        if (why == winsim::LoadFailure::InUse) {
            diagnostics.say(error);
            return 3;
        }
        diagnostics.say(defaultCopy ? error + kResetHint : error);
        return 2;
    }
    const winsim::MachineFacts facts = winsim::machineFacts();
    log.header(factsLine(facts));
    const std::string versionProblem = versionWarning(facts);
    if (!versionProblem.empty()) diagnostics.say(versionProblem);
    if (options.undo) {
        std::string reason;
        if (winsim::machineReadOnly(&reason)) {
            winsim::endRun();
            diagnostics.say("--undo: not undone, nothing changed: the machine is read-only (" +
                            reason + ")");
            return 2;
        }
        const winsim::UndoResult undone = winsim::undoLatestBackup(&error);
        diagnostics.say(error);
        winsim::endRun();
        return undone == winsim::UndoResult::Restored ? 0 : 1;
    }
    if (!loadDialogResources(&error)) {
        winsim::endRun();
        diagnostics.say("built-in resources: " + error);
        return 2;
    }

    const AnsiText ansi(winsim::codePage());
    RunRecord record(ansi, imageRecordLine(image), factsLine(facts), &log);
    // A terminal gets the terminal UI (an input driver of its own); otherwise,
    // or when the terminal cannot be used, the line mode.
    TerminalUi terminalUi(ansi);
    const char* home = std::getenv("HOME");
    terminalUi.setImageLine(imageScreenLine(image, home != nullptr ? home : ""));
    terminalUi.setStartNotice(startNotice(facts, versionProblem));
    std::string terminalError;
    const bool terminal = interactive && terminalUi.start(&terminalError);
    if (interactive && !terminal) {
        diagnostics.release();
        diagnostics.say(terminalError + "; line mode (commands: see --help)");
    }
    LineMode lineMode(std::cin, std::cout, diagnostics.stream(), ansi, facts);
    UninstallWatch uninstalls(diagnostics.stream());
    winsim::setBackupObserver([&](const std::string& folder) {
        diagnostics.say("what this command deletes is saved in " + folder);
    });
    winsim::ui::setTextObserver(
        [&](HWND window, const std::string& before, const std::string& after) {
            record.onTextChanged(window, before, after);
            uninstalls.onTextChanged(window, before, after);
            if (!terminal) lineMode.onTextChanged(window, before, after);
        });
    if (!terminal) winsim::ui::setInputDriver(&lineMode);

    ReadOnlyGuard readOnlyGuard(diagnostics.stream());
    // One commit per operator command: when the dialog is at rest again.
    // After a failed commit, or once the operator can no longer read the
    // output, no more input is taken and nothing more is committed.
    const auto outputBroken = [&] { return !terminal && lineMode.outputFailed(); };
    bool commitFailed = false;
    std::string commitError;
    // A file a commit could not delete stays, named here; the rest of the
    // commit stands, and the run ends with status 1.
    bool filesStayed = false;
    const auto reportKept = [&] {
        for (const std::string& file : winsim::takeFilesNotDeleted()) {
            diagnostics.say(file + " could not be deleted; it stays on the machine");
            filesStayed = true;
        }
    };
    winsim::ui::setIdleObserver([&] {
        if (outputBroken()) {
            return false;
        }
        uninstalls.beforeCommit();
        if (!winsim::commit(&commitError)) {
            commitFailed = true;
            return false;
        }
        reportKept();
        uninstalls.onIdle();
        return true;
    });

    int status = theApp.run(GetModuleHandleA(nullptr));
    status = status != 0 ? status : uninstalls.exitStatus(winsim::restartRequested());
    if (readOnlyGuard.refusedUnasked() && status == 0) status = 1;
    terminalUi.stop();
    if (terminal) record.print(std::cout);
    if (!terminal) lineMode.endOutput();
    diagnostics.release();

    winsim::ui::setIdleObserver(nullptr);
    winsim::ui::setInputDriver(nullptr);
    winsim::ui::setTextObserver(nullptr);
    if (outputBroken()) {
        diagnostics.say(
            "standard output cannot be written; the changes after the last output were not "
            "saved");
        status = 1;
    } else if (!commitFailed) {
        uninstalls.beforeCommit();
        if (!winsim::commit(&commitError)) commitFailed = true;
    }
    if (commitFailed) {
        diagnostics.say("the machine image could not be saved: " + commitError);
        status = 1;
    } else {
        reportKept();
        uninstalls.onIdle();
    }
    if (filesStayed) status = 1;
    winsim::setBackupObserver(nullptr);
    winsim::endRun();
    return status;
}
