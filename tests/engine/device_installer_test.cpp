// Device-installer access: probe, enable and remove against the simulated
// device installer.
#include <cstring>

#include "detection/device_installer.h"
#include "tests/engine/engine_test.h"

namespace engine_test {
namespace {

const std::string kEnumUsb = std::string(kCcs) + "Enum\\USB\\";

class DeviceInstallerTest : public EngineTest {};

TEST_F(DeviceInstallerTest, ProbeFillsTheRecordOfTheFirstMatchingDevice) {
    RegText reg;
    NtDevice other;
    other.instance = "PCI\\VEN_1D9C&DEV_4410\\3&61aaa01&0&58";
    other.desc = "Ardent GE-4410";
    other.hardwareIds = {"PCI\\VEN_1D9C&DEV_4410"};
    other.service = "ardgbe";
    addNtDevice(reg, other);
    NtDevice first;
    first.instance = "USB\\VID_F3A7&PID_0053\\1";
    first.lowerFilters = {"kestrelf", "second"};
    addNtDevice(reg, first);
    NtDevice second = first;
    second.instance = "USB\\VID_F3A7&PID_0053\\2";
    second.desc = "Second";
    addNtDevice(reg, second);
    load(reg);

    DeviceRecord record;
    std::memset(&record, 0x5A, sizeof record);
    ASSERT_TRUE(probeDevice(networkClassGuid(), kSlot1, record));
    EXPECT_STREQ(record.pattern, kSlot1);
    EXPECT_STREQ(record.deviceDesc, kDesc);
    EXPECT_STREQ(record.hardwareId, "USB\\VID_F3A7&PID_0053&REV_0100");
    EXPECT_STREQ(record.service, "kestrelx");
    EXPECT_STREQ(record.driver, "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
    EXPECT_STREQ(record.lowerFilters, "kestrelf");  // first string of the multi-string
    EXPECT_STREQ(record.symbolicName, "");
    EXPECT_EQ(record.installCount, 0u);
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
    EXPECT_EQ(winsim::callCount("SetupDiGetClassDevsA"), 1u);
    EXPECT_EQ(winsim::callLog().front(),
              "SetupDiGetClassDevsA({4D36E972-E325-11CE-BFC1-08002BE10318}, 8)");
}

TEST_F(DeviceInstallerTest, ProbeEdges) {
    RegText reg;
    NtDevice bare;
    bare.service.clear();
    bare.driver.clear();
    addNtDevice(reg, bare);
    NtDevice longDesc;
    longDesc.instance = "USB\\VID_F3A7&PID_0054\\1";
    longDesc.hardwareIds = {"USB\\VID_F3A7&PID_0054"};
    longDesc.desc = std::string(300, 'D');
    addNtDevice(reg, longDesc);
    NtDevice longId;
    longId.instance = "USB\\VID_F3A7&PID_0021\\1";
    longId.hardwareIds = {std::string(270, 'X') + "VID_F3A7&PID_0021"};
    addNtDevice(reg, longId);
    load(reg);

    DeviceRecord record;
    // Missing service, driver and filters: found, fields empty.
    ASSERT_TRUE(probeDevice(networkClassGuid(), kSlot1, record));
    EXPECT_STREQ(record.deviceDesc, kDesc);
    EXPECT_STREQ(record.service, "");
    EXPECT_STREQ(record.driver, "");
    EXPECT_STREQ(record.lowerFilters, "");

    // A description too long for its buffer is left empty, nothing truncated.
    ASSERT_TRUE(probeDevice(networkClassGuid(), "VID_F3A7&PID_0054", record));
    EXPECT_STREQ(record.deviceDesc, "");
    EXPECT_STREQ(record.pattern, "VID_F3A7&PID_0054");

    // A hardware ID too long for its buffer never matches.
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_FALSE(probeDevice(networkClassGuid(), "VID_F3A7&PID_0021", record));
    EXPECT_STREQ(record.pattern, "");
    EXPECT_STREQ(record.deviceDesc, "");
    EXPECT_EQ(record.installCount, 0u);

    // The set cannot be had: the record is still cleared.
    std::memset(&record, 0x5A, sizeof record);
    winsim::refuseCall("SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(probeDevice(networkClassGuid(), kSlot1, record));
    EXPECT_STREQ(record.pattern, "");
    EXPECT_EQ(record.installCount, 0u);
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
}

TEST_F(DeviceInstallerTest, EnableAndRemoveByDescription) {
    RegText reg;
    NtDevice device;
    device.desc = "quorvane usb 2.0 NETWORK adapter";  // compared ignoring case
    addNtDevice(reg, device);
    NtDevice second;
    second.instance = "USB\\VID_F3A7&PID_0053\\2";
    addNtDevice(reg, second);
    load(reg);

    // Enable: the first device of the description, global scope.
    EXPECT_TRUE(enableMatchingDevice(networkClassGuid(), kDesc, nullptr));
    EXPECT_EQ(calls({"SetupDiSetClassInstallParamsA", "SetupDiCallClassInstaller"}),
              (std::vector<std::string>{
                  "SetupDiSetClassInstallParamsA(USB\\VID_F3A7&PID_0053\\1, DIF_PROPERTYCHANGE)",
                  "SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, USB\\VID_F3A7&PID_0053\\1)"}));

    // The class installer's verdict on the enable is not looked at.
    winsim::refuseCall("SetupDiCallClassInstaller", ERROR_DI_DO_DEFAULT);
    EXPECT_TRUE(enableMatchingDevice(networkClassGuid(), kDesc, nullptr));
    winsim::clearRefusals();

    // Refused parameters fail the enable.
    winsim::faults().refusePropertyChange = true;
    EXPECT_FALSE(enableMatchingDevice(networkClassGuid(), kDesc, nullptr));
    winsim::faults().refusePropertyChange = false;

    // Remove returns the installer's verdict, one device per call.
    winsim::faults().removeFails = true;
    EXPECT_FALSE(removeMatchingDevice(networkClassGuid(), kDesc, nullptr));
    winsim::faults().removeFails = false;
    EXPECT_TRUE(removeMatchingDevice(networkClassGuid(), kDesc, nullptr));
    EXPECT_FALSE(winsim::keyExists(kEnumUsb + "VID_F3A7&PID_0053\\1"));
    EXPECT_TRUE(winsim::keyExists(kEnumUsb + "VID_F3A7&PID_0053\\2"));
    EXPECT_TRUE(removeMatchingDevice(networkClassGuid(), kDesc, nullptr));
    EXPECT_FALSE(winsim::keyExists(kEnumUsb + "VID_F3A7&PID_0053"));

    // Nothing of that description left: false, the installer is not called.
    winsim::resetCallCounts();
    EXPECT_FALSE(enableMatchingDevice(networkClassGuid(), kDesc, nullptr));
    EXPECT_FALSE(removeMatchingDevice(networkClassGuid(), kDesc, nullptr));
    DeviceRecord record;
    EXPECT_FALSE(probeDevice(networkClassGuid(), kSlot1, record));
    EXPECT_EQ(winsim::callCount("SetupDiCallClassInstaller"), 0u);
    EXPECT_EQ(winsim::callCount("SetupDiSetClassInstallParamsA"), 0u);
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
    EXPECT_EQ(winsim::callCount("SetupDiDestroyDeviceInfoList"),
              winsim::callCount("SetupDiGetClassDevsA"));
}

TEST_F(DeviceInstallerTest, SlotVariantsSkipAnotherAdapterWithTheSameDescription) {
    RegText reg;
    NtDevice impostor;
    impostor.instance = "PCI\\VEN_1D9C&DEV_4410\\1";  // enumerated first
    impostor.hardwareIds = {"PCI\\VEN_1D9C&DEV_4410"};
    addNtDevice(reg, impostor);
    addNtDevice(reg, NtDevice());
    load(reg);

    EXPECT_TRUE(enableMatchingDevice(networkClassGuid(), kDesc, kSlot1));
    EXPECT_TRUE(removeMatchingDevice(networkClassGuid(), kDesc, kSlot1));
    EXPECT_TRUE(winsim::keyExists(std::string(kCcs) + "Enum\\PCI\\VEN_1D9C&DEV_4410\\1"));
    EXPECT_FALSE(winsim::keyExists(kEnumUsb + "VID_F3A7&PID_0053"));
    for (const auto& call : calls({"SetupDiSetClassInstallParamsA", "SetupDiCallClassInstaller"})) {
        EXPECT_EQ(call.find("PCI"), std::string::npos) << call;
    }

    // Only the impostor is left: the slot variants find nothing.
    winsim::resetCallCounts();
    EXPECT_FALSE(enableMatchingDevice(networkClassGuid(), kDesc, kSlot1));
    EXPECT_FALSE(removeMatchingDevice(networkClassGuid(), kDesc, kSlot1));
    EXPECT_EQ(winsim::callCount("SetupDiCallClassInstaller"), 0u);
}

}  // namespace
}  // namespace engine_test
