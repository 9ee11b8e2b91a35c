// Exact results of the control messages, text calls, window slots and
// resource loading.
#include <cstring>

#include "tests/ui/ui_fixture.h"

namespace {

using namespace winsim::ui;

const int kList = IDC_LIST, kLog = IDC_LOG;

class Messages : public uitest::UiTest {
protected:
    // Runs `body` with the main dialog open, then closes it.
    void withDialog(const std::function<void(HWND)>& body) {
        script.steps.push_back([body] { body(activeDialog()); });
        run(IDD_MAIN);
    }
};

LRESULT send(HWND h, UINT msg, WPARAM w = 0, LPARAM l = 0) { return SendMessageA(h, msg, w, l); }
LPARAM str(const char* s) { return reinterpret_cast<LPARAM>(s); }

TEST_F(Messages, ComboBox) {
    withDialog([](HWND d) {
        HWND list = GetDlgItem(d, kList);
        char buffer[16];
        // Empty list.
        EXPECT_EQ(send(list, CB_GETCOUNT), 0);
        EXPECT_EQ(send(list, CB_GETCURSEL), CB_ERR);
        EXPECT_EQ(send(list, CB_SETCURSEL, 0), CB_ERR);
        EXPECT_EQ(send(list, CB_GETITEMDATA, 0), CB_ERR);
        EXPECT_EQ(send(list, CB_SETITEMDATA, 0, 5), CB_ERR);
        EXPECT_EQ(send(list, CB_GETLBTEXTLEN, 0), CB_ERR);
        EXPECT_EQ(send(list, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(buffer)), CB_ERR);
        EXPECT_EQ(send(list, CB_DELETESTRING, 0), CB_ERR);
        EXPECT_EQ(send(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), str("a")), CB_ERR);
        EXPECT_EQ(GetWindowTextLengthA(list), 0);

        // Adding returns the index (unsorted: at the end); data defaults to 0.
        EXPECT_EQ(send(list, CB_ADDSTRING, 0, str("zeta")), 0);
        EXPECT_EQ(send(list, CB_ADDSTRING, 0, str("alpha")), 1);
        EXPECT_EQ(send(list, CB_ADDSTRING, 0, 0), CB_ERR);
        EXPECT_EQ(send(list, CB_GETITEMDATA, 1), 0);
        EXPECT_EQ(send(list, CB_SETITEMDATA, 1, 2), TRUE);
        EXPECT_EQ(send(list, CB_SETITEMDATA, 0, -7), TRUE);
        EXPECT_EQ(send(list, CB_GETITEMDATA, 1), 2);
        EXPECT_EQ(send(list, CB_GETITEMDATA, 0), -7);
        EXPECT_EQ(send(list, CB_GETITEMDATA, 2), CB_ERR);
        EXPECT_EQ(send(list, CB_GETITEMDATA, static_cast<WPARAM>(-1)), CB_ERR);
        EXPECT_EQ(send(list, CB_GETLBTEXTLEN, 1), 5);
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(send(list, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(buffer)), 5);
        EXPECT_STREQ(buffer, "alpha");
        EXPECT_EQ(buffer[6], '#');
        EXPECT_EQ(send(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), str("ALPHA")), 1);
        EXPECT_EQ(send(list, CB_FINDSTRING, static_cast<WPARAM>(-1), str("ze")), 0);

        // Selection: in range selects, out of range clears and fails.
        EXPECT_EQ(send(list, CB_SETCURSEL, 1), 1);
        EXPECT_EQ(send(list, CB_GETCURSEL), 1);
        char text[16];
        EXPECT_EQ(GetWindowTextA(list, text, sizeof text), 5);
        EXPECT_STREQ(text, "alpha");
        EXPECT_FALSE(SetWindowTextA(list, "other"));  // a drop-down list has no edit field
        EXPECT_EQ(send(list, CB_SETCURSEL, 2), CB_ERR);
        EXPECT_EQ(send(list, CB_GETCURSEL), CB_ERR);
        send(list, CB_SETCURSEL, 1);
        EXPECT_EQ(send(list, CB_SETCURSEL, static_cast<WPARAM>(-1)), CB_ERR);
        EXPECT_EQ(send(list, CB_GETCURSEL), CB_ERR);

        // Deleting before the selection moves it; deleting it clears it.
        send(list, CB_SETCURSEL, 1);
        EXPECT_EQ(send(list, CB_INSERTSTRING, 0, str("first")), 0);
        EXPECT_EQ(send(list, CB_GETCURSEL), 2);
        EXPECT_EQ(send(list, CB_INSERTSTRING, 9, str("bad")), CB_ERR);
        EXPECT_EQ(send(list, CB_DELETESTRING, 0), 2);
        EXPECT_EQ(send(list, CB_GETCURSEL), 1);
        EXPECT_EQ(send(list, CB_DELETESTRING, 1), 1);
        EXPECT_EQ(send(list, CB_GETCURSEL), CB_ERR);

        refuseListAdds(true);
        EXPECT_EQ(send(list, CB_ADDSTRING, 0, str("full")), CB_ERRSPACE);
        EXPECT_EQ(send(list, CB_INSERTSTRING, 0, str("full")), CB_ERRSPACE);
        EXPECT_EQ(send(list, CB_GETCOUNT), 1);
        refuseListAdds(false);

        EXPECT_EQ(send(list, CB_RESETCONTENT), CB_OKAY);
        EXPECT_EQ(send(list, CB_GETCOUNT), 0);
        EXPECT_EQ(send(list, CB_ADDSTRING, 0, str("again")), 0);
        EXPECT_EQ(send(list, CB_GETITEMDATA, 0), 0);  // no data left over
    });
}

