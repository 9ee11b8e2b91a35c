// The JSON lines of the line mode. They are compared byte for byte with the
// lines a UI-automation driver prints for the real program under Wine, so
// their form is fixed:
//
//   {"status": "<whole status text>", "devices": ["<item>", ...], "selected": <index or -1>,
//    "enabled": {"uninstall": <bool>, "close": <bool>, "detect": <bool>, "restart": <bool>},
//    "restartRequested": <bool>}
//   {"caption": "<about box caption>", "texts": ["<static text>", ...]}
//
// each on one line, keys in this order, ", " between members and items and
// ": " after keys, no other spaces. Strings are UTF-8 (converted from the
// machine's code page); escaped are only '"' (\"), '\' (\\), CR (\r), LF
// (\n) and the other control characters below 0x20 (\u00xx, lower-case hex,
// so TAB is \u0009). Everything else, DEL and non-ASCII included, is written
// as is.
#pragma once

#include "host/ansi_text.h"
#include "platform/win32.h"

#include <string>

// `text` (UTF-8) as a JSON string literal, quotes included.
std::string jsonString(const std::string& text);

// The state line of the main dialog: status pane 1002, device list 1003 (its
// items and selection), buttons 1, 2, 1006, 1000, and whether a restart was
// requested.
std::string stateLine(HWND mainDialog, bool restartRequested, const AnsiText& ansi);

// The about line: the caption and the dialog's text labels (static controls
// that show no picture) in template order.
std::string aboutLine(HWND aboutDialog, const AnsiText& ansi);
