#include "host/tui/outside_line.h"

#include "host/tui/render.h"
#include "winsim/user.h"

namespace tui {

int outsideLineRow(int cols, int rows) {
    const std::vector<HWND> dialogs = winsim::ui::runningDialogs();
    winsim::ui::DialogInfo main;
    if (dialogs.empty() || !winsim::ui::describeDialog(dialogs.front(), &main)) return -1;
    const WindowLayout layout = layoutWindow(main, cols, rows);
    const int below = layout.window.row + layout.window.rows;
    return below < rows ? below : -1;
}

void drawOutsideLine(Screen* screen, const std::string& utf8) {
    if (utf8.empty() || screen->cols() <= 0) return;
    const int row = outsideLineRow(screen->cols(), screen->rows());
    if (row < 0) return;
    std::u32string text = decodeUtf8(utf8);
    const size_t width = static_cast<size_t>(screen->cols());
    if (text.size() > width) {
        const size_t keep = width > 3 ? width - 3 : width;
        text = (width > 3 ? U"..." : U"") + text.substr(text.size() - keep);
    }
    Style plain;
    plain.role = Role::Message;
    screen->clearClip();
    screen->fill(Rect{0, row, screen->cols(), 1}, plain);
    for (size_t i = 0; i < text.size(); ++i) {
        screen->put(static_cast<int>(i), row, text[i], plain);
    }
}

}  // namespace tui
