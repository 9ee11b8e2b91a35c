// What the host learns about every Uninstall from the status texts the
// dialog writes (message 107 starts one; 108 or 120 end it well, 109 or 110
// badly): the exit status, and after each one what of the device is still
// on the machine.
#pragma once

#include "detection/device_catalogue.h"
#include "platform/win32.h"

#include <ostream>
#include <string>
#include <vector>

class UninstallWatch {
public:
    explicit UninstallWatch(std::ostream& err);

    // To be called with every change of a window's text (ANSI).
    void onTextChanged(HWND window, const std::string& before, const std::string& after);

    // Before the command's commit: when an Uninstall ended since, the
    // search for what remains starts its look at the registry beside the
    // commit.
    void beforeCommit();
    // When the dialog is idle again (after the command's commit): writes
    // what remains of a device whose Uninstall ended since.
    void onIdle();

    // 1 when an Uninstall ended in 109 or 110; 4 when one succeeded on the
    // 9x family and no restart was requested; otherwise 0.
    int exitStatus(bool restartRequested) const;

private:
    int messageOf(const std::string& text) const;

    std::ostream& err_;
    // Catalogue texts 107, 108, 109, 110 and 120.
    std::string uninstalling_, done_, notFound_, failed_, doneAll_;
    bool anyFailed_ = false;
    bool restartNeeded_ = false;
    bool reportPending_ = false;
    // What the search for what remains looks for.
    std::vector<std::string> terms() const;
    // The device being uninstalled, as detection left it.
    DeviceRecord record_{};
    char inf_[kPathBufferSize] = {};
    char driver_[kPathBufferSize] = {};
};