TEST_F(Messages, EditLineCountAndScrolling) {
    withDialog([](HWND d) {
        HWND edit = GetDlgItem(d, kLog);
        struct Case {
            const char* text;
            LRESULT lines;
        };
        // The sample edit (7, 30, 123, 50) covers 31 x 6 cells of the
        // character grid; less the border, it shows 29 characters by 4 lines.
        const Case cases[] = {
            {"", 1},
            {"abc", 1},
            {"abc\r\n", 2},
            {"a\r\r\nb\r\r\n", 3},  // soft breaks show as breaks
            {"one\r\r\ntwo\r\nthree", 3},
            {"a\nb\rc", 1},  // lone LF and CR are no breaks
            {"\r\n\r\n", 3},
            {"The quick brown fox jumps over the lazy dog", 2},  // wrapped
            {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 2},               // 30: broken inside
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.text);
            ASSERT_TRUE(SetWindowTextA(edit, c.text));
            EXPECT_EQ(send(edit, EM_GETLINECOUNT), c.lines);
        }
        ControlInfo info;
        ASSERT_TRUE(describeControl(edit, &info));
        EXPECT_EQ(info.lines, (std::vector<std::string>{"xxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "x"}));
        SetWindowTextA(edit, "The quick brown fox jumps over the lazy dog");
        ASSERT_TRUE(describeControl(edit, &info));
        EXPECT_EQ(info.lines,
                  (std::vector<std::string>{"The quick brown fox jumps", "over the lazy dog"}));
        EXPECT_EQ(info.visibleLines, 4);

        // 20 lines in a 4-line view: the first visible line stays in 0..16.
        std::string text;
        for (int i = 0; i < 20; ++i) text += "line " + std::to_string(i) + "\r\r\n";
        text.resize(text.size() - 3);
        SetWindowTextA(edit, text.c_str());
        EXPECT_EQ(send(edit, EM_GETLINECOUNT), 20);
        EXPECT_EQ(send(edit, EM_LINESCROLL, 0, 3), TRUE);
        EXPECT_EQ(send(edit, EM_GETFIRSTVISIBLELINE), 3);
        send(edit, EM_LINESCROLL, 0, 100);
        EXPECT_EQ(send(edit, EM_GETFIRSTVISIBLELINE), 16);
        send(edit, EM_LINESCROLL, 0, -2);
        EXPECT_EQ(send(edit, EM_GETFIRSTVISIBLELINE), 14);
        send(edit, EM_LINESCROLL, 0, -100);
        EXPECT_EQ(send(edit, EM_GETFIRSTVISIBLELINE), 0);
        send(edit, EM_LINESCROLL, 0, send(edit, EM_GETLINECOUNT));
        EXPECT_EQ(send(edit, EM_GETFIRSTVISIBLELINE), 16);
        // A new text shows from its top; a short one cannot scroll.
        SetWindowTextA(edit, "short");
        EXPECT_EQ(send(edit, EM_GETFIRSTVISIBLELINE), 0);
        send(edit, EM_LINESCROLL, 0, 5);
        EXPECT_EQ(send(edit, EM_GETFIRSTVISIBLELINE), 0);

        // Selection and replacement (appending at the end).
        send(edit, EM_SETSEL, static_cast<WPARAM>(-2), -1);  // clamps to the end
        send(edit, EM_REPLACESEL, 0, str(" text"));
        char buffer[32];
        GetWindowTextA(edit, buffer, sizeof buffer);
        EXPECT_STREQ(buffer, "short text");
        // Other controls do not scroll.
        EXPECT_EQ(send(GetDlgItem(d, IDCANCEL), EM_LINESCROLL, 0, 1), 0);
    });
}

TEST_F(Messages, WindowTextAndSlots) {
    std::vector<std::string> changes;
    setTextObserver([&](HWND, const std::string& before, const std::string& after) {
        changes.push_back(before + "->" + after);
    });
    withDialog([&](HWND d) {
        HWND button = GetDlgItem(d, IDCANCEL);
        char buffer[8];
        // Truncation keeps room for the terminator; size 0 writes nothing.
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(GetWindowTextA(button, buffer, 3), 2);
        EXPECT_STREQ(buffer, "Cl");
        EXPECT_EQ(buffer[3], '#');
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(GetWindowTextA(button, buffer, 0), 0);
        EXPECT_EQ(buffer[0], '#');
        EXPECT_EQ(SendMessageA(button, WM_GETTEXT, 0, reinterpret_cast<LPARAM>(buffer)), 0);
        EXPECT_EQ(buffer[0], '#');
        EXPECT_EQ(GetWindowTextLengthA(button), 5);
        EXPECT_EQ(GetWindowTextA(reinterpret_cast<HWND>(0x5555), buffer, 8), 0);
        EXPECT_EQ(buffer[0], '\0');

        EXPECT_TRUE(SetDlgItemTextA(d, IDCANCEL, "Quit"));
        EXPECT_FALSE(SetDlgItemTextA(d, 4242, "x"));
        EXPECT_EQ(GetDlgItemTextA(d, IDCANCEL, buffer, sizeof buffer), 4u);
        EXPECT_EQ(changes, std::vector<std::string>{"Close->Quit"});

        // Window slots: the dialog's user slot and its styles.
        EXPECT_EQ(SetWindowLongPtrA(d, DWLP_USER, 1234), 0);
        EXPECT_EQ(GetWindowLongPtrA(d, DWLP_USER), 1234);
        EXPECT_EQ(GetWindowLongPtrA(d, DWLP_DLGPROC),
                  reinterpret_cast<LONG_PTR>(&uitest::probeProc));
        EXPECT_EQ(GetWindowLongA(button, GWL_ID), IDCANCEL);
        EXPECT_TRUE((GetWindowLongA(d, GWL_STYLE) & WS_VISIBLE) != 0);
        EXPECT_EQ(GetWindowLongA(GetDlgItem(d, IDC_HIDDEN), GWL_STYLE) & (WS_VISIBLE | WS_DISABLED),
                  static_cast<LONG>(WS_DISABLED));
        EXPECT_EQ(SendMessageA(d, DM_GETDEFID, 0, 0), MAKELRESULT(IDOK, DC_HASDEFID));
        RECT r{0, 0, 4, 8};
        ASSERT_TRUE(MapDialogRect(d, &r));
        EXPECT_EQ(r.right, 6);
        EXPECT_EQ(r.bottom, 13);
    });
}

TEST_F(Messages, LoadStringAndIcon) {
    HINSTANCE module = GetModuleHandleA(nullptr);
    ASSERT_NE(module, nullptr);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(LoadStringA(module, IDS_DIGITS, buffer, sizeof buffer), 10);
    EXPECT_STREQ(buffer, "0123456789");
    EXPECT_EQ(LoadStringA(nullptr, IDS_DIGITS, buffer, sizeof buffer), 10);  // the program's module

    // Truncated to the buffer, terminator included.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(LoadStringA(module, IDS_DIGITS, buffer, 5), 4);
    EXPECT_STREQ(buffer, "0123");
    EXPECT_EQ(buffer[5], '#');
    EXPECT_EQ(LoadStringA(module, IDS_DIGITS, buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    // Missing and empty entries: 0 and an empty buffer.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(LoadStringA(module, 114, buffer, sizeof buffer), 0);
    EXPECT_EQ(buffer[0], '\0');
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(LoadStringA(module, IDS_EMPTY, buffer, sizeof buffer), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(LoadStringA(module, 0x10065, buffer, sizeof buffer), 0);  // beyond 16 bits
    // No room at all, no buffer, another module: 0 and nothing written.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(LoadStringA(module, IDS_DIGITS, buffer, 0), 0);
    EXPECT_EQ(LoadStringA(module, IDS_DIGITS, nullptr, 16), 0);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(LoadStringA(reinterpret_cast<HINSTANCE>(0x1234), IDS_DIGITS, buffer, 16), 0);
    std::string text;
    EXPECT_TRUE(stringResource(IDS_HELLO, &text));
    EXPECT_EQ(text, "Hello, world\r\r\n");
    EXPECT_FALSE(stringResource(114, &text));

    // Icons: one handle per resource, by number or "#n"; none for the rest.
    HICON icon = LoadIconA(module, MAKEINTRESOURCEA(IDI_MAIN));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(LoadIconA(module, MAKEINTRESOURCEA(IDI_MAIN)), icon);
    EXPECT_EQ(LoadIconA(module, "#128"), icon);
    EXPECT_EQ(LoadIconA(module, MAKEINTRESOURCEA(IDB_PIC)), nullptr);  // a bitmap
    EXPECT_EQ(LoadIconA(module, "NOSUCH"), nullptr);
    EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);
    IconInfo info;
    ASSERT_TRUE(describeIcon(icon, &info));
    EXPECT_EQ(info.name, "128");
    ASSERT_NE(info.bytes, nullptr);
    EXPECT_EQ(info.bytes->size(), 11u);

    EXPECT_EQ(GetSystemMetrics(SM_CXICON), 32);
    EXPECT_EQ(GetSystemMetrics(SM_CYICON), 32);
    EXPECT_FALSE(commonControlsInitialised());
    InitCommonControls();
    EXPECT_TRUE(commonControlsInitialised());
    INITCOMMONCONTROLSEX icc{0, ICC_WIN95_CLASSES};
    EXPECT_FALSE(InitCommonControlsEx(&icc));
    icc.dwSize = sizeof icc;
    EXPECT_TRUE(InitCommonControlsEx(&icc));
}

}  // namespace
