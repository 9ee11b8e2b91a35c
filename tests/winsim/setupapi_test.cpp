// Device installer: enumeration, properties, class-install parameters and
// the class installer on both Windows families.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/safety.h"

namespace {

using qu_test::TempImage;

const DWORD kPoison = 0xDEADBEEF;
const GUID kNetClass = {
    0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const char kEnum[] = "System\\CurrentControlSet\\Enum\\";
const char kClass[] = "System\\CurrentControlSet\\Control\\Class\\";

const char kNtImage[] =
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_0001&PID_0002\\inst1]\r\n"
    "\"ClassGUID\"=\"{4d36e972-e325-11ce-bfc1-08002be10318}\"\r\n"
    "\"DeviceDesc\"=\"Adapter A\"\r\n"
    "\"HardwareID\"=hex(7):55,53,42,5c,56,49,44,5f,30,30,30,31,00,00\r\n"
    "\"Service\"=\"svc\"\r\n"
    "\"Driver\"=\"{4D36E972-E325-11CE-BFC1-08002BE10318}\\\\0007\"\r\n"
    "\"LowerFilters\"=hex(7):66,6c,74,00,00\r\n"
    "\"ConfigFlags\"=dword:00000005\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_0001&PID_0002\\inst2]\r\n"
    "\"ClassGUID\"=\"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\r\n"
    "\"DeviceDesc\"=\"Adapter A\"\r\n"
    "\"Driver\"=\"{4D36E972-E325-11CE-BFC1-08002BE10318}\\\\0008\"\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_0009\\other]\r\n"
    "\"ClassGUID\"=\"{36FC9E60-C465-11CF-8056-444553540000}\"\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\PCI\\VEN_1\\x]\r\n"
    "\"ClassGUID\"=\"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\r\n"
    "\"DeviceDesc\"=\"PCI card\"\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-"
    "08002BE10318}\\0007]\r\n"
    "\"InfPath\"=\"oem7.inf\"\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-"
    "08002BE10318}\\0008]\r\n";

SP_DEVINFO_DATA deviceAt(HDEVINFO set, DWORD index) {
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, index, &data)) << index;
    return data;
}

std::string property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD code, DWORD* type = nullptr) {
    BYTE buf[260];
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &data, code, type, buf, sizeof buf, &required)) {
        return "<error " + std::to_string(GetLastError()) + ">";
    }
    return std::string(reinterpret_cast<char*>(buf), required);
}

bool attach(HDEVINFO set, SP_DEVINFO_DATA& data, DI_FUNCTION function, DWORD state = DICS_ENABLE) {
    if (function == DIF_PROPERTYCHANGE) {
        SP_PROPCHANGE_PARAMS p{};
        p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        p.StateChange = state;
        p.Scope = DICS_FLAG_GLOBAL;
        return SetupDiSetClassInstallParamsA(set, &data, &p.ClassInstallHeader, sizeof p);
    }
    SP_REMOVEDEVICE_PARAMS p{};
    p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    p.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    p.Scope = DI_REMOVEDEVICE_GLOBAL;
    return SetupDiSetClassInstallParamsA(set, &data, &p.ClassInstallHeader, sizeof p);
}

