// Installation discovery on both families.
#include <cstring>

#include "discovery/nt_discovery.h"
#include "discovery/win9x_discovery.h"
#include "tests/engine/engine_test.h"

namespace engine_test {
namespace {

const std::string kServices = std::string(kCcs) + "Services\\";
constexpr char kWin[] = "C:\\WINDOWS";

class NtDiscoveryTest : public EngineTest {
protected:
    // Leaves recognisable text in the slot's file tables.
    void markTables(int slot) {
        std::strcpy(infFilePath(slot), "untouched-inf");
        std::strcpy(driverFilePath(slot), "untouched-driver");
    }
    void expectTablesUntouched(int slot) {
        EXPECT_STREQ(infFilePath(slot), "untouched-inf");
        EXPECT_STREQ(driverFilePath(slot), "untouched-driver");
    }
};

TEST_F(NtDiscoveryTest, LowerFilterImagePathAndInstallCount) {
    RegText reg;
    addNtInstall(reg, true);
    for (const char* i : {"1", "2", "3"}) {
        NtDevice d;
        d.instance = std::string("USB\\VID_F3A7&PID_0053\\") + i;
        reg.key(std::string(kCcs) + "Enum\\" + d.instance).sz("DeviceDesc", kDesc);
    }
    load(reg);

    DeviceRecord record = ntRecord(true);
    char infName[kPathBufferSize];
    char imagePath[kPathBufferSize];
    EXPECT_EQ(readNtInstallInfo(record, infName, imagePath), 1);
    EXPECT_STREQ(infName, "oem7.inf");
    EXPECT_STREQ(imagePath, "system32\\DRIVERS\\kestrelf.sys");

    ASSERT_TRUE(discoverNtInstallation(1, kWin, record));
    EXPECT_STREQ(infFilePath(1), "C:\\WINDOWS\\Inf\\oem7.inf");
    EXPECT_STREQ(driverFilePath(1), "C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys");
    EXPECT_EQ(record.installCount, 3u);

    record = ntRecord(false);
    EXPECT_EQ(readNtInstallInfo(record, infName, imagePath), 0);
    ASSERT_TRUE(discoverNtInstallation(1, kWin, record));
    EXPECT_STREQ(driverFilePath(1), "C:\\WINDOWS\\system32\\DRIVERS\\kestrelx.sys");
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
}

TEST_F(NtDiscoveryTest, MissingEnumerationKeyGivesCountZero) {
    RegText reg;
    addNtInstall(reg, false);
    load(reg);
    DeviceRecord record = ntRecord(false);
    record.installCount = 9;
    ASSERT_TRUE(discoverNtInstallation(1, kWin, record));
    EXPECT_EQ(record.installCount, 0u);
}

TEST_F(NtDiscoveryTest, ImagePathForms) {
    RegText reg;
    addNtInstall(reg, false);
    load(reg);
    struct Case {
        const char* imagePath;
        const char* driverPath;  // nullptr: discovery fails
    } cases[] = {
        {"\\SystemRoot\\System32\\drivers\\k.sys", "C:\\WINDOWS\\System32\\drivers\\k.sys"},
        {"%systemroot%\\System32\\drivers\\k.sys", "C:\\WINDOWS\\System32\\drivers\\k.sys"},
        {"System32\\drivers\\k.sys", "C:\\WINDOWS\\System32\\drivers\\k.sys"},
        // Absolute forms: inside the Windows directory (any case) below it;
        // elsewhere as they are (listed, never deleted).
        {"\\??\\C:\\WINDOWS\\System32\\drivers\\k.sys", "C:\\WINDOWS\\System32\\drivers\\k.sys"},
        {"c:\\windows\\k.sys", "C:\\WINDOWS\\k.sys"},
        {"\\??\\C:\\k.sys", "C:\\k.sys"},
        {"C:\\WINDOWSX\\k.sys", "C:\\WINDOWSX\\k.sys"},
        {"D:/Drivers/k.sys", "D:/Drivers/k.sys"},
        {"\\??\\UNC\\server\\share\\k.sys", "\\\\server\\share\\k.sys"},
        {"C:\\WINDOWS\\", nullptr},  // the Windows directory is no file
        {"\\??\\", nullptr},
        {"system32\\..\\..\\boot.ini", nullptr},
        {"\\SystemRoot\\..\\x.sys", nullptr},
        {"\\SystemRoot\\", nullptr},
        {"", ""},  // no driver file: nothing to delete
    };
    for (const auto& c : cases) {
        winsim::setStringValue(kServices + "kestrelx", "ImagePath", c.imagePath);
        DeviceRecord record = ntRecord(false);
        markTables(1);
        EXPECT_EQ(discoverNtInstallation(1, kWin, record), c.driverPath != nullptr) << c.imagePath;
        if (c.driverPath) {
            EXPECT_STREQ(driverFilePath(1), c.driverPath);
        } else {
            expectTablesUntouched(1);
        }
    }
}

TEST_F(NtDiscoveryTest, FailuresLeaveTheTablesUntouched) {
    const std::string classKey = std::string(kCcs) + "Control\\Class\\" + kNetGuid + "\\0007";
    RegText reg;
    addNtInstall(reg, true);
    load(reg);
    char infName[kPathBufferSize];
    char imagePath[kPathBufferSize];

    // Unsafe or unusable "InfPath" values.
    for (const char* inf : {"..\\..\\boot.ini", "C:oem7.inf", "sub/oem7.inf", "..", ""}) {
        winsim::setStringValue(classKey, "InfPath", inf);
        DeviceRecord record = ntRecord(false);
        markTables(1);
        EXPECT_FALSE(discoverNtInstallation(1, kWin, record)) << inf;
        expectTablesUntouched(1);
    }
    winsim::setStringValue(classKey, "InfPath", std::string(260, 'i'));  // does not fit
    DeviceRecord record = ntRecord(false);
    EXPECT_EQ(readNtInstallInfo(record, infName, imagePath), -1);
    winsim::setStringValue(classKey, "InfPath", "oem7.inf");

    // A composed path that does not fit 259 characters.
    winsim::setStringValue(classKey, "InfPath", std::string(250, 'i') + ".inf");
    markTables(1);
    EXPECT_FALSE(discoverNtInstallation(1, kWin, record));
    expectTablesUntouched(1);
    winsim::setStringValue(classKey, "InfPath", "oem7.inf");

    // Empty service name, missing service key, missing ImagePath, missing
    // class key.
    record = ntRecord(false);
    record.service[0] = '\0';
    EXPECT_EQ(readNtInstallInfo(record, infName, imagePath), -1);
    record = ntRecord(false);
    std::strcpy(record.service, "nosuchservice");
    EXPECT_EQ(readNtInstallInfo(record, infName, imagePath), -1);
    winsim::deleteTree(kServices + "kestrelf");
    EXPECT_EQ(readNtInstallInfo(ntRecord(true), infName, imagePath), -1);
    record = ntRecord(false);
    std::strcpy(record.driver, "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0099");
    markTables(1);
    EXPECT_FALSE(discoverNtInstallation(1, kWin, record));
    expectTablesUntouched(1);
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
}

class Discovery9xTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        useImage("9x", "4.90.3000");
    }
};

