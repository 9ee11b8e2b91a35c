// Windows 2000/XP: traces a probed device's installation (INF file, driver
// file, number of installations) through the registry.
#pragma once

#include "detection/device_catalogue.h"

// Reads "InfPath" of the device's class key into `infName` and "ImagePath"
// of its driver service into `imagePath` (260-byte buffers each). The
// service is the first lower filter when there is one (result 1), else the
// device's service (result 0). -1 on failure: a key or value missing, empty
// or too long for its buffer.
int readNtInstallInfo(const DeviceRecord& record, char* infName, char* imagePath);

// Fills the slot's INF and driver paths below `windowsDir` and
// record.installCount (number of USB enumeration instances, 0 allowed).
// The driver path is "ImagePath" as resolveNtImagePath gives it: an
// absolute path outside the Windows directory stays that path (the removal
// never deletes it); an empty one leaves the driver path empty (no file to
// delete). False, with the file tables untouched, when the installation
// cannot be traced, "InfPath" is not a bare file name, "ImagePath" has a
// ".." component, or a path does not fit.
bool discoverNtInstallation(int slot, const char* windowsDir, DeviceRecord& record);
