// Modal dialogs: creation from templates, the modal loop, command routing,
// operator input, nested dialogs, the system menu and icon painting.
#include <algorithm>

#include "tests/ui/ui_fixture.h"

namespace {

using uitest::handler;
using uitest::messageLog;
using uitest::standardHandler;
using namespace winsim::ui;

const int kDetect = IDC_DETECT, kList = IDC_LIST, kLog = IDC_LOG, kHidden = IDC_HIDDEN,
          kVersion = IDC_VERSION;

class Dialogs : public uitest::UiTest {};

TEST_F(Dialogs, CreationStateAndResult) {
    HWND seen = nullptr;
    LPARAM initParam = 0;
    bool visibleDuringInit = true;
    handler = [&](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            seen = h;
            initParam = l;
            visibleDuringInit = IsWindowVisible(h) != FALSE;
            EXPECT_EQ(reinterpret_cast<HWND>(w), GetDlgItem(h, IDCANCEL));  // first tab stop
        }
        return standardHandler(h, msg, w, l);
    };
    HWND control = nullptr;
    script.steps.push_back([&] {
        HWND d = activeDialog();
        ASSERT_EQ(d, seen);
        DialogInfo info;
        ASSERT_TRUE(describeDialog(d, &info));
        EXPECT_EQ(info.caption, "Main \"sample\" dialog");
        EXPECT_EQ(info.templateName, "102");
        EXPECT_EQ(info.width, 200);
        EXPECT_EQ(info.fontName, "MS Sans Serif");
        EXPECT_TRUE(info.enabled);
        ASSERT_EQ(info.controls.size(), 9u);
        const ControlInfo& go = info.controls[0];
        EXPECT_EQ(go.kind, ControlKind::Button);
        EXPECT_EQ(go.text, "Go");
        // Close, a push button with the focus, shows as the default while it
        // has it; the default command stays Go's.
        EXPECT_FALSE(go.isDefault);
        EXPECT_TRUE(info.controls[1].isDefault);
        EXPECT_EQ(SendMessageA(d, DM_GETDEFID, 0, 0), MAKELRESULT(IDOK, DC_HASDEFID));
        EXPECT_FALSE(go.enabled);
        EXPECT_TRUE(go.visible);
        EXPECT_EQ(go.x, 140);
        EXPECT_EQ(go.height, 14);
        EXPECT_TRUE(info.controls[1].focused);  // Close: the first enabled tab stop
        EXPECT_FALSE(info.controls[6].visible);
        EXPECT_FALSE(info.controls[6].enabled);
        EXPECT_EQ(info.controls[7].imageType, "BITMAP");
        EXPECT_EQ(info.controls[7].imageFile, "art\\pic.bmp");
        ASSERT_NE(info.controls[7].imageBytes, nullptr);
        EXPECT_EQ(*info.controls[7].imageBytes, std::string("BM\0\0pic\377", 8));
        EXPECT_EQ(info.controls[8].imageType, "ICON");
        EXPECT_EQ(info.controls[8].imageName, "128");
        EXPECT_EQ(focusedControl(d), GetDlgItem(d, IDCANCEL));
        EXPECT_EQ(nextTabStop(d, GetDlgItem(d, IDCANCEL), false), GetDlgItem(d, kDetect));
        EXPECT_EQ(nextTabStop(d, GetDlgItem(d, IDCANCEL), true), GetDlgItem(d, kLog));
        control = GetDlgItem(d, kDetect);
        EXPECT_EQ(GetDlgCtrlID(control), kDetect);
        EXPECT_EQ(GetParent(control), d);
        EXPECT_EQ(GetParent(d), nullptr);
        EXPECT_EQ(GetDlgItem(d, 4242), nullptr);
        RECT r;
        ASSERT_TRUE(GetClientRect(d, &r));
        EXPECT_EQ(r.right, 300);   // 200 units * 6 / 4
        EXPECT_EQ(r.bottom, 195);  // 120 units * 13 / 8
        EndDialog(d, 42);
    });
    EXPECT_EQ(run(IDD_MAIN, nullptr, 0x5EED), 42);
    EXPECT_EQ(initParam, 0x5EED);
    EXPECT_FALSE(visibleDuringInit);
    EXPECT_FALSE(IsWindow(seen));
    EXPECT_FALSE(IsWindow(control));
    EXPECT_EQ(activeDialog(), nullptr);
    EXPECT_EQ(messageLog.back(), "Main:WM_DESTROY");

