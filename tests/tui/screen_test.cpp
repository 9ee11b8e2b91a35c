// The painter on the real dialog: UninstallDialog runs in process on a copy
// of the XP image, and each step draws the screen the terminal would show.
#include "dialog/resource.h"
#include "dialog/uninstall_dialog.h"
#include "host/program_setup.h"
#include "host/tui/outside_line.h"
#include "host/tui/render.h"
#include "winsim/machine.h"
#include "winsim/user.h"

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using tui::Hit;
using tui::Painter;
using tui::Role;
using tui::Screen;

class Steps : public winsim::ui::InputDriver {
public:
    std::vector<std::function<void(HWND)>> steps;
    bool waitForInput() override {
        if (next_ >= steps.size()) return false;
        steps[next_++](winsim::ui::activeDialog());
        return true;
    }

private:
    size_t next_ = 0;
};

class PainterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qu-tui-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::copy(fs::path(QU_SOURCE_DIR) / "machines" / "xp", dir_ / "m",
                 fs::copy_options::recursive);
        winsim::ui::resetWindowSystem();
        std::string error;
        ASSERT_TRUE(loadDialogResources(&error)) << error;
        ASSERT_TRUE(winsim::loadMachine((dir_ / "m").string(), &error)) << error;
        winsim::ui::setInputDriver(&input);
        winsim::ui::setIdleObserver([] { return winsim::commit(); });
    }
    void TearDown() override {
        winsim::ui::resetWindowSystem();
        if (winsim::hasMachine()) winsim::unloadMachine();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void run() {
        UninstallDialog dialog;
        dialog.doModal();
    }
    bool infPresent() const { return fs::exists(dir_ / "m/drive_c/WINDOWS/Inf/oem7.inf"); }

    // Draws into a fresh screen; the rows as text.
    std::vector<std::string> draw(Screen* screen, bool colour = true, bool halfBlocks = true) {
        tui::DrawOptions options;
        options.colour = colour;
        options.halfBlocks = halfBlocks;
        painter.draw(screen, options);
        std::vector<std::string> rows;
        for (int r = 0; r < screen->rows(); ++r) rows.push_back(screen->rowText(r));
        return rows;
    }
    static std::string all(const std::vector<std::string>& rows) {
        std::string text;
        for (const std::string& r : rows) text += r + "\n";
        return text;
    }
    // The cell where `text` starts on `row`, or -1.
    static int find(const Screen& screen, int row, const std::string& text) {
        const size_t at = tui::decodeUtf8(screen.rowText(row)).find(tui::decodeUtf8(text));
        return at == std::u32string::npos ? -1 : static_cast<int>(at);
    }

    // Where the drawn text cells of a multi-line edit differ from the window
    // system's lines in view ("" when they agree): the terminal shows the
    // edit's own lines from its own first visible line, nothing else.
    static std::string paneMismatch(const Screen& screen, HWND dialog, HWND edit) {
        winsim::ui::DialogInfo d;
        winsim::ui::ControlInfo c;
        if (!winsim::ui::describeDialog(dialog, &d) || !winsim::ui::describeControl(edit, &c)) {
            return "no such window";
        }
        const tui::Rect client = tui::layoutWindow(d, screen.cols(), screen.rows()).client;
        if (c.visibleLines != c.textCells.rows) return "rows and lines in view differ";
        for (int i = 0; i < c.textCells.rows; ++i) {
            const size_t line = static_cast<size_t>(c.firstVisibleLine + i);
            std::string want = line < c.lines.size() ? c.lines[line] : "";
            if (want.size() > static_cast<size_t>(c.textCells.cols))
                return "line too long: " + want;
            want.resize(static_cast<size_t>(c.textCells.cols), ' ');
            std::string got;
            for (int k = 0; k < c.textCells.cols; ++k) {
                const char32_t ch =
                    screen.at(client.col + c.textCells.col + k, client.row + c.textCells.row + i)
                        .ch;
                got += ch < 0x80 ? static_cast<char>(ch) : '?';
            }
            if (got != want)
                return "row " + std::to_string(i) + ": '" + got + "' not '" + want + "'";
        }
        return "";
    }

    Steps input;
    Painter painter{AnsiText(1252)};
    fs::path dir_;
};

const char kName[] = "Quorvane USB 2.0 Network Adapter";

