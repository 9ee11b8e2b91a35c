// Registry text for test machine images: a REGEDIT4 body builder and the NT
// device of the network class, shared by the engine and dialog tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qu_test {

constexpr char kNetGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kCcs[] = "System\\CurrentControlSet\\";
constexpr char kDesc[] = "Quorvane USB 2.0 Network Adapter";

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

}  // namespace qu_test
