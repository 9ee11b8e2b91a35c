#include "discovery/nt_discovery.h"

#include "detection/bounded_text.h"
#include "discovery/install_paths.h"
#include "discovery/registry_helpers.h"

#include <cstring>

namespace {

const char kClassRoot[] = "System\\CurrentControlSet\\Control\\Class\\";
const char kServicesRoot[] = "System\\CurrentControlSet\\Services\\";
const char kUsbEnumRoot[] = "System\\CurrentControlSet\\Enum\\USB\\";

bool readValue(const char* keyPath, const char* valueName, char* buffer) {
    DWORD size = kPathBufferSize;
    return readRegistryValue(HKEY_LOCAL_MACHINE, keyPath, valueName, buffer, &size);
}

}  // namespace

int readNtInstallInfo(const DeviceRecord& record, char* infName, char* imagePath) {
    infName[0] = '\0';
    imagePath[0] = '\0';

    char keyPath[kPathBufferSize];
    if (!joinText(keyPath, {kClassRoot, record.driver})) return -1;
    if (!readValue(keyPath, "InfPath", infName)) return -1;

    // lowerFilters is a multi-string: as a C string it is its first entry.
    const bool fromFilter = record.lowerFilters[0] != '\0';
    const char* serviceName = fromFilter ? record.lowerFilters : record.service;
    if (serviceName[0] == '\0') return -1;

    if (!joinText(keyPath, {kServicesRoot, serviceName})) return -1;
    if (!readValue(keyPath, "ImagePath", imagePath)) return -1;
    return fromFilter ? 1 : 0;
}

bool discoverNtInstallation(int slot, const char* windowsDir, DeviceRecord& record) {
    if (!isValidSlot(slot) || windowsDir == nullptr) return false;

    char infName[kPathBufferSize];
    char imagePath[kPathBufferSize];
    if (readNtInstallInfo(record, infName, imagePath) == -1) return false;
    if (!isBareFileName(infName) || hasParentComponent(imagePath)) return false;

    char infPath[kPathBufferSize];
    char driverPath[kPathBufferSize];
    if (!joinText(infPath, {windowsDir, "\\Inf\\", infName})) return false;
    // An empty image path names no file: there is none to delete.
    if (!resolveNtImagePath(imagePath, windowsDir, driverPath)) return false;

    joinText(infFilePath(slot), kPathBufferSize, {infPath});
    joinText(driverFilePath(slot), kPathBufferSize, {driverPath});
    record.installCount = countSubkeys(kUsbEnumRoot, record.pattern);
    return true;
}
