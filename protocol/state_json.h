// The JSON lines of the host program's line mode and of the UI-automation
// driver that works the real exe under Wine. Both print through these
// functions, so a host run and a Wine run compare as text. The form is
// fixed (keys in this order, ", " between members and items, ": " after
// keys, no other spaces):
//
//   {"status": "<whole status text>", "devices": ["<item>", ...], "selected": <index or -1>,
//    "enabled": {"uninstall": <bool>, "close": <bool>, "detect": <bool>, "restart": <bool>},
//    "restartRequested": <bool>}
//   {"caption": "<about box caption>", "texts": ["<static text>", ...]}
//
// Platform-free: it builds for the host and for Windows.
#pragma once

#include <string>
#include <vector>

namespace statejson {

// What can be read from the main dialog.
struct DialogState {
    std::string status;                // whole status pane text, UTF-8
    std::vector<std::string> devices;  // device list items in list order, UTF-8
    int selected = -1;                 // current selection, -1 for none
    bool uninstallEnabled = false;
    bool closeEnabled = false;
    bool detectEnabled = false;
    bool restartEnabled = false;
    bool restartRequested = false;
};

struct AboutState {
    std::string caption;
    std::vector<std::string> texts;  // static texts in template order, icons left out
};

// A JSON string literal with its quotes. \" \\ \r \n are escaped by name,
// every other byte below 0x20 as \u00xx (lower-case hex); everything else,
// DEL and UTF-8 sequences included, passes through unchanged.
std::string jsonString(const std::string& text);

// One line, without the line end:
// {"status": "...", "devices": [...], "selected": N, "enabled": {...}, "restartRequested": B}
std::string stateLine(const DialogState& state);

// One line, without the line end: {"caption": "...", "texts": [...]}
std::string aboutLine(const AboutState& about);

}  // namespace statejson
