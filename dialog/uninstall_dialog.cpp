#include "dialog/uninstall_dialog.h"

#include "detection/device_installer.h"
#include "dialog/about_dialog.h"
#include "dialog/command_line.h"
#include "dialog/framework/fw_application.h"
#include "dialog/resource.h"
#include "dialog/status_log_file.h"
#include "discovery/nt_discovery.h"
#include "discovery/win9x_discovery.h"
#include "removal/nt_removal.h"
#include "removal/win9x_removal.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>

namespace {

bool isSlot(LRESULT value) { return value >= 0 && value < kSlotCount; }

DetectedMask slotBit(int slot) { return DetectedMask{1} << slot; }

// Catalogue identifiers are 101 to 124.
constexpr uint32_t messageBit(UINT id) { return uint32_t{1} << ((id - 100) & 31); }

// The messages that make an unattended run fail: a found device that
// cannot be traced, no Windows directory or version, a failed uninstall.
constexpr uint32_t kFailureMessages =
    messageBit(IDS_INSTALLATION_NOT_FOUND) | messageBit(IDS_WINDOWS_DIR_MISSING) |
    messageBit(IDS_NOT_PLUGGED_IN) | messageBit(IDS_CANNOT_UNINSTALL) |
    messageBit(IDS_VERSION_UNKNOWN);

}  // namespace

UninstallDialog::UninstallDialog(HWND parent)
    : fw::Dialog(IDD_UNINSTALL_DIALOG, parent),
      icon(LoadIconA(fw::resourceModule(), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

BOOL UninstallDialog::onInitDialog() {
    fw::Dialog::onInitDialog();
    statusPane = item(IDC_STATUS);
    deviceList = item(IDC_DEVICE_LIST);

    HMENU systemMenu = GetSystemMenu(hwnd(), FALSE);
    if (systemMenu != nullptr) {
        fw::String aboutLabel;
        aboutLabel.load(fw::resourceModule(), IDS_ABOUT_MENU_TEXT);
        if (!aboutLabel.empty()) {
            AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, aboutLabel.c_str());
        }
    }

    SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) {
        appendStatus(IDS_VERSION_UNKNOWN);
    } else {
        if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            osFamily = OsFamily::Nt;
            appendStatus(IDS_NT_FAMILY_DETECTED);
        } else {
            osFamily = OsFamily::Win9x;
            appendStatus(IDS_WIN9X_FAMILY_DETECTED);
        }
        runDetection();
    }
    // Ended before its initialisation handler returns, a dialog is never
    // shown.
    if (unattended) endDialog(uninstallEveryDevice());
    return TRUE;
}

bool UninstallDialog::onCommand(WORD id, WORD notification, HWND control) {
    if (notification == BN_CLICKED) {
        switch (id) {
            case IDC_DETECT:
                onDetect();
                return true;
            case IDC_DUMMY:
                performUninstall();
                return true;
            case IDC_RESTART:
                onRestart();
                return true;
            default:
                break;
        }
    }
    return fw::Dialog::onCommand(id, notification, control);
}