    // Missing template, foreign module, bad parent: -1 and no window.
    EXPECT_EQ(run(999), -1);
    EXPECT_EQ(DialogBoxParamA(reinterpret_cast<HINSTANCE>(0x1234), MAKEINTRESOURCEA(IDD_MAIN),
                              nullptr, uitest::probeProc, 0),
              -1);
    EXPECT_EQ(run(IDD_MAIN, reinterpret_cast<HWND>(0x99999)), -1);

    // EndDialog inside WM_INITDIALOG: never shown, no input asked for.
    handler = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) EndDialog(h, 7);
        return standardHandler(h, msg, w, l);
    };
    const int callsBefore = script.calls;
    EXPECT_EQ(run(IDD_MAIN), 7);
    EXPECT_EQ(script.calls, callsBefore);
}

// A posted command runs after the handler that posted it has returned and
// before any further input; the hidden, disabled control's command is
// routed like any other.
TEST_F(Dialogs, PostedCommandRunsAfterHandler) {
    handler = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_COMMAND && LOWORD(w) == kDetect) {
            HWND hidden = GetDlgItem(h, kHidden);
            EXPECT_TRUE(PostMessageA(h, WM_COMMAND, MAKEWPARAM(kHidden, BN_CLICKED),
                                     reinterpret_cast<LPARAM>(hidden)));
            EXPECT_TRUE(PostMessageA(h, WM_USER + 5, 0, 0));
            messageLog.push_back("handler returns");
            return TRUE;
        }
        if (msg == WM_COMMAND && LOWORD(w) == kHidden) {
            EXPECT_EQ(reinterpret_cast<HWND>(l), GetDlgItem(h, kHidden));
            EXPECT_FALSE(IsWindowEnabled(reinterpret_cast<HWND>(l)));
        }
        if (msg == WM_USER + 5) messageLog.push_back("Main:WM_USER+5");
        return standardHandler(h, msg, w, l);
    };
    script.steps.push_back([] {
        messageLog.clear();
        EXPECT_TRUE(clickButton(activeDialog(), kDetect));
        messageLog.push_back("input queued");
    });
    script.steps.push_back([] {
        const std::vector<std::string> expected = {"input queued", "Main:WM_COMMAND 1006/0",
                                                   "handler returns", "Main:WM_COMMAND 1007/0",
                                                   "Main:WM_USER+5"};
        EXPECT_EQ(messageLog, expected);
        EXPECT_TRUE(clickButton(activeDialog(), IDCANCEL));
    });
    EXPECT_EQ(run(IDD_MAIN), IDCANCEL);
    EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(0x4444), WM_USER, 0, 0));
}

