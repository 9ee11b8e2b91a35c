// Removal on both families: call order, exits, registry scrub.
#include <cstring>

#include "detection/device_installer.h"
#include "discovery/nt_discovery.h"
#include "discovery/win9x_discovery.h"
#include "removal/nt_removal.h"
#include "removal/win9x_removal.h"
#include "tests/engine/engine_test.h"

namespace engine_test {
namespace {

const std::string kEventLog = std::string(kCcs) + "Services\\Eventlog\\System\\";
const std::string kNtUsb = std::string(kCcs) + "Enum\\USB\\";

class NtRemovalTest : public EngineTest {
protected:
    // Slot 1 installed `count` times (filter kestrelf), with its files, and
    // an unrelated PCI adapter carrying the same description.
    void buildMachine(int count, const NtDevice* extra = nullptr) {
        RegText reg;
        addNtInstall(reg, true);
        if (extra != nullptr) addNtDevice(reg, *extra);
        reg.key(kEventLog + "ardgbe").dword("TypesSupported", 7);
        for (int i = 1; i <= count; ++i) {
            NtDevice d;
            d.instance = "USB\\VID_F3A7&PID_0053\\" + std::to_string(i);
            d.lowerFilters = {"kestrelf"};
            addNtDevice(reg, d);
        }
        NtDevice impostor;
        impostor.instance = "PCI\\VEN_1D9C&DEV_4410\\1";
        impostor.hardwareIds = {"PCI\\VEN_1D9C&DEV_4410"};
        impostor.service = "ardgbe";
        addNtDevice(reg, impostor);
        image().file("C:\\WINDOWS\\Inf\\oem7.inf");
        image().file("C:\\WINDOWS\\Inf\\oem7.PNF", "pnf", true);
        image().file("C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys");
        image().file("C:\\WINDOWS\\system32\\DRIVERS\\kestrelx.sys");
        load(reg);
    }
    // Probe and discovery of slot 1, as the detection run does them.
    DeviceRecord& detect() {
        DeviceRecord& record = deviceRecord(1);
        EXPECT_TRUE(probeDevice(networkClassGuid(), cataloguePattern(1), record));
        EXPECT_TRUE(discoverNtInstallation(1, "C:\\WINDOWS", record));
        winsim::resetCallCounts();
        return record;
    }
};

TEST_F(NtRemovalTest, RemovesEveryInstallationBeforeDeletingFilesAndKeys) {
    buildMachine(3);
    DeviceRecord& record = detect();
    ASSERT_EQ(record.installCount, 3u);

    EXPECT_EQ(removeNtInstallation(1, record), RemovalResult::Removed);
    EXPECT_EQ(calls({"SetupDiCallClassInstaller", "DeleteFileA", "RegDeleteKeyA"}),
              (std::vector<std::string>{
                  "SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, USB\\VID_F3A7&PID_0053\\1)",
                  "SetupDiCallClassInstaller(DIF_REMOVE, USB\\VID_F3A7&PID_0053\\1)",
                  "SetupDiCallClassInstaller(DIF_REMOVE, USB\\VID_F3A7&PID_0053\\2)",
                  "SetupDiCallClassInstaller(DIF_REMOVE, USB\\VID_F3A7&PID_0053\\3)",
                  "DeleteFileA(C:\\WINDOWS\\Inf\\oem7.inf)",
                  "DeleteFileA(C:\\WINDOWS\\Inf\\oem7.PNF)",
                  "DeleteFileA(C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys)",
                  "RegDeleteKeyA(HKLM, " + kEventLog + "kestrelx)",
                  "RegDeleteKeyA(HKLM, " + kEventLog + "kestrelf)",
              }));
    EXPECT_STREQ(infFilePath(1), "C:\\WINDOWS\\Inf\\oem7.PNF");
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image().exists("C:\\WINDOWS\\Inf\\oem7.inf"));
    EXPECT_FALSE(image().exists("C:\\WINDOWS\\Inf\\oem7.PNF"));  // read-only, still deleted
    EXPECT_FALSE(image().exists("C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys"));
    EXPECT_TRUE(image().exists("C:\\WINDOWS\\system32\\DRIVERS\\kestrelx.sys"));
    EXPECT_FALSE(winsim::keyExists(kNtUsb + "VID_F3A7&PID_0053"));
    EXPECT_FALSE(winsim::keyExists(kEventLog + "kestrelx"));
    EXPECT_FALSE(winsim::keyExists(kEventLog + "kestrelf"));
    EXPECT_TRUE(winsim::keyExists(kEventLog + "ardgbe"));
    EXPECT_TRUE(winsim::keyExists(std::string(kCcs) + "Enum\\PCI\\VEN_1D9C&DEV_4410\\1"));
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
}

TEST_F(NtRemovalTest, EarlyExitsDeleteNothing) {
    buildMachine(2);
    DeviceRecord& record = detect();
    const std::vector<std::string> mutating = {"SetupDiCallClassInstaller", "DeleteFileA",
                                               "RegDeleteKeyA", "SetFileAttributesA"};

    // Description no longer known: NotFound, the remove is never asked for.
    DeviceRecord renamed = record;
    std::strcpy(renamed.deviceDesc, "Some Other Adapter");
    EXPECT_EQ(removeNtInstallation(1, renamed), RemovalResult::NotFound);
    EXPECT_EQ(winsim::callCount("SetupDiCallClassInstaller"), 0u);

    // Refused enable parameters: NotFound.
    winsim::faults().refusePropertyChange = true;
    EXPECT_EQ(removeNtInstallation(1, record), RemovalResult::NotFound);
    winsim::faults().refusePropertyChange = false;

    // No recorded installation: RemovalFailed after the enable only.
    DeviceRecord none = record;
    none.installCount = 0;
    winsim::resetCallCounts();
    EXPECT_EQ(removeNtInstallation(1, none), RemovalResult::RemovalFailed);
    EXPECT_EQ(calls(mutating),
              (std::vector<std::string>{"SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, "
                                        "USB\\VID_F3A7&PID_0053\\1)"}));

    // The last removal fails: RemovalFailed, earlier removals stay done, no
    // file or key deleted.
    winsim::resetCallCounts();
    winsim::refuseCall("SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 3);
    EXPECT_EQ(removeNtInstallation(1, record), RemovalResult::RemovalFailed);
    EXPECT_EQ(winsim::callCount("SetupDiCallClassInstaller"), 3u);
    EXPECT_EQ(winsim::callCount("DeleteFileA") + winsim::callCount("RegDeleteKeyA"), 0u);
    EXPECT_FALSE(winsim::keyExists(kNtUsb + "VID_F3A7&PID_0053\\1"));
    EXPECT_TRUE(winsim::keyExists(kNtUsb + "VID_F3A7&PID_0053\\2"));
    EXPECT_TRUE(image().exists("C:\\WINDOWS\\Inf\\oem7.inf"));
    EXPECT_TRUE(winsim::keyExists(kEventLog + "kestrelx"));

    // A record never probed (empty pattern) acts on nothing.
    DeviceRecord blank;
    std::memset(&blank, 0, sizeof blank);
    winsim::resetCallCounts();
    EXPECT_EQ(removeNtInstallation(1, blank), RemovalResult::NotFound);
    EXPECT_EQ(removeNtInstallation(7, record), RemovalResult::RemovalFailed);
    EXPECT_TRUE(calls(mutating).empty());
}

TEST_F(NtRemovalTest, SameDescriptionOnAnotherAdapterIsNeverRemoved) {
    buildMachine(1);
    DeviceRecord& record = detect();
    record.installCount = 2;  // more removals asked for than devices of the slot
    // The second removal finds nothing; no device of the slot is left.
    EXPECT_EQ(removeNtInstallation(1, record), RemovalResult::Removed);
    EXPECT_TRUE(winsim::keyExists(std::string(kCcs) + "Enum\\PCI\\VEN_1D9C&DEV_4410\\1"));
    EXPECT_EQ(winsim::callCount("SetupDiCallClassInstaller"), 2u);  // enable + one remove
}

// A leftover instance of the device's own key that the device installer
// will not remove: the run fails and keeps every file and key of its own;
// the instances already removed stay removed.
TEST_F(NtRemovalTest, LeftoverThatCannotBeRemovedKeepsTheFiles) {
    NtDevice leftover;
    leftover.instance = "USB\\VID_F3A7&PID_0053\\9";
    leftover.hardwareIds = {};
    leftover.driver = "";
    buildMachine(1, &leftover);
    DeviceRecord& record = detect();
    ASSERT_EQ(record.installCount, 2u);

    // Enable, the two removals by description (the second finds nothing),
    // then the leftover's removal, refused.
    winsim::refuseCall("SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 3);
    EXPECT_EQ(removeNtInstallation(1, record), RemovalResult::RemovalFailed);
    EXPECT_EQ(calls({"SetupDiCallClassInstaller"}),
              (std::vector<std::string>{
                  "SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, USB\\VID_F3A7&PID_0053\\1)",
                  "SetupDiCallClassInstaller(DIF_REMOVE, USB\\VID_F3A7&PID_0053\\1)",
                  "SetupDiCallClassInstaller(DIF_REMOVE, USB\\VID_F3A7&PID_0053\\9)",
              }));
    EXPECT_EQ(winsim::callCount("DeleteFileA") + winsim::callCount("RegDeleteKeyA"), 0u);
    EXPECT_FALSE(winsim::keyExists(kNtUsb + "VID_F3A7&PID_0053\\1"));
    EXPECT_TRUE(winsim::keyExists(kNtUsb + "VID_F3A7&PID_0053\\9"));
    EXPECT_TRUE(image().exists("C:\\WINDOWS\\Inf\\oem7.inf"));

    // Once it can be removed, it counts among the instances removed.
    DeviceRecord again = record;
    EXPECT_EQ(removeNtInstallation(1, again), RemovalResult::NotFound);  // the adapter is gone
    winsim::resetCallCounts();
    EXPECT_EQ(removeLeftoverInstances(record), 1);
    EXPECT_FALSE(winsim::keyExists(kNtUsb + "VID_F3A7&PID_0053"));
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
}

// ---- 9x family --------------------------------------------------------------

constexpr char kIface[] = "{ad498944-762f-11d0-8dcb-00c04fc3358c}";
const std::string kNetClass = std::string(kCcs) + "Services\\Class\\Net\\";
const std::string kIfaceKey = std::string(kCcs) + "Control\\DeviceClasses\\" + kIface + "\\";

class Removal9xTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        useImage("9x", "4.90.3000");
    }
    void buildMachine(const std::string& symbolicName) {
        RegText reg;
        Device9x device;
        device.symbolicName = symbolicName;
        add9xDevice(reg, device);
        reg.key("Enum\\USB\\ROOT_HUB\\1").sz("Class", "USB");
        Device9x other;
        other.instance = "PCI\\VEN_1D9C&DEV_4410\\BUS_02";
        other.desc = "Ardent GE-4410";
        other.hardwareIds = "PCI\\VEN_1D9C&DEV_4410";
        other.driver = "Net\\0000";
        add9xDevice(reg, other);
        add9xClassKey(reg, "0000", "Ardent GE-4410", "PCI\\VEN_1D9C&DEV_4410", "ARDENT.INF",
                      "ardgbe.sys");
        add9xClassKey(reg, "0001", "Quorvane USB Network Adapter", "USB\\VID_F3A7&PID_0021",
                      "QUORVANEKESTRELM.INF", "kestrelm.sys");
        reg.key(kNetClass + "0001\\Ndi").sz("DeviceID", "USB\\VID_F3A7&PID_0021");
        // A stale copy found only by its description.
        add9xClassKey(reg, "0002", "QUORVANE USB NETWORK ADAPTER", "USB\\VID_0000&PID_0000",
                      "OLD.INF", "kestrelm.sys");
        reg.key(kIfaceKey + "##?#USB#VID_F3A7&PID_0021#1#" + kIface)
            .sz("DeviceInstance", "USB\\VID_F3A7&PID_0021\\5&2E1C7A4&0&1");
        reg.key(kIfaceKey + "##?#USB#VID_F3A7&PID_0021#1#" + kIface + "\\#")
            .sz("SymbolicLink", "x");
        reg.key(kIfaceKey + "##?#USB#VID_F3A7&PID_0021#2#" + kIface)
            .sz("DeviceInstance", "usb\\vid_f3a7&pid_0021\\old");
        reg.key(kIfaceKey + "##?#PCI#VEN_1D9C&DEV_4410#" + kIface)
            .sz("DeviceInstance", "PCI\\VEN_1D9C&DEV_4410\\BUS_02");
        image().file("C:\\WINDOWS\\Inf\\Other\\QUORVANEKESTRELM.INF");
        image().file("C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys", "x", true);
        load(reg);
    }
    DeviceRecord& detect() {
        DeviceRecord& record = deviceRecord(0);
        EXPECT_TRUE(probeDevice(networkClassGuid(), cataloguePattern(0), record));
        EXPECT_TRUE(discover9xInstallation(0, "C:\\WINDOWS", record));
        winsim::resetCallCounts();
        return record;
    }
};

TEST_F(Removal9xTest, RemovesOnceDeletesFilesAndScrubsTheRegistry) {
    buildMachine(Device9x().symbolicName);
    DeviceRecord& record = detect();
    record.installCount = 3;  // not consulted on this family

    EXPECT_EQ(remove9xInstallation(0, record), RemovalResult::Removed);
    EXPECT_EQ(
        calls({"SetupDiCallClassInstaller", "DeleteFileA"}),
        (std::vector<std::string>{
            "SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, USB\\VID_F3A7&PID_0021\\5&2E1C7A4&0&1)",
            "SetupDiCallClassInstaller(DIF_REMOVE, USB\\VID_F3A7&PID_0021\\5&2E1C7A4&0&1)",
            "DeleteFileA(C:\\WINDOWS\\Inf\\Other\\QUORVANEKESTRELM.INF)",
            "DeleteFileA(C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys)",
        }));
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image().exists("C:\\WINDOWS\\Inf\\Other\\QUORVANEKESTRELM.INF"));
    EXPECT_FALSE(image().exists("C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys"));
    EXPECT_EQ(winsim::subkeyNames("Enum\\USB"), (std::vector<std::string>{"ROOT_HUB"}));
    EXPECT_EQ(winsim::subkeyNames(kNetClass.substr(0, kNetClass.size() - 1)),
              (std::vector<std::string>{"0000"}));
    EXPECT_EQ(winsim::subkeyNames(kIfaceKey.substr(0, kIfaceKey.size() - 1)),
              (std::vector<std::string>{std::string("##?#PCI#VEN_1D9C&DEV_4410#") + kIface}));
    EXPECT_TRUE(winsim::keyExists("Enum\\PCI\\VEN_1D9C&DEV_4410\\BUS_02"));
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
}

