#include "tests/support/reg_text.h"

#include <cstdio>

namespace qu_test {

namespace {

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

RegText& RegText::key(const std::string& path) {
    text_ += "\r\n[HKEY_LOCAL_MACHINE\\" + path + "]\r\n";
    return *this;
}

RegText& RegText::sz(const std::string& name, const std::string& value) {
    text_ += "\"" + escape(name) + "\"=\"" + escape(value) + "\"\r\n";
    return *this;
}

RegText& RegText::expandSz(const std::string& name, const std::string& value) {
    return hex(name, 2, value + std::string(1, '\0'));
}

RegText& RegText::multiSz(const std::string& name, const std::vector<std::string>& strings) {
    std::string bytes;
    for (const auto& s : strings) bytes += s + std::string(1, '\0');
    return hex(name, 7, bytes + std::string(1, '\0'));
}

RegText& RegText::dword(const std::string& name, uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", value);
    text_ += "\"" + escape(name) + "\"=dword:" + buf + "\r\n";
    return *this;
}

RegText& RegText::hex(const std::string& name, unsigned type, const std::string& bytes) {
    text_ += "\"" + escape(name) + "\"=hex(" + std::to_string(type) + "):";
    for (size_t i = 0; i < bytes.size(); ++i) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[i]));
        text_ += buf;
        if (i + 1 < bytes.size()) text_ += (i % 24 == 23) ? ",\\\r\n  " : ",";
    }
    text_ += "\r\n";
    return *this;
}

void addNtDevice(RegText& reg, const NtDevice& device) {
    reg.key(std::string(kCcs) + "Enum\\" + device.instance)
        .sz("ClassGUID", kNetGuid)
        .sz("Class", "Net")
        .dword("ConfigFlags", 0);
    if (!device.desc.empty()) reg.sz("DeviceDesc", device.desc);
    if (!device.hardwareIds.empty()) reg.multiSz("HardwareID", device.hardwareIds);
    if (!device.service.empty()) reg.sz("Service", device.service);
    if (!device.driver.empty()) reg.sz("Driver", device.driver);
    if (!device.lowerFilters.empty()) reg.multiSz("LowerFilters", device.lowerFilters);
}

}  // namespace qu_test