TEST_F(Dialogs, InputToDisabledHiddenOrInactiveTargetsIsRefused) {
    script.steps.push_back([] {
        HWND d = activeDialog();
        messageLog.clear();
        EXPECT_FALSE(clickButton(d, IDOK));         // disabled
        EXPECT_FALSE(clickButton(d, kHidden));      // hidden
        EXPECT_FALSE(clickButton(d, 4242));         // missing
        EXPECT_FALSE(clickButton(d, kList));        // not a button
        EXPECT_FALSE(chooseListItem(d, kList, 0));  // no such item
        EXPECT_FALSE(clickButton(nullptr, IDCANCEL));
        // BM_CLICK on a disabled button does nothing either.
        SendDlgItemMessageA(d, IDOK, BM_CLICK, 0, 0);
        EXPECT_TRUE(messageLog.empty());
        // Input is checked again when it is carried out.
        EXPECT_TRUE(clickButton(d, kDetect));
        EnableWindow(GetDlgItem(d, kDetect), FALSE);
    });
    script.steps.push_back([] {
        EXPECT_TRUE(messageLog.empty());
        HWND d = activeDialog();
        EXPECT_TRUE(EnableWindow(GetDlgItem(d, IDOK), TRUE));   // was disabled
        EXPECT_FALSE(EnableWindow(GetDlgItem(d, IDOK), TRUE));  // was enabled
        EXPECT_TRUE(ShowWindow(GetDlgItem(d, IDOK), SW_HIDE));
        EXPECT_FALSE(clickButton(d, IDOK));
        ShowWindow(GetDlgItem(d, IDOK), SW_SHOW);
        EXPECT_TRUE(clickButton(d, IDOK));
    });
    EXPECT_EQ(run(IDD_MAIN), IDOK);
    EXPECT_EQ(messageLog.back(), "Main:WM_DESTROY");
}

TEST_F(Dialogs, ListSelectionNotifiesParent) {
    HWND list = nullptr;
    handler = [&](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            list = GetDlgItem(h, kList);
            SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("alpha"));
            SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("beta"));
        }
        if (msg == WM_COMMAND && HIWORD(w) == CBN_SELCHANGE) {
            EXPECT_EQ(reinterpret_cast<HWND>(l), list);
            EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 1);
        }
        return standardHandler(h, msg, w, l);
    };
    script.steps.push_back([] {
        messageLog.clear();
        EXPECT_TRUE(chooseListItem(activeDialog(), kList, 1));
    });
    script.steps.push_back([&] {
        // Focus notification first (the click focuses the box), then the change.
        const std::vector<std::string> expected = {"Main:WM_COMMAND 1003/3",
                                                   "Main:WM_COMMAND 1003/1"};
        EXPECT_EQ(messageLog, expected);
        ControlInfo info;
        ASSERT_TRUE(describeControl(list, &info));
        EXPECT_EQ(info.items, (std::vector<std::string>{"alpha", "beta"}));
        EXPECT_EQ(info.curSel, 1);
        EXPECT_EQ(info.text, "beta");
        EXPECT_TRUE(info.focused);
    });
    EXPECT_EQ(run(IDD_MAIN), IDCANCEL);  // script over: closed
}

// The about box opened from a system command of the main dialog.
TEST_F(Dialogs, NestedModalDialogs) {
    INT_PTR aboutResult = 0;
    handler = [&](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_SYSCOMMAND && (w & 0xFFF0) == 0x0010) {
            aboutResult = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), h,
                                          uitest::probeProc, 0);
            return TRUE;
        }
        if (msg == WM_INITDIALOG && GetDlgItem(h, kVersion) != nullptr) {
            SetDlgItemTextA(h, kVersion, "v1.2.3.4");
        }
        return standardHandler(h, msg, w, l);
    };
    HWND mainDialog = nullptr;
    script.steps.push_back([&] {
        mainDialog = activeDialog();
        AppendMenuA(GetSystemMenu(mainDialog, FALSE), MF_STRING, 0x0010, "&About...");
        EXPECT_TRUE(chooseSystemCommand(mainDialog, 0x0010));
    });
    script.steps.push_back([&] {
        HWND about = activeDialog();
        ASSERT_NE(about, mainDialog);
        EXPECT_EQ(runningDialogs(), (std::vector<HWND>{mainDialog, about}));
        EXPECT_EQ(GetParent(about), mainDialog);
        // Its template lacks WS_VISIBLE; a modal dialog is shown all the same.
        EXPECT_TRUE(IsWindowVisible(about));
        EXPECT_FALSE(IsWindowEnabled(mainDialog));
        EXPECT_FALSE(clickButton(mainDialog, IDCANCEL));  // not the active dialog
        EXPECT_FALSE(chooseSystemCommand(mainDialog, SC_CLOSE));
        char text[32];
        EXPECT_EQ(GetDlgItemTextA(about, kVersion, text, sizeof text), 8u);
        EXPECT_STREQ(text, "v1.2.3.4");
        EXPECT_TRUE(pressKey(about, Key::Enter));  // the default button, OK
    });
    script.steps.push_back([&] {
        EXPECT_EQ(aboutResult, IDOK);
        EXPECT_EQ(activeDialog(), mainDialog);
        EXPECT_TRUE(IsWindowEnabled(mainDialog));
        EXPECT_TRUE(clickButton(mainDialog, IDCANCEL));
    });
    EXPECT_EQ(run(IDD_MAIN), IDCANCEL);
    const std::vector<std::string> tail(messageLog.end() - 2, messageLog.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Main:WM_COMMAND 2/0", "Main:WM_DESTROY"}));
    EXPECT_NE(std::find(messageLog.begin(), messageLog.end(), "About:WM_DESTROY"),
              messageLog.end());
}

