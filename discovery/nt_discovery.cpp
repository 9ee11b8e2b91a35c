#include "discovery/nt_discovery.h"

#include "detection/bounded_text.h"
#include "discovery/install_paths.h"
#include "discovery/registry_helpers.h"

#include <cstring>

namespace {

const char kClassRoot[] = "System\\CurrentControlSet\\Control\\Class\\";
const char kServicesRoot[] = "System\\CurrentControlSet\\Services\\";
const char kUsbEnumRoot[] = "System\\CurrentControlSet\\Enum\\USB\\";

// Prefixes of an image path that Windows resolves against its own directory.
const char* const kSystemRootPrefixes[] = {"\\SystemRoot\\", "%SystemRoot%\\"};
// Prefix of an absolute path in the object namespace, "\??\C:\...".
const char kObjectPathPrefix[] = "\\??\\";

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

namespace {

// True for "X:\..." (either separator): an absolute path on a drive.
bool isDrivePath(const char* path) {
    const char letter = path[0];
    const bool isLetter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
    return isLetter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// The part of the absolute `path` below `dir` (after the separator that
// follows it), or nullptr when `path` is not inside `dir`.
const char* pathBelow(const char* path, const char* dir) {
    char prefix[kPathBufferSize];
    if (!joinText(prefix, {dir})) return nullptr;
    size_t length = std::strlen(prefix);
    while (length > 0 && (prefix[length - 1] == '\\' || prefix[length - 1] == '/')) --length;
    prefix[length] = '\0';
    if (length == 0 || !startsWithNoCase(path, prefix)) return nullptr;
    const char* rest = path + length;
    if (*rest != '\\' && *rest != '/') return nullptr;
    while (*rest == '\\' || *rest == '/') ++rest;
    return rest;
}

// The image path relative to the Windows directory: "\SystemRoot\" and
// "%SystemRoot%\" forms and absolute forms ("\??\C:\...", "C:\...") inside
// the Windows directory lose their prefix; a relative path stays as stored.
// nullptr for an absolute path outside the Windows directory.
const char* relativeImagePath(const char* imagePath, const char* windowsDir) {
    for (const char* prefix : kSystemRootPrefixes) {
        if (startsWithNoCase(imagePath, prefix)) return imagePath + std::strlen(prefix);
    }
    const bool objectPath = std::strncmp(imagePath, kObjectPathPrefix, 4) == 0;
    const char* absolute = objectPath ? imagePath + 4 : imagePath;
    if (isDrivePath(absolute)) return pathBelow(absolute, windowsDir);
    return objectPath ? nullptr : imagePath;
}

}  // namespace

bool discoverNtInstallation(int slot, const char* windowsDir, DeviceRecord& record) {
    if (!isValidSlot(slot) || windowsDir == nullptr) return false;

    char infName[kPathBufferSize];
    char imagePath[kPathBufferSize];
    if (readNtInstallInfo(record, infName, imagePath) == -1) return false;
    if (!isBareFileName(infName) || hasParentComponent(imagePath)) return false;

    char infPath[kPathBufferSize];
    char driverPath[kPathBufferSize] = "";
    if (!joinText(infPath, {windowsDir, "\\Inf\\", infName})) return false;
    // An empty image path names no file: there is none to delete.
    if (imagePath[0] != '\0') {
        const char* relative = relativeImagePath(imagePath, windowsDir);
        if (relative == nullptr || relative[0] == '\0') return false;
        if (!joinText(driverPath, {windowsDir, "\\", relative})) return false;
    }

    joinText(infFilePath(slot), kPathBufferSize, {infPath});
    joinText(driverFilePath(slot), kPathBufferSize, {driverPath});
    record.installCount = countSubkeys(kUsbEnumRoot, record.pattern);
    return true;
}
