// The line mode's JSON lines, read from the window-system model; their form
// is that of protocol/state_json.h, shared with the UI-automation driver.
// Strings are converted from the machine's code page to UTF-8.
#pragma once

#include "host/ansi_text.h"
#include "platform/win32.h"

#include <string>

// The state line of the main dialog: status pane 1002, device list 1003 (its
// items and selection), buttons 1, 2, 1006, 1000, and whether a restart was
// requested.
std::string stateLine(HWND mainDialog, bool restartRequested, const AnsiText& ansi);

// The about line: the caption and the dialog's text labels (static controls
// that show no picture) in template order.
std::string aboutLine(HWND aboutDialog, const AnsiText& ansi);