// A dialog destroyed by its own handler ends its loop; messages posted to it
// are dropped; its owner gets its input back.
TEST_F(Dialogs, DestroyedWindows) {
    handler = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_SYSCOMMAND && w == 0x0010) {
            EXPECT_EQ(
                DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_ABOUT), h, uitest::probeProc, 0), 0);
            EXPECT_TRUE(IsWindowEnabled(h));
            return TRUE;
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDOK && GetDlgItem(h, IDC_VERSION) != nullptr) {
            PostMessageA(h, WM_COMMAND, IDCANCEL, 0);
            EXPECT_TRUE(DefWindowProcA(h, WM_CLOSE, 0, 0) == 0);  // destroys the window
            EXPECT_FALSE(IsWindow(h));
            return TRUE;
        }
        return standardHandler(h, msg, w, l);
    };
    script.steps.push_back([] {
        HWND d = activeDialog();
        AppendMenuA(GetSystemMenu(d, FALSE), MF_STRING, 0x0010, "&About...");
        EXPECT_TRUE(chooseSystemCommand(d, 0x0010));
    });
    script.steps.push_back([] { EXPECT_TRUE(clickButton(activeDialog(), IDOK)); });
    script.steps.push_back([] {
        messageLog.clear();
        EXPECT_TRUE(clickButton(activeDialog(), IDCANCEL));
    });
    EXPECT_EQ(run(IDD_MAIN), IDCANCEL);
    // The about box's posted cancel went nowhere; the main dialog saw only its own.
    EXPECT_EQ(messageLog, (std::vector<std::string>{"Main:WM_COMMAND 2/0", "Main:WM_DESTROY"}));
}