TEST_F(Removal9xTest, SymbolicNameWithoutBraceSkipsTheInterfaceKeys) {
    buildMachine("\\\\?\\USB#VID_F3A7&PID_0021#1");
    DeviceRecord& record = detect();
    EXPECT_EQ(remove9xInstallation(0, record), RemovalResult::Removed);
    EXPECT_FALSE(winsim::keyExists("Enum\\USB\\VID_F3A7&PID_0021"));
    EXPECT_FALSE(winsim::keyExists(kNetClass + "0001"));
    EXPECT_FALSE(winsim::keyExists(kNetClass + "0002"));
    EXPECT_EQ(winsim::subkeyNames(kIfaceKey.substr(0, kIfaceKey.size() - 1)).size(), 3u);
}

TEST_F(Removal9xTest, ScrubEndsWhenThePlatformRefusesDeletions) {
    buildMachine(Device9x().symbolicName);
    DeviceRecord& record = detect();
    winsim::faults().refuseDeleteKey = true;
    // The keys stay: the removal does not count as done.
    EXPECT_EQ(remove9xInstallation(0, record), RemovalResult::RemovalFailed);
    EXPECT_LE(winsim::callCount("RegDeleteKeyA"), 4u);
    EXPECT_TRUE(winsim::keyExists(kNetClass + "0001"));
    EXPECT_TRUE(winsim::keyExists(kNetClass + "0002"));

    // Refusing only some deletions: the loops still finish and take the rest.
    winsim::faults().refuseDeleteKey = false;
    winsim::resetCallCounts();
    winsim::refuseCall("RegDeleteKeyA", ERROR_ACCESS_DENIED, 2);  // the first class key
    EXPECT_FALSE(scrub9xRegistry(record));
    EXPECT_TRUE(winsim::keyExists(kNetClass + "0000"));
    EXPECT_LE(winsim::callCount("RegDeleteKeyA"), 8u);
    EXPECT_EQ(winsim::subkeyNames(kIfaceKey.substr(0, kIfaceKey.size() - 1)).size(), 1u);
}