TEST(SetupApi, EnumerationAndProperties) {
    TempImage image;
    image.reg(kNtImage);
    image.load();
    HDEVINFO set = SetupDiGetClassDevsA(&kNetClass, nullptr, nullptr, DIGCF_PROFILE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(winsim::openDeviceSets(), 1u);

    // Bus, device, instance in alphabetical order; the other class is absent.
    SP_DEVINFO_DATA d0 = deviceAt(set, 0), d1 = deviceAt(set, 1), d2 = deviceAt(set, 2);
    EXPECT_EQ(property(set, d0, SPDRP_DEVICEDESC), std::string("PCI card\0", 9));
    EXPECT_EQ(std::memcmp(&d1.ClassGuid, &kNetClass, sizeof(GUID)), 0);
    EXPECT_NE(d1.DevInst, d2.DevInst);
    SP_DEVINFO_DATA past;
    past.cbSize = sizeof past;
    SetLastError(kPoison);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 3, &past));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    past.cbSize = 28 + 1;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &past));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    DWORD type = kPoison;
    EXPECT_EQ(property(set, d1, SPDRP_HARDWAREID, &type), std::string("USB\\VID_0001\0\0", 14));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(property(set, d1, SPDRP_SERVICE), std::string("svc\0", 4));
    EXPECT_EQ(property(set, d1, SPDRP_DRIVER),
              std::string("{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007\0", 44));
    EXPECT_EQ(property(set, d1, SPDRP_LOWERFILTERS), std::string("flt\0\0", 5));
    EXPECT_EQ(property(set, d2, SPDRP_SERVICE), "<error 13>");  // ERROR_INVALID_DATA
    EXPECT_EQ(property(set, d1, 0x30),
              "<error " + std::to_string(ERROR_INVALID_REG_PROPERTY) + ">");

    // Too small: ERROR_INSUFFICIENT_BUFFER with the required size, nothing written.
    BYTE small[4];
    std::memset(small, 0xCC, sizeof small);
    DWORD required = 0;
    SetLastError(kPoison);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &d1, SPDRP_DEVICEDESC, nullptr, small,
                                                   sizeof small, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 10u);
    EXPECT_EQ(small[0], 0xCC);

    // The enumerator narrows the set to one bus.
    HDEVINFO usb = SetupDiGetClassDevsA(&kNetClass, "usb", nullptr, DIGCF_PROFILE);
    SP_DEVINFO_DATA u0 = deviceAt(usb, 0);
    EXPECT_EQ(u0.DevInst, d1.DevInst);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(usb));

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(kPoison);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
}

