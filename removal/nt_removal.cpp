#include "removal/nt_removal.h"

#include "detection/bounded_text.h"
#include "detection/device_installer.h"
#include "discovery/registry_helpers.h"

#include <cstring>

namespace {

const char kEventLogRoot[] = "System\\CurrentControlSet\\Services\\Eventlog\\System\\";

void deleteEventLogSource(const char* source) {
    if (source[0] == '\0') return;
    char keyPath[kPathBufferSize];
    if (!joinText(keyPath, {kEventLogRoot, source})) return;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
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
    deleteEventLogSource(record.service);
    deleteEventLogSource(record.lowerFilters);  // its first string
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
    bool removed = false;
    for (uint32_t i = 0; i < count; ++i) {
        removed = removeMatchingDevice(net, record.deviceDesc, record.pattern);
    }
    if (!removed) return RemovalResult::RemovalFailed;

    char* infPath = infFilePath(slot);
    deleteFileForced(infPath);
    if (makePrecompiledInfPath(infPath)) deleteFileForced(infPath);
    deleteFileForced(driverFilePath(slot));
    deleteEventLogSources(record);
    return RemovalResult::Removed;
}
