#include "dialog/uninstall_app.h"

#include "dialog/command_line.h"
#include "dialog/resource.h"
#include "dialog/status_log_file.h"
#include "dialog/uninstall_dialog.h"

#include <cstdlib>
#include <cstring>

UninstallApp theApp;

namespace {

// The switches in a message box, after the catalogue text `problem` naming
// `argument` when there is a problem.
void showSwitches(UINT problem, const char* argument) {
    fw::String format;
    fw::String text;
    format.load(fw::resourceModule(), problem);
    text.format(format.c_str(), argument);
    format.load(fw::resourceModule(), IDS_SWITCHES);
    text.append(format);
    format.load(fw::resourceModule(), IDS_SWITCHES_CAPTION);
    MessageBoxA(nullptr, text.c_str(), format.c_str(),
                problem != 0 ? MB_OK | MB_ICONERROR : MB_OK | MB_ICONINFORMATION);
}

}  // namespace

bool UninstallApp::initInstance() {
    enableControlHosting();

    // Without arguments the dialog runs as it always has.
    const char* line = GetCommandLineA();
    char* arguments = static_cast<char*>(std::realloc(nullptr, std::strlen(line) + 1));
    if (arguments == nullptr) {
        setExitCode(kExitFailed);
        return false;
    }
    const Switches switches = parseSwitches(arguments, splitCommandLine(line, arguments));
    StatusLogFile log;
    UninstallDialog dialog(nullptr);
    if (switches.error != SwitchError::None || switches.help) {
        if (!switches.quiet) {
            showSwitches(switches.error == SwitchError::Unknown          ? IDS_UNKNOWN_SWITCH
                         : switches.error == SwitchError::MissingLogFile ? IDS_LOG_NEEDS_FILE
                                                                         : 0,
                         switches.offending);
        }
        setExitCode(switches.error != SwitchError::None ? kExitBadSwitch : kExitSuccess);
    } else {
        // /log names the file; an unattended run logs to the temporary
        // folder without it.
        if ((switches.logFile != nullptr || switches.quiet) && log.name(switches.logFile)) {
            dialog.logTo(&log);
        }
        if (switches.quiet) dialog.runUnattended(switches.restart);
        setMainDialog(&dialog);
        const INT_PTR result = dialog.doModal();
        setMainDialog(nullptr);
        // An unattended dialog ends with the run's exit code; one that could
        // not be created (-1) has done nothing.
        if (switches.quiet) setExitCode(result >= 0 ? static_cast<int>(result) : kExitFailed);
    }
    std::free(arguments);
    // No message loop of the application's own: the program ends here.
    return false;
}
