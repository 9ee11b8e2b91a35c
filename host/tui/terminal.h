// The curses side of the terminal UI: shows a Screen and reads keys and
// mouse clicks. Colours degrade to attributes on a monochrome terminal (or
// with NO_COLOR set); line drawing uses the terminal's alternate character
// set when the locale is not UTF-8.
#pragma once

#include "host/tui/screen.h"

#include <string>

namespace tui {

struct KeyEvent {
    enum Type { None, Key, Resize, Mouse, Lost } type = None;
    int key = 0;       // curses key code or character
    bool alt = false;  // Alt+key, or Esc then key
    // Mouse: the cell and what happened there.
    int col = 0;
    int row = 0;
    enum Button { Left, WheelUp, WheelDown, Other } button = Other;
};

class Terminal {
public:
    Terminal() = default;
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Takes over standard input and output. False with `error` when they
    // are no usable terminal (TERM unset or unknown).
    bool open(std::string* error);
    void close();
    bool isOpen() const { return screen_ != nullptr; }

    int cols() const;
    int rows() const;
    bool colour() const { return colour_; }
    bool unicode() const { return unicode_; }
    // The terminal can show dim text.
    bool dim() const { return dim_; }

    // Paints `screen` (same size as the terminal) and updates the terminal.
    void show(const Screen& screen);
    // Forces a full repaint on the next show (after Ctrl+L).
    void invalidate();
    // Waits for the next key, resize or click.
    KeyEvent read();

private:
    int pairFor(int fg, int bg);
    void cellAttributes(const Cell& cell, unsigned long* attrs, int* pair);

    struct ScreenHandle;
    ScreenHandle* screen_ = nullptr;
    bool colour_ = false;
    bool unicode_ = false;
    bool dim_ = false;
    int colours_ = 0;
    int lostReads_ = 0;
};

// The nearest colour of the terminal's palette to 0xRRGGBB: the 6x6x6 cube
// and grey ramp of a 256-colour terminal, or the 8 (16) basic colours.
int nearestColour(uint32_t rgb, int colours);

}  // namespace tui
