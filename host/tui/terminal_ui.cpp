#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include "host/tui/terminal_ui.h"

#include "host/tui/notice_box.h"
#include "host/tui/outside_line.h"
#include "host/tui/text_layout.h"
#include "winsim/machine.h"

#include <curses.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

using tui::Hit;
using tui::KeyEvent;
using tui::Popup;
using winsim::ui::ControlInfo;
using winsim::ui::ControlKind;
using winsim::ui::Key;

namespace {

constexpr int kCtrlC = 3;
constexpr int kCtrlL = 12;
// xterm reports F4 with Alt held as function key 52 (Alt adds 48).
constexpr int kAltF4 = KEY_F(52);
constexpr char kRestartingText[] =
    "The machine is restarting (ExitWindowsEx): Windows closes every program, this one too.";
constexpr int kWheelLines = 3;

bool isEnter(int key) { return key == '\n' || key == '\r' || key == KEY_ENTER; }

// Alt+Down and Alt+Up as xterm-like terminals report them.
bool isAltArrow(int key, bool down) {
    const char* name = keyname(key);
    return name != nullptr && std::strcmp(name, down ? "kDN3" : "kUP3") == 0;
}

bool focusedControl(HWND dialog, ControlInfo* info) {
    const HWND focus = winsim::ui::focusedControl(dialog);
    return focus != nullptr && winsim::ui::describeControl(focus, info);
}

bool isStatusPane(const ControlInfo& c) {
    return c.kind == ControlKind::Edit && (c.style & ES_MULTILINE) != 0;
}

}  // namespace

TerminalUi::TerminalUi(AnsiText ansi) : painter_(ansi) {}

TerminalUi::~TerminalUi() { stop(); }

bool TerminalUi::start(std::string* error) {
    if (started_) return true;
    if (!terminal_.open(error)) return false;
    started_ = true;
    winsim::ui::setInputDriver(this);
    // UpdateWindow: show the change now, before a slow operation starts.
    winsim::ui::setRepaintObserver([this](HWND) { redraw(); });
    return true;
}

void TerminalUi::stop() {
    if (!started_) return;
    winsim::ui::setRepaintObserver(nullptr);
    winsim::ui::setInputDriver(nullptr);
    terminal_.close();
    started_ = false;
    // The terminal's own screen is back: say it there too.
    if (winsim::restartRequested()) std::printf("%s\n", kRestartingText);
}

void TerminalUi::redraw() {
    if (!started_) return;
    tui::Screen screen(terminal_.cols(), terminal_.rows());
    tui::DrawOptions options;
    options.colour = terminal_.colour();
    options.halfBlocks = terminal_.unicode();
    options.bracketDisabled = !terminal_.colour() && !terminal_.dim();
    painter_.draw(&screen, options);
    if (!painter_.tooSmall()) {
        tui::drawOutsideLine(&screen, imageLine_);
        tui::drawNoticeBox(&screen, notice_);
    }
    terminal_.show(screen);
}

bool TerminalUi::waitForInput() {
    if (!started_) return false;
    for (;;) {
        if (winsim::restartRequested()) {
            // Windows goes down with every program on it: no more input, so
            // the dialogs end, and the program with them.
            tui::Screen screen(terminal_.cols(), terminal_.rows());
            painter_.drawMessage(&screen, kRestartingText);
            terminal_.show(screen);
            return false;
        }
        redraw();
        const KeyEvent event = terminal_.read();
        if (event.type == KeyEvent::Lost) return false;
        if (handle(event)) return true;
    }
}

bool TerminalUi::handle(const KeyEvent& event) {
    switch (event.type) {
        case KeyEvent::Resize:
            terminal_.invalidate();
            return false;
        case KeyEvent::Mouse:
            if (!notice_.empty() && !painter_.tooSmall() && event.button == KeyEvent::Left) {
                notice_.clear();
                return false;
            }
            return !painter_.tooSmall() && notice_.empty() && handleMouse(event);
        case KeyEvent::Key:
            break;
        default:
            return false;
    }
    const HWND dialog = winsim::ui::activeDialog();
    if (dialog == nullptr) return false;
    if (event.key == kCtrlL) {
        terminal_.invalidate();
        return false;
    }
    if (painter_.tooSmall()) {
        // Only closing works while the dialog cannot be seen.
        const bool esc = (event.key == 27 || event.key == kCtrlC) && !event.alt;
        return esc && winsim::ui::pressKey(dialog, Key::Escape);
    }
    if (!notice_.empty()) {
        notice_.clear();  // the key only dismisses it
        return false;
    }
    if (painter_.popup().kind != Popup::None) return handlePopupKey(dialog, event.key, event.alt);
    return handleKey(dialog, event.key, event.alt);
}

