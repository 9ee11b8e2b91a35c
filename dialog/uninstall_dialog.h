// The program's one working window: finds the supported devices, lists them
// and uninstalls the selected one, reporting every step in the status pane.
#pragma once

#include "detection/device_catalogue.h"
#include "dialog/framework/fw_dialog.h"
#include "dialog/framework/fw_string.h"

class UninstallDialog : public fw::Dialog {
public:
    explicit UninstallDialog(HWND parent = nullptr);

    // Probes every catalogue slot, traces the installations found and
    // refills the device list. True when at least one device can be
    // uninstalled; the Uninstall button is enabled exactly then.
    bool runDetection();

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
    void performUninstall();
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
};
