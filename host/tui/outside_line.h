// A line of plain terminal text outside the running dialogs (which machine
// image is in use): on the first row below the main dialog's window; not
// drawn when the window takes every row (its frame is never covered).
#pragma once

#include "host/tui/screen.h"

#include <string>

namespace tui {

// Draws `utf8` (nothing when empty) on `screen`, which already shows the
// dialogs; a text wider than the screen keeps its end, after "...".
void drawOutsideLine(Screen* screen, const std::string& utf8);

// The row drawOutsideLine uses, or -1 when no dialog is running or no row
// is free below it.
int outsideLineRow(int cols, int rows);

}  // namespace tui