bool TerminalUi::handleKey(HWND dialog, int key, bool alt) {
    ControlInfo focus;
    const bool hasFocus = focusedControl(dialog, &focus);
    // Alt+F4 (Esc then F4, or the F4 that xterm reports with Alt held):
    // the system menu's Close.
    if ((alt && key == KEY_F(4)) || key == kAltF4) return winsim::ui::closeBox(dialog);
    if (alt) {
        if (key == ' ') return openSystemMenu(dialog);
        if (isEnter(key)) return winsim::ui::pressKey(dialog, Key::Enter);
        if ((key == KEY_DOWN || key == KEY_UP) && hasFocus && focus.kind == ControlKind::ComboBox) {
            return openDropDown(dialog, focus.hwnd, focus.id);
        }
        if (key >= 0 && key < 128 && std::isalnum(key)) {
            return winsim::ui::pressMnemonic(dialog, static_cast<char>(std::tolower(key)));
        }
        return false;
    }
    if (hasFocus && focus.kind == ControlKind::ComboBox &&
        (key == KEY_F(4) || isAltArrow(key, true) || isAltArrow(key, false))) {
        return openDropDown(dialog, focus.hwnd, focus.id);
    }
    switch (key) {
        case '\t':
            return winsim::ui::pressKey(dialog, Key::Tab);
        case KEY_BTAB:
            return winsim::ui::pressKey(dialog, Key::BackTab);
        case 27:
        case kCtrlC:
            return winsim::ui::pressKey(dialog, Key::Escape);
        case ' ':
            return winsim::ui::pressKey(dialog, Key::Space);
        default:
            break;
    }
    if (isEnter(key)) return winsim::ui::pressKey(dialog, Key::Enter);

    Key move;
    bool isMove = true;
    switch (key) {
        case KEY_UP:
            move = Key::Up;
            break;
        case KEY_DOWN:
            move = Key::Down;
            break;
        case KEY_PPAGE:
            move = Key::PageUp;
            break;
        case KEY_NPAGE:
            move = Key::PageDown;
            break;
        case KEY_HOME:
            move = Key::Home;
            break;
        case KEY_END:
            move = Key::End;
            break;
        default:
            isMove = false;
            move = Key::Up;
            break;
    }
    if (isMove && hasFocus) {
        if (focus.kind == ControlKind::ComboBox) return winsim::ui::pressKey(dialog, move);
        if (isStatusPane(focus)) {
            // The pane scrolls as its scroll bar would: by lines, by pages
            // of the lines in view less one, to either end.
            switch (move) {
                case Key::Up:
                    painter_.scrollEdit(focus.hwnd, -1);
                    break;
                case Key::Down:
                    painter_.scrollEdit(focus.hwnd, 1);
                    break;
                case Key::PageUp:
                    painter_.scrollEdit(focus.hwnd, -1, true);
                    break;
                case Key::PageDown:
                    painter_.scrollEdit(focus.hwnd, 1, true);
                    break;
                case Key::Home:
                    painter_.scrollEditTo(focus.hwnd, false);
                    break;
                default:
                    painter_.scrollEditTo(focus.hwnd, true);
                    break;
            }
            return false;
        }
    }
    // Arrows between push buttons, as within a dialog's group.
    if (hasFocus && focus.kind == ControlKind::Button) {
        if (key == KEY_DOWN || key == KEY_RIGHT) return winsim::ui::pressKey(dialog, Key::Tab);
        if (key == KEY_UP || key == KEY_LEFT) return winsim::ui::pressKey(dialog, Key::BackTab);
    }
    // A plain letter is a mnemonic unless the focused control takes letters.
    if (key >= 0 && key < 128 && std::isalnum(key)) {
        if (hasFocus && focus.kind == ControlKind::ComboBox) {
            // Selects the next item starting with the letter.
            const int count = static_cast<int>(focus.items.size());
            for (int step = 1; step <= count; ++step) {
                const int index = (focus.curSel + step + count) % count;
                const std::string& item = focus.items[index];
                if (!item.empty() &&
                    std::tolower(static_cast<unsigned char>(item[0])) == std::tolower(key)) {
                    return winsim::ui::chooseListItem(dialog, focus.id, index);
                }
            }
            return false;
        }
        if (!hasFocus || focus.kind != ControlKind::Edit) {
            return winsim::ui::pressMnemonic(dialog, static_cast<char>(std::tolower(key)));
        }
    }
    return false;
}