// When the devices cannot be listed, no class key can be shown to be unused:
// every one stays, while the keys found by the device's own name still go.
TEST_F(Removal9xTest, ClassKeysStayWhenTheDevicesCannotBeListed) {
    buildMachine(Device9x().symbolicName);
    DeviceRecord& record = detect();
    winsim::refuseCall("SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER);
    scrub9xRegistry(record);
    EXPECT_TRUE(winsim::keyExists(kNetClass + "0001"));
    EXPECT_TRUE(winsim::keyExists(kNetClass + "0002"));
    EXPECT_FALSE(winsim::keyExists("Enum\\USB\\VID_F3A7&PID_0021"));
    EXPECT_EQ(winsim::subkeyNames(kIfaceKey.substr(0, kIfaceKey.size() - 1)).size(), 1u);
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
}

TEST_F(Removal9xTest, FailedRemovalDeletesNothing) {
    buildMachine(Device9x().symbolicName);
    DeviceRecord& record = detect();
    winsim::faults().removeFails = true;
    EXPECT_EQ(remove9xInstallation(0, record), RemovalResult::RemovalFailed);
    DeviceRecord renamed = record;
    std::strcpy(renamed.deviceDesc, "Ardent GE-4410");  // another adapter's description
    EXPECT_EQ(remove9xInstallation(0, renamed), RemovalResult::NotFound);
    EXPECT_EQ(winsim::callCount("DeleteFileA") + winsim::callCount("RegDeleteKeyA"), 0u);
    EXPECT_TRUE(winsim::keyExists(kNetClass + "0001"));
    EXPECT_TRUE(image().exists("C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys"));
}

}  // namespace
}  // namespace engine_test
