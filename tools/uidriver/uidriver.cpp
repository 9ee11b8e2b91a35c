// UI driver: finds the running utility's main dialog by its caption and
// drives it from another process in the same Wine prefix (or on Windows).
//
// Reads the host program's line-mode commands from stdin, one per line:
// detect, uninstall, restart, close, select N, about, state; plus
// about-open / about-close, which leave the about box on screen in between
// (for screenshots). Prints the same JSON lines as the host line mode.
// Exit status: 0 when every command ran, 1 when the dialog could not be
// driven (not found, hung). Bad lines are reported and skipped, as by the
// host line mode; end of input closes the dialog.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "dialog/resource.h"
#include "protocol/commands.h"
#include "protocol/state_json.h"

namespace {

constexpr wchar_t kMainCaption[] = L"Quorvane USB Miniport Driver Uninstall Utility";
constexpr wchar_t kAboutCaption[] = L"About QuorvaneUninstall";
constexpr wchar_t kDialogClass[] = L"#32770";

DWORD g_timeoutMs = 30000;  // any one wait: window to appear, message to be handled
constexpr DWORD kPollMs = 50;

struct DriverError {
    std::string what;
};

[[noreturn]] void fail(const std::string& what) { throw DriverError{what}; }

std::string toUtf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// SendMessageW that gives up (and fails the run) when the target stops
// handling messages. Wide form: Wine marshals narrow CB_GETLBTEXT across
// processes as UTF-16 bytes.
LRESULT sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, g_timeoutMs, &result) ==
        0) {
        if (!IsWindow(window))
            fail("window went away while handling message " + std::to_string(message));
        fail("no answer to message " + std::to_string(message) + " within the timeout");
    }
    return static_cast<LRESULT>(result);
}

// Waits for a visible top-level dialog with this caption. A modal dialog is
// shown only after its initialisation handler returned.
HWND waitForDialog(const wchar_t* caption, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowW(kDialogClass, caption);
        if (window != nullptr && IsWindowVisible(window)) return window;
        if (GetTickCount() - start > timeoutMs) return nullptr;
        Sleep(kPollMs);
    }
}

bool waitGone(HWND window) {
    const DWORD start = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - start > g_timeoutMs) return false;
        Sleep(kPollMs);
    }
    return true;
}

HWND control(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    if (item == nullptr) fail("control " + std::to_string(id) + " not found");
    return item;
}

