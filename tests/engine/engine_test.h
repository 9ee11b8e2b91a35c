// Shared pieces of the engine tests: .reg text builders for the device
// layouts of both Windows families and a fixture that owns a temporary
// machine image.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "detection/device_catalogue.h"
#include "tests/support/reg_text.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"

namespace engine_test {

// The .reg builders and the NT device of the network class are shared with
// the dialog tests (tests/support/reg_text.h).
using qu_test::addNtDevice;
using qu_test::kCcs;
using qu_test::kDesc;
using qu_test::kNetGuid;
using qu_test::NtDevice;
using qu_test::RegText;

constexpr char kSlot1[] = "VID_F3A7&PID_0053";

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
