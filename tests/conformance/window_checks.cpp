// Window system: a dialog from a template, its first focus and default
// button, messages of buttons, combo boxes and edits, PostMessage order and
// the system menu. The checks run inside the dialog's own modal loop, from
// messages the dialog posts itself.
#include "platform/win32.h"
#include "tests/conformance/check.h"
#include "tests/conformance/fixture.h"

#include <cstring>
#include <initializer_list>

namespace conformance {

namespace {

constexpr int kList = 103, kEdit = 104, kHidden = 105;

struct Run {
    HWND initFocusParam = nullptr;
    HWND firstTabAtInit = nullptr;
    int order[8] = {};
    int orderCount = 0;
    int commands[8] = {};  // WM_COMMAND as id * 0x10000 + notification
    int commandCount = 0;
} g_run;

void note(int* list, int* count, int value) {
    if (*count < 8) list[(*count)++] = value;
}

DWORD buttonType(HWND dialog, int id) {
    return static_cast<DWORD>(GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE)) & BS_TYPEMASK;
}

void focusAndDefaultChecks(HWND dialog) {
    section("dialog: first focus and default button");
    // WM_INITDIALOG named the first tab stop as the template left it; the
    // handler enabled Go, so after it returned TRUE the focus went to Go.
    CHECK(g_run.initFocusParam == GetDlgItem(dialog, IDCANCEL));
    CHECK(g_run.firstTabAtInit == GetDlgItem(dialog, IDCANCEL));
    CHECK(GetFocus() == GetDlgItem(dialog, IDOK));
    CHECK_EQ(SendMessageA(dialog, DM_GETDEFID, 0, 0), MAKELONG(IDOK, DC_HASDEFID));
    CHECK_EQ(buttonType(dialog, IDOK), BS_DEFPUSHBUTTON);
    CHECK_EQ(buttonType(dialog, IDCANCEL), BS_PUSHBUTTON);
    CHECK(GetNextDlgTabItem(dialog, nullptr, FALSE) == GetDlgItem(dialog, IDOK));
    // The hidden button is no tab stop; the edit (no WS_TABSTOP given, but
    // EDITTEXT has it) is the last.
    CHECK(GetNextDlgTabItem(dialog, GetDlgItem(dialog, kList), FALSE) == GetDlgItem(dialog, kEdit));
    CHECK(GetNextDlgTabItem(dialog, GetDlgItem(dialog, kEdit), FALSE) == GetDlgItem(dialog, IDOK));
    CHECK(GetNextDlgTabItem(dialog, GetDlgItem(dialog, IDOK), TRUE) == GetDlgItem(dialog, kEdit));
    // Moving the focus with the dialog manager: a push button shows as the
    // default while it has the focus; the default command stays.
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDCANCEL)),
                 TRUE);
    CHECK(GetFocus() == GetDlgItem(dialog, IDCANCEL));
    CHECK_EQ(buttonType(dialog, IDCANCEL), BS_DEFPUSHBUTTON);
    CHECK_EQ(buttonType(dialog, IDOK), BS_PUSHBUTTON);
    CHECK_EQ(SendMessageA(dialog, DM_GETDEFID, 0, 0), MAKELONG(IDOK, DC_HASDEFID));
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, kList)), TRUE);
    CHECK(GetFocus() == GetDlgItem(dialog, kList));
    CHECK_EQ(buttonType(dialog, IDOK), BS_DEFPUSHBUTTON);
    CHECK_EQ(buttonType(dialog, IDCANCEL), BS_PUSHBUTTON);
    // A disabled control cannot take the focus from the dialog manager's
    // tab order; disabling the focused one leaves nothing focused there.
    CHECK(!IsWindowVisible(GetDlgItem(dialog, kHidden)));
}

