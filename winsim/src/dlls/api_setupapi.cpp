// The device installer's sets and its class installer over the Enum branch
// of the machine's registry.
//
// NT: System\CurrentControlSet\Enum\<bus>\<device>\<instance> whose
// ClassGUID names the class. 9x: Enum\<bus>\<device>\<instance> whose
// ClassGUID names the class or whose Class is the class's name.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "winsim/api/win32_registry.h"
#include "winsim/api/win32_setupapi.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/dlls/calls.h"
#include "winsim/src/dlls/device_sets.h"
#include "winsim/src/dlls/instance_classes.h"

namespace winsim {
namespace {

const char kNtClassKeys[] = "System\\CurrentControlSet\\Control\\Class";

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

void removeDevice(Machine& m, RegKey* instance) {
    RegKey* device = instance->parent;
    const std::string driver(textOf(instance->findValue("Driver")));
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
            *devInst = devInstOf(fold);
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
        std::vector<InstanceClass>& classes = instanceClasses(root);
        // A set of every class holds nearly every instance: room for them
        // at once, not grown (and moved) a doubling at a time.
        if (all && bus.empty()) {
            set->devices.reserve(classes.size());
            size_t unnumbered = 0;
            for (const InstanceClass& c : classes) unnumbered += c.devInst == 0;
            expectDevInsts(unnumbered);
        }
        for (size_t i = 0; i < classes.size(); ++i) {
            // The keys lie all over a large image: the ones a few places on
            // are asked for ahead.
            if (i + 8 < classes.size()) __builtin_prefetch(classes[i + 8].key);
            InstanceClass& c = classes[i];
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
    HDEVINFO h = keepDeviceSet(std::move(set));
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
    DeviceCall call;
    if (const DWORD error = startDeviceCall(DeviceInfoSet, DeviceInfoData, true, &call)) {
        return failWith(error, FALSE);
    }
    const Machine& m = *call.machine;
    Device* d = call.device;
    DeviceSet* set = call.set;
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
        if (m.faults.refusePropertyChange) return failWith(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
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
    DeviceCall call;
    const DWORD error = startDeviceCall(DeviceInfoSet, DeviceInfoData, false, &call);
    if (error == ERROR_INVALID_HANDLE) return failWith(error, FALSE);
    if (InstallFunction != DIF_PROPERTYCHANGE && InstallFunction != DIF_REMOVE) {
        return failWith(ERROR_DI_DO_DEFAULT, FALSE);
    }
    if (error) return failWith(DeviceInfoData ? error : ERROR_INVALID_PARAMETER, FALSE);
    Machine* m = call.machine;
    DeviceSet* set = call.set;
    Device* d = call.device;
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
    if (!destroyDeviceSet(DeviceInfoSet)) return failWith(ERROR_INVALID_HANDLE, FALSE);
    return succeed();
}

}  // extern "C"