TEST_F(PainterTest, StartUpScreenOnEightyByTwentyFive) {
    input.steps.push_back([&](HWND dialog) {
        winsim::ui::DialogInfo info;
        ASSERT_TRUE(winsim::ui::describeDialog(dialog, &info));
        int cols, rows;
        tui::minimumScreen(info, &cols, &rows);
        EXPECT_EQ(cols, 68);  // 267 x 191 dialog units + frame, title bar and bottom line
        EXPECT_EQ(rows, 25);
        const tui::WindowLayout layout = tui::layoutWindow(info, 80, 25);
        EXPECT_EQ(layout.window.col, 6);
        EXPECT_EQ(layout.window.row, 0);
        EXPECT_EQ(layout.window.rows, 25);

        Screen small(80, 24);  // one row short: a notice, never a cut frame
        const std::string notice = all(draw(&small));
        EXPECT_TRUE(painter.tooSmall());
        EXPECT_NE(notice.find("it needs 68 x 25 characters"), std::string::npos) << notice;

        Screen screen(80, 25);
        const std::vector<std::string> text = draw(&screen);
        ASSERT_FALSE(painter.tooSmall()) << all(text);
        // Title bar: system menu box, caption, close box.
        EXPECT_EQ(find(screen, 0, "[-] Quorvane USB Miniport Driver Uninstall Utility"), 7);
        EXPECT_EQ(find(screen, 0, "[x]"), 70);
        EXPECT_EQ(screen.at(10, 0).style.role, Role::Title);
        // Buttons at x = 210 dialog units (column 53 of the client), each on
        // the row of its middle; the hidden "Dummy" is not drawn.
        EXPECT_EQ(find(screen, 2, "[Uninstall ]"), 7 + 53);
        EXPECT_EQ(find(screen, 4, "[  Close   ]"), 60);
        EXPECT_EQ(find(screen, 7, "[  Detect  ]"), 60);
        EXPECT_EQ(find(screen, 9, "[ Restart  ]"), 60);
        EXPECT_EQ(all(text).find("Dummy"), std::string::npos);
        EXPECT_EQ(screen.at(61, 9).style.role, Role::Disabled);  // Restart
        EXPECT_EQ(screen.at(63, 7).style.role, Role::Button);
        EXPECT_TRUE(screen.at(63, 7).style.underline);  // &Detect
        EXPECT_FALSE(screen.at(64, 7).style.underline);
        // The focus is on Uninstall, the first tab stop once WM_INITDIALOG
        // has enabled it; it shows as the default button, Close does not.
        EXPECT_TRUE(screen.at(62, 2).style.bold);
        EXPECT_FALSE(screen.at(63, 4).style.bold);
        EXPECT_EQ(find(screen, 24, "└"), 6);  // the bottom frame line
        // The label and the closed list share a row; the label's mnemonic.
        EXPECT_EQ(find(screen, 3, "Device:"), 9);
        EXPECT_TRUE(screen.at(11, 3).style.underline);
        EXPECT_EQ(find(screen, 3, kName), 20);
        EXPECT_EQ(find(screen, 5, "Status / Instructions:"), 9);
        // The status pane, framed, with the log word-wrapped inside.
        EXPECT_EQ(find(screen, 7, "┌"), 9);
        EXPECT_EQ(find(screen, 8, "│Windows2000 / WindowsXP detected."), 9);
        EXPECT_EQ(find(screen, 9, "│'Quorvane USB 2.0 Network Adapter' has been│"), 9);
        EXPECT_EQ(find(screen, 10, "│installed '2' times on this system."), 9);
        EXPECT_EQ(find(screen, 23, "└"), 9);
        // Pictures: half blocks in colour, under the buttons.
        EXPECT_EQ(screen.at(62, 19).style.role, Role::Picture);
        EXPECT_EQ(screen.at(62, 19).ch, tui::glyph::kUpperHalf);
        EXPECT_EQ(screen.at(62, 23).style.role, Role::Picture);
        EXPECT_NE(screen.at(62, 19).style.fg, screen.at(62, 23).style.fg);

        // Without half blocks, one colour a cell.
        draw(&screen, true, false);
        EXPECT_EQ(screen.at(62, 19).style.role, Role::Picture);
        EXPECT_EQ(screen.at(62, 19).ch, U' ');
        // Without colours, framed placeholders named after the pictures.
        const std::string mono = all(draw(&screen, false));
        EXPECT_NE(mono.find("│picture│"), std::string::npos) << mono;
        EXPECT_NE(mono.find("[    logo     ]"), std::string::npos) << mono;

        // Mouse targets where the controls are drawn.
        const Hit* hit = painter.hitAt(63, 7);
        ASSERT_NE(hit, nullptr);
        EXPECT_EQ(hit->kind, Hit::Button);
        EXPECT_EQ(hit->id, IDC_DETECT);
        ASSERT_NE(painter.hitAt(71, 0), nullptr);
        EXPECT_EQ(painter.hitAt(71, 0)->kind, Hit::CloseBox);
        ASSERT_NE(painter.hitAt(8, 0), nullptr);
        EXPECT_EQ(painter.hitAt(8, 0)->kind, Hit::SystemMenuBox);
        ASSERT_NE(painter.hitAt(30, 3), nullptr);
        EXPECT_EQ(painter.hitAt(30, 3)->kind, Hit::ComboBox);
        EXPECT_EQ(painter.hitAt(2, 2), nullptr);  // the desktop
        winsim::ui::pressKey(dialog, winsim::ui::Key::Escape);
    });
    run();
}

