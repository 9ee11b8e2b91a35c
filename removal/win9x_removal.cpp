#include "removal/win9x_removal.h"

#include "detection/bounded_text.h"
#include "detection/device_installer.h"
#include "discovery/registry_helpers.h"

#include <cstring>

namespace {

const char kNetClassKey[] = "System\\CurrentControlSet\\Services\\Class\\Net";
const char kDeviceClassesRoot[] = "System\\CurrentControlSet\\Control\\DeviceClasses\\";

// One deletion of a matching subkey; true only when a key was really removed,
// which is what lets a repeat loop start another pass.
bool deleteOneMatch(const char* keyPath, const char* valueName, const char* pattern, bool exact) {
    bool deleted = false;
    return deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, keyPath, valueName, pattern, exact,
                                     &deleted) &&
           deleted;
}

}  // namespace

void scrub9xRegistry(const DeviceRecord& record) {
    // An empty pattern would match every key.
    if (record.pattern[0] == '\0') return;

    // Windows 98/ME deletes a key with its whole subtree: the instances go
    // with their device key.
    deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Enum\\USB", nullptr, record.pattern, false);

    for (;;) {
        if (deleteOneMatch(kNetClassKey, "MatchingDeviceId", record.pattern, false)) continue;
        if (record.deviceDesc[0] != '\0' &&
            deleteOneMatch(kNetClassKey, "DriverDesc", record.deviceDesc, true)) {
            continue;
        }
        break;
    }

    const char* interfaceClass = std::strchr(record.symbolicName, '{');
    if (interfaceClass == nullptr) return;
    char keyPath[kPathBufferSize];
    if (!joinText(keyPath, {kDeviceClassesRoot, interfaceClass})) return;
    while (deleteOneMatch(keyPath, "DeviceInstance", record.pattern, false)) {
    }
}

RemovalResult remove9xInstallation(int slot, DeviceRecord& record) {
    if (!isValidSlot(slot)) return RemovalResult::RemovalFailed;
    if (record.pattern[0] == '\0') return RemovalResult::NotFound;  // never probed
    const GUID* net = networkClassGuid();
    if (!enableMatchingDevice(net, record.deviceDesc, record.pattern)) {
        return RemovalResult::NotFound;
    }
    if (!removeMatchingDevice(net, record.deviceDesc, record.pattern)) {
        return RemovalResult::RemovalFailed;
    }
    deleteFileForced(infFilePath(slot));
    deleteFileForced(driverFilePath(slot));
    scrub9xRegistry(record);
    return RemovalResult::Removed;
}