TEST_F(Dialogs, SystemMenuAndDefaultClose) {
    HMENU menu = nullptr;
    script.steps.push_back([&] {
        HWND d = activeDialog();
        menu = GetSystemMenu(d, FALSE);
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(GetSystemMenu(d, FALSE), menu);
        EXPECT_TRUE(AppendMenuA(menu, MF_SEPARATOR, 0, nullptr));
        EXPECT_TRUE(AppendMenuA(menu, MF_STRING, 0x0010, "&About..."));
        EXPECT_TRUE(AppendMenuA(menu, MF_STRING | MF_GRAYED, 0x0020, "Grey"));
        EXPECT_FALSE(AppendMenuA(menu, MF_STRING, 0x0030, nullptr));
        EXPECT_FALSE(AppendMenuA(reinterpret_cast<HMENU>(0x777), MF_STRING, 1, "x"));
        const std::vector<MenuItem> items = systemMenuItems(d);
        ASSERT_EQ(items.size(), 5u);
        EXPECT_EQ(items[0].id, static_cast<UINT>(SC_MOVE));
        EXPECT_EQ(items[1].id, static_cast<UINT>(SC_CLOSE));
        EXPECT_TRUE(items[2].separator);
        EXPECT_EQ(items[3].text, "&About...");
        EXPECT_FALSE(items[4].enabled);
        EXPECT_FALSE(chooseSystemCommand(d, 0x0020));  // greyed
        EXPECT_FALSE(chooseSystemCommand(d, 0x0040));  // no such item
        messageLog.clear();
        EXPECT_TRUE(chooseSystemCommand(d, 0x0010));
        EXPECT_TRUE(chooseSystemCommand(d, SC_MOVE));
    });
    script.steps.push_back([&] {
        EXPECT_EQ(messageLog,
                  (std::vector<std::string>{"Main:WM_SYSCOMMAND 16", "Main:WM_SYSCOMMAND 61456"}));
        EXPECT_TRUE(IsWindow(activeDialog()));  // neither closed it
        // Close: default SC_CLOSE sends WM_CLOSE, whose default posts IDCANCEL.
        messageLog.clear();
        EXPECT_TRUE(chooseSystemCommand(activeDialog(), SC_CLOSE));
    });
    EXPECT_EQ(run(IDD_MAIN), IDCANCEL);
    EXPECT_EQ(messageLog, (std::vector<std::string>{"Main:WM_SYSCOMMAND 61536", "Main:WM_CLOSE",
                                                    "Main:WM_COMMAND 2/0", "Main:WM_DESTROY"}));
    EXPECT_FALSE(AppendMenuA(menu, MF_STRING, 1, "x"));  // gone with its window

    // No system menu without WS_SYSMENU; the close box is refused there.
    handler = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            EXPECT_EQ(GetSystemMenu(h, FALSE), nullptr);
            EXPECT_TRUE(systemMenuItems(h).empty());
        }
        return standardHandler(h, msg, w, l);
    };
    script.steps.push_back([] { EXPECT_FALSE(closeBox(activeDialog())); });
    EXPECT_EQ(run(IDD_PLAIN), IDCANCEL);  // the driver gave up: WM_CLOSE

    // A disabled cancel button makes WM_CLOSE do nothing; the loop then ends
    // the dialog with -1 instead of hanging.
    handler = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) EnableWindow(GetDlgItem(h, IDCANCEL), FALSE);
        return standardHandler(h, msg, w, l);
    };
    messageLog.clear();
    EXPECT_EQ(run(IDD_MAIN), -1);
    EXPECT_EQ(std::count(messageLog.begin(), messageLog.end(), "Main:WM_COMMAND 2/0"), 0);
}