bool UninstallDialog::runDetection() {
    detectedMask = 0;
    bool result = false;

    char windowsDir[kPathBufferSize];
    // A result of the buffer size or more is the size needed: the path did
    // not fit and the buffer holds nothing usable.
    const UINT length = GetWindowsDirectoryA(windowsDir, kPathBufferSize);
    if (length == 0 || length >= kPathBufferSize) {
        appendStatus(IDS_WINDOWS_DIR_MISSING);
        windowsDir[0] = '\0';
    } else {
        for (int slot = 0; slot < kSlotCount; ++slot) {
            if (probeDevice(networkClassGuid(), cataloguePattern(slot), deviceRecord(slot))) {
                detectedMask |= slotBit(slot);
            }
        }
    }

    if (osFamily != OsFamily::Unknown && detectedMask != 0) {
        result = osFamily == OsFamily::Nt ? reportNtInstallations(windowsDir)
                                          : report9xInstallations(windowsDir);
    }

    SendMessageA(deviceList, CB_RESETCONTENT, 0, 0);
    if (result) {
        for (int slot = 0; slot < kSlotCount; ++slot) {
            if ((detectedMask & slotBit(slot)) == 0) {
                continue;
            }
            const LRESULT index =
                SendMessageA(deviceList, CB_ADDSTRING, 0,
                             reinterpret_cast<LPARAM>(deviceRecord(slot).deviceDesc));
            if (index >= 0) {
                SendMessageA(deviceList, CB_SETITEMDATA, static_cast<WPARAM>(index), slot);
            }
        }
        const LRESULT count = SendMessageA(deviceList, CB_GETCOUNT, 0, 0);
        if (count >= 1) {
            SendMessageA(deviceList, CB_SETCURSEL, 0, 0);
            const LRESULT first = SendMessageA(deviceList, CB_GETITEMDATA, 0, 0);
            const char* firstName =
                isSlot(first) ? deviceRecord(static_cast<int>(first)).deviceDesc : "";
            appendStatus(count == 1 ? IDS_CLICK_UNINSTALL : IDS_SELECT_DEVICE, firstName);
        }
    } else {
        appendStatus(osFamily == OsFamily::Nt ? IDS_NO_DEVICE_NT : IDS_NO_DEVICE_9X);
    }

    EnableWindow(item(IDOK), result ? TRUE : FALSE);
    return result;
}

bool UninstallDialog::reportNtInstallations(const char* windowsDir) {
    bool any = false;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if ((detectedMask & slotBit(slot)) == 0) {
            continue;
        }
        DeviceRecord& record = deviceRecord(slot);
        if (discoverNtInstallation(slot, windowsDir, record)) {
            if (record.installCount == 1) {
                appendStatus(IDS_INSTALLED_ONCE, record.deviceDesc, record.installCount);
            } else {
                appendStatus(IDS_INSTALLED_TIMES, record.deviceDesc, record.installCount);
            }
            any = true;
        } else {
            detectedMask &= ~slotBit(slot);
            appendStatus(IDS_INSTALLATION_NOT_FOUND, record.deviceDesc, record.deviceDesc);
        }
    }
    return any;
}

bool UninstallDialog::report9xInstallations(const char* windowsDir) {
    bool any = false;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if ((detectedMask & slotBit(slot)) == 0) {
            continue;
        }
        DeviceRecord& record = deviceRecord(slot);
        if (discover9xInstallation(slot, windowsDir, record)) {
            appendStatus(IDS_INSTALLED_ONCE, record.deviceDesc);
            any = true;
        } else {
            detectedMask &= ~slotBit(slot);
            appendStatus(IDS_INSTALLATION_NOT_FOUND, record.deviceDesc, record.deviceDesc);
        }
    }
    return any;
}

void UninstallDialog::onDetect() { runDetection(); }

void UninstallDialog::onUninstall() {
    if (!announceUninstall()) return;
    // The removal is slow: let this handler return (and the pane show the
    // message) before it starts; the loop delivers the command afterwards.
    HWND dummy = item(IDC_DUMMY);
    PostMessageA(hwnd(), WM_COMMAND, MAKEWPARAM(IDC_DUMMY, BN_CLICKED),
                 reinterpret_cast<LPARAM>(dummy));
}

bool UninstallDialog::announceUninstall() {
    selectedSlot = static_cast<int>(SendMessageA(deviceList, CB_GETCURSEL, 0, 0));
    if (selectedSlot != CB_ERR) {
        const LRESULT slot =
            SendMessageA(deviceList, CB_GETITEMDATA, static_cast<WPARAM>(selectedSlot), 0);
        // Only detection attaches item data; anything else is no selection.
        selectedSlot = isSlot(slot) ? static_cast<int>(slot) : -1;
    }
    if (selectedSlot < 0) {
        selectedSlot = -1;
        return false;
    }
    appendStatus(IDS_UNINSTALLING, deviceRecord(selectedSlot).deviceDesc);
    UpdateWindow(statusPane);
    return true;
}