TEST(SetupApi, ClassInstallParamsAndPropertyChange) {
    TempImage image;
    image.reg(kNtImage);
    image.load();
    HDEVINFO set = SetupDiGetClassDevsA(&kNetClass, nullptr, nullptr, DIGCF_PROFILE);
    SP_DEVINFO_DATA d1 = deviceAt(set, 1);

    SP_PROPCHANGE_PARAMS p{};
    p.ClassInstallHeader.cbSize = 7;
    p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    p.StateChange = DICS_ENABLE;
    p.Scope = DICS_FLAG_GLOBAL;
    SetLastError(kPoison);
    EXPECT_FALSE(SetupDiSetClassInstallParamsA(set, &d1, &p.ClassInstallHeader, sizeof p));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    EXPECT_FALSE(SetupDiSetClassInstallParamsA(set, &d1, &p.ClassInstallHeader, 16));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // No parameters yet: the installer has nothing to do.
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &d1));
    ASSERT_TRUE(SetupDiSetClassInstallParamsA(set, &d1, &p.ClassInstallHeader, sizeof p));
    EXPECT_EQ(GetLastError(), 0u);
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &d1));
    const std::string inst1 = std::string(kEnum) + "USB\\VID_0001&PID_0002\\inst1";
    EXPECT_EQ(winsim::dwordValue(inst1, "ConfigFlags"), 4u);  // only the disabled bit cleared
    ASSERT_TRUE(winsim::commit());
    EXPECT_NE(image.systemReg().find("\"ConfigFlags\"=dword:00000004"), std::string::npos);

    // Other install functions are left to the default handler.
    SetLastError(kPoison);
    EXPECT_FALSE(SetupDiCallClassInstaller(0x99, set, &d1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DI_DO_DEFAULT));

    // The refusing installer of the fault accepts no property-change parameters.
    winsim::faults().refusePropertyChange = true;
    EXPECT_FALSE(attach(set, d1, DIF_PROPERTYCHANGE));
    EXPECT_TRUE(attach(set, d1, DIF_REMOVE));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SetupApi, RemoveOnNt) {
    TempImage image;
    image.reg(kNtImage);
    image.load();
    const std::string device = std::string(kEnum) + "USB\\VID_0001&PID_0002";
    const std::string netClass = std::string(kClass) + "{4D36E972-E325-11CE-BFC1-08002BE10318}";

    // A failing installer removes nothing.
    winsim::faults().removeFails = true;
    HDEVINFO set = SetupDiGetClassDevsA(&kNetClass, nullptr, nullptr, DIGCF_PROFILE);
    SP_DEVINFO_DATA d1 = deviceAt(set, 1);
    ASSERT_TRUE(attach(set, d1, DIF_REMOVE));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &d1));
    EXPECT_TRUE(winsim::keyExists(device + "\\inst1"));
    winsim::faults().removeFails = false;

    // Instance and driver key go; the device key stays while inst2 is in it.
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &d1));
    EXPECT_FALSE(winsim::keyExists(device + "\\inst1"));
    EXPECT_FALSE(winsim::keyExists(netClass + "\\0007"));
    EXPECT_TRUE(winsim::keyExists(device + "\\inst2"));
    EXPECT_TRUE(winsim::keyExists(netClass + "\\0008"));
    // The snapshot still lists the device; the installer knows it is gone.
    SetLastError(kPoison);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &d1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    SetupDiDestroyDeviceInfoList(set);

    // The last instance takes the emptied device key with it.
    set = SetupDiGetClassDevsA(&kNetClass, nullptr, nullptr, DIGCF_PROFILE);
    SP_DEVINFO_DATA d = deviceAt(set, 1);
    EXPECT_EQ(property(set, d, SPDRP_DRIVER),
              std::string("{4D36E972-E325-11CE-BFC1-08002BE10318}\\0008\0", 44));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &d));  // no parameters: global
    EXPECT_FALSE(winsim::keyExists(device));
    EXPECT_FALSE(winsim::keyExists(netClass + "\\0008"));
    EXPECT_TRUE(winsim::keyExists(netClass));
    EXPECT_TRUE(winsim::keyExists(std::string(kEnum) + "PCI\\VEN_1\\x"));
    // Removed elsewhere after the snapshot: ERROR_NO_SUCH_DEVINST.
    SP_DEVINFO_DATA pci = deviceAt(set, 0);
    winsim::deleteTree(std::string(kEnum) + "PCI");
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &pci));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(image.systemReg().find("VID_0001"), std::string::npos);
}

