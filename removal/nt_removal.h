// Windows 2000/XP: uninstalls the device of one discovered slot.
#pragma once

#include "detection/device_catalogue.h"

class UsageIndex;

// Enables the slot's device as a test that it is known (NotFound when not),
// has the device installer remove it record.installCount times and then
// every leftover instance of the slot's device key (see
// removeLeftoverInstances), and returns RemovalFailed when the count is 0,
// no removal succeeded, a leftover could not be removed, or a network device
// of the slot's pattern is still left; nothing is deleted then. Otherwise
// deletes the INF file, its precompiled ".PNF" companion (the slot's INF
// entry is rewritten in place to that path), the driver file and the
// event-log source keys, sets record.removedCount to the number of
// instances removed and returns Removed. Only devices of the slot's pattern
// with the record's description, and the slot's leftover instances, are
// acted on. What stays:
// - what a staying device uses (one UsageIndex, built after the removals):
//   the INF and PNF when its driver key names the same INF, the driver file
//   when it runs the same service or a service with the same driver file,
//   an event-log key when it runs that service;
// - an INF that is not "oem<N>.inf" (one of Windows' own) and its PNF;
// - a driver file outside the Windows directory.
RemovalResult removeNtInstallation(int slot, DeviceRecord& record);

// Deletes Services\Eventlog\System\<service>, then the key of the first lower
// filter, each only when the name is not empty and no staying device runs
// that service. Results are not looked at.
void deleteEventLogSources(const DeviceRecord& record, const UsageIndex& inUse);

// Rewrites `infPath` (260 bytes) in place to the path of its precompiled INF:
// the extension of the file-name part (after the last '\', '/' or ':') is
// replaced by ".PNF", or ".PNF" is appended when it has none. False, with
// `infPath` unchanged, when the result does not fit.
bool makePrecompiledInfPath(char* infPath);
