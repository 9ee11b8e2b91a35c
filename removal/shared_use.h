// Whether a device that stays on the machine when the devices of a slot are
// uninstalled (see anyStayingDevice) still uses what the uninstall would
// delete. `pattern` is the slot's catalogue pattern; `classRoot` the
// family's class-key root with its trailing backslash. Names compare
// ignoring case; an empty name is used by nothing.
#pragma once

// Its Service, or an entry of the LowerFilters or UpperFilters of the
// device, of the key its Driver value names, or of that key's setup class
// key, is `service`.
bool serviceStillUsed(const char* pattern, const char* classRoot, const char* service);

// The key its Driver value names holds "InfPath" `infName`.
bool infStillUsed(const char* pattern, const char* classRoot, const char* infName);

// Its Driver value is `driverKey`.
bool driverKeyStillUsed(const char* pattern, const char* driverKey);

// 9x family: the key its Driver value names holds an "NTMPDriver" that
// discovery turns into `driverName`.
bool miniportStillUsed(const char* pattern, const char* classRoot, const char* driverName);
