#include "detection/device_installer.h"

#include "detection/bounded_text.h"
#include "detection/device_set.h"

#include <cstring>

// The size the platform expects in cbSize: 28 bytes on 32-bit builds.
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA layout");

namespace {

// Reads a string property into `buffer` as a zero-terminated string. A
// property that cannot be read, or that fills the buffer without a zero,
// leaves the buffer empty and gives false.
bool readProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property, char* buffer, DWORD size) {
    std::memset(buffer, 0, size);
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr,
                                           reinterpret_cast<PBYTE>(buffer), size, &required)) {
        buffer[0] = '\0';
        return false;
    }
    return isTerminatedText(buffer, size);
}

// Walks the set from index 0 to the first device whose description equals
// `description` and, when `pattern` is given, whose upper-cased hardware ID
// contains it. Leaves that device in `device`.
bool findDevice(HDEVINFO set, const char* description, const char* pattern,
                SP_DEVINFO_DATA& device) {
    if (description == nullptr) return false;
    const bool checkPattern = pattern != nullptr && pattern[0] != '\0';
    for (DWORD index = 0;; ++index) {
        std::memset(&device, 0, sizeof device);
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, index, &device)) return false;

        // The record's full field: a description of up to 259 characters
        // that the probe could read compares whole.
        char deviceDesc[kPathBufferSize];
        if (!readProperty(set, device, SPDRP_DEVICEDESC, deviceDesc, sizeof deviceDesc)) continue;
        if (!equalTextNoCase(deviceDesc, description)) continue;
        if (!checkPattern) return true;

        char hardwareId[kPathBufferSize];
        if (!readProperty(set, device, SPDRP_HARDWAREID, hardwareId, sizeof hardwareId)) continue;
        upperText(hardwareId);
        if (containsText(hardwareId, pattern)) return true;
    }
}

// Gives the first device that passes findDevice the class-install
// parameters `header` (`size` bytes, its InstallFunction set) and calls the
// class installer for that function. False when no device matches or the
// parameters are refused; otherwise the installer's result.
bool callInstallerForMatchingDevice(const GUID* classGuid, const char* description,
                                    const char* pattern, SP_CLASSINSTALL_HEADER& header, DWORD size,
                                    bool* installerResult) {
    DeviceSet set(classGuid);
    if (!set.valid()) return false;

    SP_DEVINFO_DATA device;
    if (!findDevice(set.get(), description, pattern, device)) return false;
    header.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    if (!SetupDiSetClassInstallParamsA(set.get(), &device, &header, size)) return false;
    *installerResult =
        SetupDiCallClassInstaller(header.InstallFunction, set.get(), &device) != FALSE;
    return true;
}

// Runs DIF_PROPERTYCHANGE with `stateChange`, global scope, on the first
// device that passes findDevice.
bool changeMatchingDeviceState(const GUID* classGuid, const char* description, const char* pattern,
                               DWORD stateChange) {
    SP_PROPCHANGE_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = stateChange;
    params.Scope = DICS_FLAG_GLOBAL;
    params.HwProfile = 0;
    bool called = false;
    return callInstallerForMatchingDevice(classGuid, description, pattern,
                                          params.ClassInstallHeader, sizeof params, &called);
}

}  // namespace

bool probeDevice(const GUID* classGuid, const char* pattern, DeviceRecord& record) {
    std::memset(&record, 0, sizeof record);
    if (pattern == nullptr) return false;

    DeviceSet set(classGuid);
    if (!set.valid()) return false;

    SP_DEVINFO_DATA device;
    for (DWORD index = 0;; ++index) {
        std::memset(&device, 0, sizeof device);
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) return false;

        if (!readProperty(set.get(), device, SPDRP_HARDWAREID, record.hardwareId,
                          sizeof record.hardwareId)) {
            continue;
        }
        upperText(record.hardwareId);  // the first string only: it ends at the first zero
        if (containsText(record.hardwareId, pattern)) break;
    }

    readProperty(set.get(), device, SPDRP_DEVICEDESC, record.deviceDesc, sizeof record.deviceDesc);
    readProperty(set.get(), device, SPDRP_SERVICE, record.service, sizeof record.service);
    readProperty(set.get(), device, SPDRP_DRIVER, record.driver, sizeof record.driver);
    readProperty(set.get(), device, SPDRP_LOWERFILTERS, record.lowerFilters,
                 sizeof record.lowerFilters);
    return joinText(record.pattern, {pattern});
}

bool removeMatchingDevice(const GUID* classGuid, const char* description, const char* pattern) {
    SP_REMOVEDEVICE_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    bool removed = false;
    return callInstallerForMatchingDevice(classGuid, description, pattern,
                                          params.ClassInstallHeader, sizeof params, &removed) &&
           removed;
}

bool anyStayingDevice(const char* pattern,
                      bool (*visit)(const DeviceDrivers& device, const void* context),
                      const void* context) {
    if (pattern == nullptr || pattern[0] == '\0' || visit == nullptr) return false;
    DeviceSet set(nullptr, DIGCF_ALLCLASSES | DIGCF_PROFILE);
    if (!set.valid()) return true;
    const HDEVINFO handle = set.get();
    bool visited = false;
    SP_DEVINFO_DATA device;
    DeviceDrivers drivers;
    for (DWORD index = 0; !visited; ++index) {
        std::memset(&device, 0, sizeof device);
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(handle, index, &device)) break;

        char hardwareId[kPathBufferSize];
        if (readProperty(handle, device, SPDRP_HARDWAREID, hardwareId, sizeof hardwareId)) {
            upperText(hardwareId);
            if (containsText(hardwareId, pattern)) continue;
        }
        readProperty(handle, device, SPDRP_SERVICE, drivers.service, sizeof drivers.service);
        readProperty(handle, device, SPDRP_DRIVER, drivers.driver, sizeof drivers.driver);
        readProperty(handle, device, SPDRP_LOWERFILTERS, drivers.lowerFilters,
                     sizeof drivers.lowerFilters);
        readProperty(handle, device, SPDRP_UPPERFILTERS, drivers.upperFilters,
                     sizeof drivers.upperFilters);
        visited = visit(drivers, context);
    }
    return visited;
}

bool enableMatchingDevice(const GUID* classGuid, const char* description, const char* pattern) {
    return changeMatchingDeviceState(classGuid, description, pattern, DICS_ENABLE);
}
