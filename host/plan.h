// The line mode's `plan` line: what an Uninstall of the selected device would
// remove, found by running the removal on the staged state and undoing it.
//
//   {"plan": {"device": "<description>", "slot": <n>, "instances": ["<device instance ID>", ...],
//             "keys": ["HKEY_LOCAL_MACHINE\\...", ...], "files": ["C:\\...", ...]}}
//
// `{"plan": null}` when no device is selected or the Uninstall button is
// disabled (an Uninstall would do nothing). `keys` are the tops of the
// deleted subtrees. The removal runs exactly as the dialog's Uninstall runs
// it (the family's removal routine with the slot's record and file-table
// entries); afterwards the registry, the staged file operations and the
// engine's records and file tables are as before, nothing reaches the disk
// and the status pane is unchanged.
#pragma once

#include "host/ansi_text.h"
#include "platform/win32.h"

#include <string>

std::string planLine(HWND mainDialog, const AnsiText& ansi);
