#include "detection/device_catalogue.h"

#include <cstring>

namespace {

const char* const kPatterns[kSlotCount] = {
    "VID_F3A7&PID_0021",
    "VID_F3A7&PID_0053",
    "VID_F3A7&PID_0054",
};

const GUID kNetworkClass = {
    0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

DeviceRecord records[kSlotCount];
char infFiles[kSlotCount][kPathBufferSize];
char driverFiles[kSlotCount][kPathBufferSize];

DeviceRecord scratchRecord;
char scratchPath[kPathBufferSize];

}  // namespace

const char* cataloguePattern(int slot) { return isValidSlot(slot) ? kPatterns[slot] : ""; }

DeviceRecord& deviceRecord(int slot) {
    if (isValidSlot(slot)) return records[slot];
    std::memset(&scratchRecord, 0, sizeof scratchRecord);
    return scratchRecord;
}

char* infFilePath(int slot) {
    if (isValidSlot(slot)) return infFiles[slot];
    scratchPath[0] = '\0';
    return scratchPath;
}

char* driverFilePath(int slot) {
    if (isValidSlot(slot)) return driverFiles[slot];
    scratchPath[0] = '\0';
    return scratchPath;
}

const GUID* networkClassGuid() { return &kNetworkClass; }
