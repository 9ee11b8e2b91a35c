// The line mode's `devices` line: what discovery found for every device the
// last detection run listed, read from the engine's device records and file
// tables (process-wide, filled by detection and discovery). One line:
//
//   {"devices": [{"slot": <n>, "pattern": "...", "description": "...", "installCount": <n>,
//                 "instances": ["<device instance ID>", ...], "service": "...",
//                 "lowerFilter": "...", "inf": "<Windows path>", "driver": "<Windows path>"},
//                ...]}
//
// Devices in the order of the device list; `[]` when it is empty. The form
// of the state line (json_lines.h): ", " and ": " as separators, strings in
// UTF-8. `instances` are the device instance IDs the registry lists under
// Enum\USB\<pattern>; `lowerFilter` is the first lower filter ("" for
// none). Taken right after a detection run, the line shows what discovery
// found: an uninstall changes the registry and the file tables (the INF
// entry then names the precompiled .PNF).
#pragma once

#include "host/ansi_text.h"
#include "platform/win32.h"

#include <string>

std::string devicesLine(HWND mainDialog, const AnsiText& ansi);
