#include "discovery/win9x_discovery.h"

#include "detection/bounded_text.h"
#include "discovery/install_paths.h"
#include "discovery/registry_helpers.h"
#include "discovery/registry_key.h"

namespace {

const char kClassRoot[] = "System\\CurrentControlSet\\Services\\Class\\";
const char kOwnDriver[] = "kestrelm.sys";

}  // namespace

bool read9xSymbolicName(DeviceRecord& record) {
    record.symbolicName[0] = '\0';

    char keyPath[kPathBufferSize];
    if (!joinText(keyPath, {"Enum\\USB\\", record.pattern})) return false;
    RegistryKey key(HKEY_LOCAL_MACHINE, keyPath);
    if (!key.valid()) return false;

    char instance[kPathBufferSize];
    DWORD length = sizeof instance;
    FILETIME written;
    if (RegEnumKeyExA(key.get(), 0, instance, &length, nullptr, nullptr, nullptr, &written) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD size = sizeof record.symbolicName;
    return readRegistryValue(key.get(), instance, "SymbolicName", record.symbolicName, &size);
}

int read9xInstallInfo(const DeviceRecord& record, char* infName, char* driverName) {
    infName[0] = '\0';
    driverName[0] = '\0';

    char keyPath[kPathBufferSize];
    if (!joinText(keyPath, {kClassRoot, record.driver})) return -1;
    DWORD size = kPathBufferSize;
    if (!readRegistryValue(HKEY_LOCAL_MACHINE, keyPath, "InfPath", infName, &size)) return -1;
    size = kPathBufferSize;
    if (!readRegistryValue(HKEY_LOCAL_MACHINE, keyPath, "NTMPDriver", driverName, &size)) {
        return -1;
    }

    return normalize9xDriverName(driverName);
}

int normalize9xDriverName(char* driverName) {
    lowerText(driverName);
    if (containsText(driverName, kOwnDriver)) {
        joinText(driverName, kPathBufferSize, {kOwnDriver});
        return 1;
    }
    return 0;
}

bool discover9xInstallation(int slot, const char* windowsDir, DeviceRecord& record) {
    if (!isValidSlot(slot) || windowsDir == nullptr) return false;

    read9xSymbolicName(record);  // an empty name only shortens the registry scrub

    char infName[kPathBufferSize];
    char driverName[kPathBufferSize];
    const int kind = read9xInstallInfo(record, infName, driverName);
    if (kind == -1) return false;
    if (!isBareFileName(infName) || hasParentComponent(driverName)) return false;

    char infPath[kPathBufferSize];
    char driverPath[kPathBufferSize];
    if (!joinText(infPath, {windowsDir, "\\Inf\\Other\\", infName})) return false;
    // An empty driver name names no file: there is none to delete.
    if (!resolve9xDriverPath(driverName, kind == 1, windowsDir, driverPath)) return false;

    joinText(infFilePath(slot), kPathBufferSize, {infPath});
    joinText(driverFilePath(slot), kPathBufferSize, {driverPath});
    record.installCount = 1;
    return true;
}