void controlChecks(HWND dialog) {
    section("controls: button, combo box, edit");
    // BM_CLICK on an enabled button: WM_COMMAND BN_CLICKED, sent at once.
    g_run.commandCount = 0;
    SendDlgItemMessageA(dialog, IDCANCEL, BM_CLICK, 0, 0);
    // (The click takes the focus from the list first: CBN_KILLFOCUS.)
    CHECK(g_run.commandCount >= 1);
    CHECK_EQ(g_run.commands[g_run.commandCount - 1], IDCANCEL * 0x10000 + BN_CLICKED);
    CHECK_EQ(SendDlgItemMessageA(dialog, IDCANCEL, BM_GETCHECK, 0, 0), BST_UNCHECKED);

    g_run.commandCount = 0;
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_GETCOUNT, 0, 0), 3);
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_GETCURSEL, 0, 0), CB_ERR);
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_SETCURSEL, 1, 0), 1);
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_GETCURSEL, 0, 0), 1);
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_GETLBTEXTLEN, 1, 0), 3);
    char text[64];
    std::memset(text, '#', sizeof text);
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(text)),
             3);
    CHECK_STR(text, "two");
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_GETLBTEXTLEN, 9, 0), CB_ERR);
    // Out of range: CB_ERR, and Windows clears the selection (Wine keeps it).
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_SETCURSEL, 9, 0), CB_ERR);
    TODO_WINE CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_GETCURSEL, 0, 0), CB_ERR);
    CHECK_EQ(g_run.commandCount, 0);  // CB_SETCURSEL notifies nobody
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("four")),
             3);
    // Windows always answers CB_OKAY (0); Wine 8 answers TRUE.
    TODO_WINE CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_RESETCONTENT, 0, 0), CB_OKAY);
    CHECK_EQ(SendDlgItemMessageA(dialog, kList, CB_GETCOUNT, 0, 0), 0);

    CHECK(SetDlgItemTextA(dialog, kEdit, "a\r\nbc\r\nd"));
    CHECK_EQ(SendDlgItemMessageA(dialog, kEdit, EM_GETLINECOUNT, 0, 0), 3);
    CHECK_EQ(SendDlgItemMessageA(dialog, kEdit, WM_GETTEXTLENGTH, 0, 0), 8);
    std::memset(text, '#', sizeof text);
    CHECK_EQ(GetDlgItemTextA(dialog, kEdit, text, 4), 3);  // truncated, terminated
    CHECK_STR(text, "a\r\n");
    CHECK_EQ(text[4], '#');
    CHECK(SetDlgItemTextA(dialog, kEdit, ""));
    CHECK_EQ(SendDlgItemMessageA(dialog, kEdit, EM_GETLINECOUNT, 0, 0), 1);
}

void systemMenuChecks(HWND dialog) {
    section("system menu");
    HMENU menu = GetSystemMenu(dialog, FALSE);
    CHECK(menu != nullptr);
    if (menu == nullptr) return;
    CHECK(AppendMenuA(menu, MF_SEPARATOR, 0, nullptr));
    CHECK(AppendMenuA(menu, MF_STRING, 0x0010, "&About..."));
    CHECK(GetSystemMenu(dialog, FALSE) == menu);  // the same copy again
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            g_run.initFocusParam = reinterpret_cast<HWND>(wParam);
            g_run.firstTabAtInit = GetNextDlgTabItem(dialog, nullptr, FALSE);
            EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
            for (const char* item : {"one", "two", "six"}) {
                SendDlgItemMessageA(dialog, kList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
            }
            // Posted messages wait for the modal loop; a sent one runs now.
            PostMessageA(dialog, WM_APP, 1, 0);
            PostMessageA(dialog, WM_APP, 2, 0);
            SendMessageA(dialog, WM_APP, 0, 0);
            return TRUE;
        case WM_APP:
            note(g_run.order, &g_run.orderCount, static_cast<int>(wParam));
            if (wParam == 2) {
                section("PostMessage order");
                CHECK_EQ(g_run.orderCount, 3);
                CHECK_EQ(g_run.order[0] * 100 + g_run.order[1] * 10 + g_run.order[2], 12);
                focusAndDefaultChecks(dialog);
                controlChecks(dialog);
                systemMenuChecks(dialog);
                EndDialog(dialog, 42);
            }
            return TRUE;
        case WM_COMMAND:
            note(g_run.commands, &g_run.commandCount,
                 static_cast<int>(LOWORD(wParam) * 0x10000 + HIWORD(wParam)));
            return TRUE;  // nothing ends the dialog but the checks
        default:
            return FALSE;
    }
}

}  // namespace

void windowChecks() {
    section("DialogBoxParamA");
    const INT_PTR result =
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(200), nullptr, dialogProc, 0);
    CHECK_EQ(result, 42);
    CHECK_EQ(g_run.orderCount, 3);  // the checks ran
    CHECK_EQ(
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(299), nullptr, dialogProc, 0),
        -1);  // no such template
}

}  // namespace conformance
