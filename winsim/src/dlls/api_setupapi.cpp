// The device installer over the Enum branch of the machine's registry.
//
// NT: System\CurrentControlSet\Enum\<bus>\<device>\<instance> whose
// ClassGUID names the class. 9x: Enum\<bus>\<device>\<instance> whose
// ClassGUID names the class or whose Class is the class's name. A device
// set is a snapshot of the devices' instance keys; properties are read from
// the registry when asked for.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "winsim/api/win32_registry.h"
#include "winsim/api/win32_setupapi.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/dlls/calls.h"
#include "winsim/src/dlls/instance_classes.h"
#include "winsim/src/machine/key_text.h"

namespace winsim {
namespace {

const char kNtEnum[] = "System\\CurrentControlSet\\Enum";
const char k9xEnum[] = "Enum";
const char kNtClassKeys[] = "System\\CurrentControlSet\\Control\\Class";

struct Params {
    DI_FUNCTION function = 0;
    DWORD stateChange = 0;  // DIF_PROPERTYCHANGE
    DWORD scope = 0;
};

struct Device {
    std::string_view instanceId;  // "<bus>\<device>\<instance>", original case (in the set's ids)
    // The instance key as the set found it: a property read goes to it
    // directly while it is still in the tree (a walk over every device
    // would otherwise look its path up for every property).
    std::weak_ptr<RegKey> key;
    RegKey* at = nullptr;  // the key while `key` has not expired
    DWORD devInst = 0;
    GUID classGuid{};
    bool hasParams = false;
    Params params;
};

// Texts that stay where they are while more are added: a set's instance
// IDs, one after another in blocks (not a string each).
class TextBlocks {
public:
    std::string_view add(std::initializer_list<std::string_view> parts) {
        size_t size = 0;
        for (const std::string_view part : parts) size += part.size();
        if (blocks_.empty() || used_ + size > blockSize_) {
            blockSize_ = std::max<size_t>(kBlock, size);
            blocks_.push_back(std::make_unique<char[]>(blockSize_));
            used_ = 0;
        }
        char* const begin = blocks_.back().get() + used_;
        char* out = begin;
        for (const std::string_view part : parts) {
            std::memcpy(out, part.data(), part.size());
            out += part.size();
        }
        used_ += size;
        return std::string_view(begin, size);
    }

private:
    static constexpr size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t used_ = 0, blockSize_ = 0;
};

struct DeviceSet {
    TextBlocks ids;               // the devices' instance IDs
    std::vector<Device> devices;  // only ever appended to
    bool hasParams = false;       // parameters attached to the set itself
    Params params;

