#include "host/tui/screen.h"

#include <algorithm>

namespace tui {

Rect Rect::intersect(const Rect& o) const {
    const int left = std::max(col, o.col);
    const int top = std::max(row, o.row);
    const int right = std::min(col + cols, o.col + o.cols);
    const int bottom = std::min(row + rows, o.row + o.rows);
    return Rect{left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

Screen::Screen(int cols, int rows)
    : cols_(std::max(0, cols)),
      rows_(std::max(0, rows)),
      clip_{0, 0, cols_, rows_},
      cells_(static_cast<size_t>(cols_) * rows_) {}

void Screen::setClip(const Rect& clip) { clip_ = clip.intersect(Rect{0, 0, cols_, rows_}); }

void Screen::clearClip() { clip_ = Rect{0, 0, cols_, rows_}; }

void Screen::put(int col, int row, char32_t ch, const Style& style) {
    if (!clip_.contains(col, row)) return;
    Cell& cell = cells_[static_cast<size_t>(row) * cols_ + col];
    cell.ch = ch;
    cell.style = style;
}

int Screen::text(int col, int row, const std::string& utf8, const Style& style) {
    int written = 0;
    for (char32_t ch : decodeUtf8(utf8)) {
        put(col + written, row, ch, style);
        ++written;
    }
    return written;
}

void Screen::fill(const Rect& rect, const Style& style) {
    for (int r = rect.row; r < rect.row + rect.rows; ++r) {
        for (int c = rect.col; c < rect.col + rect.cols; ++c) put(c, r, U' ', style);
    }
}

void Screen::frame(const Rect& rect, const Style& style) {
    if (rect.cols < 2 || rect.rows < 2) return;
    const int right = rect.col + rect.cols - 1;
    const int bottom = rect.row + rect.rows - 1;
    for (int c = rect.col + 1; c < right; ++c) {
        put(c, rect.row, glyph::kHLine, style);
        put(c, bottom, glyph::kHLine, style);
    }
    for (int r = rect.row + 1; r < bottom; ++r) {
        put(rect.col, r, glyph::kVLine, style);
        put(right, r, glyph::kVLine, style);
    }
    put(rect.col, rect.row, glyph::kTopLeft, style);
    put(right, rect.row, glyph::kTopRight, style);
    put(rect.col, bottom, glyph::kBottomLeft, style);
    put(right, bottom, glyph::kBottomRight, style);
}

std::string Screen::rowText(int row) const {
    std::string out;
    if (row < 0 || row >= rows_) return out;
    for (int c = 0; c < cols_; ++c) out += encodeUtf8(at(c, row).ch);
    return out;
}

std::u32string decodeUtf8(const std::string& text) {
    std::u32string out;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        int extra;
        char32_t ch;
        if (lead < 0x80) {
            extra = 0;
            ch = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            ch = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            ch = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            ch = lead & 0x07;
        } else {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        if (extra > 0 && i + extra >= text.size()) {
            out += U'\uFFFD';
            break;
        }
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            ch = (ch << 6) | (next & 0x3F);
        }
        if (!valid) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        out += ch;
        i += extra + 1;
    }
    return out;
}

std::string encodeUtf8(char32_t ch) {
    std::string out;
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
    return out;
}

}  // namespace tui
