#include "removal/usage_index.h"

#include "detection/bounded_text.h"
#include "discovery/install_paths.h"
#include "discovery/registry_helpers.h"
#include "discovery/registry_key.h"
#include "discovery/win9x_discovery.h"

#include <cstring>

namespace {

const char kNtClassRoot[] = "System\\CurrentControlSet\\Control\\Class";
const char k9xClassRoot[] = "System\\CurrentControlSet\\Services\\Class";
const char kServicesRoot[] = "System\\CurrentControlSet\\Services";

bool readValue(const char* root, const char* key, const char* valueName, char* buffer) {
    char path[kPathBufferSize];
    DWORD size = kPathBufferSize;
    return joinText(path, {root, "\\", key}) &&
           readRegistryValue(HKEY_LOCAL_MACHINE, path, valueName, buffer, &size);
}

// `path` as the comparison of paths sees it: '/' is '\' and a run of
// separators is one. False when it does not fit.
bool comparablePath(const char* path, char* out) {
    size_t used = 0;
    for (const char* p = path; *p != '\0'; ++p) {
        const char c = *p == '/' ? '\\' : *p;
        if (c == '\\' && used > 0 && out[used - 1] == '\\') continue;
        if (used + 1 >= kPathBufferSize) return false;
        out[used++] = c;
    }
    out[used] = '\0';
    return true;
}

// The part of `name` before its last backslash, into `out`; false when it
// has none.
bool parentPart(const char* name, char* out) {
    const char* last = std::strrchr(name, '\\');
    if (last == nullptr || last == name) return false;
    const size_t length = static_cast<size_t>(last - name);
    std::memcpy(out, name, length);
    out[length] = '\0';
    return true;
}

}  // namespace

UsageIndex::UsageIndex(const DeviceRecord& record, bool nt, bool instanceIds) : nt_(nt) {
    const UINT length = GetWindowsDirectoryA(windowsDir_, sizeof windowsDir_);
    if (length == 0 || length >= sizeof windowsDir_) windowsDir_[0] = '\0';
    listClassKeys();
    if (!walkDevices(record, instanceIds, visitDevice, this)) {
        complete_ = false;
        return;
    }
    classes_.forEach(readClass, this);
    classKeys_.forEach(readDriverKey, this);
    if (nt_) services_.forEach(readService, this);
}

// Every setup class key and every driver key below it, unmarked: the walk
// marks the ones staying devices use, and only those are read.
void UsageIndex::listClassKeys() {
    RegistryKey root(HKEY_LOCAL_MACHINE, nt_ ? kNtClassRoot : k9xClassRoot);
    if (!root.valid()) return;
    char name[kPathBufferSize];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        FILETIME written;
        if (RegEnumKeyExA(root.get(), index, name, &size, nullptr, nullptr, nullptr, &written) !=
            ERROR_SUCCESS) {
            return;
        }
        if (!classes_.add(name)) complete_ = false;
        RegistryKey classKey(root.get(), name);
        if (!classKey.valid()) continue;
        char sub[kPathBufferSize];
        char driverKey[kPathBufferSize];
        for (DWORD at = 0;; ++at) {
            size = sizeof sub;
            if (RegEnumKeyExA(classKey.get(), at, sub, &size, nullptr, nullptr, nullptr,
                              &written) != ERROR_SUCCESS) {
                break;
            }
            if (joinText(driverKey, {name, "\\", sub}) && !classKeys_.add(driverKey)) {
                complete_ = false;
            }
        }
    }
}

void UsageIndex::visitDevice(const DeviceUse& device, void* context) {
    UsageIndex& index = *static_cast<UsageIndex*>(context);
    if (device.ofSlot) index.slotLeft_ = true;
    if (device.leaves) return;
    if (device.service[0] != '\0' && !index.services_.add(device.service)) index.complete_ = false;
    index.addList(device.lowerFilters, sizeof device.lowerFilters);
    index.addList(device.upperFilters, sizeof device.upperFilters);
    char part[kPathBufferSize];
    if (device.driver[0] != '\0') {
        index.classKeys_.mark(device.driver);
        if (parentPart(device.driver, part)) index.classes_.mark(part);
    }
    if (parentPart(device.instanceId, part) && !index.deviceKeys_.add(part)) {
        index.complete_ = false;
    }
}

