#include "bench/image_gen.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace qu_bench {

namespace {

const char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char kInterfaceClass[] = "{ad498944-762f-11d0-8dcb-00c04fc3358c}";

std::string hexBytes(const std::string& bytes) {
    // REGEDIT4 hex form, wrapped as the registry editor wraps it.
    std::string out;
    size_t column = 20;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(bytes[i]));
        out += byte;
        if (i + 1 < bytes.size()) {
            out += ",";
            column += 3;
            if (column > 74) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string multiString(std::initializer_list<std::string> strings) {
    std::string bytes;
    for (const auto& s : strings) bytes += s + '\0';
    return hexBytes(bytes + '\0');
}

std::string number(unsigned value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*u", width, value);
    return text;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

// One network adapter: enumeration instance, class key, service key, event
// log source: four keys.
std::string ntNetDevice(unsigned index, const std::string& hardwareId,
                        const std::string& description, const std::string& service) {
    const std::string classIndex = number(index, 4);
    std::string r;
    r += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\" + hardwareId + "\\5&" +
         number(index * 7919u, 8) + "&0&1]\r\n";
    r += "\"DeviceDesc\"=\"" + description + "\"\r\n";
    r += "\"HardwareID\"=hex(7):" + multiString({hardwareId + "&REV_0100", hardwareId}) + "\r\n";
    r += "\"Service\"=\"" + service + "\"\r\n\"Class\"=\"Net\"\r\n";
    r += "\"ClassGUID\"=\"" + std::string(kNetClass) + "\"\r\n";
    r += "\"Driver\"=\"" + std::string(kNetClass) + "\\\\" + classIndex + "\"\r\n";
    r += "\"ConfigFlags\"=dword:00000000\r\n\r\n";
    r += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\" +
         std::string(kNetClass) + "\\" + classIndex + "]\r\n";
    r += "\"DriverDesc\"=\"" + description + "\"\r\n\"InfPath\"=\"oem" + std::to_string(index) +
         ".inf\"\r\n\"InfSection\"=\"Install.ndi\"\r\n";
    r +=
        "\"MatchingDeviceId\"=\"" + hardwareId + "\"\r\n\"Characteristics\"=dword:00000084\r\n\r\n";
    r += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\" + service + "]\r\n";
    r += "\"ImagePath\"=hex(2):" + hexBytes("system32\\DRIVERS\\" + service + ".sys" + '\0') +
         "\r\n\"Type\"=dword:00000001\r\n\"Start\"=dword:00000003\r\n\r\n";
    r += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Eventlog\\System\\" + service +
         "]\r\n\"TypesSupported\"=dword:00000007\r\n\r\n";
    return r;
}

// One software key with a mix of value types: one key.
std::string softwareKey(unsigned index) {
    std::string r = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor" + number(index / 1000, 3) +
                    "\\Product\\Component" + number(index, 7) + "]\r\n";
    r += "\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor\\\\Component" + number(index, 7) +
         "\"\r\n";
    r += "\"Version\"=\"1.0." + std::to_string(index % 100) + "\"\r\n";
    r += "\"Flags\"=dword:" + number(index % 100000000, 8) + "\r\n";
    std::string blob;
    for (unsigned i = 0; i < 40; ++i) blob += static_cast<char>((index * 31 + i * 7) & 0xFF);
    r += "\"State\"=hex:" + hexBytes(blob) + "\r\n\r\n";
    return r;
}

}  // namespace

std::string ntRegistry(unsigned netDevices, unsigned totalKeys) {
    std::string reg = "REGEDIT4\r\n\r\n";
    unsigned keys = 0;
    for (unsigned i = 1; i < netDevices; ++i) {
        reg +=
            ntNetDevice(i, "PCI\\VEN_8086&DEV_" + hex4(0x1000 + i),
                        "Ethernet Adapter #" + std::to_string(i), "e" + std::to_string(i) + "nic");
        keys += 4;
    }
    reg += ntNetDevice(netDevices, "USB\\VID_F3A7&PID_0053", "Quorvane USB 2.0 Network Adapter",
                       "kestrelx");
    keys += 4;
    for (unsigned i = 0; keys < totalKeys; ++i, ++keys) reg += softwareKey(i);
    return reg;
}

std::string ntRegistryOfSize(size_t bytes) {
    std::string reg = "REGEDIT4\r\n\r\n";
    for (unsigned i = 0; reg.size() < bytes; ++i) {
        // One device block in a hundred: a large installation's software
        // keys far outnumber its devices.
        if (i % 100 == 0) {
            reg += ntNetDevice(i / 100 + 1, "PCI\\VEN_8086&DEV_" + hex4(i / 100),
                               "Ethernet Adapter #" + std::to_string(i / 100),
                               "e" + std::to_string(i / 100) + "nic");
        } else {
            reg += softwareKey(i);
        }
    }
    return reg;
}

std::string win9xRegistry(unsigned classKeys) {
    std::string reg = "REGEDIT4\r\n\r\n";
    const std::string device = "VID_F3A7&PID_0021";
    const std::string instance = "5&2E1C7A4&0&1";
    reg += "[HKEY_LOCAL_MACHINE\\Enum\\USB\\" + device + "\\" + instance + "]\r\n";
    reg += "\"Class\"=\"Net\"\r\n\"Driver\"=\"Net\\\\0000\"\r\n";
    reg += "\"DeviceDesc\"=\"Quorvane USB Network Adapter\"\r\n";
    reg += "\"HardwareID\"=\"USB\\\\" + device + "&REV_0100,USB\\\\" + device + "\"\r\n";
    reg += "\"SymbolicName\"=\"\\\\\\\\?\\\\USB#" + device + "#" + instance + "#" +
           kInterfaceClass + "\"\r\n\r\n";
    for (unsigned i = 0; i < classKeys; ++i) {
        const bool ours = i % 10 == 0;
        reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\" +
               number(i, 4) + "]\r\n";
        if (ours && i % 20 == 0) {
            reg += "\"DriverDesc\"=\"Quorvane USB Network Adapter\"\r\n";
            reg += "\"MatchingDeviceId\"=\"usb\\\\vid_f3a7&pid_0021\"\r\n";
        } else if (ours) {
            reg += "\"DriverDesc\"=\"Quorvane USB Network Adapter\"\r\n";
            reg += "\"MatchingDeviceId\"=\"usb\\\\class_ff\"\r\n";
        } else {
            reg += "\"DriverDesc\"=\"Ethernet Adapter #" + std::to_string(i) + "\"\r\n";
            reg += "\"MatchingDeviceId\"=\"pci\\\\ven_8086&dev_" + hex4(i) + "\"\r\n";
        }
        reg += "\"InfPath\"=\"NET" + std::to_string(i) + ".INF\"\r\n";
        reg += "\"NTMPDriver\"=\"" + std::string(i == 0 ? "kestrelm.sys" : "e100.sys") + "\"\r\n";
        reg += "\"DevLoader\"=\"*ndis\"\r\n\r\n";
        const std::string iface = "##?#" +
                                  std::string(ours ? "USB#" + device : "PCI#DEV_" + hex4(i)) + "#" +
                                  number(i, 6) + "#" + kInterfaceClass;
        reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\" +
               std::string(kInterfaceClass) + "\\" + iface + "]\r\n";
        reg += "\"DeviceInstance\"=\"" +
               std::string(ours ? "USB\\\\" + device : "PCI\\\\DEV_" + hex4(i)) + "\\\\" +
               number(i, 6) + "\"\r\n\r\n";
    }
    return reg;
}

std::string manyValues(unsigned values) {
    std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\r\n";
    for (unsigned i = 0; i < values; ++i) {
        reg += "\"Value" + number(i, 7) + "\"=dword:" + number(i % 100000000, 8) + "\r\n";
    }
    return reg + "\r\n";
}

std::string reverseSubkeys(unsigned subkeys) {
    std::string reg = "REGEDIT4\r\n\r\n";
    for (unsigned i = subkeys; i-- > 0;) {
        reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wide\\Key" + number(i, 7) +
               "]\r\n\"n\"=dword:00000001\r\n\r\n";
    }
    return reg;
}

namespace {

// A device instance that is not a network adapter: one key.
std::string otherDevice(unsigned index) {
    static const char* const kKinds[][4] = {
        {"USB\\VID_046D&PID_C0", "USB Input Device", "HIDClass",
         "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"},
        {"PCI\\VEN_10DE&DEV_0", "PCI Device", "Display", "{4d36e968-e325-11ce-bfc1-08002be10318}"},
        {"ACPI\\PNP0", "System board device", "System", "{4d36e97d-e325-11ce-bfc1-08002be10318}"},
        {"USB\\VID_0781&PID_55", "USB Mass Storage Device", "USB",
         "{36fc9e60-c465-11cf-8056-444553540000}"},
    };
    const auto& kind = kKinds[index % 4];
    const std::string id = std::string(kind[0]) + hex4(index / 4 % 4096).substr(1);
    std::string r = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\" + id + "\\" +
                    number(index, 8) + "]\r\n";
    r += "\"DeviceDesc\"=\"" + std::string(kind[1]) + "\"\r\n";
    r += "\"HardwareID\"=hex(7):" + multiString({id + "&REV_0001", id}) + "\r\n";
    r += "\"Class\"=\"" + std::string(kind[2]) + "\"\r\n\"ClassGUID\"=\"" + kind[3] + "\"\r\n";
    r += "\"Driver\"=\"" + std::string(kind[3]) + "\\\\" + number(index % 10000, 4) + "\"\r\n";
    r += "\"Mfg\"=\"(Standard system devices)\"\r\n\"ConfigFlags\"=dword:00000000\r\n\r\n";
    return r;
}

}  // namespace

std::string realisticImage(size_t bytes, unsigned instances, unsigned netDevices) {
    std::string reg = "REGEDIT4\r\n\r\n";
    reg.reserve(bytes + (1 << 20));
    // Network adapters spread evenly among the other devices.
    const unsigned every = netDevices > 1 ? instances / netDevices : instances + 1;
    unsigned net = 0;
    for (unsigned i = 1; i < instances; ++i) {
        if (i % every == 0 && net + 1 < netDevices) {
            ++net;
            reg += ntNetDevice(net, "PCI\\VEN_8086&DEV_" + hex4(0x1000 + net),
                               "Ethernet Adapter #" + std::to_string(net),
                               "e" + std::to_string(net) + "nic");
        } else {
            reg += otherDevice(i);
        }
    }
    reg += ntNetDevice(netDevices, "USB\\VID_F3A7&PID_0053", "Quorvane USB 2.0 Network Adapter",
                       "kestrelx");
    // Every export of a real machine names its code pages.
    reg +=
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
        "\"ACP\"=\"1252\"\r\n\"OEMCP\"=\"437\"\r\n\"MACCP\"=\"10000\"\r\n\r\n";
    for (unsigned i = 0; reg.size() < bytes; ++i) reg += softwareKey(i);
    return reg;
}

std::string usbInstances(unsigned others) {
    std::string reg = "REGEDIT4\r\n\r\n";
    // Kinds 0 and 3 of otherDevice are USB devices.
    for (unsigned i = 0; i < others; ++i) reg += otherDevice(i / 2 * 4 + (i % 2 ? 3 : 0));
    reg += ntNetDevice(2, "USB\\VID_F3A7&PID_0053", "Quorvane USB 2.0 Network Adapter", "kestrelx");
    return reg;
}

std::string adapterInstances(unsigned instances) {
    std::string reg = "REGEDIT4\r\n\r\n";
    const std::string id = "USB\\VID_F3A7&PID_0053";
    for (unsigned i = 0; i < instances; ++i) {
        const std::string classIndex = number(i, 4);
        reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\" + id + "\\6&" +
               number(i, 8) + "&0&1]\r\n";
        reg += "\"DeviceDesc\"=\"Quorvane USB 2.0 Network Adapter\"\r\n";
        reg += "\"HardwareID\"=hex(7):" + multiString({id + "&REV_0100", id}) + "\r\n";
        reg += "\"Service\"=\"kestrelx\"\r\n\"Class\"=\"Net\"\r\n";
        reg += "\"ClassGUID\"=\"" + std::string(kNetClass) + "\"\r\n";
        reg += "\"Driver\"=\"" + std::string(kNetClass) + "\\\\" + classIndex + "\"\r\n";
        reg += "\"ConfigFlags\"=dword:00000000\r\n\r\n";
    }
    for (unsigned i = 0; i < instances; ++i) {
        reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\" +
               std::string(kNetClass) + "\\" + number(i, 4) + "]\r\n";
        reg += "\"DriverDesc\"=\"Quorvane USB 2.0 Network Adapter\"\r\n";
        reg += "\"InfPath\"=\"oem2.inf\"\r\n\"InfSection\"=\"Install.ndi\"\r\n";
        reg += "\"MatchingDeviceId\"=\"" + id + "\"\r\n\"Characteristics\"=dword:00000084\r\n\r\n";
    }
    reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\kestrelx]\r\n";
    reg +=
        "\"ImagePath\"=hex(2):" + hexBytes(std::string("system32\\DRIVERS\\kestrelx.sys") + '\0') +
        "\r\n\"Type\"=dword:00000001\r\n\"Start\"=dword:00000003\r\n\r\n";
    reg +=
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Eventlog\\System\\"
        "kestrelx]\r\n\"TypesSupported\"=dword:00000007\r\n\r\n";
    for (unsigned i = 0; i < 100; ++i) reg += softwareKey(i);
    return reg;
}

