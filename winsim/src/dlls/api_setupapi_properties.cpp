// What the device installer tells of a set's device: its registry
// properties and its instance ID.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "winsim/api/win32_registry.h"
#include "winsim/api/win32_setupapi.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/dlls/calls.h"
#include "winsim/src/dlls/device_sets.h"

namespace winsim {
namespace {

// Property code -> value name; nullptr for codes that name no property.
const char* propertyValueName(DWORD property) {
    switch (property) {
        case SPDRP_DEVICEDESC:
            return "DeviceDesc";
        case SPDRP_HARDWAREID:
            return "HardwareID";
        case SPDRP_COMPATIBLEIDS:
            return "CompatibleIDs";
        case SPDRP_SERVICE:
            return "Service";
        case SPDRP_CLASS:
            return "Class";
        case SPDRP_CLASSGUID:
            return "ClassGUID";
        case SPDRP_DRIVER:
            return "Driver";
        case SPDRP_CONFIGFLAGS:
            return "ConfigFlags";
        case SPDRP_MFG:
            return "Mfg";
        case SPDRP_FRIENDLYNAME:
            return "FriendlyName";
        case SPDRP_UPPERFILTERS:
            return "UpperFilters";
        case SPDRP_LOWERFILTERS:
            return "LowerFilters";
        default:
            return nullptr;
    }
}

// 9x keeps the hardware IDs as one comma-separated string: the IDs of
// `ids` as a list of strings.
std::string idList(std::string_view ids) {
    std::string list;
    size_t start = 0;
    while (start <= ids.size()) {
        const size_t comma = std::min(ids.find(',', start), ids.size());
        std::string_view id = ids.substr(start, comma - start);
        while (!id.empty() && id.front() == ' ') id.remove_prefix(1);
        while (!id.empty() && id.back() == ' ') id.remove_suffix(1);
        if (!id.empty()) list.append(id).append(1, '\0');
        start = comma + 1;
    }
    list += '\0';
    return list;
}

// A walk reads the properties of a set's devices in their order, and each
// device's key and lines lie somewhere in a large image: the next ones are
// asked for ahead (the key two devices on, the lines of the next one, whose
// key the read before asked for).
void prefetchAfter(const Machine& m, const DeviceSet& set, const Device& d) {
    const size_t at = static_cast<size_t>(&d - set.devices.data());
    if (at + 2 < set.devices.size()) __builtin_prefetch(set.devices[at + 2].at);
    if (at + 1 >= set.devices.size()) return;
    const Device& next = set.devices[at + 1];
    if (next.key.expired() || !next.at->valuesInText() || next.at->blocks.empty()) return;
    const std::string_view text = m.registry.source.view();
    // All of its first block's lines (a device's run to a few hundred bytes),
    // asked for once: when the read before was the device's first.
    const KeyBlock& block = *next.at->blocks.begin();
    if (block.end > text.size() || block.begin >= block.end) return;
    const size_t end = std::min<size_t>(block.end, block.begin + 1024);
    for (size_t p = block.begin; p < end; p += 64) __builtin_prefetch(text.data() + p);
}

}  // namespace
}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    if (!admitCall("SetupDiGetDeviceRegistryPropertyA", [&] {
            return "SetupDiGetDeviceRegistryPropertyA(" +
                   deviceForLog(DeviceInfoSet, DeviceInfoData) + ", " + std::to_string(Property) +
                   ")";
        })) {
        return FALSE;
    }
    DeviceCall call;
    if (const DWORD error = startDeviceCall(DeviceInfoSet, DeviceInfoData, false, &call)) {
        return failWith(error == ERROR_INVALID_USER_BUFFER ? ERROR_INVALID_PARAMETER : error,
                        FALSE);
    }
    const Machine& m = *call.machine;
    const char* valueName = propertyValueName(Property);
    if (!valueName) return failWith(ERROR_INVALID_REG_PROPERTY, FALSE);
    if (!PropertyBuffer && PropertyBufferSize) return failWith(ERROR_INVALID_PARAMETER, FALSE);
    prefetchAfter(m, *call.set, *call.device);
    RegKey* instance = instanceKey(m, *call.device);
    if (!instance) return failWith(ERROR_NO_SUCH_DEVINST, FALSE);
    const RegValue* v = instance->findValue(valueName);
    if (!v) return failWith(ERROR_INVALID_DATA, FALSE);
    DWORD type = v->type;
    // The value's own bytes unless they need a change (nearly never).
    std::string_view data(reinterpret_cast<const char*>(v->data.data()), v->data.size());
    std::string changed;
    if (Property == SPDRP_HARDWAREID && m.platform == Platform::Win9x && type == REG_SZ) {
        changed = idList(data.substr(0, data.find('\0')));
        data = changed;
        type = REG_MULTI_SZ;
    }
    // ASCII reads the same in every code page.
    if (isStringType(type) && !isAscii(data)) {
        changed = toAnsi(m, std::string(data));
        data = changed;
    }
    if (RequiredSize) *RequiredSize = static_cast<DWORD>(data.size());
    if (PropertyRegDataType) *PropertyRegDataType = type;
    if (PropertyBufferSize < data.size()) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    if (!data.empty()) std::memcpy(PropertyBuffer, data.data(), data.size());
    return succeed();
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                        PDWORD RequiredSize) {
    if (!admitCall("SetupDiGetDeviceInstanceIdA", [&] {
            return "SetupDiGetDeviceInstanceIdA(" + deviceForLog(DeviceInfoSet, DeviceInfoData) +
                   ")";
        })) {
        return FALSE;
    }
    DeviceCall call;
    if (const DWORD error = startDeviceCall(DeviceInfoSet, DeviceInfoData, false, &call)) {
        return failWith(error, FALSE);
    }
    if (!DeviceInstanceId && DeviceInstanceIdSize) return failWith(ERROR_INVALID_PARAMETER, FALSE);
    // The device installer hands instance IDs out in capitals.
    std::string id = toAnsi(*call.machine, std::string(call.device->instanceId));
    for (char& c : id) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    const DWORD size = static_cast<DWORD>(id.size() + 1);
    if (RequiredSize) *RequiredSize = size;
    if (DeviceInstanceIdSize < size) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(DeviceInstanceId, id.c_str(), size);
    return succeed();
}

}  // extern "C"
