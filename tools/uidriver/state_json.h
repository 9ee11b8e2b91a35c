// JSON lines the UI driver prints: the same bytes as the host program's
// headless line mode, so a Wine run and a host run compare as text.
#pragma once

#include <string>
#include <vector>

namespace uidriver {

// What the driver can read from the main dialog from outside its process.
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

}  // namespace uidriver
