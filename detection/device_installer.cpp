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

// Gives `device` of `set` the class-install parameters `header` (`size`
// bytes, its InstallFunction set) and calls the class installer for that
// function. False when the parameters are refused; otherwise true, with the
// installer's result in `installerResult`.
bool callInstaller(HDEVINFO set, SP_DEVINFO_DATA& device, SP_CLASSINSTALL_HEADER& header,
                   DWORD size, bool* installerResult) {
    header.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    if (!SetupDiSetClassInstallParamsA(set, &device, &header, size)) return false;
    *installerResult = SetupDiCallClassInstaller(header.InstallFunction, set, &device) != FALSE;
    return true;
}

// callInstaller for the first device that passes findDevice. False when no
// device matches or the parameters are refused.
bool callInstallerForMatchingDevice(const GUID* classGuid, const char* description,
                                    const char* pattern, SP_CLASSINSTALL_HEADER& header, DWORD size,
                                    bool* installerResult) {
    DeviceSet set(classGuid);
    if (!set.valid()) return false;

    SP_DEVINFO_DATA device;
    if (!findDevice(set.get(), description, pattern, device)) return false;
    return callInstaller(set.get(), device, header, size, installerResult);
}

// The parameters of DIF_REMOVE, global scope.
SP_REMOVEDEVICE_PARAMS removeParams() {
    SP_REMOVEDEVICE_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    return params;
}

bool isNetworkDevice(const SP_DEVINFO_DATA& device) {
    return std::memcmp(&device.ClassGuid, networkClassGuid(), sizeof(GUID)) == 0;
}

// A leftover instance of the slot's own device key: a network device (the
// caller checks the class) below "USB\<pattern>\" without a hardware ID
// that runs the record's service. `instanceId` and `service` (260 bytes
// each) are the caller's room.
bool isLeftoverInstance(HDEVINFO set, SP_DEVINFO_DATA& device, const DeviceRecord& record,
                        char* instanceId, char* service) {
    instanceId[0] = '\0';
    service[0] = '\0';
    if (record.service[0] == '\0') return false;
    char* hardwareId = service;  // room until the service is read
    const bool hasId = readProperty(set, device, SPDRP_HARDWAREID, hardwareId, kPathBufferSize) &&
                       hardwareId[0] != '\0';
    service[0] = '\0';
    if (hasId) return false;
    DWORD required = 0;
    if (!SetupDiGetDeviceInstanceIdA(set, &device, instanceId, kPathBufferSize, &required) ||
        !isTerminatedText(instanceId, kPathBufferSize)) {
        instanceId[0] = '\0';
        return false;
    }
    // "USB\<pattern>\<instance>", the instance a single name.
    const char* rest = instanceId + 4;
    const size_t patternLength = std::strlen(record.pattern);
    if (!startsWithNoCase(instanceId, "USB\\") || !startsWithNoCase(rest, record.pattern) ||
        rest[patternLength] != '\\' || rest[patternLength + 1] == '\0' ||
        std::strchr(rest + patternLength + 1, '\\') != nullptr) {
        return false;
    }
    return readProperty(set, device, SPDRP_SERVICE, service, kPathBufferSize) &&
           equalTextNoCase(service, record.service);
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
    SP_REMOVEDEVICE_PARAMS params = removeParams();
    bool removed = false;
    return callInstallerForMatchingDevice(classGuid, description, pattern,
                                          params.ClassInstallHeader, sizeof params, &removed) &&
           removed;
}

bool walkDevices(const DeviceRecord& record, bool instanceIds,
                 void (*visit)(const DeviceUse& device, void* context), void* context) {
    // An empty pattern would make every network device the slot's.
    if (record.pattern[0] == '\0' || visit == nullptr) return false;
    DeviceSet set(nullptr, DIGCF_ALLCLASSES | DIGCF_PROFILE);
    if (!set.valid()) return false;
    const HDEVINFO handle = set.get();
    SP_DEVINFO_DATA device;
    DeviceUse use;
    char text[kPathBufferSize];
    for (DWORD index = 0;; ++index) {
        std::memset(&device, 0, sizeof device);
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(handle, index, &device)) break;

        // Only a network device can be the slot's: the class comes with the
        // enumeration, so a device of another class costs no read here.
        use.leaves = use.ofSlot = false;
        if (isNetworkDevice(device)) {
            if (readProperty(handle, device, SPDRP_HARDWAREID, text, sizeof text) &&
                text[0] != '\0') {
                upperText(text);  // the first string only, as the probe compares
                use.ofSlot = containsText(text, record.pattern);
                use.leaves = use.ofSlot &&
                             readProperty(handle, device, SPDRP_DEVICEDESC, text, sizeof text) &&
                             equalTextNoCase(text, record.deviceDesc);
            } else {
                use.ofSlot = use.leaves =
                    isLeftoverInstance(handle, device, record, use.instanceId, use.service);
            }
        }
        use.instanceId[0] = '\0';
        if (!use.leaves) {
            readProperty(handle, device, SPDRP_SERVICE, use.service, sizeof use.service);
            readProperty(handle, device, SPDRP_DRIVER, use.driver, sizeof use.driver);
            readProperty(handle, device, SPDRP_LOWERFILTERS, use.lowerFilters,
                         sizeof use.lowerFilters);
            readProperty(handle, device, SPDRP_UPPERFILTERS, use.upperFilters,
                         sizeof use.upperFilters);
            DWORD required = 0;
            if (instanceIds && (!SetupDiGetDeviceInstanceIdA(handle, &device, use.instanceId,
                                                             sizeof use.instanceId, &required) ||
                                !isTerminatedText(use.instanceId, sizeof use.instanceId))) {
                use.instanceId[0] = '\0';
            }
        }
        visit(use, context);
    }
    return true;
}

int removeLeftoverInstances(const DeviceRecord& record) {
    if (record.pattern[0] == '\0') return 0;
    DeviceSet set(networkClassGuid());
    if (!set.valid()) return -1;
    // Removed while the walk goes on in the same set: a set keeps its
    // members' places when one of them is removed.
    int removed = 0;
    SP_DEVINFO_DATA device;
    char instanceId[kPathBufferSize];
    char service[kPathBufferSize];
    for (DWORD index = 0;; ++index) {
        std::memset(&device, 0, sizeof device);
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) return removed;
        if (!isLeftoverInstance(set.get(), device, record, instanceId, service)) continue;
        SP_REMOVEDEVICE_PARAMS params = removeParams();
        bool done = false;
        if (!callInstaller(set.get(), device, params.ClassInstallHeader, sizeof params, &done) ||
            !done) {
            return -1;
        }
        ++removed;
    }
}

bool enableMatchingDevice(const GUID* classGuid, const char* description, const char* pattern) {
    return changeMatchingDeviceState(classGuid, description, pattern, DICS_ENABLE);
}