// The entries of the multi-string `list` (`capacity` bytes) as services;
// an entry cut off by the end of the buffer is not taken.
void UsageIndex::addList(const char* list, size_t capacity) {
    size_t at = 0;
    while (at < capacity && list[at] != '\0') {
        const void* end = std::memchr(list + at, '\0', capacity - at);
        if (end == nullptr) return;
        if (!services_.add(list + at)) complete_ = false;
        at = static_cast<size_t>(static_cast<const char*>(end) - list) + 1;
    }
}

void UsageIndex::addPath(NameSet& set, const char* path) {
    char comparable[kPathBufferSize];
    if (path[0] != '\0' && comparablePath(path, comparable) && !set.add(comparable)) {
        complete_ = false;
    }
}

void UsageIndex::readClass(const char* name, bool marked, void* context) {
    UsageIndex& index = *static_cast<UsageIndex*>(context);
    if (!marked || !index.nt_) return;
    char list[kPathBufferSize];
    for (const char* value : {"LowerFilters", "UpperFilters"}) {
        if (readValue(kNtClassRoot, name, value, list)) index.addList(list, sizeof list);
    }
}

void UsageIndex::readDriverKey(const char* name, bool marked, void* context) {
    UsageIndex& index = *static_cast<UsageIndex*>(context);
    if (!marked) return;
    const char* root = index.nt_ ? kNtClassRoot : k9xClassRoot;
    char text[kPathBufferSize];
    char path[kPathBufferSize];
    if (index.windowsDir_[0] != '\0' && readValue(root, name, "InfPath", text) &&
        joinText(path, {index.windowsDir_, index.nt_ ? "\\Inf\\" : "\\Inf\\Other\\", text})) {
        index.addPath(index.infs_, path);
    }
    if (index.nt_) {
        for (const char* value : {"LowerFilters", "UpperFilters"}) {
            if (readValue(root, name, value, text)) index.addList(text, sizeof text);
        }
    } else if (index.windowsDir_[0] != '\0' && readValue(root, name, "NTMPDriver", text)) {
        const bool own = normalize9xDriverName(text) == 1;
        if (resolve9xDriverPath(text, own, index.windowsDir_, path)) {
            index.addPath(index.files_, path);
        }
    }
}

void UsageIndex::readService(const char* name, bool, void* context) {
    UsageIndex& index = *static_cast<UsageIndex*>(context);
    char imagePath[kPathBufferSize];
    char path[kPathBufferSize];
    if (index.windowsDir_[0] != '\0' && readValue(kServicesRoot, name, "ImagePath", imagePath) &&
        resolveNtImagePath(imagePath, index.windowsDir_, path)) {
        index.addPath(index.files_, path);
    }
}

bool UsageIndex::serviceUsed(const char* service) const {
    if (service == nullptr || service[0] == '\0') return false;
    return !complete_ || services_.contains(service);
}

namespace {

bool pathIn(const NameSet& set, const char* path) {
    char comparable[kPathBufferSize];
    return !comparablePath(path, comparable) || set.contains(comparable);
}

}  // namespace

bool UsageIndex::infUsed(const char* path) const {
    return !complete_ || windowsDir_[0] == '\0' || pathIn(infs_, path);
}

bool UsageIndex::fileUsed(const char* path) const {
    return !complete_ || windowsDir_[0] == '\0' || pathIn(files_, path);
}

bool UsageIndex::driverKeyUsed(const char* driverKey) const {
    return !complete_ || classKeys_.marked(driverKey);
}

bool UsageIndex::deviceKeyUsed(const char* deviceKey) const {
    return deviceKeys_.contains(deviceKey);
}
