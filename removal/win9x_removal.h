// Windows 98/ME: uninstalls the device of one discovered slot. A restart of
// Windows completes it.
#pragma once

#include "detection/device_catalogue.h"

// Enables the slot's device as a test that it is known (NotFound when not),
// has the device installer remove it once (RemovalFailed when that fails),
// deletes the INF and driver files, scrubs the registry and returns Removed.
// Only devices of the slot's pattern with the record's description are acted
// on. A file that a device of another pattern still uses (its class key
// names the same INF or network driver) stays.
RemovalResult remove9xInstallation(int slot, DeviceRecord& record);

// Deletes the device's Enum\USB key (the first one whose name contains the
// pattern), every network class key whose "MatchingDeviceId" contains the
// pattern or whose "DriverDesc" equals the description, except one that a
// device of another pattern has as its driver key, and the device interface
// keys below the interface class named in the symbolic name (its last
// "{...}" group) whose "DeviceInstance" contains the pattern. A repeat loop goes on only while its
// deletions succeed, so a platform that refuses them cannot hold it.
void scrub9xRegistry(const DeviceRecord& record);
