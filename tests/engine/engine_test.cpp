#include "tests/engine/engine_test.h"

#include <cstdio>
#include <cstring>

namespace engine_test {

void addNtInstall(RegText& reg, bool withFilter) {
    const std::string ccs = kCcs;
    reg.key(ccs + "Control\\Class\\" + kNetGuid + "\\0007")
        .sz("InfPath", "oem7.inf")
        .sz("InfSection", "KestrelX.ndi")
        .sz("MatchingDeviceId", "usb\\vid_f3a7&pid_0053")
        .sz("DriverDesc", kDesc);
    reg.key(ccs + "Services\\kestrelx").expandSz("ImagePath", "system32\\DRIVERS\\kestrelx.sys");
    reg.key(ccs + "Services\\Eventlog\\System\\kestrelx").dword("TypesSupported", 7);
    if (withFilter) {
        reg.key(ccs + "Services\\kestrelf")
            .expandSz("ImagePath", "system32\\DRIVERS\\kestrelf.sys");
        reg.key(ccs + "Services\\Eventlog\\System\\kestrelf").dword("TypesSupported", 7);
    }
}

void add9xDevice(RegText& reg, const Device9x& device) {
    reg.key("Enum\\" + device.instance).sz("Class", "Net");
    if (!device.desc.empty()) reg.sz("DeviceDesc", device.desc);
    if (!device.hardwareIds.empty()) reg.sz("HardwareID", device.hardwareIds);
    if (!device.driver.empty()) reg.sz("Driver", device.driver);
    if (!device.symbolicName.empty()) reg.sz("SymbolicName", device.symbolicName);
}

void add9xClassKey(RegText& reg, const std::string& index, const std::string& driverDesc,
                   const std::string& matchingId, const std::string& infPath,
                   const std::string& ntmpDriver) {
    reg.key(std::string(kCcs) + "Services\\Class\\Net\\" + index).sz("DevLoader", "*ndis");
    if (!driverDesc.empty()) reg.sz("DriverDesc", driverDesc);
    if (!matchingId.empty()) reg.sz("MatchingDeviceId", matchingId);
    if (!infPath.empty()) reg.sz("InfPath", infPath);
    if (!ntmpDriver.empty()) reg.sz("NTMPDriver", ntmpDriver);
}

void EngineTest::SetUp() { image_ = std::make_unique<qu_test::TempImage>(); }

void EngineTest::TearDown() {
    winsim::clearRefusals();
    winsim::unloadMachine();
    image_.reset();
}

void EngineTest::useImage(const std::string& platform, const std::string& version) {
    image_.reset();
    image_ = std::make_unique<qu_test::TempImage>(platform, version);
}

void EngineTest::load(const RegText& reg) {
    image_->reg(reg.text());
    image_->load();
    winsim::resetCallCounts();
}

std::vector<std::string> EngineTest::calls(const std::vector<std::string>& functions) const {
    std::vector<std::string> out;
    for (const auto& entry : winsim::callLog()) {
        for (const auto& f : functions) {
            if (entry.compare(0, f.size() + 1, f + "(") == 0) out.push_back(entry);
        }
    }
    return out;
}

DeviceRecord ntRecord(bool withFilter) {
    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    std::strcpy(record.pattern, kSlot1);
    std::strcpy(record.deviceDesc, kDesc);
    std::strcpy(record.service, "kestrelx");
    std::strcpy(record.driver, "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
    if (withFilter) std::strcpy(record.lowerFilters, "kestrelf");
    return record;
}

}  // namespace engine_test
