#include "removal/win9x_removal.h"

#include "detection/bounded_text.h"
#include "detection/device_installer.h"
#include "discovery/install_paths.h"
#include "discovery/registry_helpers.h"
#include "removal/usage_index.h"

#include <cstring>

namespace {

const char kNetClassKey[] = "System\\CurrentControlSet\\Services\\Class\\Net";
const char kDeviceClassesRoot[] = "System\\CurrentControlSet\\Control\\DeviceClasses\\";

// One deletion of a matching subkey: true only when a key was really
// removed, which is what lets a repeat loop start another pass. A match the
// platform refused to delete sets `refused`.
bool deleteOneMatch(const char* keyPath, const char* valueName, const char* pattern, bool exact,
                    bool* refused, const KeptSubkeys* kept = nullptr) {
    bool deleted = false;
    const bool matched = deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, keyPath, valueName, pattern,
                                                   exact, &deleted, kept);
    if (matched && !deleted) *refused = true;
    return matched && deleted;
}

// A network class key that a staying device still has as its driver key
// stays, whatever its description (a key that cannot be named stays too).
bool classKeyInUse(const char* subkeyName, const void* context) {
    const UsageIndex& inUse = *static_cast<const UsageIndex*>(context);
    char driverKey[kPathBufferSize];
    if (!joinText(driverKey, {"Net\\", subkeyName})) return true;
    return inUse.driverKeyUsed(driverKey);
}

// An enumeration key below Enum\USB that a staying device lives in stays:
// another function of the same hardware has a key of its own whose name
// also contains the pattern.
bool deviceKeyInUse(const char* subkeyName, const void* context) {
    const UsageIndex& inUse = *static_cast<const UsageIndex*>(context);
    char deviceKey[kPathBufferSize];
    if (!joinText(deviceKey, {"USB\\", subkeyName})) return true;
    return inUse.deviceKeyUsed(deviceKey);
}

// The interface class of a symbolic name "\\?\<bus>#<device>#<instance>#{class}"
// with an optional reference string "\<ref>" after it: the first "{...}"
// group that follows a '#' and ends the name or comes before its reference
// string, copied into `out` (260 bytes). False when there is none.
bool interfaceClassOf(const char* symbolicName, char* out) {
    for (const char* open = std::strchr(symbolicName, '{'); open != nullptr;
         open = std::strchr(open + 1, '{')) {
        if (open == symbolicName || open[-1] != '#') continue;
        const char* close = std::strchr(open, '}');
        if (close == nullptr) return false;
        if (close[1] != '\0' && close[1] != '\\') continue;
        const size_t length = static_cast<size_t>(close - open) + 1;
        if (length >= kPathBufferSize) return false;
        std::memcpy(out, open, length);
        out[length] = '\0';
        return true;
    }
    return false;
}

}  // namespace

bool scrub9xRegistry(const DeviceRecord& record, const UsageIndex& inUse) {
    // An empty pattern would match every key.
    if (record.pattern[0] == '\0') return true;
    bool refused = false;

    // Windows 98/ME deletes a key with its whole subtree: the instances go
    // with their device key.
    const KeptSubkeys staying = {deviceKeyInUse, &inUse};
    deleteOneMatch("Enum\\USB", nullptr, record.pattern, false, &refused, &staying);

    const KeptSubkeys inUseKeys = {classKeyInUse, &inUse};
    for (;;) {
        if (deleteOneMatch(kNetClassKey, "MatchingDeviceId", record.pattern, false, &refused,
                           &inUseKeys)) {
            continue;
        }
        if (record.deviceDesc[0] != '\0' &&
            deleteOneMatch(kNetClassKey, "DriverDesc", record.deviceDesc, true, &refused,
                           &inUseKeys)) {
            continue;
        }
        break;
    }

    char interfaceClass[kPathBufferSize];
    char keyPath[kPathBufferSize];
    if (interfaceClassOf(record.symbolicName, interfaceClass) &&
        joinText(keyPath, {kDeviceClassesRoot, interfaceClass})) {
        while (deleteOneMatch(keyPath, "DeviceInstance", record.pattern, false, &refused)) {
        }
    }
    return !refused;
}

bool scrub9xRegistry(const DeviceRecord& record) {
    const UsageIndex inUse(record, false, true);
    return scrub9xRegistry(record, inUse);
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
    // Files a staying device uses are kept: the INF when its class key names
    // the same INF, the driver file when its class key names the same
    // network driver; a driver file outside the Windows directory too.
    const UsageIndex inUse(record, false, true);
    const char* infPath = infFilePath(slot);
    const char* driverPath = driverFilePath(slot);
    if (!inUse.infUsed(infPath)) deleteFileForced(infPath);
    if (isPathInside(driverPath, inUse.windowsDir()) && !inUse.fileUsed(driverPath)) {
        deleteFileForced(driverPath);
    }
    if (!scrub9xRegistry(record, inUse)) return RemovalResult::RemovalFailed;
    record.removedCount = 1;
    return RemovalResult::Removed;
}
