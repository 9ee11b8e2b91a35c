// Where the dialogs of the simulated window system land on a terminal:
// dialog units become cells of the window system's character grid (4
// horizontal units to a column, 8 vertical units to a row).
#pragma once

#include "host/tui/screen.h"
#include "winsim/user.h"

namespace tui {

// Height the closed part of a drop-down list takes, in dialog units.
constexpr int kComboFieldHeight = 12;

bool isPushButton(const winsim::ui::ControlInfo& c);
// A static control that shows text (not a picture or a frame).
bool isLabel(const winsim::ui::ControlInfo& c);
bool isMultiLineEdit(const winsim::ui::ControlInfo& c);

// Where a window lands on a screen of `cols` x `rows`: the title bar is the
// window's first row, the client area follows between the side borders,
// then the bottom border.
struct WindowLayout {
    Rect window;
    Rect client;
    bool bottomBorder = true;
};
WindowLayout layoutWindow(const winsim::ui::DialogInfo& dialog, int cols, int rows);
// The smallest screen a dialog fits on.
void minimumScreen(const winsim::ui::DialogInfo& dialog, int* cols, int* rows);
// A control's cells relative to its client area. One-row controls (buttons,
// labels, the closed drop-down list) sit on the row of their middle.
Rect controlCells(const winsim::ui::ControlInfo& control);

// The columns, relative to the client area, where a one-row label of
// `dialog` may draw a text wider than its cells (text measured in cells is
// wider than in pixels): the cells of its row that no other shown control
// takes, less a blank cell at the client area's edges and two beside
// another control.
struct Span {
    int col = 0;
    int cols = 0;
};
Span labelRoom(const winsim::ui::DialogInfo& dialog, const winsim::ui::ControlInfo& label);

}  // namespace tui
