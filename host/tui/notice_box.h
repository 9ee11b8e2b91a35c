// A notice of the host program over the dialogs, which the operator sees
// before the dialog takes any input (what changes what an Uninstall does on
// this machine), dismissed with any key or a click.
#pragma once

#include "host/tui/screen.h"

#include <string>

namespace tui {

// Draws `utf8` (paragraphs split at "\n") wrapped in a framed box centred
// on `screen`, with the program's name as its title and an OK button.
void drawNoticeBox(Screen* screen, const std::string& utf8);

}  // namespace tui