    // The device with `devInst` (the first, should two have it). `member`
    // is SP_DEVINFO_DATA.Reserved as SetupDiEnumDeviceInfo fills it (the
    // member's place + 1), tried first.
    Device* find(DWORD devInst, ULONG_PTR member) {
        if (member > 0 && member <= devices.size() && devices[member - 1].devInst == devInst) {
            return &devices[member - 1];
        }
        if (byDevInst.empty()) {
            for (size_t i = devices.size(); i-- > 0;) byDevInst[devices[i].devInst] = i;
        }
        auto it = byDevInst.find(devInst);
        return it == byDevInst.end() ? nullptr : &devices[it->second];
    }

private:
    std::unordered_map<DWORD, size_t> byDevInst;  // made when first needed
};

std::map<HDEVINFO, std::unique_ptr<DeviceSet>> g_sets;
// Folded instance ID -> DevInst, for every instance a set met (a device
// keeps its DevInst in every set): slots found by the ID's hash, the IDs
// one after another in one buffer, so that a set of every device adds
// 100,000 of them without a string or a node each.
class DevInsts {
public:
    DWORD of(std::string_view fold) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        const uint64_t hash = hashOf(fold);
        size_t at = hash & (slots_.size() - 1);
        for (; slots_[at].devInst != 0; at = (at + 1) & (slots_.size() - 1)) {
            const Slot& slot = slots_[at];
            if (slot.hash == hash && slot.length == fold.size() &&
                std::memcmp(ids_.data() + slot.offset, fold.data(), fold.size()) == 0) {
                return slot.devInst;
            }
        }
        slots_[at] = Slot{hash, ids_.size(), fold.size(), ++count_};
        ids_.append(fold);
        return count_;
    }

private:
    struct Slot {
        uint64_t hash = 0;
        size_t offset = 0, length = 0;
        DWORD devInst = 0;  // 0: a free slot
    };
    static uint64_t hashOf(std::string_view s) {
        uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (const char c : s) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        return hash;
    }
    void grow() {
        std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.devInst == 0) continue;
            size_t at = slot.hash & (slots_.size() - 1);
            while (slots_[at].devInst != 0) at = (at + 1) & (slots_.size() - 1);
            slots_[at] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::string ids_;
    DWORD count_ = 0;
};
DevInsts g_devInsts;

std::string guidText(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// Setup classes the 9x layout names by their class name.
const char* classNameOf(const std::string& guid) {
    static const struct {
        const char* guid;
        const char* name;
    } kClasses[] = {
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}", "Net"},
        {"{4D36E96C-E325-11CE-BFC1-08002BE10318}", "Media"},
        {"{4D36E97D-E325-11CE-BFC1-08002BE10318}", "System"},
        {"{36FC9E60-C465-11CF-8056-444553540000}", "USB"},
    };
    for (const auto& c : kClasses) {
        if (namesEqual(guid, c.guid)) return c.name;
    }
    return nullptr;
}

// A string value's text up to its first zero ("" for none or another type),
// as a view of the value's data.
std::string_view textOf(const RegValue* v) {
    if (!v || !isStringType(v->type)) return {};
    const std::string_view s(reinterpret_cast<const char*>(v->data.data()), v->data.size());
    return s.substr(0, s.find('\0'));
}

std::string stringOf(const RegValue* v) { return std::string(textOf(v)); }

bool isAscii(std::string_view s) {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

const char* enumRoot(const Machine& m) { return m.platform == Platform::Nt ? kNtEnum : k9xEnum; }

RegKey* instanceKey(const Machine& m, const Device& d) {
    if (!d.key.expired() && !d.at->deleted) return d.at;
    return findKeyPath(m.registry.localMachine.get(),
                       std::string(enumRoot(m)) + "\\" + std::string(d.instanceId));
}

DeviceSet* setOf(HDEVINFO h) {
    auto it = g_sets.find(h);
    return it == g_sets.end() ? nullptr : it->second.get();
}

// The set's device that `data` describes; sets the error when there is none.
Device* deviceOf(DeviceSet* set, PSP_DEVINFO_DATA data, DWORD* error) {
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        *error = ERROR_INVALID_USER_BUFFER;
        return nullptr;
    }
    if (Device* d = set->find(data->DevInst, data->Reserved)) return d;
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
}

std::string deviceForLog(HDEVINFO h, PSP_DEVINFO_DATA data) {
    DeviceSet* set = setOf(h);
    if (!set) return "<invalid set>";
    if (!data) return "<no device>";
    const Device* d = data->cbSize == sizeof(SP_DEVINFO_DATA)
                          ? set->find(data->DevInst, data->Reserved)
                          : nullptr;
    return d ? std::string(d->instanceId) : "<unknown device>";
}

const char* difName(DI_FUNCTION f) {
    switch (f) {
        case DIF_REMOVE:
            return "DIF_REMOVE";
        case DIF_PROPERTYCHANGE:
            return "DIF_PROPERTYCHANGE";
        default:
            return "DIF_OTHER";
    }
}

BOOL succeed() {
    SetLastError(NO_ERROR);
    return TRUE;
}

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

void removeDevice(Machine& m, RegKey* instance) {
    RegKey* device = instance->parent;
    const std::string driver = stringOf(instance->findValue("Driver"));
    device->removeSubkey(instance->name);
    if (m.platform != Platform::Nt) return;
    if (device->subkeys.empty() && device->parent) device->parent->removeSubkey(device->name);
    if (!driver.empty()) {
        RegKey* classKeys = findKeyPath(m.registry.localMachine.get(), kNtClassKeys);
        RegKey* driverKey = classKeys ? findKeyPath(classKeys, driver) : nullptr;
        if (driverKey && driverKey != classKeys && driverKey->parent) {
            driverKey->parent->removeSubkey(driverKey->name);
        }
    }
}

}  // namespace

void dropDeviceSets() { g_sets.clear(); }

unsigned openDeviceSets() { return static_cast<unsigned>(g_sets.size()); }

}  // namespace winsim