TEST_F(PainterTest, SmallTerminalsGetANotice) {
    input.steps.push_back([&](HWND dialog) {
        for (const auto& size :
             std::vector<std::pair<int, int>>{{67, 25}, {80, 24}, {20, 5}, {1, 1}, {0, 0}}) {
            Screen screen(size.first, size.second);
            std::string text;  // the notice's words, without its line breaks
            for (const std::string& row : draw(&screen)) {
                std::istringstream words(row);
                std::string word;
                while (words >> word) text += word + " ";
            }
            EXPECT_TRUE(painter.tooSmall()) << size.first << "x" << size.second;
            EXPECT_TRUE(painter.hits().empty());
            if (size.first >= 67) {
                EXPECT_NE(text.find("too small"), std::string::npos) << text;
                EXPECT_NE(
                    text.find("needs 68 x 25 characters, this one has " +
                              std::to_string(size.first) + " x " + std::to_string(size.second)),
                    std::string::npos)
                    << text;
            }
        }
        Screen big(120, 40);
        const std::vector<std::string> text = draw(&big);
        EXPECT_FALSE(painter.tooSmall());
        // Centred, with a bottom border now: 68 x 25 cells.
        EXPECT_EQ(find(big, 7, "[-] Quorvane"), 27);
        EXPECT_EQ(find(big, 7 + 24, "└──"), 26);
        winsim::ui::pressKey(dialog, winsim::ui::Key::Escape);
    });
    run();
}

TEST_F(PainterTest, UninstallingIsOnScreenBeforeTheRemovalStarts) {
    // What the terminal UI does on UpdateWindow: draw at once.
    struct Frame {
        bool uninstalling = false;
        bool done = false;
        bool infPresent = false;
    };
    std::vector<Frame> frames;
    winsim::ui::setRepaintObserver([&](HWND) {
        Screen screen(80, 25);
        const std::string text = all(draw(&screen));
        frames.push_back({text.find("Uninstalling 'Quorvane") != std::string::npos,
                          text.find("successfully!") != std::string::npos, infPresent()});
    });
    input.steps.push_back([&](HWND dialog) { winsim::ui::clickButton(dialog, IDOK); });
    std::string last;
    input.steps.push_back([&](HWND dialog) {
        Screen screen(80, 25);
        last = all(draw(&screen));
        winsim::ui::pressKey(dialog, winsim::ui::Key::Escape);
    });
    run();
    winsim::ui::setRepaintObserver(nullptr);

    bool shownFirst = false;
    for (const Frame& f : frames) shownFirst |= f.uninstalling && !f.done && f.infPresent;
    EXPECT_TRUE(shownFirst) << "no repaint showed IDS_UNINSTALLING before the files went";
    EXPECT_FALSE(infPresent());
    EXPECT_NE(last.find("│All '2' instances of 'Quorvane USB 2.0"), std::string::npos) << last;
    EXPECT_NE(last.find("│successfully!"), std::string::npos) << last;
}

