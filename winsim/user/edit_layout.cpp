// The edit control's line model: the character cells it lays its text in,
// where its text breaks into lines and which lines are in view. The terminal
// UI draws these lines in these cells.
#include <algorithm>
#include <cstring>

#include "winsim/user/internal.h"

namespace winsim::ui {

Cells gridCells(int x, int y, int cx, int cy) {
    auto column = [](int units) { return (units + 2) / 4; };
    auto row = [](int units) { return (units + 4) / 8; };
    Cells cells;
    cells.col = column(x);
    cells.row = row(y);
    cells.cols = std::max(1, column(x + cx) - cells.col);
    cells.rows = std::max(1, row(y + cy) - cells.row);
    return cells;
}

Cells editTextCells(int x, int y, int cx, int cy, DWORD style, DWORD exStyle) {
    Cells cells = gridCells(x, y, cx, cy);
    const bool border = (style & WS_BORDER) != 0 || (exStyle & WS_EX_CLIENTEDGE) != 0;
    if (border && cells.cols > 2 && cells.rows > 2) {
        cells = Cells{cells.col + 1, cells.row + 1, cells.cols - 2, cells.rows - 2};
    }
    return cells;
}

}  // namespace winsim::ui

namespace winsim::ui::detail {

namespace {

size_t editColumns(const Window& w) {
    return static_cast<size_t>(editTextCells(w.x, w.y, w.cx, w.cy, w.style, w.exStyle).cols);
}

void wrapInto(std::string line, size_t columns, std::vector<std::string>* out) {
    while (line.size() > columns) {
        size_t cut = line.find_last_of(' ', columns);
        std::string head;
        if (cut != std::string::npos) {
            head = line.substr(0, cut);
            head.erase(head.find_last_not_of(' ') + 1);
        }
        if (head.empty()) {  // one word longer than the line: break inside it
            cut = columns;
            head = line.substr(0, columns);
        }
        out->push_back(head);
        const size_t next = line.find_first_not_of(' ', cut);
        if (next == std::string::npos) return;
        line.erase(0, next);
    }
    out->push_back(line);
}

}  // namespace

// Hard breaks are CR LF; CR CR LF (a soft break) shows as a break too. A
// lone CR or LF is an ordinary character. Without ES_AUTOHSCROLL a
// multi-line edit wraps long lines at word boundaries.
std::vector<std::string> editLines(const Window& w) {
    std::vector<std::string> logical;
    const std::string& t = w.text;
    size_t start = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        size_t breakLen = 0;
        if (t.compare(i, 3, "\r\r\n") == 0) {
            breakLen = 3;
        } else if (t.compare(i, 2, "\r\n") == 0) {
            breakLen = 2;
        }
        if (breakLen == 0) continue;
        logical.push_back(t.substr(start, i - start));
        start = i + breakLen;
        i = start - 1;
    }
    logical.push_back(t.substr(start));
    if ((w.style & ES_MULTILINE) == 0 || (w.style & ES_AUTOHSCROLL) != 0) return logical;
    std::vector<std::string> lines;
    const size_t columns = editColumns(w);
    for (std::string& l : logical) wrapInto(std::move(l), columns, &lines);
    return lines;
}

int editVisibleLines(const Window& w) {
    return editTextCells(w.x, w.y, w.cx, w.cy, w.style, w.exStyle).rows;
}

void editScroll(Window* w, int lines) {
    const int count = static_cast<int>(editLines(*w).size());
    const int last = std::max(0, count - editVisibleLines(*w));
    const long target = static_cast<long>(w->firstLine) + lines;
    w->firstLine = static_cast<int>(std::clamp<long>(target, 0, last));
}

}  // namespace winsim::ui::detail