// Painting while minimised: the handler's BeginPaint, WM_ICONERASEBKGND,
// DrawIcon centred in the client area, EndPaint.
TEST_F(Dialogs, PaintWhileIconic) {
    HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAIN));
    ASSERT_NE(icon, nullptr);
    handler = [icon](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            EXPECT_EQ(SendMessageA(h, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon)), 0);
            EXPECT_EQ(SendMessageA(h, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon)), 0);
            EXPECT_EQ(SendMessageA(h, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon)),
                      reinterpret_cast<LRESULT>(icon));
        }
        if (msg == WM_PAINT && IsIconic(h)) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(h, &ps);
            SendMessageA(h, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
            RECT r;
            GetClientRect(h, &r);
            const int x = (r.right - r.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
            const int y = (r.bottom - r.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
            EXPECT_TRUE(DrawIcon(dc, x, y, icon));
            EndPaint(h, &ps);
            EXPECT_FALSE(DrawIcon(dc, x, y, icon));  // the context has ended
            return TRUE;
        }
        if (msg == WM_QUERYDRAGICON) return reinterpret_cast<INT_PTR>(icon);
        return standardHandler(h, msg, w, l);
    };
    std::vector<HWND> repainted;
    setRepaintObserver([&](HWND h) { repainted.push_back(h); });
    script.steps.push_back([&] {
        HWND d = activeDialog();
        EXPECT_TRUE(drawIconCalls().empty());  // the first paint was the default one
        EXPECT_FALSE(IsIconic(d));
        setIconic(d, true);
        EXPECT_TRUE(IsIconic(d));
    });
    script.steps.push_back([&] {
        HWND d = activeDialog();
        ASSERT_EQ(drawIconCalls().size(), 1u);
        const DrawIconCall& call = drawIconCalls()[0];
        EXPECT_EQ(call.window, d);
        EXPECT_EQ(call.x, 134);  // (300 - 32 + 1) / 2
        EXPECT_EQ(call.y, 82);   // (195 - 32 + 1) / 2
        EXPECT_EQ(call.icon, icon);
        EXPECT_TRUE(call.backgroundErased);
        EXPECT_EQ(SendMessageA(d, WM_QUERYDRAGICON, 0, 0), reinterpret_cast<LRESULT>(icon));
        DialogInfo info;
        ASSERT_TRUE(describeDialog(d, &info));
        EXPECT_TRUE(info.iconic);
        EXPECT_EQ(info.bigIcon, icon);
        IconInfo iconInfo;
        ASSERT_TRUE(describeIcon(icon, &iconInfo));
        EXPECT_EQ(iconInfo.file, "art/main.ico");
        // UpdateWindow repaints at once and tells the observer.
        InvalidateRect(d, nullptr, TRUE);
        UpdateWindow(d);
        EXPECT_EQ(drawIconCalls().size(), 2u);
        EXPECT_EQ(repainted, std::vector<HWND>{d});
        setIconic(d, false);
    });
    script.steps.push_back([] { EXPECT_EQ(drawIconCalls().size(), 2u); });
    run(IDD_MAIN);
    EXPECT_EQ(std::count(messageLog.begin(), messageLog.end(), "Main:WM_PAINT"), 4);
}

TEST_F(Dialogs, KeyboardAndMnemonics) {
    handler = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            for (const char* s : {"one", "two", "three"}) {
                SendDlgItemMessageA(h, kList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
            }
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) return TRUE;  // stays open
        return standardHandler(h, msg, w, l);
    };
    script.steps.push_back([] {
        HWND d = activeDialog();
        EXPECT_TRUE(pressKey(d, Key::Tab));     // Close -> Detect
        EXPECT_TRUE(pressMnemonic(d, 'v'));     // the label's mnemonic: the list
        EXPECT_TRUE(pressKey(d, Key::Down));    // selects item 0
        EXPECT_TRUE(pressKey(d, Key::End));     // the last item
        EXPECT_TRUE(pressKey(d, Key::Escape));  // IDCANCEL, ignored by the handler
        EXPECT_TRUE(pressMnemonic(d, 'D'));     // clicks Detect
        EXPECT_FALSE(pressMnemonic(d, '\n'));
        messageLog.clear();
    });
    script.steps.push_back([] {
        HWND d = activeDialog();
        EXPECT_EQ(messageLog,
                  (std::vector<std::string>{"Main:WM_COMMAND 1003/3", "Main:WM_COMMAND 1003/1",
                                            "Main:WM_COMMAND 1003/1", "Main:WM_COMMAND 2/0",
                                            "Main:WM_COMMAND 1003/4", "Main:WM_COMMAND 1006/0"}));
        EXPECT_EQ(SendDlgItemMessageA(d, kList, CB_GETCURSEL, 0, 0), 2);
        EXPECT_EQ(focusedControl(d), GetDlgItem(d, kDetect));
        // Enter on a focused push button clicks it; with the focus on the
        // list it goes to the default button, which is disabled here.
        messageLog.clear();
        EXPECT_TRUE(pressKey(d, Key::Enter));
        EXPECT_TRUE(focusControl(d, kList));
        EXPECT_TRUE(pressKey(d, Key::Enter));
        EXPECT_FALSE(focusControl(d, IDOK));  // disabled
    });
    script.steps.push_back([] {
        EXPECT_EQ(messageLog,
                  (std::vector<std::string>{"Main:WM_COMMAND 1006/0", "Main:WM_COMMAND 1003/3"}));
        HWND d = activeDialog();
        // Disabling the focused control takes the focus away.
        EnableWindow(GetDlgItem(d, kList), FALSE);
        EXPECT_EQ(focusedControl(d), nullptr);
        EXPECT_EQ(GetFocus(), nullptr);
        EXPECT_TRUE(closeBox(d));
    });
    // Cancel is ignored by this handler, so closing cannot end it: -1.
    EXPECT_EQ(run(IDD_MAIN), -1);
}

