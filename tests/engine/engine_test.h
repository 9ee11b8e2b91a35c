// Shared pieces of the engine tests: .reg text builders for the device
// layouts of both Windows families and a fixture that owns a temporary
// machine image.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "detection/device_catalogue.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"

namespace engine_test {

constexpr char kNetGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kCcs[] = "System\\CurrentControlSet\\";
constexpr char kDesc[] = "Quorvane USB 2.0 Network Adapter";
constexpr char kSlot1[] = "VID_F3A7&PID_0053";

// REGEDIT4 body text (after the header), keys below HKEY_LOCAL_MACHINE.
class RegText {
public:
    RegText& key(const std::string& path);
    RegText& sz(const std::string& name, const std::string& value);
    RegText& expandSz(const std::string& name, const std::string& value);
    RegText& multiSz(const std::string& name, const std::vector<std::string>& strings);
    RegText& dword(const std::string& name, uint32_t value);
    const std::string& text() const { return text_; }

private:
    RegText& hex(const std::string& name, unsigned type, const std::string& bytes);
    std::string text_;
};

// An NT device under System\CurrentControlSet\Enum\<instance> in the
// network class. Empty fields are left out of the registry.
struct NtDevice {
    std::string instance = "USB\\VID_F3A7&PID_0053\\1";
    std::string desc = kDesc;
    std::vector<std::string> hardwareIds = {"USB\\Vid_f3a7&Pid_0053&Rev_0100",
                                            "USB\\Vid_f3a7&Pid_0053"};
    std::string service = "kestrelx";
    std::string driver = std::string(kNetGuid) + "\\0007";
    std::vector<std::string> lowerFilters;
};
void addNtDevice(RegText& reg, const NtDevice& device);

// The class key, service keys and event-log keys of a complete NT install of
// slot 1: class 0007 (InfPath oem7.inf), service kestrelx, optional filter
// service kestrelf.
void addNtInstall(RegText& reg, bool withFilter);

// A 9x device under Enum\<instance> (Class "Net", comma-separated IDs).
struct Device9x {
    std::string instance = "USB\\VID_F3A7&PID_0021\\5&2E1C7A4&0&1";
    std::string desc = "Quorvane USB Network Adapter";
    std::string hardwareIds = "USB\\VID_F3A7&PID_0021&REV_0100,USB\\VID_F3A7&PID_0021";
    std::string driver = "Net\\0001";
    std::string symbolicName =
        "\\\\?\\USB#VID_F3A7&PID_0021#5&2e1c7a4&0&1#{ad498944-762f-11d0-8dcb-00c04fc3358c}";
};
void add9xDevice(RegText& reg, const Device9x& device);

// 9x class key Services\Class\Net\<index>.
void add9xClassKey(RegText& reg, const std::string& index, const std::string& driverDesc,
                   const std::string& matchingId, const std::string& infPath,
                   const std::string& ntmpDriver);

// Fixture: a fresh image per test, loaded by load(); call counts reset.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void useImage(const std::string& platform, const std::string& version);
    void load(const RegText& reg);
    qu_test::TempImage& image() { return *image_; }
    // The call log entries that start with one of `functions`, in order.
    std::vector<std::string> calls(const std::vector<std::string>& functions) const;

    std::unique_ptr<qu_test::TempImage> image_;
};

// The record of slot 1 as a successful probe of the default NT device leaves
// it (description, service, driver and optional filter).
DeviceRecord ntRecord(bool withFilter);

}  // namespace engine_test