TEST_F(PainterTest, StatusPaneScrollsWithTheLogAndTheOperator) {
    HWND edit = nullptr;
    for (int i = 0; i < 3; ++i) {
        input.steps.push_back([&](HWND dialog) { winsim::ui::clickButton(dialog, IDC_DETECT); });
    }
    input.steps.push_back([&](HWND dialog) {
        edit = GetDlgItem(dialog, IDC_STATUS);
        Screen screen(80, 25);
        draw(&screen);
        const Painter::EditView* view = painter.editView(edit);
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->rows, 15);
        // 1 + 4 runs of 4 lines, and the empty line after the last break.
        EXPECT_EQ(view->lines, 18);
        EXPECT_EQ(view->top, 3);  // the end in view
        EXPECT_EQ(find(screen, 21, "│'Quorvane USB 2.0 Network Adapter'."), 9);
        // The scroll indicator on the right border: arrows and the thumb at
        // the bottom.
        EXPECT_EQ(screen.at(53, 8).ch, tui::glyph::kUpArrow);
        EXPECT_EQ(screen.at(53, 22).ch, tui::glyph::kDownArrow);
        EXPECT_EQ(screen.at(53, 21).ch, tui::glyph::kBlock);
        EXPECT_EQ(screen.at(53, 9).ch, tui::glyph::kShade);
        EXPECT_EQ(paneMismatch(screen, dialog, edit), "");

        // The operator scrolls up: the view stays there while nothing new
        // is appended.
        painter.scrollEdit(edit, -1, true);
        draw(&screen);
        EXPECT_EQ(painter.editView(edit)->top, 0);
        EXPECT_EQ(find(screen, 8, "│Windows2000 / WindowsXP detected."), 9);
        EXPECT_EQ(screen.at(53, 9).ch, tui::glyph::kBlock);
        ASSERT_NE(painter.hitAt(53, 15), nullptr);
        EXPECT_EQ(painter.hitAt(53, 15)->kind, Hit::EditPageDown);
        draw(&screen);
        EXPECT_EQ(painter.editView(edit)->top, 0);
        // The operator's scrolling is the edit's own, and so is the program's.
        EXPECT_EQ(SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
        EXPECT_EQ(paneMismatch(screen, dialog, edit), "");
        SendMessageA(edit, EM_LINESCROLL, 0, 2);
        draw(&screen);
        EXPECT_EQ(painter.editView(edit)->top, 2);
        EXPECT_FALSE(painter.editView(edit)->followEnd);
        EXPECT_EQ(paneMismatch(screen, dialog, edit), "");
        painter.scrollEditTo(edit, true);
        draw(&screen);
        EXPECT_EQ(SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0), 3);
        EXPECT_TRUE(painter.editView(edit)->followEnd);
        winsim::ui::clickButton(dialog, IDC_DETECT);
    });
    input.steps.push_back([&](HWND dialog) {
        // A new message brings the end back into view.
        Screen screen(80, 25);
        draw(&screen);
        EXPECT_EQ(painter.editView(edit)->lines, 22);
        EXPECT_EQ(painter.editView(edit)->top, 7);
        EXPECT_TRUE(painter.editView(edit)->followEnd);
        EXPECT_EQ(paneMismatch(screen, dialog, edit), "");
        // A lone LF or CR, or a tab, is a character of its line: drawn as a
        // space, never sent to the terminal.
        SetWindowTextA(edit, "a\nb\rc\td\r\ne");
        draw(&screen);
        EXPECT_EQ(find(screen, 8, "│a b c d "), 9);
        EXPECT_EQ(find(screen, 9, "│e "), 9);
        winsim::ui::pressKey(dialog, winsim::ui::Key::Escape);
    });
    run();
}

