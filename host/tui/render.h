// Draws the running dialogs of the simulated window system into a Screen,
// each window centred with its caption in a title bar (where windows and
// controls land: geometry.h). A multi-line edit shows the
// window system's own lines and scroll position. Also keeps what the window
// system does not model: the open drop-down list or system menu.
#pragma once

#include "host/ansi_text.h"
#include "host/tui/geometry.h"
#include "host/tui/images.h"
#include "host/tui/screen.h"
#include "winsim/user.h"

#include <map>
#include <string>
#include <vector>

namespace tui {

// A mouse target found while drawing.
struct Hit {
    enum Kind {
        Button,
        ComboBox,
        ListItem,  // `index`: item of the open drop-down list
        EditBody,
        EditLineUp,
        EditLineDown,
        EditPageUp,
        EditPageDown,
        SystemMenuBox,
        CloseBox,
        MenuItem,  // `index`: item of the open system menu
        Popup,     // inside the open popup, but nothing to choose
    };
    Rect rect;
    Kind kind = Button;
    HWND dialog = nullptr;
    HWND control = nullptr;
    int id = 0;
    int index = 0;
};

// The drop-down list or the system menu, when open.
struct Popup {
    enum Kind { None, DropDown, SystemMenu } kind = None;
    HWND dialog = nullptr;
    HWND control = nullptr;  // DropDown: the combo box
    int id = 0;
    int highlight = 0;
    int top = 0;  // DropDown: first item in view
};

struct DrawOptions {
    bool colour = true;      // pictures in colour, else a framed placeholder
    bool halfBlocks = true;  // two pixels a cell (needs a Unicode terminal)
    // Disabled push buttons in parentheses instead of brackets, for a
    // terminal that can show neither colours nor dim text.
    bool bracketDisabled = false;
};

class Painter {
public:
    explicit Painter(AnsiText ansi);

    // Draws every running dialog, outermost first, and the open popup; when
    // the screen is too small, a notice instead. Rebuilds hits().
    void draw(Screen* screen, const DrawOptions& options);
    bool tooSmall() const { return tooSmall_; }
    const std::vector<Hit>& hits() const { return hits_; }
    // The topmost target at a cell, or null.
    const Hit* hitAt(int col, int row) const;

    Popup& popup() { return popup_; }
    void closePopup() { popup_ = Popup{}; }
    // Items of the system menu as drawn (empty when the window has none);
    // Move and Size are disabled: windows stay centred on the terminal.
    static std::vector<winsim::ui::MenuItem> menuItems(HWND dialog);
    // A message over the whole screen instead of the dialogs (no targets).
    void drawMessage(Screen* screen, const std::string& text);

    // Scrolls a multi-line edit by `lines` of its lines (EM_LINESCROLL);
    // `page` = true scrolls by pages of the lines in view less one. The
    // program's own scrolling moves the same first visible line.
    void scrollEdit(HWND edit, int lines, bool page = false);
    void scrollEditTo(HWND edit, bool end);
    // The view of an edit as last drawn: first line, line count, rows, and
    // whether the last line is in view.
    struct EditView {
        int top = 0;
        int lines = 0;
        int rows = 1;
        bool followEnd = true;
    };
    const EditView* editView(HWND edit) const;

private:
    struct Picture {
        bool ok = false;
        Image image;
    };

    void drawDialog(Screen* screen, const winsim::ui::DialogInfo& dialog, bool active,
                    const DrawOptions& options);
    void drawControl(Screen* screen, const Rect& client, const winsim::ui::DialogInfo& dialog,
                     bool active, const winsim::ui::ControlInfo& control,
                     const DrawOptions& options);
    void drawButton(Screen* screen, const Rect& cells, const winsim::ui::ControlInfo& control,
                    const DrawOptions& options);
    void drawLabel(Screen* screen, const Rect& cells, const Rect& client,
                   const winsim::ui::ControlInfo& control, const Span& room);
    void drawCombo(Screen* screen, const Rect& cells, const winsim::ui::ControlInfo& control);
    void drawEdit(Screen* screen, const Rect& cells, HWND dialog, bool active,
                  const winsim::ui::ControlInfo& control);
    void drawPicture(Screen* screen, const Rect& cells, const winsim::ui::ControlInfo& control,
                     const DrawOptions& options);
    void drawDropDown(Screen* screen, const winsim::ui::DialogInfo& dialog, const Rect& client);
    void drawSystemMenu(Screen* screen, const winsim::ui::DialogInfo& dialog,
                        const WindowLayout& layout);
    void drawNotice(Screen* screen, int needCols, int needRows);
    const Picture& picture(const winsim::ui::ControlInfo& control);
    void addHit(const Rect& rect, Hit::Kind kind, HWND dialog, HWND control, int id, int index = 0);
    std::string utf8(const std::string& ansi) const { return ansi_.toUtf8(ansi); }

    AnsiText ansi_;
    std::vector<Hit> hits_;
    Popup popup_;
    std::map<HWND, EditView> edits_;
    std::map<const std::string*, Picture> pictures_;
    bool tooSmall_ = false;
    HWND shownDefault_ = nullptr;  // the button drawn as the default one
};

}  // namespace tui