void UninstallDialog::performUninstall() {
    // The hidden button is only ever "clicked" by onUninstall's post; a
    // command arriving without a selection behind it is ignored.
    if (!isSlot(selectedSlot)) {
        return;
    }
    const int slot = selectedSlot;
    DeviceRecord& record = deviceRecord(slot);
    const RemovalResult result = osFamily == OsFamily::Nt ? removeNtInstallation(slot, record)
                                                          : remove9xInstallation(slot, record);
    switch (result) {
        case RemovalResult::NotFound:
            appendStatus(IDS_NOT_PLUGGED_IN, record.deviceDesc);
            break;
        case RemovalResult::RemovalFailed:
            appendStatus(IDS_CANNOT_UNINSTALL, record.deviceDesc);
            break;
        case RemovalResult::Removed:
            EnableWindow(item(IDOK), FALSE);
            // By the instances actually removed, not the count detection saw.
            if (record.removedCount <= 1) {
                appendStatus(IDS_UNINSTALLED_ONE, record.deviceDesc);
            } else {
                appendStatus(IDS_UNINSTALLED_ALL, record.removedCount, record.deviceDesc);
            }
            if (osFamily == OsFamily::Win9x) {
                EnableWindow(item(IDC_RESTART), TRUE);
                appendStatus(IDS_RESTART_REQUIRED, record.deviceDesc, record.deviceDesc);
            }
            break;
    }
}

void UninstallDialog::onRestart() { ExitWindowsEx(EWX_REBOOT, 0); }

int UninstallDialog::uninstallEveryDevice() {
    // Both phases of the Uninstall command for each item; nothing is
    // posted, as no message loop runs.
    const LRESULT count = SendMessageA(deviceList, CB_GETCOUNT, 0, 0);
    for (LRESULT index = 0; index < count; ++index) {
        SendMessageA(deviceList, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        if (announceUninstall()) performUninstall();
    }
    // The worst outcome sets the code: 1603 for any failure, else 3010 when
    // a 98/ME removal needs a restart that was not asked for. One that was
    // asked for is made whatever else failed: the removal that succeeded
    // needs it.
    const bool restartNeeded = (messagesWritten & messageBit(IDS_RESTART_REQUIRED)) != 0;
    if (restartNeeded && restartAfterwards) onRestart();
    if ((messagesWritten & kFailureMessages) != 0) return kExitFailed;
    return restartNeeded && !restartAfterwards ? kExitRestartNeeded : kExitSuccess;
}

bool UninstallDialog::onSysCommand(WPARAM command, LPARAM) {
    if ((command & 0xFFF0) != IDM_ABOUTBOX) {
        return false;
    }
    AboutDialog about(hwnd());
    about.doModal();
    return true;
}

bool UninstallDialog::onPaint() {
    if (!IsIconic(hwnd())) {
        return false;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd(), &paint);
    SendMessageA(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(hwnd(), &client);
    const int x = (client.right - client.left - iconWidth + 1) / 2;
    const int y = (client.bottom - client.top - iconHeight + 1) / 2;
    DrawIcon(dc, x, y, icon);
    EndPaint(hwnd(), &paint);
    return true;
}

void UninstallDialog::appendStatus(UINT messageId, ...) {
    fw::String format;
    format.load(fw::resourceModule(), messageId);
    const std::size_t before = statusText.length();
    va_list args;
    va_start(args, messageId);
    statusText.appendFormatV(format.c_str(), args);
    va_end(args);
    messagesWritten |= messageBit(messageId);
    if (log != nullptr) log->append(statusText.c_str() + before);

    SetWindowTextA(statusPane, statusText.c_str());
    const LRESULT lines = SendMessageA(statusPane, EM_GETLINECOUNT, 0, 0);
    SendMessageA(statusPane, EM_LINESCROLL, 0, lines);
}
