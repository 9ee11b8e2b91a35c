#include "host/tui/notice_box.h"

#include "host/tui/text_layout.h"

#include <algorithm>
#include <vector>

namespace tui {

namespace {

constexpr int kMaxWidth = 64;
const char kTitle[] = "quorvane-uninstall";
const char kButton[] = "[    OK    ]";

Style styled(Role role, bool bold = false) {
    Style s;
    s.role = role;
    s.bold = bold;
    return s;
}

}  // namespace

void drawNoticeBox(Screen* screen, const std::string& utf8) {
    if (utf8.empty()) return;
    const int width = std::min(kMaxWidth, screen->cols());
    if (width < 12) return;
    // wrapText counts bytes: a line with characters outside ASCII wraps early.
    const std::vector<std::string> lines = wrapText(utf8, width - 4);
    const int height = std::min(screen->rows(), static_cast<int>(lines.size()) + 5);
    const Rect box{(screen->cols() - width) / 2, std::max(0, (screen->rows() - height) / 2), width,
                   height};
    screen->clearClip();
    screen->fill(box, styled(Role::Face));
    screen->frame(Rect{box.col, box.row, box.cols, box.rows}, styled(Role::Frame));
    const Style title = styled(Role::Title, true);
    screen->fill(Rect{box.col, box.row, box.cols, 1}, title);
    screen->text(box.col + 2, box.row, kTitle, title);
    screen->setClip(Rect{box.col + 1, box.row + 1, box.cols - 2, box.rows - 2});
    int row = box.row + 2;
    for (const std::string& line : lines)
        screen->text(box.col + 2, row++, line, styled(Role::Face));
    const int buttonCols = static_cast<int>(sizeof kButton) - 1;
    screen->text(box.col + (box.cols - buttonCols) / 2, box.row + box.rows - 2, kButton,
                 styled(Role::ButtonFocus, true));
    screen->clearClip();
}

}  // namespace tui
