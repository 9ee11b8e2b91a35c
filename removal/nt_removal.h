// Windows 2000/XP: uninstalls the device of one discovered slot.
#pragma once

#include "detection/device_catalogue.h"

// Enables the slot's device as a test that it is known (NotFound when not),
// has the device installer remove it record.installCount times
// (RemovalFailed when the count is 0, no removal succeeded, or a network
// device of the slot's pattern is still left), then deletes the INF file,
// its precompiled ".PNF" companion (the slot's INF entry is rewritten in
// place to that path), the driver file and the event-log source keys, and
// returns Removed. Only devices of the slot's pattern with the record's
// description are acted on. What a device of another pattern still uses
// stays: the INF and PNF when its driver key names the same INF, the driver
// file and an event-log key when it runs that service (as its service or a
// filter).
RemovalResult removeNtInstallation(int slot, DeviceRecord& record);

// Deletes Services\Eventlog\System\<service>, then the key of the first lower
// filter, each only when the name is not empty and no device of another
// pattern runs that service. Results are not looked at.
void deleteEventLogSources(const DeviceRecord& record);

// Rewrites `infPath` (260 bytes) in place to the path of its precompiled INF:
// the extension of the file-name part (after the last '\', '/' or ':') is
// replaced by ".PNF", or ".PNF" is appended when it has none. False, with
// `infPath` unchanged, when the result does not fit.
bool makePrecompiledInfPath(char* infPath);
