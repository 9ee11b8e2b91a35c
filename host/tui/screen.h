// A grid of character cells with abstract styles: what the renderer draws
// and the terminal back end shows. Plain data, so the layout can be tested
// without a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tui {

// What a cell shows; the back end turns roles into colours or, on a
// monochrome terminal, into attributes.
enum class Role : uint8_t {
    Desktop,
    Face,           // dialog client area and labels
    Frame,          // window border
    Title,          // caption bar of the active window
    TitleInactive,  // caption bar of a window under a modal one
    Button,
    ButtonFocus,
    Disabled,  // grey text of a disabled control
    Field,     // edit and list interiors
    Selection,
    Menu,
    MenuSelection,
    Picture,  // pixels: `fg` and `bg` hold 0xRRGGBB
    Message,  // plain terminal text (the "too small" notice)
};

struct Style {
    Role role = Role::Desktop;
    bool bold = false;
    bool underline = false;
    uint32_t fg = 0;  // Role::Picture only
    uint32_t bg = 0;

    bool operator==(const Style& o) const {
        return role == o.role && bold == o.bold && underline == o.underline && fg == o.fg &&
               bg == o.bg;
    }
};

// Glyphs the back end draws with the terminal's line-drawing set.
namespace glyph {
constexpr char32_t kHLine = U'\u2500';
constexpr char32_t kVLine = U'\u2502';
constexpr char32_t kTopLeft = U'\u250C';
constexpr char32_t kTopRight = U'\u2510';
constexpr char32_t kBottomLeft = U'\u2514';
constexpr char32_t kBottomRight = U'\u2518';
constexpr char32_t kUpperHalf = U'\u2580';  // fg = upper pixel, bg = lower pixel
constexpr char32_t kUpArrow = U'\u25B2';
constexpr char32_t kDownArrow = U'\u25BC';
constexpr char32_t kBlock = U'\u2588';
constexpr char32_t kShade = U'\u2592';
}  // namespace glyph

struct Cell {
    char32_t ch = U' ';
    Style style;
};

struct Rect {
    int col = 0;
    int row = 0;
    int cols = 0;
    int rows = 0;

    bool contains(int c, int r) const {
        return c >= col && c < col + cols && r >= row && r < row + rows;
    }
    Rect intersect(const Rect& o) const;
};

class Screen {
public:
    Screen(int cols, int rows);

    int cols() const { return cols_; }
    int rows() const { return rows_; }
    const Cell& at(int col, int row) const {
        return cells_[static_cast<size_t>(row) * cols_ + col];
    }

    // Drawing is clipped to the screen and to the clip rectangle.
    void setClip(const Rect& clip);
    void clearClip();

    void put(int col, int row, char32_t ch, const Style& style);
    // UTF-8 text on one row; returns the number of cells written to.
    int text(int col, int row, const std::string& utf8, const Style& style);
    void fill(const Rect& rect, const Style& style);
    void frame(const Rect& rect, const Style& style);

    // One row as UTF-8, trailing spaces kept (for tests and screen captures).
    std::string rowText(int row) const;

private:
    int cols_;
    int rows_;
    Rect clip_;
    std::vector<Cell> cells_;
};

// Decodes UTF-8 into code points (an invalid byte becomes U+FFFD).
std::u32string decodeUtf8(const std::string& text);
std::string encodeUtf8(char32_t ch);

}  // namespace tui