std::string windowText(HWND window) {
    const LRESULT length = sendTo(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied =
        sendTo(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    buffer.resize(static_cast<std::size_t>(copied));
    return toUtf8(buffer);
}

std::string comboItem(HWND combo, int index) {
    const LRESULT length = sendTo(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) fail("device list item " + std::to_string(index) + " unreadable");
    std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = sendTo(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                  reinterpret_cast<LPARAM>(buffer.data()));
    if (copied == CB_ERR) fail("device list item " + std::to_string(index) + " unreadable");
    buffer.resize(static_cast<std::size_t>(copied));
    return toUtf8(buffer);
}

statejson::DialogState readState(HWND dialog) {
    statejson::DialogState state;
    state.status = windowText(control(dialog, IDC_STATUS));
    HWND combo = control(dialog, IDC_DEVICE_LIST);
    const LRESULT count = sendTo(combo, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) state.devices.push_back(comboItem(combo, i));
    state.selected = static_cast<int>(sendTo(combo, CB_GETCURSEL, 0, 0));
    state.uninstallEnabled = IsWindowEnabled(control(dialog, IDOK)) != 0;
    state.closeEnabled = IsWindowEnabled(control(dialog, IDCANCEL)) != 0;
    state.detectEnabled = IsWindowEnabled(control(dialog, IDC_DETECT)) != 0;
    state.restartEnabled = IsWindowEnabled(control(dialog, IDC_RESTART)) != 0;
    // An ExitWindowsEx call cannot be seen from here; the utility only makes
    // it after a 9x-family removal, which Wine's Setup API never completes.
    state.restartRequested = false;
    return state;
}

// Waits until the dialog's thread has handled every message posted to it so
// far. Posted messages are handled in order, so a marker posted last and seen
// handled proves the rest were too. The marker is a text limit on the
// read-only status pane: it limits typing only, never the program's own
// text, and the values used lie far above any status text length.
void drainPosted(HWND dialog) {
    static WPARAM marker = 0x7FFF0000;
    ++marker;
    HWND status = control(dialog, IDC_STATUS);
    if (!PostMessageW(status, EM_SETLIMITTEXT, marker, 0)) fail("cannot post to the dialog");
    const DWORD start = GetTickCount();
    while (static_cast<WPARAM>(sendTo(status, EM_GETLIMITTEXT, 0, 0)) != marker) {
        if (GetTickCount() - start > g_timeoutMs) fail("dialog did not handle posted messages");
        Sleep(kPollMs);
    }
}

// Clicks a button as an operator would: a disabled button takes no click.
// Posted: under Wine 8 a message that the handler of a BM_CLICK sent from
// another process posts to its own queue is lost.
bool click(HWND dialog, int id) {
    HWND button = control(dialog, id);
    if (!IsWindowEnabled(button)) return false;
    if (!PostMessageW(button, BM_CLICK, 0, 0)) fail("cannot post a click");
    return true;
}

void print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The Uninstall handler writes its first message and posts the removal to
// the dialog's own queue, behind the first marker; a second marker, posted
// once the first was seen, lands behind the removal.
void uninstall(HWND dialog) {
    if (!click(dialog, IDOK)) return;
    drainPosted(dialog);
    drainPosted(dialog);
}

struct AboutTexts {
    std::vector<HWND> statics;
};

BOOL CALLBACK collectStatic(HWND child, LPARAM context) {
    wchar_t className[32] = {};
    GetClassNameW(child, className, 32);
    if (lstrcmpiW(className, L"Static") != 0) return TRUE;
    const LONG type = GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK;
    const bool text = type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT ||
                      type == SS_SIMPLE || type == SS_LEFTNOWORDWRAP;
    if (text) reinterpret_cast<AboutTexts*>(context)->statics.push_back(child);
    return TRUE;
}

// The system-menu command runs a modal loop in its handler: post it.
HWND openAbout(HWND dialog) {
    if (!PostMessageW(dialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0))
        fail("cannot post the about command");
    HWND about = waitForDialog(kAboutCaption, g_timeoutMs);
    if (about == nullptr) fail("about box did not open");
    sendTo(about, WM_NULL, 0, 0);
    return about;
}

std::string readAbout(HWND about) {
    statejson::AboutState state;
    state.caption = windowText(about);
    AboutTexts texts;
    // Children come in Z order, which for a dialog is its template order.
    EnumChildWindows(about, collectStatic, reinterpret_cast<LPARAM>(&texts));
    for (HWND item : texts.statics) state.texts.push_back(windowText(item));
    return statejson::aboutLine(state);
}

void closeAbout() {
    HWND about = FindWindowW(kDialogClass, kAboutCaption);
    if (about == nullptr) fail("about box is not open");
    if (!PostMessageW(control(about, IDOK), BM_CLICK, 0, 0)) fail("cannot post a click");
    if (!waitGone(about)) fail("about box did not close");
}

// Runs one command line as the host line mode does; false once the dialog
// is gone (after close). A bad line gets one line on stderr and is skipped.
bool runCommand(HWND dialog, const std::string& line) {
    using protocol::Command;
    const protocol::ParsedCommand parsed = protocol::parseCommand(line);
    switch (parsed.command) {
        case Command::Empty:
            break;
        case Command::State:
            print(statejson::stateLine(readState(dialog)));
            break;
        case Command::Detect:
            if (click(dialog, IDC_DETECT)) drainPosted(dialog);
            break;
        case Command::Uninstall:
            uninstall(dialog);
            break;
        case Command::Restart:
            if (click(dialog, IDC_RESTART)) drainPosted(dialog);
            break;
        case Command::Close:
            if (click(dialog, IDCANCEL)) {
                if (!waitGone(dialog)) fail("dialog did not close");
                return false;
            }
            break;
        case Command::BadIndex:
            std::fprintf(stderr, "uidriver: select needs an item number: %s\n",
                         parsed.line.c_str());
            break;
        case Command::Select: {
            // Range checked here: an out-of-range CB_SETCURSEL clears the
            // selection on Windows but keeps it under Wine 8.
            HWND list = control(dialog, IDC_DEVICE_LIST);
            if (parsed.index >= sendTo(list, CB_GETCOUNT, 0, 0)) {
                std::fprintf(stderr, "uidriver: the device list has no item %d\n", parsed.index);
                break;
            }
            sendTo(list, CB_SETCURSEL, static_cast<WPARAM>(parsed.index), 0);
            break;
        }
        case Command::About: {
            HWND about = openAbout(dialog);
            print(readAbout(about));
            closeAbout();
            break;
        }
        case Command::AboutOpen:
            print(readAbout(openAbout(dialog)));
            break;
        case Command::AboutClose:
            closeAbout();
            break;
        case Command::Devices:  // the host's view of the machine; not seen from here
        case Command::Plan:
        case Command::Unknown:
            std::fprintf(stderr, "uidriver: unknown command: %s\n", parsed.line.c_str());
            break;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // JSON lines end in a bare LF, as on the host.
    _setmode(_fileno(stdout), _O_BINARY);
    DWORD startTimeoutMs = 60000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--timeout-ms") == 0)
            g_timeoutMs = static_cast<DWORD>(std::atol(argv[i + 1]));
        else if (std::strcmp(argv[i], "--start-timeout-ms") == 0)
            startTimeoutMs = static_cast<DWORD>(std::atol(argv[i + 1]));
    }
    HWND dialog = waitForDialog(kMainCaption, startTimeoutMs);
    if (dialog == nullptr) {
        std::fprintf(stderr, "uidriver: main dialog not found\n");
        return 1;
    }
    try {
        sendTo(dialog, WM_NULL, 0, 0);
        std::string line;
        bool open = true;
        while (open && std::getline(std::cin, line)) open = runCommand(dialog, line);
        // End of input closes the dialog, as `close` does.
        if (open) runCommand(dialog, "close");
    } catch (const DriverError& error) {
        std::fprintf(stderr, "uidriver: %s\n", error.what.c_str());
        return 1;
    }
    return 0;
}