// The instance IDs of a new set of `cls`, each with its class's first letters.
std::string members(const GUID& cls) {
    HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PROFILE);
    std::string out;
    SP_DEVINFO_DATA d;
    d.cbSize = sizeof d;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &d); ++i) {
        char id[260];
        DWORD required = 0;
        SetupDiGetDeviceInstanceIdA(set, &d, id, sizeof id, &required);
        out += std::string(id) + " " + std::to_string(d.ClassGuid.Data1 >> 16) + ";";
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

// Each set is made after a change to the instances or their classes, and
// sees it as a walk of the registry would (sets remember the classes
// between them while nothing changed).
TEST(SetupApi, SetsAfterChanges) {
    TempImage image;
    image.reg(kNtImage);
    image.load();
    const GUID usbClass = {
        0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
    const std::string inst = std::string(kEnum) + "USB\\VID_0001&PID_0002\\";
    const std::string pci = std::string(kEnum) + "PCI\\VEN_1\\x";
    HKEY held = nullptr;
    const std::string pciX = "PCI\\VEN_1\\X 19766;", inst1 = "USB\\VID_0001&PID_0002\\INST1 19766;",
                      inst2 = "USB\\VID_0001&PID_0002\\INST2 19766;";
    const struct {
        const char* change;
        std::function<void()> make;
        std::string net, usb;
    } kRows[] = {
        {"none", [] {}, pciX + inst1 + inst2, "USB\\VID_0009\\OTHER 14076;"},
        {"none again", [] {}, pciX + inst1 + inst2, "USB\\VID_0009\\OTHER 14076;"},
        {"values read through the reader (hex strings)",
         [] {
             HDEVINFO set = SetupDiGetClassDevsA(&kNetClass, nullptr, nullptr, DIGCF_PROFILE);
             SP_DEVINFO_DATA d = deviceAt(set, 1);
             EXPECT_EQ(property(set, d, SPDRP_HARDWAREID), std::string("USB\\VID_0001\0\0", 14));
             EXPECT_EQ(property(set, d, SPDRP_LOWERFILTERS), std::string("flt\0\0", 5));
             SetupDiDestroyDeviceInfoList(set);
         },
         pciX + inst1 + inst2, "USB\\VID_0009\\OTHER 14076;"},
        {"a key with a ClassGUID outside Enum",
         [] {
             winsim::setStringValue(
                 std::string(kClass) + "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0009", "ClassGUID",
                 "{4D36E972-E325-11CE-BFC1-08002BE10318}");
         },
         pciX + inst1 + inst2, "USB\\VID_0009\\OTHER 14076;"},
        {"a value that is no class",
         [&] { winsim::setDwordValue(inst + "inst1", "ConfigFlags", 1); }, pciX + inst1 + inst2,
         "USB\\VID_0009\\OTHER 14076;"},
        {"inst2 moves to the USB class",
         [&] {
             winsim::setStringValue(inst + "inst2", "ClassGUID",
                                    "{36fc9e60-c465-11cf-8056-444553540000}");
         },
         pciX + inst1, "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        {"x's class is no GUID", [&] { winsim::setStringValue(pci, "ClassGUID", "Net"); }, inst1,
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        {"inst1 removed", [&] { winsim::deleteTree(inst + "inst1"); }, "",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        {"a new instance",
         [&] {
             winsim::setStringValue(inst + "inst0", "ClassGUID",
                                    "{4D36E972-E325-11CE-BFC1-08002BE10318}");
         },
         "USB\\VID_0001&PID_0002\\INST0 19766;",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        {"removed in a trial, the trial undone",
         [&] {
             winsim::beginTrial();
             winsim::deleteTree(std::string(kEnum) + "USB");
             EXPECT_EQ(members(kNetClass), "");
             winsim::endTrial();
         },
         "USB\\VID_0001&PID_0002\\INST0 19766;",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        {"a new bus between two",
         [&] {
             winsim::setStringValue(std::string(kEnum) + "ROOT\\NET\\0000", "ClassGUID",
                                    "{4D36E972-E325-11CE-BFC1-08002BE10318}");
         },
         "ROOT\\NET\\0000 19766;USB\\VID_0001&PID_0002\\INST0 19766;",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        {"a bus removed in a trial",
         [&] {
             winsim::beginTrial();
             winsim::deleteTree(std::string(kEnum) + "ROOT");
             EXPECT_EQ(members(kNetClass), "USB\\VID_0001&PID_0002\\INST0 19766;");
         },
         "USB\\VID_0001&PID_0002\\INST0 19766;",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        {"the trial undone", [] { winsim::endTrial(); },
         "ROOT\\NET\\0000 19766;USB\\VID_0001&PID_0002\\INST0 19766;",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        // The test API writes every change at once, the trial's too: the
        // files lack the bus the memory has back.
        {"the image loaded again", [&] { image.load(); }, "USB\\VID_0001&PID_0002\\INST0 19766;",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        // The key made stays held by a handle past the trial: undone, it
        // is not freed (which would move the count on).
        {"a device removed, then a key made elsewhere, in a trial",
         [&] {
             winsim::beginTrial();
             winsim::deleteTree(std::string(kEnum) + "USB\\VID_0009");
             const std::string made =
                 std::string(kClass) + "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0010";
             winsim::setStringValue(made, "DriverDesc", "x");
             ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, made.c_str(), 0, KEY_READ, &held),
                       ERROR_SUCCESS);
         },
         "USB\\VID_0001&PID_0002\\INST0 19766;", "USB\\VID_0001&PID_0002\\INST2 14076;"},
        {"both undone", [] { winsim::endTrial(); }, "USB\\VID_0001&PID_0002\\INST0 19766;",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
        {"a class changed in a trial",
         [&] {
             RegCloseKey(held);
             winsim::beginTrial();
             winsim::setStringValue(inst + "inst0", "ClassGUID",
                                    "{36fc9e60-c465-11cf-8056-444553540000}");
         },
         "",
         "USB\\VID_0001&PID_0002\\INST0 14076;USB\\VID_0001&PID_0002\\INST2 "
         "14076;USB\\VID_0009\\OTHER 14076;"},
        {"that undone", [] { winsim::endTrial(); }, "USB\\VID_0001&PID_0002\\INST0 19766;",
         "USB\\VID_0001&PID_0002\\INST2 14076;USB\\VID_0009\\OTHER 14076;"},
    };
    for (const auto& row : kRows) {
        row.make();
        EXPECT_EQ(members(kNetClass), row.net) << row.change;
        EXPECT_EQ(members(usbClass), row.usb) << row.change;
    }
}

TEST(SetupApi, NinexLayout) {
    TempImage image("9x", "4.90.3000");
    image.reg(
        "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0001&PID_0002\\0001]\r\n"
        "\"Class\"=\"Net\"\r\n"
        "\"DeviceDesc\"=\"USB Adapter\"\r\n"
        "\"HardwareID\"=\"USB\\\\VID_0001&PID_0002, USB\\\\VID_0001\"\r\n"
        "\"Driver\"=\"Net\\\\0000\"\r\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\ROOT\\Other\\0000]\r\n"
        "\"Class\"=\"System\"\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\0000]\r\n"
        "\"DriverDesc\"=\"USB Adapter\"\r\n");
    image.load();
    HDEVINFO set = SetupDiGetClassDevsA(&kNetClass, nullptr, nullptr, DIGCF_PROFILE);
    SP_DEVINFO_DATA d = deviceAt(set, 0);
    SP_DEVINFO_DATA none;
    none.cbSize = sizeof none;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &none));
    DWORD type = 0;
    EXPECT_EQ(property(set, d, SPDRP_HARDWAREID, &type),
              std::string("USB\\VID_0001&PID_0002\0USB\\VID_0001\0\0", 36));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    ASSERT_TRUE(attach(set, d, DIF_REMOVE));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &d));
    EXPECT_FALSE(winsim::keyExists("Enum\\USB\\VID_0001&PID_0002\\0001"));
    EXPECT_TRUE(winsim::keyExists("Enum\\USB\\VID_0001&PID_0002"));
    EXPECT_TRUE(winsim::keyExists("System\\CurrentControlSet\\Services\\Class\\Net\\0000"));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SetupApi, RefusedCallsAndTheLog) {
    TempImage image;
    image.reg(kNtImage);
    image.load();
    winsim::resetCallCounts();
    winsim::refuseCall("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY, 1);
    SetLastError(kPoison);
    EXPECT_EQ(SetupDiGetClassDevsA(&kNetClass, nullptr, nullptr, DIGCF_PROFILE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HDEVINFO set = SetupDiGetClassDevsA(&kNetClass, nullptr, nullptr, DIGCF_PROFILE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA d = deviceAt(set, 1);
    SetupDiCallClassInstaller(DIF_REMOVE, set, &d);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(winsim::callCount("SetupDiGetClassDevsA"), 2u);
    const auto& log = winsim::callLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0], "SetupDiGetClassDevsA({4D36E972-E325-11CE-BFC1-08002BE10318}, 8)");
    EXPECT_EQ(log[3], "SetupDiCallClassInstaller(DIF_REMOVE, USB\\VID_0001&PID_0002\\inst1)");
}

}  // namespace
