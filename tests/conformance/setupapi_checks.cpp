// Setup API: the device set of a setup class, enumeration, registry
// properties with their size rules, the instance ID, class-install
// parameters and removal, on the fixture's one device of a private class.
#include "platform/win32.h"
#include "tests/conformance/check.h"
#include "tests/conformance/fixture.h"

#include <cstring>

namespace conformance {

namespace {

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void enumerationChecks(HDEVINFO set, SP_DEVINFO_DATA* device) {
    section("SetupDiEnumDeviceInfo");
    std::memset(device, 0, sizeof *device);
    device->cbSize = sizeof *device;
    CHECK(SetupDiEnumDeviceInfo(set, 0, device));
    CHECK(sameGuid(device->ClassGuid, kDeviceClass));
    SP_DEVINFO_DATA other;
    other.cbSize = sizeof other;
    SetLastError(0xDEADBEEF);
    CHECK(!SetupDiEnumDeviceInfo(set, 1, &other));
    CHECK_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    other.cbSize = sizeof other - 1;
    SetLastError(0xDEADBEEF);
    CHECK(!SetupDiEnumDeviceInfo(set, 0, &other));
    CHECK_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
}

void propertyChecks(HDEVINFO set, SP_DEVINFO_DATA* device) {
    section("SetupDiGetDeviceRegistryPropertyA");
    BYTE data[64];
    DWORD type = 0xDEAD, required = 0;
    // Too small: the size needed.
    std::memset(data, 0xA5, sizeof data);
    SetLastError(0xDEADBEEF);
    CHECK(!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, &type, data, 4,
                                             &required));
    CHECK_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    CHECK_EQ(required, 22);  // "QUCONF_HW\0QUCONF_ANY\0\0"
    CHECK_EQ(data[4], 0xA5);
    required = 0;
    SetLastError(0xDEADBEEF);
    CHECK(!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, nullptr, nullptr, 0,
                                             &required));
    CHECK_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    CHECK_EQ(required, 22);
    // Large enough.
    CHECK(SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, &type, data, sizeof data,
                                            &required));
    CHECK_EQ(type, REG_MULTI_SZ);
    CHECK_EQ(required, 22);
    CHECK_STR(reinterpret_cast<const char*>(data), "QUCONF_HW");
    CHECK_STR(reinterpret_cast<const char*>(data) + 10, "QUCONF_ANY");
    CHECK(SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_DEVICEDESC, &type, data, sizeof data,
                                            nullptr));
    CHECK_EQ(type, REG_SZ);
    CHECK_STR(reinterpret_cast<const char*>(data), "Conformance device");
    // A property the device does not have, and one that does not exist.
    SetLastError(0xDEADBEEF);
    CHECK(!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_SERVICE, &type, data, sizeof data,
                                             nullptr));
    CHECK_EQ(GetLastError(), ERROR_INVALID_DATA);
    SetLastError(0xDEADBEEF);
    CHECK(!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_MAXIMUM_PROPERTY + 5, &type, data,
                                             sizeof data, nullptr));
    // Wine 8 fails without setting an error code.
    TODO_WINE CHECK_EQ(GetLastError(), ERROR_INVALID_REG_PROPERTY);
}

void instanceIdChecks(HDEVINFO set, SP_DEVINFO_DATA* device) {
    section("SetupDiGetDeviceInstanceIdA");
    char id[64];
    DWORD required = 0;
    // Too small: the size needed, in characters with the zero.
    std::memset(id, 0xA5, sizeof id);
    SetLastError(0xDEADBEEF);
    CHECK(!SetupDiGetDeviceInstanceIdA(set, device, id, 4, &required));
    CHECK_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    CHECK_EQ(required, 17);
    CHECK_EQ(static_cast<unsigned char>(id[4]), 0xA5);
    // Large enough: the ID in capitals, as the device installer keeps it.
    CHECK(SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, &required));
    CHECK_STR(id, "ROOT\\QUCONF\\0000");
}

void installParamsChecks(HDEVINFO set, SP_DEVINFO_DATA* device) {
    section("SetupDiSetClassInstallParamsA / SetupDiCallClassInstaller");
    SP_PROPCHANGE_PARAMS change;
    std::memset(&change, 0, sizeof change);
    change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = DICS_ENABLE;
    change.Scope = DICS_FLAG_GLOBAL;
    // Wine 8's SetupDiSetClassInstallParamsA is a stub that always fails.
    TODO_WINE CHECK(
        SetupDiSetClassInstallParamsA(set, device, &change.ClassInstallHeader, sizeof change));
    // A header whose size is wrong is refused.
    change.ClassInstallHeader.cbSize = sizeof change;
    SetLastError(0xDEADBEEF);
    CHECK(!SetupDiSetClassInstallParamsA(set, device, &change.ClassInstallHeader, sizeof change));
    TODO_WINE CHECK_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);  // the stub sets none

    section("SetupDiCallClassInstaller(DIF_REMOVE)");
    SP_REMOVEDEVICE_PARAMS remove;
    std::memset(&remove, 0, sizeof remove);
    remove.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    remove.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    remove.Scope = DI_REMOVEDEVICE_GLOBAL;
    TODO_WINE CHECK(
        SetupDiSetClassInstallParamsA(set, device, &remove.ClassInstallHeader, sizeof remove));
    CHECK(SetupDiCallClassInstaller(DIF_REMOVE, set, device));
    // Gone from a new set of the class, and from the registry.
    HDEVINFO after = SetupDiGetClassDevsA(&kDeviceClass, nullptr, nullptr, DIGCF_PROFILE);
    CHECK(after != INVALID_HANDLE_VALUE);
    if (after != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA none;
        none.cbSize = sizeof none;
        SetLastError(0xDEADBEEF);
        CHECK(!SetupDiEnumDeviceInfo(after, 0, &none));
        CHECK_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        CHECK(SetupDiDestroyDeviceInfoList(after));
    }
    HKEY key = nullptr;
    CHECK_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Enum\\Root\\QUCONF\\0000", 0,
                      KEY_READ, &key),
        ERROR_FILE_NOT_FOUND);
}

}  // namespace

void setupApiChecks() {
    section("SetupDiGetClassDevsA");
    HDEVINFO set = SetupDiGetClassDevsA(&kDeviceClass, nullptr, nullptr, DIGCF_PROFILE);
    CHECK(set != INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device;
    enumerationChecks(set, &device);
    propertyChecks(set, &device);
    instanceIdChecks(set, &device);
    installParamsChecks(set, &device);
    CHECK(SetupDiDestroyDeviceInfoList(set));
}

}  // namespace conformance
