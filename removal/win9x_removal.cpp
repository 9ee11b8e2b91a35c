#include "removal/win9x_removal.h"

#include "detection/bounded_text.h"
#include "detection/device_installer.h"
#include "discovery/install_paths.h"
#include "discovery/registry_helpers.h"
#include "removal/shared_use.h"

#include <cstring>

namespace {

const char kClassRoot[] = "System\\CurrentControlSet\\Services\\Class\\";
const char kNetClassKey[] = "System\\CurrentControlSet\\Services\\Class\\Net";
const char kDeviceClassesRoot[] = "System\\CurrentControlSet\\Control\\DeviceClasses\\";

// One deletion of a matching subkey; true only when a key was really removed,
// which is what lets a repeat loop start another pass.
bool deleteOneMatch(const char* keyPath, const char* valueName, const char* pattern, bool exact,
                    const KeptSubkeys* kept = nullptr) {
    bool deleted = false;
    return deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, keyPath, valueName, pattern, exact,
                                     &deleted, kept) &&
           deleted;
}

// A network class key that a device of another pattern still has as its
// driver key stays, whatever its description (a key that cannot be named
// stays too).
bool classKeyInUse(const char* subkeyName, const void* context) {
    const DeviceRecord& record = *static_cast<const DeviceRecord*>(context);
    char driverKey[kPathBufferSize];
    if (!joinText(driverKey, {"Net\\", subkeyName})) return true;
    return driverKeyStillUsed(record.pattern, driverKey);
}

}  // namespace

void scrub9xRegistry(const DeviceRecord& record) {
    // An empty pattern would match every key.
    if (record.pattern[0] == '\0') return;

    // Windows 98/ME deletes a key with its whole subtree: the instances go
    // with their device key.
    deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Enum\\USB", nullptr, record.pattern, false);

    const KeptSubkeys inUse = {classKeyInUse, &record};
    for (;;) {
        if (deleteOneMatch(kNetClassKey, "MatchingDeviceId", record.pattern, false, &inUse)) {
            continue;
        }
        if (record.deviceDesc[0] != '\0' &&
            deleteOneMatch(kNetClassKey, "DriverDesc", record.deviceDesc, true, &inUse)) {
            continue;
        }
        break;
    }

    // "...#{serial}#{interface class}": the class is the last brace group.
    const char* interfaceClass = std::strrchr(record.symbolicName, '{');
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
    // Files a device of another pattern still uses are kept: the INF when its
    // class key names the same INF, the driver file when its class key names
    // the same network driver.
    const char* infPath = infFilePath(slot);
    const char* driverPath = driverFilePath(slot);
    if (!infStillUsed(record.pattern, kClassRoot, fileNamePart(infPath))) {
        deleteFileForced(infPath);
    }
    if (!miniportStillUsed(record.pattern, kClassRoot, fileNamePart(driverPath))) {
        deleteFileForced(driverPath);
    }
    scrub9xRegistry(record);
    return RemovalResult::Removed;
}
