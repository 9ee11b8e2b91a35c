#include "host/tui/geometry.h"

#include <algorithm>

namespace tui {

using winsim::ui::ControlInfo;
using winsim::ui::ControlKind;
using winsim::ui::DialogInfo;

bool isPushButton(const ControlInfo& c) {
    const DWORD type = c.style & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

bool isLabel(const ControlInfo& c) {
    if (!c.imageType.empty()) return false;
    const DWORD type = c.style & SS_TYPEMASK;
    return type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT || type == SS_SIMPLE ||
           type == SS_LEFTNOWORDWRAP;
}

bool isMultiLineEdit(const ControlInfo& c) {
    return c.kind == ControlKind::Edit && (c.style & ES_MULTILINE) != 0;
}

WindowLayout layoutWindow(const DialogInfo& dialog, int cols, int rows) {
    WindowLayout layout;
    const int clientCols = std::max(1, dialog.width / 4);
    const int clientRows = std::max(1, dialog.height / 8);
    const int width = clientCols + 2;
    // Title bar, client, bottom frame line: minimumScreen gives room for all.
    const int height = clientRows + 2;
    layout.bottomBorder = true;
    layout.window =
        Rect{std::max(0, (cols - width) / 2), std::max(0, (rows - height) / 2), width, height};
    layout.client = Rect{layout.window.col + 1, layout.window.row + 1, clientCols, clientRows};
    return layout;
}

void minimumScreen(const DialogInfo& dialog, int* cols, int* rows) {
    *cols = std::max(1, dialog.width / 4) + 2;
    *rows = std::max(1, dialog.height / 8) + 2;
}

Rect controlCells(const ControlInfo& c) {
    const winsim::ui::Cells grid = winsim::ui::gridCells(c.x, c.y, c.width, c.height);
    Rect r{grid.col, grid.row, grid.cols, grid.rows};
    const bool oneRow = (c.kind == ControlKind::Button && isPushButton(c)) ||
                        c.kind == ControlKind::ComboBox ||
                        (c.kind == ControlKind::Static && isLabel(c) && c.height < 16) ||
                        (c.kind == ControlKind::Edit && !isMultiLineEdit(c));
    if (oneRow) {
        int h = std::min(c.height, 14);
        if (c.kind == ControlKind::ComboBox) h = kComboFieldHeight;
        r.row = (c.y + h / 2) / 8;
        r.rows = 1;
    }
    return r;
}

Span labelRoom(const DialogInfo& dialog, const ControlInfo& label) {
    const Rect own = controlCells(label);
    const int middle = own.col + own.cols / 2;
    const int clientCols = std::max(1, dialog.width / 4);
    int left = 1;
    int right = clientCols - 1;  // one past the last cell
    for (const ControlInfo& other : dialog.controls) {
        if (other.hwnd == label.hwnd || (other.style & WS_VISIBLE) == 0) continue;
        const Rect cells = controlCells(other);
        if (cells.rows <= 0 || cells.row > own.row || cells.row + cells.rows <= own.row) continue;
        if (cells.col + cells.cols <= middle) {
            left = std::max(left, cells.col + cells.cols + 2);
        } else if (cells.col > middle) {
            right = std::min(right, cells.col - 2);
        }
    }
    return Span{left, std::max(0, right - left)};
}

}  // namespace tui
