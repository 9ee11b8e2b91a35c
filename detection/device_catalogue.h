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
    char lowerFilters[kPathBufferSize];  // multi-string; only the first string is used
    char symbolicName[kPathBufferSize];  // 9x family only
    uint32_t installCount;
    uint32_t removedCount;  // instances the last Uninstall that succeeded removed
};

inline bool isValidSlot(int slot) { return slot >= 0 && slot < kSlotCount; }

// Catalogue pattern of slot 0..2, e.g. "VID_F3A7&PID_0021"; "" for any
// other slot.
const char* cataloguePattern(int slot);

// The slot's record and its entries of InfFileTable and DriverFileTable
// (260 bytes each). Slots outside 0..2 are never produced; for one, a
// scratch record and scratch buffers, emptied on every call, stand in.
DeviceRecord& deviceRecord(int slot);
char* infFilePath(int slot);
char* driverFilePath(int slot);

// The network-adapter setup class, {4D36E972-E325-11CE-BFC1-08002BE10318}.
const GUID* networkClassGuid();
