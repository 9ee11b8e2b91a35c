// What the program says about itself: `--version` and `--list-supported`.
#pragma once

#include <string>

// "Quorvane USB Miniport Driver Uninstall Utility 1.1.1.0 (revision <rev>)":
// the product's name and version and the source revision the build was
// configured from ("unknown" outside a git checkout).
std::string versionLine();

// The hardware-ID patterns of the device catalogue, one a line, in slot
// order.
std::string supportedList();