DeviceRecord record9x() {
    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    std::strcpy(record.pattern, "VID_F3A7&PID_0021");
    std::strcpy(record.deviceDesc, "Quorvane USB Network Adapter");
    std::strcpy(record.driver, "Net\\0001");
    return record;
}

TEST_F(Discovery9xTest, DriverNameForms) {
    RegText reg;
    add9xDevice(reg, Device9x());
    add9xClassKey(reg, "0001", "Quorvane USB Network Adapter", "USB\\VID_F3A7&PID_0021",
                  "QUORVANEKESTRELM.INF", "kestrelm.sys");
    load(reg);
    const std::string classKey = std::string(kCcs) + "Services\\Class\\Net\\0001";
    struct Case {
        const char* ntmpDriver;
        const char* driverPath;  // nullptr: discovery fails
    } cases[] = {
        {"kestrelm.sys", "C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys"},
        {"KESTRELM.SYS", "C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys"},
        {"C:\\WINDOWS\\SYSTEM32\\DRIVERS\\KestrelM.sys",
         "C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys"},
        {"OtherMP.SYS", "C:\\WINDOWS\\System\\othermp.sys"},
        // Absolute: below the Windows directory when inside it, else as it is.
        {"C:\\Windows\\System\\OtherMP.sys", "C:\\WINDOWS\\system\\othermp.sys"},
        {"C:\\Drivers\\OtherMP.sys", "c:\\drivers\\othermp.sys"},
        {"..\\..\\autoexec.bat", nullptr},
        {"", ""},  // no driver file: nothing to delete
    };
    for (const auto& c : cases) {
        winsim::setStringValue(classKey, "NTMPDriver", c.ntmpDriver);
        DeviceRecord record = record9x();
        std::strcpy(driverFilePath(0), "untouched");
        EXPECT_EQ(discover9xInstallation(0, kWin, record), c.driverPath != nullptr) << c.ntmpDriver;
        EXPECT_STREQ(driverFilePath(0), c.driverPath ? c.driverPath : "untouched");
        if (c.driverPath) {
            EXPECT_STREQ(infFilePath(0), "C:\\WINDOWS\\Inf\\Other\\QUORVANEKESTRELM.INF");
            EXPECT_EQ(record.installCount, 1u);
            EXPECT_EQ(std::string(record.symbolicName), Device9x().symbolicName);
        }
    }

    char infName[kPathBufferSize];
    char driverName[kPathBufferSize];
    winsim::setStringValue(classKey, "NTMPDriver", "OtherMP.SYS");
    EXPECT_EQ(read9xInstallInfo(record9x(), infName, driverName), 0);
    EXPECT_STREQ(driverName, "othermp.sys");
    winsim::deleteTree(classKey);
    EXPECT_EQ(read9xInstallInfo(record9x(), infName, driverName), -1);
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
}

