// Text of the simulated window system laid out for character cells. Input is
// in the machine's ANSI code page, one byte per cell; conversion for display
// happens after layout.
#pragma once

#include <string>
#include <vector>

namespace tui {

// A control's caption as displayed: "&Detect" shows "Detect" with the D
// underlined, "&&" shows one "&". `underline` is the index of the marked
// character in `text`, or -1.
struct Caption {
    std::string text;
    int underline = -1;
    char mnemonic = 0;  // the marked character, lower case (0 = none)
};
Caption parseCaption(const std::string& text, bool noPrefix);

// The lines of a label or a notice: "\r\r\n", "\r\n" and a lone "\n" end a
// line; then each line is wrapped at spaces to `width` cells (a word longer
// than that is cut). A final line break adds no empty line. (A multi-line
// edit's lines are the window system's, not these.)
std::vector<std::string> wrapText(const std::string& text, int width);

// Like wrapText, for a label of several rows: never more than `maxLines`.
std::vector<std::string> wrapLabel(const std::string& text, int width, int maxLines);

}  // namespace tui