std::string toVersion5(const std::string& regedit4) {
    // Lines of the ASCII text; hex(2) and hex(7) data (with its continuation
    // lines) re-encoded as UTF-16, as a version 5 export holds strings.
    std::string text = "Windows Registry Editor Version 5.00";
    size_t at = regedit4.find("\r\n");
    while (at != std::string::npos && at + 2 < regedit4.size()) {
        const size_t begin = at + 2;
        at = regedit4.find("\r\n", begin);
        std::string line =
            regedit4.substr(begin, at == std::string::npos ? std::string::npos : at - begin);
        const size_t type = line.find("=hex(");
        if (!line.empty() && (line.front() == '"' || line.front() == '@') &&
            type != std::string::npos &&
            (line.compare(type, 8, "=hex(2):") == 0 || line.compare(type, 8, "=hex(7):") == 0)) {
            const std::string head = line.substr(0, type + 8);
            std::string list = line.substr(type + 8);
            while (!list.empty() && list.back() == '\\' && at != std::string::npos) {
                const size_t next = at + 2;
                at = regedit4.find("\r\n", next);
                list.pop_back();
                list += regedit4.substr(next, at - next);
            }
            std::string wide;
            for (size_t i = 0; i + 1 < list.size(); i += 3) {
                while (list[i] == ' ') ++i;
                wide += static_cast<char>(std::strtoul(list.substr(i, 2).c_str(), nullptr, 16));
                wide += '\0';
            }
            line = head + hexBytes(wide);
        }
        text += "\r\n" + line;
    }
    text += "\r\n";
    std::string utf16 = "\xFF\xFE";
    utf16.reserve(2 * text.size() + 2);
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    return utf16;
}

