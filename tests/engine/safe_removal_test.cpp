// Uninstalls that must neither delete what another device still uses nor
// leave an installation that can never be cleaned up. Each case builds a
// small image, runs the program on it in line mode (detect, uninstall) and
// checks what the operator reads and which keys and files are left.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "tests/engine/engine_test.h"

namespace engine_test {
namespace {

const std::string kNtClass = std::string(kCcs) + "Control\\Class\\" + kNetGuid + "\\";
const std::string kNtUsb = std::string(kCcs) + "Enum\\USB\\";
const std::string kEventLog = std::string(kCcs) + "Services\\Eventlog\\System\\";
const std::string k9xClass = std::string(kCcs) + "Services\\Class\\Net\\";
constexpr char kIface[] = "{ad498944-762f-11d0-8dcb-00c04fc3358c}";
const std::string kIfaceKey = std::string(kCcs) + "Control\\DeviceClasses\\" + kIface + "\\";

constexpr char kInf[] = "C:\\WINDOWS\\Inf\\oem7.inf";
constexpr char kPnf[] = "C:\\WINDOWS\\Inf\\oem7.PNF";
constexpr char kFilterSys[] = "C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys";
constexpr char kServiceSys[] = "C:\\WINDOWS\\system32\\DRIVERS\\kestrelx.sys";
constexpr char kMeInf[] = "C:\\WINDOWS\\Inf\\Other\\QUORVANEKESTRELM.INF";
constexpr char kMeSys[] = "C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys";
constexpr char kMeName[] = "Quorvane USB Network Adapter";

// Status texts as the pane shows them (UTF-8).
std::string removedOne(const std::string& name) {
    return "'" + name + "' uninstalled successfully!";
}
std::string removedAll(unsigned count, const std::string& name) {
    return "All '" + std::to_string(count) + "' instances of '" + name + "' were uninstalled";
}
std::string notTraced(const std::string& name) {
    return "NOTE: Either a prior '" + name + "' installation has not been detected";
}
const std::string kRestart = "NOTE: You must restart Windows";

// Slot 1 on NT: class key 0007 (oem7.inf), service kestrelx with lower
// filter kestrelf, their event-log keys, and the INF, PNF and both drivers.
void ntAdapter(RegText& reg, qu_test::TempImage& image) {
    addNtInstall(reg, true);
    NtDevice device;
    device.lowerFilters = {"kestrelf"};
    addNtDevice(reg, device);
    for (const char* file : {kInf, kPnf, kFilterSys, kServiceSys}) image.file(file);
}

// Another make's network adapter (service ardgbe, class key 0001).
NtDevice otherAdapter() {
    NtDevice device;
    device.instance = "PCI\\VEN_1D9C&DEV_4410\\3&61aaa01&0&58";
    device.desc = "Ardent GE-4410";
    device.hardwareIds = {"PCI\\VEN_1D9C&DEV_4410"};
    device.service = "ardgbe";
    device.driver = std::string(kNetGuid) + "\\0001";
    return device;
}

// Slot 2 on NT, installed from the same oem7.inf as slot 1 (class key 0009).
void ntSecondSlot(RegText& reg, qu_test::TempImage&) {
    NtDevice device;
    device.instance = "USB\\VID_F3A7&PID_0054\\1";
    device.desc = "Quorvane USB 2.0 Network Adapter B";
    device.hardwareIds = {"USB\\Vid_f3a7&Pid_0054"};
    device.driver = std::string(kNetGuid) + "\\0009";
    addNtDevice(reg, device);
    reg.key(kNtClass + "0009").sz("InfPath", "oem7.inf").sz("DriverDesc", device.desc);
}

// Slot 0 on 9x with its class key 0001, INF and driver; `desc` and the
// symbolic name can be changed.
void meAdapter(RegText& reg, qu_test::TempImage& image, const std::string& desc = kMeName,
               const std::string& symbolicName = Device9x().symbolicName) {
    Device9x device;
    device.desc = desc;
    device.symbolicName = symbolicName;
    add9xDevice(reg, device);
    add9xClassKey(reg, "0001", desc, "USB\\VID_F3A7&PID_0021", "QUORVANEKESTRELM.INF",
                  "kestrelm.sys");
    reg.key(kIfaceKey + "##?#USB#VID_F3A7&PID_0021#5&2e1c7a4&0&1#" + kIface)
        .sz("DeviceInstance", device.instance);
    image.file(kMeInf);
    image.file(kMeSys);
}

// A stale 9x class key of an earlier installation, found by its description.
void staleClassKey(RegText& reg, const std::string& desc) {
    add9xClassKey(reg, "0002", desc, "USB\\VID_0000&PID_0000", "OLD.INF", "kestrelm.sys");
}

struct Case {
    std::string name;
    std::string platform;  // "nt" or "9x"
    std::string iniText;   // appended to machine.ini
    std::function<void(RegText&, qu_test::TempImage&)> build;
    std::string commands;
    std::vector<std::string> says;  // in this order on standard output
    std::vector<std::string> keysGone, keysKept;
    std::vector<std::string> filesGone, filesKept;
};

// Runs the program on the image in line mode; its standard output.
std::string runProgram(const std::string& imageDir, const std::string& commands) {
    const std::string in = imageDir + ".stdin", out = imageDir + ".stdout";
    std::ofstream(in, std::ios::binary) << commands;
    const std::string command = "'" QU_PROGRAM "' --machine '" + imageDir + "' --headless <'" + in +
                                "' >'" + out + "' 2>/dev/null";
    // 4: a 9x Uninstall succeeded and waits for its restart.
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && (WEXITSTATUS(raw) == 0 || WEXITSTATUS(raw) == 4)) << command;
    std::stringstream text;
    text << std::ifstream(out, std::ios::binary).rdbuf();
    std::remove(in.c_str());
    std::remove(out.c_str());
    return text.str();
}

void check(const Case& c) {
    SCOPED_TRACE(c.name);
    qu_test::TempImage image(c.platform, c.platform == "nt" ? "5.1.2600" : "4.90.3000");
    if (!c.iniText.empty()) image.ini(c.iniText);
    RegText reg;
    c.build(reg, image);
    image.reg(reg.text());

    const std::string out = runProgram(image.dir(), c.commands);
    size_t at = 0;
    for (const auto& text : c.says) {
        const size_t found = out.find(text, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << text << "\n" << out;
        if (found != std::string::npos) at = found + text.size();
    }

    image.load();
    for (const auto& key : c.keysGone) EXPECT_FALSE(winsim::keyExists(key)) << key;
    for (const auto& key : c.keysKept) EXPECT_TRUE(winsim::keyExists(key)) << key;
    for (const auto& file : c.filesGone) EXPECT_FALSE(image.exists(file)) << file;
    for (const auto& file : c.filesKept) EXPECT_TRUE(image.exists(file)) << file;
    winsim::unloadMachine();
}

// clang-format off
TEST(SafeRemoval, WhatStaysAndWhatGoes) {
    const std::string desc = kDesc;
    const std::string longDesc = "Quorvane " + std::string(249, 'x');  // 258 characters
    const std::vector<Case> cases = {
        {"9x: another slot's adapter with the same description keeps its class key", "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image);
             Device9x other;
             other.instance = "USB\\VID_F3A7&PID_0054\\7";
             other.hardwareIds = "USB\\VID_F3A7&PID_0054";
             other.driver = "Net\\0003";
             other.symbolicName = "";
             add9xDevice(reg, other);
             add9xClassKey(reg, "0003", kMeName, "USB\\VID_F3A7&PID_0054", "QUORVANE54.INF",
                           "kestrelm.sys");
             staleClassKey(reg, kMeName);
         },
         "uninstall\ndetect\n",
         {removedOne(kMeName), kRestart, "'" + std::string(kMeName) + "' has been installed"},
         {k9xClass + "0001", k9xClass + "0002", "Enum\\USB\\VID_F3A7&PID_0021"},
         {k9xClass + "0003", "Enum\\USB\\VID_F3A7&PID_0054\\7"}, {kMeInf}, {kMeSys}},

        {"NT: an instance of another class under the slot's key: the removal still counts", "nt",
         "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             reg.key(kNtUsb + "VID_F3A7&PID_0053\\2")
                 .sz("ClassGUID", "{4D36E96C-E325-11CE-BFC1-08002BE10318}")
                 .sz("Service", "usbaudio")
                 .multiSz("HardwareID", {"USB\\Vid_f3a7&Pid_0053&MI_01"});
         },
         "uninstall\n", {removedAll(2, desc)},
         {kNtUsb + "VID_F3A7&PID_0053\\1", kEventLog + "kestrelx", kEventLog + "kestrelf"},
         {kNtUsb + "VID_F3A7&PID_0053\\2"}, {kInf, kPnf, kFilterSys}, {kServiceSys}},

        {"NT: a description of 258 characters is compared whole", "nt", "",
         [&](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             reg.key(kNtUsb + "VID_F3A7&PID_0053\\1").sz("DeviceDesc", longDesc);
         },
         "uninstall\n", {removedOne(longDesc)}, {kNtUsb + "VID_F3A7&PID_0053"}, {},
         {kInf, kPnf, kFilterSys}, {}},

        {"NT: an absolute image path inside the Windows directory is deleted", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             reg.key(std::string(kCcs) + "Services\\kestrelf")
                 .expandSz("ImagePath", "c:\\windows\\System32\\Drivers\\kestrelf.sys");
         },
         "uninstall\n", {removedOne(desc)}, {kEventLog + "kestrelf"}, {},
         {kInf, kPnf, kFilterSys}, {kServiceSys}},

