// The application object of a dialog-based program: one global instance
// whose start-up handler runs the program's dialogs.
#pragma once

#include "platform/win32.h"

namespace fw {

class Dialog;

// The module whose resources the dialogs use: the running application's,
// or the program's own when no application object runs (tests).
HINSTANCE resourceModule();

class Application {
public:
    // Constant-initialised: the global object needs no start-up or exit code.
    constexpr Application() = default;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The one application object once its run has started, else null.
    static Application* current();

    // Runs the program in module `instance`: calls initInstance and returns
    // the process exit status (0 unless initInstance set another). A false
    // start-up result ends the program normally; there is no message loop
    // beyond the dialogs' own.
    int run(HINSTANCE instance);

    HINSTANCE instance() const { return instance_; }
    // The main dialog's window while it runs, else null.
    HWND mainWindow() const;

protected:
    // The one object is a global of the program's own class, never deleted
    // through this base.
    ~Application() = default;

    virtual bool initInstance() = 0;

    // Registers the common control classes (and with them the themed look
    // of dialog controls) before the first dialog is created.
    void enableControlHosting();
    void setMainDialog(Dialog* dialog) { mainDialog_ = dialog; }
    void setExitCode(int code) { exitCode_ = code; }

private:
    HINSTANCE instance_ = nullptr;
    Dialog* mainDialog_ = nullptr;
    int exitCode_ = 0;
};

}  // namespace fw