bool TerminalUi::handlePopupKey(HWND dialog, int key, bool alt) {
    Popup& popup = painter_.popup();
    if (popup.kind == Popup::SystemMenu) {
        const std::vector<winsim::ui::MenuItem> items = tui::Painter::menuItems(dialog);
        const int count = static_cast<int>(items.size());
        auto step = [&](int delta) {
            for (int i = 1; i <= count; ++i) {
                const int index = ((popup.highlight + delta * i) % count + count) % count;
                if (!items[index].separator) {
                    popup.highlight = index;
                    return;
                }
            }
        };
        if (key == 27 || key == kCtrlC || (alt && key == ' ')) {
            painter_.closePopup();
            return false;
        }
        if (count == 0) {
            painter_.closePopup();
            return false;
        }
        if (key == KEY_DOWN) step(1);
        if (key == KEY_UP) step(-1);
        if (key == KEY_HOME) {
            popup.highlight = count - 1;
            step(1);
        }
        if (key == KEY_END) {
            popup.highlight = 0;
            step(-1);
        }
        if (isEnter(key) || key == ' ') return chooseMenuItem(dialog, popup.highlight);
        if (key >= 0 && key < 128 && std::isalnum(key)) {
            for (int i = 0; i < count; ++i) {
                const tui::Caption caption = tui::parseCaption(items[i].text, false);
                if (!items[i].separator && caption.mnemonic == std::tolower(key)) {
                    return chooseMenuItem(dialog, i);
                }
            }
        }
        return false;
    }

    // The drop-down list.
    ControlInfo combo;
    if (!winsim::ui::describeControl(popup.control, &combo)) {
        painter_.closePopup();
        return false;
    }
    const int count = static_cast<int>(combo.items.size());
    const int page = std::max(1, (combo.height - 12) / 8);
    switch (key) {
        case KEY_UP:
            popup.highlight = std::max(0, popup.highlight - 1);
            return false;
        case KEY_DOWN:
            popup.highlight = std::min(std::max(0, count - 1), popup.highlight + 1);
            return false;
        case KEY_PPAGE:
            popup.highlight = std::max(0, popup.highlight - page);
            return false;
        case KEY_NPAGE:
            popup.highlight = std::min(std::max(0, count - 1), popup.highlight + page);
            return false;
        case KEY_HOME:
            popup.highlight = 0;
            return false;
        case KEY_END:
            popup.highlight = std::max(0, count - 1);
            return false;
        case 27:
        case kCtrlC:
            painter_.closePopup();
            return false;
        default:
            break;
    }
    if (isEnter(key) || key == '\t' || key == KEY_F(4) || isAltArrow(key, true) ||
        isAltArrow(key, false) || (alt && (key == KEY_UP || key == KEY_DOWN))) {
        const int index = popup.highlight;
        const HWND owner = popup.dialog;
        const int id = popup.id;
        painter_.closePopup();
        bool gave = false;
        if (count > 0 && index != combo.curSel) gave = winsim::ui::chooseListItem(owner, id, index);
        if (key == '\t') gave = winsim::ui::pressKey(owner, Key::Tab) || gave;
        return gave;
    }
    return false;
}

