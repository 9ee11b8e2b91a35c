// Windows 98/ME: traces a probed device's installation (INF file under
// Inf\Other, network driver file, symbolic name) through the 9x registry
// layout. On this family a device counts as installed once.
#pragma once

#include "detection/device_catalogue.h"

// Reads "SymbolicName" of the first instance under Enum\USB\<pattern> into
// record.symbolicName; false (field empty) when there is none.
bool read9xSymbolicName(DeviceRecord& record);

// Reads "InfPath" and "NTMPDriver" of the device's class key into `infName`
// and `driverName` (260-byte buffers), the driver name lower-cased. 1 when
// the driver is the family's own "kestrelm.sys" (then `driverName` is exactly
// that), 0 for any other driver, -1 when a key or value is missing or too
// long.
int read9xInstallInfo(const DeviceRecord& record, char* infName, char* driverName);

// Lower-cases a driver name read from "NTMPDriver" in place; when it
// contains the family's own "kestrelm.sys" it becomes exactly that (1),
// otherwise it stays as lower-cased (0).
int normalize9xDriverName(char* driverName);

// Fills record.symbolicName, the slot's INF and driver paths below
// `windowsDir` and record.installCount (1). The driver path is the network
// driver name as resolve9xDriverPath gives it: an absolute name outside the
// Windows directory stays that path (the removal never deletes it); an
// empty name leaves the driver path empty (no file to delete). False, with
// the file tables untouched, when the installation cannot be traced,
// "InfPath" is not a bare file name, the driver name has a ".." component,
// or a path does not fit.
bool discover9xInstallation(int slot, const char* windowsDir, DeviceRecord& record);