using namespace winsim;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
    (void)hwndParent;
    const std::string guid = ClassGuid ? guidText(*ClassGuid) : "NULL";
    Machine* m = admitMachineCall("SetupDiGetClassDevsA", [&] {
        return "SetupDiGetClassDevsA(" + guid + ", " + std::to_string(Flags) + ")";
    });
    if (!m) return INVALID_HANDLE_VALUE;
    if (Flags & DIGCF_DEVICEINTERFACE) return failWith(ERROR_INVALID_FLAGS, INVALID_HANDLE_VALUE);
    const bool all = (Flags & DIGCF_ALLCLASSES) != 0;
    if (!ClassGuid && !all) return failWith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    const std::string bus = Enumerator ? fromAnsi(*m, Enumerator) : std::string();
    const char* className = all ? nullptr : classNameOf(guid);
    auto set = std::make_unique<DeviceSet>();
    std::string fold;  // an instance's folded ID, its room reused
    // Adds `instance` (of `busKey` and `deviceKey`), whose ClassGUID is
    // `parsed` into `classGuid` or not; `devInst` its DevInst if known (0).
    const auto add = [&](const RegKey& busKey, const RegKey& deviceKey,
                         const std::shared_ptr<RegKey>& instance, bool parsed,
                         const GUID& classGuid, DWORD* devInst) {
        Device d;
        d.instanceId = set->ids.add({busKey.name, std::string_view("\\"), deviceKey.name,
                                     std::string_view("\\"), instance->name});
        d.key = instance;
        d.at = instance.get();
        if (*devInst == 0) {
            fold.assign(busKey.fold)
                .append(1, '\\')
                .append(deviceKey.fold)
                .append(1, '\\')
                .append(instance->fold);
            *devInst = g_devInsts.of(fold);
        }
        d.devInst = *devInst;
        if (parsed) {
            d.classGuid = classGuid;
        } else if (ClassGuid) {
            d.classGuid = *ClassGuid;
        }
        set->devices.push_back(std::move(d));
    };
    // Every device counts as present and as part of the current profile.
    RegKey* root = findKeyPath(m->registry.localMachine.get(), enumRoot(*m));
    if (root && m->platform != Platform::Win9x) {
        // The classes as the last set found them, while nothing changed
        // but removals.
        for (InstanceClass& c : instanceClasses(root)) {
            if (c.key->deleted) continue;
            const RegKey& deviceKey = *c.key->parent;
            const RegKey& busKey = *deviceKey.parent;
            if (!bus.empty() && !namesEqual(bus, busKey.name)) continue;
            // A GUID's text in any case names its class (the set's class
            // as the text names it); plain text that is no GUID names none.
            bool member = all;
            if (!member && c.parsed) {
                member = std::memcmp(&c.guid, ClassGuid, sizeof(GUID)) == 0;
            } else if (!member && !c.ascii) {
                member = namesEqual(textOf(c.key->findValue("ClassGUID")), guid);
            }
            if (!member) continue;
            const auto& siblings = deviceKey.subkeys.list();
            size_t at = std::min<size_t>(c.place + 1, siblings.size());
            while (at > 0 && siblings[at - 1].get() != c.key) --at;
            if (at == 0) continue;  // never: a live key is among its siblings
            add(busKey, deviceKey, siblings[at - 1], c.parsed, c.guid, &c.devInst);
        }
    } else if (root) {
        for (const auto& busKey : root->subkeys) {
            if (!bus.empty() && !namesEqual(bus, busKey->name)) continue;
            for (const auto& deviceKey : busKey->subkeys) {
                for (const auto& instance : deviceKey->subkeys) {
                    // Views: most instances are of another class, and
                    // each set walks all of them.
                    const std::string_view classGuid = textOf(instance->findValue("ClassGUID"));
                    bool member = all || namesEqual(classGuid, guid);
                    if (!member && className) {
                        member = namesEqual(textOf(instance->findValue("Class")), className);
                    }
                    if (!member) continue;
                    GUID parsed{};
                    DWORD devInst = 0;
                    add(*busKey, *deviceKey, instance, parseGuid(classGuid, &parsed), parsed,
                        &devInst);
                }
            }
        }
    }
    HDEVINFO h = set.get();
    g_sets[h] = std::move(set);
    SetLastError(NO_ERROR);
    return h;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData) {
    if (!admitCall("SetupDiEnumDeviceInfo",
                   [&] { return "SetupDiEnumDeviceInfo(" + std::to_string(MemberIndex) + ")"; })) {
        return FALSE;
    }
    DeviceSet* set = setOf(DeviceInfoSet);
    if (!set) return failWith(ERROR_INVALID_HANDLE, FALSE);
    if (!DeviceInfoData) return failWith(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return failWith(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    if (MemberIndex >= set->devices.size()) return failWith(ERROR_NO_MORE_ITEMS, FALSE);
    const Device& d = set->devices[MemberIndex];
    DeviceInfoData->ClassGuid = d.classGuid;
    DeviceInfoData->DevInst = d.devInst;
    DeviceInfoData->Reserved = MemberIndex + 1;
    return succeed();
}

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
    Machine* m = currentMachine();
    DeviceSet* set = setOf(DeviceInfoSet);
    if (!m || !set) return failWith(ERROR_INVALID_HANDLE, FALSE);
    DWORD error = 0;
    Device* d = deviceOf(set, DeviceInfoData, &error);
    if (!d)
        return failWith(error == ERROR_INVALID_USER_BUFFER ? ERROR_INVALID_PARAMETER : error,
                        FALSE);
    const char* valueName = propertyValueName(Property);
    if (!valueName) return failWith(ERROR_INVALID_REG_PROPERTY, FALSE);
    if (!PropertyBuffer && PropertyBufferSize) return failWith(ERROR_INVALID_PARAMETER, FALSE);
    RegKey* instance = instanceKey(*m, *d);
    if (!instance) return failWith(ERROR_NO_SUCH_DEVINST, FALSE);
    // Most devices have no service and no filters: their lines say so.
    const RegValue* v =
        mayHaveValue(*instance, valueName) ? instance->findValue(valueName) : nullptr;
    if (!v) return failWith(ERROR_INVALID_DATA, FALSE);
    DWORD type = v->type;
    // The value's own bytes unless they need a change (nearly never).
    std::string_view data(reinterpret_cast<const char*>(v->data.data()), v->data.size());
    std::string changed;
    if (Property == SPDRP_HARDWAREID && m->platform == Platform::Win9x && type == REG_SZ) {
        // 9x keeps the IDs as one comma-separated string.
        const std::string ids(data.substr(0, data.find('\0')));
        std::string& list = changed;
        list.clear();
        size_t start = 0;
        while (start <= ids.size()) {
            const size_t comma = std::min(ids.find(',', start), ids.size());
            std::string id = ids.substr(start, comma - start);
            while (!id.empty() && id.front() == ' ') id.erase(0, 1);
            while (!id.empty() && id.back() == ' ') id.pop_back();
            if (!id.empty()) list += id + '\0';
            start = comma + 1;
        }
        list += '\0';
        data = list;
        type = REG_MULTI_SZ;
    }
    // ASCII reads the same in every code page.
    if (isStringType(type) && !isAscii(data)) {
        changed = toAnsi(*m, std::string(data));
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
    Machine* m = currentMachine();
    DeviceSet* set = setOf(DeviceInfoSet);
    if (!m || !set) return failWith(ERROR_INVALID_HANDLE, FALSE);
    DWORD error = 0;
    const Device* d = deviceOf(set, DeviceInfoData, &error);
    if (!d) return failWith(error, FALSE);
    if (!DeviceInstanceId && DeviceInstanceIdSize) return failWith(ERROR_INVALID_PARAMETER, FALSE);
    // The device installer hands instance IDs out in capitals.
    std::string id = toAnsi(*m, std::string(d->instanceId));
    for (char& c : id) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    const DWORD size = static_cast<DWORD>(id.size() + 1);
    if (RequiredSize) *RequiredSize = size;
    if (DeviceInstanceIdSize < size) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(DeviceInstanceId, id.c_str(), size);
    return succeed();
}

BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                          DWORD ClassInstallParamsSize) {
    if (!admitCall("SetupDiSetClassInstallParamsA", [&] {
            const char* fn =
                ClassInstallParams ? difName(ClassInstallParams->InstallFunction) : "NULL";
            return "SetupDiSetClassInstallParamsA(" + deviceForLog(DeviceInfoSet, DeviceInfoData) +
                   ", " + fn + ")";
        })) {
        return FALSE;
    }
    Machine* m = currentMachine();
    DeviceSet* set = setOf(DeviceInfoSet);
    if (!m || !set) return failWith(ERROR_INVALID_HANDLE, FALSE);
    Device* d = nullptr;
    if (DeviceInfoData) {
        DWORD error = 0;
        d = deviceOf(set, DeviceInfoData, &error);
        if (!d) return failWith(error, FALSE);
    }
    bool& has = d ? d->hasParams : set->hasParams;
    Params& params = d ? d->params : set->params;
    if (!ClassInstallParams) {
        if (ClassInstallParamsSize != 0) return failWith(ERROR_INVALID_PARAMETER, FALSE);
        has = false;
        return succeed();
    }
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
        return failWith(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    Params p;
    p.function = ClassInstallParams->InstallFunction;
    if (p.function == DIF_PROPERTYCHANGE) {
        if (ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS)) {
            return failWith(ERROR_INVALID_PARAMETER, FALSE);
        }
        if (m->faults.refusePropertyChange) return failWith(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
        const auto* pc = reinterpret_cast<const SP_PROPCHANGE_PARAMS*>(ClassInstallParams);
        if (pc->StateChange < DICS_ENABLE || pc->StateChange > DICS_STOP ||
            (pc->Scope != DICS_FLAG_GLOBAL && pc->Scope != DICS_FLAG_CONFIGSPECIFIC)) {
            return failWith(ERROR_INVALID_FLAGS, FALSE);
        }
        p.stateChange = pc->StateChange;
        p.scope = pc->Scope;
    } else if (p.function == DIF_REMOVE) {
        if (ClassInstallParamsSize != sizeof(SP_REMOVEDEVICE_PARAMS)) {
            return failWith(ERROR_INVALID_PARAMETER, FALSE);
        }
        const auto* rp = reinterpret_cast<const SP_REMOVEDEVICE_PARAMS*>(ClassInstallParams);
        if (rp->Scope != DI_REMOVEDEVICE_GLOBAL && rp->Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC) {
            return failWith(ERROR_INVALID_FLAGS, FALSE);
        }
        p.scope = rp->Scope;
    } else {
        return failWith(ERROR_INVALID_PARAMETER, FALSE);
    }
    has = true;
    params = p;
    return succeed();
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    if (!admitCall("SetupDiCallClassInstaller", [&] {
            return std::string("SetupDiCallClassInstaller(") + difName(InstallFunction) + ", " +
                   deviceForLog(DeviceInfoSet, DeviceInfoData) + ")";
        })) {
        return FALSE;
    }
    Machine* m = currentMachine();
    DeviceSet* set = setOf(DeviceInfoSet);
    if (!m || !set) return failWith(ERROR_INVALID_HANDLE, FALSE);
    if (InstallFunction != DIF_PROPERTYCHANGE && InstallFunction != DIF_REMOVE) {
        return failWith(ERROR_DI_DO_DEFAULT, FALSE);
    }
    DWORD error = 0;
    Device* d = deviceOf(set, DeviceInfoData, &error);
    if (!d) return failWith(DeviceInfoData ? error : ERROR_INVALID_PARAMETER, FALSE);
    const Params* params = d->hasParams ? &d->params : set->hasParams ? &set->params : nullptr;
    if (params && params->function != InstallFunction) params = nullptr;
    RegKey* instance = instanceKey(*m, *d);
    if (InstallFunction == DIF_PROPERTYCHANGE) {
        if (!params) return failWith(ERROR_INVALID_PARAMETER, FALSE);
        if (!instance) return failWith(ERROR_NO_SUCH_DEVINST, FALSE);
        const RegValue* flags = instance->findValue("ConfigFlags");
        uint32_t value = 0;
        if (flags && flags->type == REG_DWORD && flags->data.size() == 4) {
            value = flags->data[0] | (flags->data[1] << 8) | (flags->data[2] << 16) |
                    (static_cast<uint32_t>(flags->data[3]) << 24);
        }
        uint32_t next = value;
        if (params->stateChange == DICS_ENABLE) next &= ~static_cast<uint32_t>(CONFIGFLAG_DISABLED);
        if (params->stateChange == DICS_DISABLE) next |= CONFIGFLAG_DISABLED;
        if (next != value) {
            instance->setValue(
                "ConfigFlags", REG_DWORD,
                {static_cast<uint8_t>(next), static_cast<uint8_t>(next >> 8),
                 static_cast<uint8_t>(next >> 16), static_cast<uint8_t>(next >> 24)});
            stageRegistryChange(*m);
        }
        return succeed();
    }
    if (!instance) return failWith(ERROR_NO_SUCH_DEVINST, FALSE);
    if (m->faults.removeFails) return failWith(ERROR_GEN_FAILURE, FALSE);
    removeDevice(*m, instance);
    m->changes.removedInstances.emplace_back(d->instanceId);
    stageRegistryChange(*m);
    return succeed();
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!admitCall("SetupDiDestroyDeviceInfoList", "SetupDiDestroyDeviceInfoList()")) return FALSE;
    if (g_sets.erase(DeviceInfoSet) == 0) return failWith(ERROR_INVALID_HANDLE, FALSE);
    return succeed();
}

}  // extern "C"
