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

// The drivers a device reports using; an unreadable property is empty.
struct DeviceDrivers {
    char service[kPathBufferSize];
    char driver[kPathBufferSize];        // driver key, relative to the family's class root
    char lowerFilters[kPathBufferSize];  // multi-string
    char upperFilters[kPathBufferSize];  // multi-string
};

// Walks the devices of every setup class in the current hardware profile
// that stay when the devices of `pattern` are uninstalled: those whose
// upper-cased first hardware ID does not contain `pattern`, as probeDevice
// compares (a device whose hardware ID cannot be read stays too). Calls
// `visit` for each and returns true at the first visit that does; false
// after the last device. True when no device set can be had: nothing can
// then be shown to be unused.
bool anyStayingDevice(const char* pattern,
                      bool (*visit)(const DeviceDrivers& device, const void* context),
                      const void* context);
