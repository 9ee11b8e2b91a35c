// The edit control's line model: where its text breaks into lines and which
// lines are in view.
#include <algorithm>
#include <cstring>

#include "winsim/user/internal.h"

namespace winsim::ui::detail {

namespace {

bool hasBorder(const Window& w) {
    return (w.style & WS_BORDER) != 0 || (w.exStyle & WS_EX_CLIENTEDGE) != 0;
}

// Characters per line: an average character is 4 dialog units wide; the
// border and the vertical scroll bar (10 units) take their share.
size_t editColumns(const Window& w) {
    int width = w.cx - (hasBorder(w) ? 2 : 0) - ((w.style & WS_VSCROLL) != 0 ? 10 : 0);
    return static_cast<size_t>(std::max(1, width / 4));
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

int editVisibleLines(const Window& w) { return std::max(1, (w.cy - (hasBorder(w) ? 2 : 0)) / 8); }

void editScroll(Window* w, int lines) {
    const int count = static_cast<int>(editLines(*w).size());
    const int last = std::max(0, count - editVisibleLines(*w));
    const long target = static_cast<long>(w->firstLine) + lines;
    w->firstLine = static_cast<int>(std::clamp<long>(target, 0, last));
}

}  // namespace winsim::ui::detail