void writeImage(const std::string& dir, const std::string& platform, const std::string& reg) {
    fs::create_directories(fs::path(dir) / "drive_c" / "WINDOWS");
    std::ofstream(fs::path(dir) / "machine.ini", std::ios::binary | std::ios::trunc)
        << "[system]\r\nplatform = " << platform
        << "\r\nversion = " << (platform == "nt" ? "5.1.2600" : "4.90.3000")
        << "\r\nwindows = C:\\WINDOWS\r\n";
    std::ofstream(fs::path(dir) / "system.reg", std::ios::binary | std::ios::trunc) << reg;
}

size_t keyCount(const std::string& reg) {
    size_t count = 0;
    for (size_t pos = 0; (pos = reg.find("\n[", pos)) != std::string::npos; ++pos) ++count;
    return count;
}

namespace {
// The name outlives the path object: the exit handler runs after static
// objects made before it was registered are gone.
char g_scratchName[] = "/tmp/qu-bench-XXXXXX";
}  // namespace

const std::filesystem::path& scratchDir() {
    static const std::filesystem::path dir = [] {
        if (::mkdtemp(g_scratchName) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(g_scratchName, ec);
        });
        return std::filesystem::path(g_scratchName);
    }();
    return dir;
}

}  // namespace qu_bench
