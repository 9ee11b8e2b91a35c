// Every request to the Windows device installer: find a supported device and
// snapshot its properties, enable a device, remove a device. Each call builds
// its own device set of the class (current hardware profile, plugged in or
// not) and releases it before returning; devices are examined from index 0
// and only the first one that passes is acted on.
#pragma once

#include "detection/device_catalogue.h"
#include "platform/win32.h"

// Clears `record`, then looks for the first device whose upper-cased
// hardware ID contains `pattern`; on a match fills description, service,
// driver key and lower filters (an unreadable property leaves its field
// empty), copies `pattern` and returns true.
bool probeDevice(const GUID* classGuid, const char* pattern, DeviceRecord& record);

// Finds the first device whose description equals `description` (ignoring
// case) and whose upper-cased hardware ID contains `pattern`; any other
// device, whatever its description, is skipped and the walk goes on. A null
// or empty `pattern` restricts nothing.
//
// Enable runs DIF_PROPERTYCHANGE with DICS_ENABLE, global scope: true when
// the device was found and the parameters were accepted; the class
// installer's own verdict is not looked at. Remove runs DIF_REMOVE, global
// scope, and returns the class installer's verdict; false when no device
// passes or the parameters were refused.
bool enableMatchingDevice(const GUID* classGuid, const char* description, const char* pattern);
bool removeMatchingDevice(const GUID* classGuid, const char* description, const char* pattern);

// A device as walkDevices sees it: the drivers it reports using (an
// unreadable property is empty) and what the Uninstall of a slot does to it.
struct DeviceUse {
    // The Uninstall takes it away: a network device of the slot's pattern
    // with the record's description (what removeMatchingDevice removes), or
    // a leftover instance of the slot's own device key (see
    // removeLeftoverInstances).
    bool leaves;
    // A network device of the slot's pattern, whatever its description, or
    // such a leftover instance: none is left once the slot is uninstalled.
    bool ofSlot;
    char instanceId[kPathBufferSize];  // read for a staying device when asked for
    char service[kPathBufferSize];
    char driver[kPathBufferSize];        // driver key, relative to the family's class root
    char lowerFilters[kPathBufferSize];  // multi-string
    char upperFilters[kPathBufferSize];  // multi-string
};

// Walks the devices of every setup class in the current hardware profile
// once, in one device set, and calls `visit` for each. The drivers (and,
// with `instanceIds`, the instance ID) are read only for a device that
// stays. False, with no call made, when no device set can be had.
bool walkDevices(const DeviceRecord& record, bool instanceIds,
                 void (*visit)(const DeviceUse& device, void* context), void* context);

// Removes, through the device installer (DIF_REMOVE, global scope, a device
// set for each), every leftover instance of the slot's own device key: a
// network device below "USB\<pattern>\" that has no hardware ID and runs
// the record's service. The number removed; -1 when one could not be.
int removeLeftoverInstances(const DeviceRecord& record);
