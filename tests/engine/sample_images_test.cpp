// The sample machine images under machines/: each is detected, discovered
// and (on a copy) uninstalled as the program would do it.
#include <filesystem>
#include <string>

#include "detection/device_installer.h"
#include "discovery/nt_discovery.h"
#include "discovery/win9x_discovery.h"
#include "removal/nt_removal.h"
#include "removal/win9x_removal.h"
#include "tests/engine/engine_test.h"

namespace engine_test {
namespace {

namespace fs = std::filesystem;

// A working copy of one sample image in a temporary directory, loaded.
class SampleImage {
public:
    explicit SampleImage(const std::string& name) {
        char base[] = "/tmp/qu-engine-XXXXXX";
        dir_ = ::mkdtemp(base);
        fs::copy(fs::path(QU_MACHINES_DIR) / name, dir_, fs::copy_options::recursive);
        std::string error;
        loaded_ = winsim::loadMachine(dir_, &error);
        EXPECT_TRUE(loaded_) << error;
    }
    ~SampleImage() {
        winsim::unloadMachine();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    bool loaded() const { return loaded_; }
    bool exists(const std::string& cPath) const {
        const std::string host = winsim::hostPath(cPath);
        return !host.empty() && fs::exists(host);
    }

private:
    std::string dir_;
    bool loaded_ = false;
};

// A detection run: probe every slot, discover the found ones. Returns the
// detected mask.
DetectedMask detectAll(OsFamily family) {
    char windowsDir[kPathBufferSize];
    const UINT length = GetWindowsDirectoryA(windowsDir, sizeof windowsDir);
    EXPECT_GT(length, 0u);
    DetectedMask mask = 0;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        DeviceRecord& record = deviceRecord(slot);
        if (!probeDevice(networkClassGuid(), cataloguePattern(slot), record)) continue;
        const bool found = family == OsFamily::Nt
                               ? discoverNtInstallation(slot, windowsDir, record)
                               : discover9xInstallation(slot, windowsDir, record);
        if (found) mask |= 1u << slot;
    }
    return mask;
}

TEST(SampleImages, XpAdapterInstalledTwice) {
    SampleImage image("xp");
    ASSERT_TRUE(image.loaded());
    ASSERT_EQ(detectAll(OsFamily::Nt), 1u << 1);
    DeviceRecord& record = deviceRecord(1);
    EXPECT_STREQ(record.deviceDesc, "Quorvane USB 2.0 Network Adapter");
    EXPECT_EQ(record.installCount, 2u);
    EXPECT_STREQ(infFilePath(1), "C:\\WINDOWS\\Inf\\oem7.inf");
    EXPECT_STREQ(driverFilePath(1), "C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys");
    for (const char* file : {"C:\\WINDOWS\\Inf\\oem7.inf", "C:\\WINDOWS\\Inf\\oem7.PNF",
                             "C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys"}) {
        EXPECT_TRUE(image.exists(file)) << file;
    }

    EXPECT_EQ(removeNtInstallation(1, record), RemovalResult::Removed);
    ASSERT_TRUE(winsim::commit());
    for (const char* file : {"C:\\WINDOWS\\Inf\\oem7.inf", "C:\\WINDOWS\\Inf\\oem7.PNF",
                             "C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys"}) {
        EXPECT_FALSE(image.exists(file)) << file;
    }
    const std::string ccs = kCcs;
    EXPECT_FALSE(winsim::keyExists(ccs + "Enum\\USB\\VID_F3A7&PID_0053"));
    EXPECT_FALSE(winsim::keyExists(ccs + "Services\\Eventlog\\System\\kestrelx"));
    EXPECT_FALSE(winsim::keyExists(ccs + "Services\\Eventlog\\System\\kestrelf"));
    EXPECT_TRUE(winsim::keyExists(ccs + "Services\\Eventlog\\System\\ardgbe"));
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\Inf\\oem3.inf"));
    EXPECT_EQ(detectAll(OsFamily::Nt), 0u);
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
}

TEST(SampleImages, MeAdapter) {
    SampleImage image("me");
    ASSERT_TRUE(image.loaded());
    ASSERT_EQ(detectAll(OsFamily::Win9x), 1u << 0);
    DeviceRecord& record = deviceRecord(0);
    EXPECT_STREQ(record.deviceDesc, "Quorvane USB Network Adapter");
    EXPECT_STREQ(record.symbolicName,
                 "\\\\?\\USB#VID_F3A7&PID_0021#5&2e1c7a4&0&1#{ad498944-762f-11d0-8dcb-"
                 "00c04fc3358c}");
    EXPECT_STREQ(infFilePath(0), "C:\\WINDOWS\\Inf\\Other\\QUORVANEKESTRELM.INF");
    EXPECT_STREQ(driverFilePath(0), "C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys");
    EXPECT_TRUE(image.exists(infFilePath(0)));
    EXPECT_TRUE(image.exists(driverFilePath(0)));

    EXPECT_EQ(remove9xInstallation(0, record), RemovalResult::Removed);
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\Inf\\Other\\QUORVANEKESTRELM.INF"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys"));
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\System32\\Drivers\\ardgbe.sys"));
    const std::string ccs = kCcs;
    EXPECT_EQ(winsim::subkeyNames("Enum\\USB"), (std::vector<std::string>{"ROOT_HUB"}));
    EXPECT_EQ(winsim::subkeyNames(ccs + "Services\\Class\\Net"),
              (std::vector<std::string>{"0000"}));
    EXPECT_EQ(
        winsim::subkeyNames(ccs + "Control\\DeviceClasses\\{ad498944-762f-11d0-8dcb-00c04fc3358c}")
            .size(),
        1u);
    EXPECT_EQ(detectAll(OsFamily::Win9x), 0u);
}

TEST(SampleImages, XpWithoutSupportedDevice) {
    SampleImage image("xp-empty");
    ASSERT_TRUE(image.loaded());
    EXPECT_EQ(detectAll(OsFamily::Nt), 0u);
    for (int slot = 0; slot < kSlotCount; ++slot) {
        EXPECT_STREQ(deviceRecord(slot).pattern, "");
        EXPECT_STREQ(deviceRecord(slot).deviceDesc, "");
    }
    EXPECT_EQ(winsim::openDeviceSets(), 0u);
}

}  // namespace
}  // namespace engine_test
