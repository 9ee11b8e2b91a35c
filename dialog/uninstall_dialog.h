// The program's one working window: finds the supported devices, lists them
// and uninstalls the selected one, reporting every step in the status pane.
#pragma once

#include "detection/device_catalogue.h"
#include "dialog/framework/fw_dialog.h"
#include "dialog/framework/fw_string.h"

class StatusLogFile;

class UninstallDialog : public fw::Dialog {
public:
    explicit UninstallDialog(HWND parent = nullptr);

    // Probes every catalogue slot, traces the installations found and
    // refills the device list. True when at least one device can be
    // uninstalled; the Uninstall button is enabled exactly then.
    bool runDetection();

    // Every status text is also appended to `file` (not owned; null: none).
    void logTo(StatusLogFile* file) { log = file; }
    // Makes the run unattended: the dialog is never shown. After its
    // start-up it uninstalls every listed device, in slot order, as the
    // Uninstall button does; when an uninstall on Windows 98/ME asks for a
    // restart and `restartWhenNeeded` is set it restarts Windows as Restart
    // does; then it ends with the run's exit code (command_line.h).
    void runUnattended(bool restartWhenNeeded) {
        unattended = true;
        restartAfterwards = restartWhenNeeded;
    }

protected:
    BOOL onInitDialog() override;
    bool onCommand(WORD id, WORD notification, HWND control) override;
    void onOK() override { onUninstall(); }
    bool onSysCommand(WPARAM command, LPARAM position) override;
    bool onPaint() override;
    HICON onQueryDragIcon() override { return icon; }

private:
    void onDetect();
    void onUninstall();
    // The first phase without its post: reads the selected slot and
    // announces its uninstall. False when nothing is selected.
    bool announceUninstall();
    void performUninstall();
    int uninstallEveryDevice();
    void onRestart();
    bool reportNtInstallations(const char* windowsDir);
    bool report9xInstallations(const char* windowsDir);

    // Appends catalogue message `messageId`, formatted with the arguments,
    // to the status log and scrolls the pane to its end.
    void appendStatus(UINT messageId, ...);

    HICON icon;
    fw::String statusText;
    HWND statusPane = nullptr;
    HWND deviceList = nullptr;
    OsFamily osFamily = OsFamily::Unknown;
    DetectedMask detectedMask = 0;
    int selectedSlot = -1;

    StatusLogFile* log = nullptr;
    bool unattended = false;
    bool restartAfterwards = false;
    // Bit (id - 100) set: catalogue message id was appended.
    uint32_t messagesWritten = 0;
};