bool TerminalUi::openDropDown(HWND dialog, HWND combo, int id) {
    ControlInfo info;
    if (!winsim::ui::describeControl(combo, &info) || !info.enabled) return false;
    Popup& popup = painter_.popup();
    popup = Popup{};
    popup.kind = Popup::DropDown;
    popup.dialog = dialog;
    popup.control = combo;
    popup.id = id;
    popup.highlight = std::max(0, info.curSel);
    return false;
}

bool TerminalUi::openSystemMenu(HWND dialog) {
    const std::vector<winsim::ui::MenuItem> items = tui::Painter::menuItems(dialog);
    if (items.empty()) return false;
    Popup& popup = painter_.popup();
    popup = Popup{};
    popup.kind = Popup::SystemMenu;
    popup.dialog = dialog;
    popup.highlight = 0;
    while (popup.highlight < static_cast<int>(items.size()) &&
           (items[popup.highlight].separator || !items[popup.highlight].enabled)) {
        ++popup.highlight;
    }
    if (popup.highlight >= static_cast<int>(items.size())) popup.highlight = 0;
    return false;
}

bool TerminalUi::chooseMenuItem(HWND dialog, int index) {
    const std::vector<winsim::ui::MenuItem> items = tui::Painter::menuItems(dialog);
    if (index < 0 || index >= static_cast<int>(items.size())) return false;
    const winsim::ui::MenuItem item = items[index];
    if (item.separator || !item.enabled) return false;  // stays open, as on Windows
    painter_.closePopup();
    return winsim::ui::chooseSystemCommand(dialog, item.id);
}

bool TerminalUi::handleMouse(const KeyEvent& event) {
    const Hit* hit = painter_.hitAt(event.col, event.row);
    Popup& popup = painter_.popup();
    if (event.button == KeyEvent::WheelUp || event.button == KeyEvent::WheelDown) {
        const int delta = event.button == KeyEvent::WheelUp ? -1 : 1;
        if (popup.kind == Popup::DropDown) {
            popup.highlight = std::max(0, popup.highlight + delta);
        } else if (hit != nullptr &&
                   (hit->kind == Hit::EditBody || hit->kind == Hit::EditLineUp ||
                    hit->kind == Hit::EditLineDown || hit->kind == Hit::EditPageUp ||
                    hit->kind == Hit::EditPageDown)) {
            painter_.scrollEdit(hit->control, delta * kWheelLines);
        }
        return false;
    }
    if (event.button != KeyEvent::Left) return false;
    if (hit == nullptr) {
        painter_.closePopup();
        return false;
    }
    // A click outside the open popup closes it and does nothing else.
    const bool inPopup =
        hit->kind == Hit::Popup || hit->kind == Hit::ListItem || hit->kind == Hit::MenuItem;
    if (popup.kind != Popup::None && !inPopup) {
        const bool sameCombo = popup.kind == Popup::DropDown && hit->control == popup.control;
        painter_.closePopup();
        if (sameCombo || hit->kind == Hit::SystemMenuBox) return false;
    }
    switch (hit->kind) {
        case Hit::Button:
            return winsim::ui::clickButton(hit->dialog, hit->id);
        case Hit::ComboBox:
            openDropDown(hit->dialog, hit->control, hit->id);
            return winsim::ui::focusControl(hit->dialog, hit->id);
        case Hit::ListItem: {
            const HWND dialog = hit->dialog;
            const int id = hit->id;
            const int index = hit->index;
            painter_.closePopup();
            return winsim::ui::chooseListItem(dialog, id, index);
        }
        case Hit::MenuItem:
            return chooseMenuItem(hit->dialog, hit->index);
        case Hit::SystemMenuBox:
            return openSystemMenu(hit->dialog);
        case Hit::CloseBox:
            return winsim::ui::closeBox(hit->dialog);
        case Hit::EditBody:
            return winsim::ui::focusControl(hit->dialog, hit->id);
        case Hit::EditLineUp:
            painter_.scrollEdit(hit->control, -1);
            return false;
        case Hit::EditLineDown:
            painter_.scrollEdit(hit->control, 1);
            return false;
        case Hit::EditPageUp:
            painter_.scrollEdit(hit->control, -1, true);
            return false;
        case Hit::EditPageDown:
            painter_.scrollEdit(hit->control, 1, true);
            return false;
        case Hit::Popup:
            return false;
    }
    return false;
}
