#include "removal/shared_use.h"

#include "detection/bounded_text.h"
#include "detection/device_installer.h"
#include "discovery/registry_helpers.h"
#include "discovery/win9x_discovery.h"

#include <cstring>

namespace {

struct Query {
    const char* classRoot;
    const char* name;
};

bool readValue(const char* keyPath, const char* valueName, char* buffer) {
    DWORD size = kPathBufferSize;
    return readRegistryValue(HKEY_LOCAL_MACHINE, keyPath, valueName, buffer, &size);
}

// True when the multi-string in `list` (`capacity` bytes) has the entry
// `name`; an entry cut off by the end of the buffer is not looked at.
bool listHas(const char* list, size_t capacity, const char* name) {
    size_t at = 0;
    while (at < capacity && list[at] != '\0') {
        const void* end = std::memchr(list + at, '\0', capacity - at);
        if (end == nullptr) return false;
        if (equalTextNoCase(list + at, name)) return true;
        at = static_cast<size_t>(static_cast<const char*>(end) - list) + 1;
    }
    return false;
}

// The key the device's Driver value names; false when it has none or the
// path does not fit.
bool driverKeyPath(const DeviceDrivers& device, const char* classRoot, char* path) {
    return device.driver[0] != '\0' && joinText(path, kPathBufferSize, {classRoot, device.driver});
}

bool keyFiltersHave(const char* keyPath, const char* name) {
    char list[kPathBufferSize];
    for (const char* value : {"LowerFilters", "UpperFilters"}) {
        if (readValue(keyPath, value, list) && listHas(list, sizeof list, name)) return true;
    }
    return false;
}

bool usesService(const DeviceDrivers& device, const void* context) {
    const Query& query = *static_cast<const Query*>(context);
    if (equalTextNoCase(device.service, query.name) ||
        listHas(device.lowerFilters, sizeof device.lowerFilters, query.name) ||
        listHas(device.upperFilters, sizeof device.upperFilters, query.name)) {
        return true;
    }
    char keyPath[kPathBufferSize];
    if (!driverKeyPath(device, query.classRoot, keyPath)) return false;
    if (keyFiltersHave(keyPath, query.name)) return true;
    // The setup class key is the driver key's parent.
    char* last = std::strrchr(keyPath, '\\');
    if (last == nullptr || last < keyPath + std::strlen(query.classRoot)) return false;
    *last = '\0';
    return keyFiltersHave(keyPath, query.name);
}

bool usesInf(const DeviceDrivers& device, const void* context) {
    const Query& query = *static_cast<const Query*>(context);
    char keyPath[kPathBufferSize];
    char infName[kPathBufferSize];
    return driverKeyPath(device, query.classRoot, keyPath) &&
           readValue(keyPath, "InfPath", infName) && equalTextNoCase(infName, query.name);
}

bool usesDriverKey(const DeviceDrivers& device, const void* context) {
    return equalTextNoCase(device.driver, static_cast<const Query*>(context)->name);
}

bool usesMiniport(const DeviceDrivers& device, const void* context) {
    const Query& query = *static_cast<const Query*>(context);
    char keyPath[kPathBufferSize];
    char driverName[kPathBufferSize];
    if (!driverKeyPath(device, query.classRoot, keyPath) ||
        !readValue(keyPath, "NTMPDriver", driverName)) {
        return false;
    }
    normalize9xDriverName(driverName);
    return equalTextNoCase(driverName, query.name);
}

bool stillUsed(const char* pattern, const char* classRoot, const char* name,
               bool (*uses)(const DeviceDrivers&, const void*)) {
    if (name == nullptr || name[0] == '\0') return false;
    const Query query = {classRoot, name};
    return anyStayingDevice(pattern, uses, &query);
}

}  // namespace

bool serviceStillUsed(const char* pattern, const char* classRoot, const char* service) {
    return stillUsed(pattern, classRoot, service, usesService);
}

bool infStillUsed(const char* pattern, const char* classRoot, const char* infName) {
    return stillUsed(pattern, classRoot, infName, usesInf);
}

bool driverKeyStillUsed(const char* pattern, const char* driverKey) {
    return stillUsed(pattern, "", driverKey, usesDriverKey);
}

bool miniportStillUsed(const char* pattern, const char* classRoot, const char* driverName) {
    return stillUsed(pattern, classRoot, driverName, usesMiniport);
}