TEST_F(Discovery9xTest, SymbolicNameIsOptional) {
    RegText reg;
    add9xClassKey(reg, "0001", "Quorvane USB Network Adapter", "USB\\VID_F3A7&PID_0021",
                  "QUORVANEKESTRELM.INF", "kestrelm.sys");
    reg.key("Enum\\USB\\VID_F3A7&PID_0021");  // no instance subkey
    load(reg);
    DeviceRecord record = record9x();
    std::strcpy(record.symbolicName, "stale");
    EXPECT_FALSE(read9xSymbolicName(record));
    EXPECT_STREQ(record.symbolicName, "");
    ASSERT_TRUE(discover9xInstallation(0, kWin, record));
    EXPECT_STREQ(record.symbolicName, "");

    // "InfPath" must be a bare name; "NTMPDriver" must exist.
    const std::string classKey = std::string(kCcs) + "Services\\Class\\Net\\0001";
    winsim::setStringValue(classKey, "InfPath", "..\\..\\CONFIG.SYS");
    EXPECT_FALSE(discover9xInstallation(0, kWin, record));
    winsim::setStringValue(classKey, "InfPath", "QUORVANEKESTRELM.INF");
    EXPECT_TRUE(discover9xInstallation(0, kWin, record));
    winsim::deleteTree(classKey);
    winsim::setStringValue(classKey, "InfPath", "QUORVANEKESTRELM.INF");
    EXPECT_FALSE(discover9xInstallation(0, kWin, record));
}

}  // namespace
}  // namespace engine_test
