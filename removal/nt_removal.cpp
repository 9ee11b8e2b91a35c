#include "removal/nt_removal.h"

#include "detection/bounded_text.h"
#include "detection/device_installer.h"
#include "discovery/install_paths.h"
#include "discovery/registry_helpers.h"
#include "removal/shared_use.h"

#include <cstring>

namespace {

const char kEventLogRoot[] = "System\\CurrentControlSet\\Services\\Eventlog\\System\\";
const char kClassRoot[] = "System\\CurrentControlSet\\Control\\Class\\";

// A source whose service a staying device still runs keeps its key.
void deleteEventLogSource(const char* pattern, const char* source) {
    if (source[0] == '\0' || serviceStillUsed(pattern, kClassRoot, source)) return;
    char keyPath[kPathBufferSize];
    if (!joinText(keyPath, {kEventLogRoot, source})) return;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
}

// True when a network device of the slot's pattern is still in the device
// set.
bool slotDeviceLeft(const char* pattern) {
    DeviceRecord left;
    return probeDevice(networkClassGuid(), pattern, left);
}

}  // namespace

bool makePrecompiledInfPath(char* infPath) {
    const size_t length = std::strlen(infPath);
    size_t nameStart = 0;
    for (size_t i = 0; i < length; ++i) {
        if (infPath[i] == '\\' || infPath[i] == '/' || infPath[i] == ':') nameStart = i + 1;
    }
    size_t stemEnd = length;
    for (size_t i = length; i > nameStart; --i) {
        if (infPath[i - 1] == '.') {
            stemEnd = i - 1;
            break;
        }
    }

    char stem[kPathBufferSize];
    std::memcpy(stem, infPath, stemEnd);
    stem[stemEnd] = '\0';
    char result[kPathBufferSize];
    if (!joinText(result, {stem, ".PNF"})) return false;
    return joinText(infPath, kPathBufferSize, {result});
}

void deleteEventLogSources(const DeviceRecord& record) {
    deleteEventLogSource(record.pattern, record.service);
    deleteEventLogSource(record.pattern, record.lowerFilters);  // its first string
}

RemovalResult removeNtInstallation(int slot, DeviceRecord& record) {
    if (!isValidSlot(slot)) return RemovalResult::RemovalFailed;
    if (record.pattern[0] == '\0') return RemovalResult::NotFound;  // never probed
    const GUID* net = networkClassGuid();
    if (!enableMatchingDevice(net, record.deviceDesc, record.pattern)) {
        return RemovalResult::NotFound;
    }

    const uint32_t count = record.installCount;
    if (count == 0) return RemovalResult::RemovalFailed;
    // The count also takes in instances of other classes, which the walk
    // never finds: what counts is that a removal succeeded and that no
    // network device of the slot is left.
    bool removed = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (removeMatchingDevice(net, record.deviceDesc, record.pattern)) removed = true;
    }
    if (!removed || slotDeviceLeft(record.pattern)) return RemovalResult::RemovalFailed;

    // Files a staying device still uses are kept: the INF (and its PNF) when
    // its driver key names the same INF, the driver file when it runs the
    // same service.
    char* infPath = infFilePath(slot);
    const bool infShared = infStillUsed(record.pattern, kClassRoot, fileNamePart(infPath));
    const char* driverService =
        record.lowerFilters[0] != '\0' ? record.lowerFilters : record.service;
    const bool driverShared = serviceStillUsed(record.pattern, kClassRoot, driverService);
    if (!infShared) deleteFileForced(infPath);
    if (makePrecompiledInfPath(infPath) && !infShared) deleteFileForced(infPath);
    if (!driverShared) deleteFileForced(driverFilePath(slot));
    deleteEventLogSources(record);
    return RemovalResult::Removed;
}
