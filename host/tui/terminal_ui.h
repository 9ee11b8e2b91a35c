// The terminal UI: an input driver of the simulated window system that
// draws the running dialogs with curses and turns keys and mouse clicks into
// operator input, as in a Windows dialog:
//   Tab / Shift+Tab     next / previous tab stop
//   Enter               the focused push button, else the default button
//   Space               the focused button
//   Esc (Ctrl+C)        cancel: Close, or OK in the about box
//   Alt+letter, or Esc then letter     the control with that mnemonic
//   Alt+Space           the system menu (About, Close; Move shows disabled)
//   Alt+F4              close, as the system menu's Close
// After Restart (ExitWindowsEx) the screen says that the machine restarts,
// the dialogs end and with them the program.
//   F4, Alt+Down        open the drop-down list; arrows and Enter choose,
//                       Esc closes it
//   arrows, PgUp/PgDn, Home/End        move the list's selection, or scroll
//                       the status pane when it has the focus
//   Ctrl+L              redraw
// Mouse clicks and the wheel work where the terminal reports them.
#pragma once

#include "host/ansi_text.h"
#include "host/tui/render.h"
#include "host/tui/terminal.h"
#include "winsim/user.h"

#include <string>

class TerminalUi : public winsim::ui::InputDriver {
public:
    explicit TerminalUi(AnsiText ansi);
    ~TerminalUi() override;
    TerminalUi(const TerminalUi&) = delete;
    TerminalUi& operator=(const TerminalUi&) = delete;

    // Takes over the terminal on standard input and output and becomes the
    // window system's input driver and repaint observer. False, with
    // `error` set and nothing changed, when there is no usable terminal.
    bool start(std::string* error);
    // Gives the terminal back and unregisters (also done by the destructor).
    void stop();

    bool waitForInput() override;

    // A line of plain text shown outside the dialog, below it (empty: none).
    void setImageLine(std::string utf8) { imageLine_ = std::move(utf8); }
    // A notice shown over the dialog when it first waits for input, before
    // any key or click reaches it; any key or click dismisses it (empty:
    // none).
    void setStartNotice(std::string utf8) { notice_ = std::move(utf8); }

private:
    void redraw();
    // Handles one event; true when it gave the window system input.
    bool handle(const tui::KeyEvent& event);
    bool handleKey(HWND dialog, int key, bool alt);
    bool handlePopupKey(HWND dialog, int key, bool alt);
    bool handleMouse(const tui::KeyEvent& event);
    bool openDropDown(HWND dialog, HWND combo, int id);
    bool openSystemMenu(HWND dialog);
    bool chooseMenuItem(HWND dialog, int index);

    tui::Terminal terminal_;
    tui::Painter painter_;
    bool started_ = false;
    std::string imageLine_;
    std::string notice_;
};
