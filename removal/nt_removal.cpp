#include "removal/nt_removal.h"

#include "detection/bounded_text.h"
#include "detection/device_installer.h"
#include "discovery/install_paths.h"
#include "discovery/registry_helpers.h"
#include "removal/usage_index.h"

#include <cstring>

namespace {

const char kEventLogRoot[] = "System\\CurrentControlSet\\Services\\Eventlog\\System\\";
const char kUsbEnumRoot[] = "System\\CurrentControlSet\\Enum\\USB\\";

// A source whose service a staying device still runs keeps its key.
void deleteEventLogSource(const UsageIndex& inUse, const char* source) {
    if (source[0] == '\0' || inUse.serviceUsed(source)) return;
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

void deleteEventLogSources(const DeviceRecord& record, const UsageIndex& inUse) {
    deleteEventLogSource(inUse, record.service);
    deleteEventLogSource(inUse, record.lowerFilters);  // its first string
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
    uint32_t removed = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (removeMatchingDevice(net, record.deviceDesc, record.pattern)) ++removed;
    }
    if (removed == 0) return RemovalResult::RemovalFailed;
    // Instances without a hardware ID under the device's own key go too;
    // there are none to look for when that key has gone.
    if (countSubkeys(kUsbEnumRoot, record.pattern) > 0) {
        const int leftovers = removeLeftoverInstances(record);
        if (leftovers < 0) return RemovalResult::RemovalFailed;
        removed += static_cast<uint32_t>(leftovers);
    }

    const UsageIndex inUse(record, true, false);
    if (inUse.slotLeft()) return RemovalResult::RemovalFailed;

    // Windows' own INFs stay, and so does a driver file outside the Windows
    // directory; files a staying device uses are kept.
    char* infPath = infFilePath(slot);
    const bool infKept = !isOemInfName(fileNamePart(infPath)) || inUse.infUsed(infPath);
    const char* driverPath = driverFilePath(slot);
    const char* driverService =
        record.lowerFilters[0] != '\0' ? record.lowerFilters : record.service;
    const bool driverKept = !isPathInside(driverPath, inUse.windowsDir()) ||
                            inUse.serviceUsed(driverService) || inUse.fileUsed(driverPath);
    if (!infKept) deleteFileForced(infPath);
    if (makePrecompiledInfPath(infPath) && !infKept) deleteFileForced(infPath);
    if (!driverKept) deleteFileForced(driverPath);
    deleteEventLogSources(record, inUse);
    record.removedCount = removed;
    return RemovalResult::Removed;
}