TEST_F(PainterTest, PopupsAndTheAboutBox) {
    input.steps.push_back([&](HWND dialog) {
        // The drop-down list opens under the closed one.
        tui::Popup& popup = painter.popup();
        popup.kind = tui::Popup::DropDown;
        popup.dialog = dialog;
        popup.control = GetDlgItem(dialog, IDC_DEVICE_LIST);
        popup.id = IDC_DEVICE_LIST;
        Screen screen(80, 25);
        draw(&screen);
        EXPECT_EQ(find(screen, 4, "┌"), 19);
        EXPECT_EQ(find(screen, 5, std::string("│") + kName), 19);
        EXPECT_EQ(screen.at(20, 5).style.role, Role::Selection);
        ASSERT_NE(painter.hitAt(25, 5), nullptr);
        EXPECT_EQ(painter.hitAt(25, 5)->kind, Hit::ListItem);
        EXPECT_EQ(painter.hitAt(25, 5)->index, 0);

        // The system menu: the window system's items, the about entry last.
        painter.closePopup();
        painter.popup().kind = tui::Popup::SystemMenu;
        painter.popup().dialog = dialog;
        const std::string text = all(draw(&screen));
        EXPECT_EQ(find(screen, 2, "│ Move"), 7);
        EXPECT_EQ(find(screen, 3, "│ Close"), 7);
        EXPECT_NE(find(screen, 3, "Alt+F4 │"), -1);
        EXPECT_EQ(find(screen, 5, "│ About QuorvaneUninstall..."), 7);
        ASSERT_NE(painter.hitAt(10, 5), nullptr);
        EXPECT_EQ(painter.hitAt(10, 5)->kind, Hit::MenuItem);
        EXPECT_EQ(painter.hitAt(10, 5)->id, 16);
        painter.closePopup();
        winsim::ui::chooseSystemCommand(dialog, 16);
    });
    HWND main = nullptr;
    input.steps.push_back([&](HWND about) {
        main = winsim::ui::runningDialogs().front();
        ASSERT_NE(about, main);
        Screen screen(80, 25);
        const std::string text = all(draw(&screen));
        // The about box over the dialog, whose title bar is inactive.
        EXPECT_EQ(screen.at(10, 0).style.role, Role::TitleInactive);
        EXPECT_EQ(find(screen, 8, "[-] About QuorvaneUninstall"), 11);
        EXPECT_EQ(screen.at(15, 8).style.role, Role::Title);
        // The product line, wider in cells than in pixels, is centred in the
        // free cells of its row, clear of the OK button.
        EXPECT_NE(text.find("   Quorvane USB Miniport Driver Uninstall    [    OK    ]"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("v1.1.1.0"), std::string::npos);
        // Only the about box takes clicks.
        EXPECT_EQ(painter.hitAt(63, 7), nullptr);
        winsim::ui::pressKey(about, winsim::ui::Key::Escape);
    });
    input.steps.push_back([&](HWND dialog) {
        EXPECT_EQ(dialog, main);
        Screen screen(80, 25);
        const std::string text = all(draw(&screen));
        EXPECT_EQ(text.find("v1.1.1.0"), std::string::npos);
        winsim::ui::pressKey(dialog, winsim::ui::Key::Escape);
    });
    run();
}

TEST_F(PainterTest, ImageLineBelowTheDialogOnly) {
    const std::string line = "Machine image: ~/images/xp-with-a-rather-long-name";
    input.steps.push_back([&](HWND dialog) {
        struct Case {
            int cols, rows, row;
        };
        // 25 rows: the window takes them all, its bottom border included, and
        // the line is left out; 26 and 30: the first row below the window.
        for (const Case& c : {Case{80, 25, -1}, Case{80, 26, 25}, Case{100, 30, 27}}) {
            SCOPED_TRACE(std::to_string(c.cols) + " x " + std::to_string(c.rows));
            Screen screen(c.cols, c.rows);
            const std::string before = all(draw(&screen));
            tui::drawOutsideLine(&screen, line);
            EXPECT_EQ(tui::outsideLineRow(c.cols, c.rows), c.row);
            if (c.row < 0) {
                std::vector<std::string> after;
                for (int r = 0; r < c.rows; ++r) after.push_back(screen.rowText(r));
                EXPECT_EQ(all(after), before);
                continue;
            }
            EXPECT_EQ(screen.rowText(c.row), line + std::string(c.cols - line.size(), ' '));
            EXPECT_EQ(screen.at(0, c.row).style.role, Role::Message);
        }
        // Narrower than the text: its end stays. Empty: nothing drawn.
        Screen narrow(30, 30);
        draw(&narrow);
        const int row = tui::outsideLineRow(30, 30);
        ASSERT_GT(row, 0);
        tui::drawOutsideLine(&narrow, line);
        EXPECT_EQ(narrow.rowText(row), "..." + line.substr(line.size() - 27));
        Screen screen(80, 26);
        const std::string before = all(draw(&screen));
        tui::drawOutsideLine(&screen, "");
        std::vector<std::string> after;
        for (int r = 0; r < 26; ++r) after.push_back(screen.rowText(r));
        EXPECT_EQ(all(after), before);
        winsim::ui::pressKey(dialog, winsim::ui::Key::Escape);
    });
    run();
}

}  // namespace