TEST_F(Dialogs, InitialFocusIsLookedUpAfterInitDialog) {
    // What WM_INITDIALOG does, and where the focus and the default look are
    // when the dialog shows: the first tab stop is looked up again after a
    // true result, whatever the handler focused.
    const struct {
        const char* name;
        bool enableGo;
        bool focusList;
        INT_PTR result;
        int focused;
        int shownDefault;
    } cases[] = {
        {"Go enabled: it is the first tab stop now", true, false, TRUE, IDOK, IDOK},
        {"a focus set by a true handler is overridden", true, true, TRUE, IDOK, IDOK},
        {"Go still disabled: Close", false, false, TRUE, IDCANCEL, IDCANCEL},
        {"false keeps the handler's focus", true, true, FALSE, kList, IDOK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        handler = [&c](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
            if (msg == WM_INITDIALOG) {
                if (c.enableGo) EnableWindow(GetDlgItem(h, IDOK), TRUE);
                if (c.focusList) SetFocus(GetDlgItem(h, kList));
                return c.result;
            }
            return standardHandler(h, msg, w, l);
        };
        script.steps.push_back([&c] {
            HWND d = activeDialog();
            EXPECT_EQ(focusedControl(d), GetDlgItem(d, c.focused));
            DialogInfo info;
            ASSERT_TRUE(describeDialog(d, &info));
            for (const ControlInfo& control : info.controls) {
                EXPECT_EQ(control.isDefault, control.id == c.shownDefault) << control.text;
            }
            EXPECT_TRUE(pressKey(d, Key::Enter));  // the focused button, else the default command
        });
        EXPECT_EQ(run(IDD_MAIN), c.focused == kList ? IDOK : c.focused);
        script.steps.clear();
    }
}

TEST_F(Dialogs, DefaultLookFollowsTheFocus) {
    handler = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) EnableWindow(GetDlgItem(h, IDOK), TRUE);
        return standardHandler(h, msg, w, l);
    };
    auto shownDefault = [] {
        DialogInfo info;
        describeDialog(activeDialog(), &info);
        std::string shown;
        for (const ControlInfo& control : info.controls) {
            if (control.isDefault) shown += control.text + ";";
        }
        return shown;
    };
    // Each step sees the input the one before queued.
    script.steps.push_back([&] {
        EXPECT_EQ(shownDefault(), "Go;");
        EXPECT_TRUE(focusControl(activeDialog(), kDetect));
    });
    script.steps.push_back([&] {
        EXPECT_EQ(shownDefault(), "&Detect;");
        EXPECT_TRUE(focusControl(activeDialog(), kList));
    });
    script.steps.push_back([&] {
        HWND d = activeDialog();
        EXPECT_EQ(shownDefault(), "Go;");  // not a button: the default command's button
        SendMessageA(d, DM_SETDEFID, IDCANCEL, 0);
        EXPECT_EQ(shownDefault(), "Close;");
        EXPECT_EQ(SendMessageA(d, DM_GETDEFID, 0, 0), MAKELRESULT(IDCANCEL, DC_HASDEFID));
        EXPECT_TRUE(pressKey(d, Key::Enter));  // on the list: the default command, Close
    });
    EXPECT_EQ(run(IDD_MAIN), IDCANCEL);
}

}  // namespace
