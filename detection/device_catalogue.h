// The supported devices and the per-slot state that detection fills in and
// removal reads: catalogue patterns, device records and the two file tables.
// All of it is process-wide plain data.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Every name, value and path buffer of the engine.
constexpr unsigned kPathBufferSize = 260;
constexpr int kSlotCount = 3;

enum class OsFamily : int { Unknown = -1, Win9x = 0, Nt = 1 };

enum class RemovalResult : int { Removed = 0, NotFound = 1, RemovalFailed = 2 };

// Bit n set: slot n has a matching device whose installation was discovered.
typedef uint32_t DetectedMask;

struct DeviceRecord {
    char pattern[kPathBufferSize];
    char deviceDesc[kPathBufferSize];
    char hardwareId[kPathBufferSize];
    char service[kPathBufferSize];
    char driver[kPathBufferSize];
    char lowerFilters[kPathBufferSize];
    char symbolicName[kPathBufferSize];
    uint32_t installCount;
};

// Catalogue pattern of slot 0..2, e.g. "VID_F3A7&PID_0021".
const char* cataloguePattern(int slot);

DeviceRecord& deviceRecord(int slot);
char* infFilePath(int slot);     // InfFileTable[slot], 260 bytes
char* driverFilePath(int slot);  // DriverFileTable[slot], 260 bytes

// The network-adapter setup class, {4D36E972-E325-11CE-BFC1-08002BE10318}.
const GUID* networkClassGuid();
