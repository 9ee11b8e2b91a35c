// Windows 98/ME: uninstalls the device of one discovered slot. A restart of
// Windows completes it.
#pragma once

#include "detection/device_catalogue.h"

class UsageIndex;

// Enables the slot's device as a test that it is known (NotFound when not),
// has the device installer remove it once (RemovalFailed when that fails),
// deletes the INF and driver files, scrubs the registry and returns Removed
// with record.removedCount 1; RemovalFailed when the platform refused to
// delete one of the device's keys (the keys stay, and nothing reports them
// gone). Only devices of the slot's pattern with the record's description
// are acted on. What a staying device uses stays (one UsageIndex, built
// after the removal): the INF when its class key names the same INF, the
// driver file when its class key names the same network driver, its class
// key and its enumeration key. A driver file outside the Windows directory
// stays too.
RemovalResult remove9xInstallation(int slot, DeviceRecord& record);

// Deletes the device's Enum\USB key (the first one whose name contains the
// pattern and that no staying device lives in), every network class key
// whose "MatchingDeviceId" contains the pattern or whose "DriverDesc"
// equals the description, except one that a staying device has as its
// driver key, and the device interface keys below the interface class
// named in the symbolic name (its "{...}" group before a reference string,
// "...#{class}\ref") whose "DeviceInstance" contains the pattern. A repeat
// loop goes on only while its deletions succeed, so a platform that refuses
// them cannot hold it. False when the platform refused a deletion.
bool scrub9xRegistry(const DeviceRecord& record, const UsageIndex& inUse);
// The same with a UsageIndex of its own.
bool scrub9xRegistry(const DeviceRecord& record);