        {"NT: an absolute image path elsewhere: not traced, nothing goes", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             reg.key(std::string(kCcs) + "Services\\kestrelf")
                 .expandSz("ImagePath", "\\??\\C:\\Drivers\\kestrelf.sys");
             image.file("C:\\Drivers\\kestrelf.sys");
         },
         "uninstall\n", {notTraced(desc)}, {},
         {kNtUsb + "VID_F3A7&PID_0053\\1", kNtClass + "0007", kEventLog + "kestrelf"}, {},
         {kInf, kPnf, kFilterSys, "C:\\Drivers\\kestrelf.sys"}},

        {"NT: a lower filter shared with another adapter keeps its driver and event-log key",
         "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             NtDevice other = otherAdapter();
             other.lowerFilters = {"kestrelf"};
             addNtDevice(reg, other);
         },
         "uninstall\n", {removedOne(desc)},
         {kNtUsb + "VID_F3A7&PID_0053", kEventLog + "kestrelx"}, {kEventLog + "kestrelf"},
         {kInf, kPnf}, {kFilterSys}},

        {"NT: a filter named by another adapter's class key counts as well", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             addNtDevice(reg, otherAdapter());
             reg.key(kNtClass.substr(0, kNtClass.size() - 1)).multiSz("UpperFilters", {"kestrelf"});
         },
         "uninstall\n", {removedOne(desc)}, {kEventLog + "kestrelx"}, {kEventLog + "kestrelf"},
         {kInf, kPnf}, {kFilterSys}},

        {"NT: an INF serving two slots stays while the other slot is installed", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             ntSecondSlot(reg, image);
         },
         "uninstall\n", {removedOne(desc)}, {kEventLog + "kestrelf", kNtClass + "0007"},
         {kEventLog + "kestrelx", kNtClass + "0009"}, {kFilterSys}, {kInf, kPnf, kServiceSys}},

        {"NT: ... and goes with the last of them", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             ntSecondSlot(reg, image);
         },
         "uninstall\ndetect\nuninstall\n",
         {removedOne(desc), removedOne(desc + " B")},
         {kEventLog + "kestrelf", kEventLog + "kestrelx", kNtClass + "0009"}, {},
         {kFilterSys, kInf, kPnf, kServiceSys}, {}},

        {"9x: two slots from one INF and driver: both stay for the other slot", "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image);
             Device9x other;
             other.instance = "USB\\VID_F3A7&PID_0054\\7";
             other.desc = "Quorvane USB Network Adapter B";
             other.hardwareIds = "USB\\VID_F3A7&PID_0054";
             other.driver = "Net\\0003";
             add9xDevice(reg, other);
             add9xClassKey(reg, "0003", other.desc, "USB\\VID_F3A7&PID_0054",
                           "QUORVANEKESTRELM.INF", "KESTRELM.SYS");
         },
         "uninstall\n", {removedOne(kMeName), kRestart}, {k9xClass + "0001"},
         {k9xClass + "0003", "Enum\\USB\\VID_F3A7&PID_0054\\7"}, {}, {kMeInf, kMeSys}},

        {"9x: a brace in the serial part: the interface class is the last group", "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image, kMeName,
                       std::string("\\\\?\\USB#VID_F3A7&PID_0021#{5E1C}#") + kIface);
         },
         "uninstall\n", {removedOne(kMeName), kRestart},
         {kIfaceKey + "##?#USB#VID_F3A7&PID_0021#5&2e1c7a4&0&1#" + kIface}, {},
         {kMeInf, kMeSys}, {}},

        {"NT: an empty image path: listed, uninstalled, no driver file touched", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             reg.key(std::string(kCcs) + "Services\\kestrelf").expandSz("ImagePath", "");
         },
         "uninstall\n", {removedOne(desc)},
         {kNtUsb + "VID_F3A7&PID_0053", kEventLog + "kestrelx", kEventLog + "kestrelf"}, {},
         {kInf, kPnf}, {kFilterSys, kServiceSys, "C:\\WINDOWS\\system32\\DRIVERS"}},

        {"9x: an empty network driver name: listed, uninstalled, no driver file touched", "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image);
             reg.key(k9xClass + "0001").sz("NTMPDriver", "");
             image.file("C:\\WINDOWS\\System\\x.sys");
         },
         "uninstall\n", {removedOne(kMeName), kRestart}, {k9xClass + "0001"}, {},
         {kMeInf}, {kMeSys, "C:\\WINDOWS\\System\\x.sys"}},

        {"9x, code page 1252: class key 'QUORVANE GERÄT' is the device 'Quorvane Gerät'", "9x",
         "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image, "Quorvane Ger\xE4t");
             staleClassKey(reg, "QUORVANE GER\xC4T");
         },
         "uninstall\n", {removedOne("Quorvane Gerät")}, {k9xClass + "0001", k9xClass + "0002"},
         {}, {kMeInf, kMeSys}, {}},

        {"9x, code page 850: the same letters in that code page's bytes", "9x",
         "codepage = 850\n",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image, "Quorvane Ger\x84t");
             staleClassKey(reg, "QUORVANE GER\x8ET");
         },
         "uninstall\n", {removedOne("Quorvane Gerät")}, {k9xClass + "0002"}, {}, {}, {}},

        {"9x, code page 1252: those bytes are no case pair there", "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image, "Quorvane Ger\x84t");
             staleClassKey(reg, "QUORVANE GER\x8ET");
         },
         "uninstall\n", {removedOne("Quorvane Ger„t")}, {k9xClass + "0001"}, {k9xClass + "0002"},
         {}, {}},
    };
    for (const auto& c : cases) check(c);
}
// clang-format on

}  // namespace
}  // namespace engine_test
