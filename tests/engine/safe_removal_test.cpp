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
#include <utility>

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
constexpr char kPortsGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
const std::string kEventX = kEventLog + "kestrelx";

// Status texts as the pane shows them (UTF-8).
std::string removedOne(const std::string& name) {
    return "'" + name + "' uninstalled successfully!";
}
std::string removedAll(unsigned count, const std::string& name) {
    return "All '" + std::to_string(count) + "' instances of '" + name + "' were uninstalled";
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

// Slot 1 on NT without a filter: its driver file is the service's,
// kestrelx.sys.
void ntPlainAdapter(RegText& reg, qu_test::TempImage& image) {
    addNtInstall(reg, false);
    addNtDevice(reg, NtDevice());
    for (const char* file : {kInf, kPnf, kServiceSys}) image.file(file);
}

// A function of another class on the NT layout: its instance (with a
// hardware ID) and its driver key (InfPath) below the class key.
void ntFunction(RegText& reg, const std::string& instance, const std::string& classGuid,
                const std::string& hardwareId, const std::string& service,
                const std::string& driverKey, const std::string& infPath) {
    reg.key(kNtUsb + instance)
        .sz("ClassGUID", classGuid)
        .sz("DeviceDesc", "Quorvane USB Serial Port")
        .multiSz("HardwareID", {hardwareId})
        .sz("Service", service)
        .sz("Driver", classGuid + "\\" + driverKey);
    reg.key(std::string(kCcs) + "Control\\Class\\" + classGuid + "\\" + driverKey)
        .sz("InfPath", infPath)
        .sz("DriverDesc", "Quorvane USB Serial Port");
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
    // On standard error, in this order (what remains after an Uninstall).
    std::vector<std::string> remains = {};
    // The exit status; -1: 0, or 4 (a 9x Uninstall waits for its restart).
    int status = -1;
};

std::string readAndRemove(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    std::remove(path.c_str());
    return text.str();
}

// Runs the program on the image in line mode; its standard output and
// standard error.
std::pair<std::string, std::string> runProgram(const std::string& imageDir,
                                               const std::string& commands, int status) {
    const std::string in = imageDir + ".stdin", out = imageDir + ".stdout";
    const std::string err = imageDir + ".stderr";
    std::ofstream(in, std::ios::binary) << commands;
    const std::string command = "'" QU_PROGRAM "' --machine '" + imageDir + "' --headless <'" + in +
                                "' >'" + out + "' 2>'" + err + "'";
    const int raw = std::system(command.c_str());
    const int exit = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (status < 0) {
        EXPECT_TRUE(exit == 0 || exit == 4) << command;
    } else {
        EXPECT_EQ(exit, status) << command;
    }
    std::remove(in.c_str());
    return {readAndRemove(out), readAndRemove(err)};
}

// Each of `texts` in `out`, in this order.
void expectInOrder(const std::string& out, const std::vector<std::string>& texts) {
    size_t at = 0;
    for (const auto& text : texts) {
        const size_t found = out.find(text, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << text << "\n" << out;
        if (found != std::string::npos) at = found + text.size();
    }
}

void check(const Case& c) {
    SCOPED_TRACE(c.name);
    qu_test::TempImage image(c.platform, c.platform == "nt" ? "5.1.2600" : "4.90.3000");
    if (!c.iniText.empty()) image.ini(c.iniText);
    RegText reg;
    c.build(reg, image);
    image.reg(reg.text());

    const auto [out, err] = runProgram(image.dir(), c.commands, c.status);
    expectInOrder(out, c.says);
    expectInOrder(err, c.remains);

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
         "uninstall\n", {removedOne(desc)},
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

        {"NT: an absolute image path elsewhere: listed, uninstalled, that file kept and named",
         "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntAdapter(reg, image);
             reg.key(std::string(kCcs) + "Services\\kestrelf")
                 .expandSz("ImagePath", "\\??\\C:\\Drivers\\kestrelf.sys");
             image.file("C:\\Drivers\\kestrelf.sys");
         },
         "devices\nuninstall\n",
         {"\"driver\": \"C:\\\\Drivers\\\\kestrelf.sys\"", removedOne(desc)},
         {kNtUsb + "VID_F3A7&PID_0053\\1", kNtClass + "0007", kEventLog + "kestrelf"}, {},
         {kInf, kPnf}, {kFilterSys, "C:\\Drivers\\kestrelf.sys"},
         {"still on the machine", "C:\\Drivers\\kestrelf.sys"}},

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

        // ---- Another function of the same hardware, and what it shares ----
        {"NT: a composite's Ports function (MI_01) stays with the INF, PNF, driver file and "
         "event-log key it shares",
         "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntPlainAdapter(reg, image);
             ntFunction(reg, "VID_F3A7&PID_0053&MI_01\\6&2a1b&0&0001", kPortsGuid,
                        "USB\\Vid_f3a7&Pid_0053&MI_01", "kestrelx", "0000", "oem7.inf");
         },
         "uninstall\n", {removedOne(desc)}, {kNtUsb + "VID_F3A7&PID_0053", kNtClass + "0007"},
         {kNtUsb + "VID_F3A7&PID_0053&MI_01\\6&2a1b&0&0001", kEventX}, {},
         {kInf, kPnf, kServiceSys}},

        {"9x: the adapter is a composite's second function: the first (Ports) keeps its "
         "enumeration key and the INF it shares",
         "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             Device9x adapter;
             adapter.instance = "USB\\VID_F3A7&PID_0021&MI_01\\7&1A&0&1";
             adapter.hardwareIds = "USB\\VID_F3A7&PID_0021&MI_01";
             adapter.symbolicName = "";
             add9xDevice(reg, adapter);
             add9xClassKey(reg, "0001", kMeName, "USB\\VID_F3A7&PID_0021&MI_01",
                           "QUORVANEKESTRELM.INF", "kestrelm.sys");
             reg.key("Enum\\USB\\VID_F3A7&PID_0021&MI_00\\7&1A&0&0")
                 .sz("Class", "Ports")
                 .sz("DeviceDesc", "Quorvane USB Serial Port")
                 .sz("HardwareID", "USB\\VID_F3A7&PID_0021&MI_00")
                 .sz("Driver", "Ports\\0000");
             reg.key(std::string(kCcs) + "Services\\Class\\Ports\\0000")
                 .sz("InfPath", "QUORVANEKESTRELM.INF");
             image.file(kMeInf);
             image.file(kMeSys);
         },
         "uninstall\n", {removedOne(kMeName), kRestart},
         {"Enum\\USB\\VID_F3A7&PID_0021&MI_01", k9xClass + "0001"},
         {"Enum\\USB\\VID_F3A7&PID_0021&MI_00\\7&1A&0&0", kCcs + std::string("Services\\Class\\Ports\\0000")},
         {kMeSys}, {kMeInf}},

        {"NT: another adapter's service of another name runs the same driver file: it stays",
         "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntPlainAdapter(reg, image);
             addNtDevice(reg, otherAdapter());
             reg.key(std::string(kCcs) + "Services\\ardgbe")
                 .expandSz("ImagePath", "\\SystemRoot\\System32\\drivers\\KESTRELX.SYS");
         },
         "uninstall\n", {removedOne(desc)}, {kEventX}, {}, {kInf, kPnf}, {kServiceSys}},

        // ---- Files outside the Windows directory, and Windows' own INFs ----
        {"9x: an absolute network driver inside the Windows directory is deleted", "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image);
             reg.key(k9xClass + "0001").sz("NTMPDriver", "C:\\WINDOWS\\System\\OtherMP.sys");
             image.file("C:\\WINDOWS\\System\\OtherMP.sys");
         },
         "uninstall\n", {removedOne(kMeName), kRestart}, {k9xClass + "0001"}, {},
         {kMeInf, "C:\\WINDOWS\\System\\OtherMP.sys"}, {kMeSys}},

        {"9x: an absolute network driver elsewhere is kept and named", "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image);
             reg.key(k9xClass + "0001").sz("NTMPDriver", "C:\\Drivers\\OtherMP.sys");
             image.file("C:\\Drivers\\OtherMP.sys");
         },
         "devices\nuninstall\n",
         {"\"driver\": \"c:\\\\drivers\\\\othermp.sys\"", removedOne(kMeName), kRestart},
         {k9xClass + "0001"}, {}, {kMeInf}, {"C:\\Drivers\\OtherMP.sys", kMeSys},
         {"still on the machine", "C:\\Drivers\\OtherMP.sys"}},

        {"NT: Windows' own INF (netrndis.inf) and its PNF stay and are named", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntPlainAdapter(reg, image);
             reg.key(kNtClass + "0007").sz("InfPath", "netrndis.inf");
             image.file("C:\\WINDOWS\\Inf\\netrndis.inf");
             image.file("C:\\WINDOWS\\Inf\\netrndis.PNF");
         },
         "uninstall\n", {removedOne(desc)}, {kNtClass + "0007", kEventX}, {}, {kServiceSys},
         {"C:\\WINDOWS\\Inf\\netrndis.inf", "C:\\WINDOWS\\Inf\\netrndis.PNF", kInf, kPnf},
         {"still on the machine", "C:\\WINDOWS\\Inf\\netrndis.inf"}},

        {"NT: an OEM INF named in capitals (OEM12.INF) goes with its PNF", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntPlainAdapter(reg, image);
             reg.key(kNtClass + "0007").sz("InfPath", "OEM12.INF");
             image.file("C:\\WINDOWS\\Inf\\OEM12.INF");
             image.file("C:\\WINDOWS\\Inf\\OEM12.PNF");
         },
         "uninstall\n", {removedOne(desc)}, {}, {}, 
         {"C:\\WINDOWS\\Inf\\OEM12.INF", "C:\\WINDOWS\\Inf\\OEM12.PNF", kServiceSys}, {kInf, kPnf}},

        // ---- The count and the device's own leftover instance ----
        {"NT: three instances seen, two of them the adapter's: 'All 2' instances", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntPlainAdapter(reg, image);
             NtDevice second;
             second.instance = "USB\\VID_F3A7&PID_0053\\2";
             addNtDevice(reg, second);
             reg.key(kNtUsb + "VID_F3A7&PID_0053\\3")
                 .sz("ClassGUID", "{4D36E96C-E325-11CE-BFC1-08002BE10318}")
                 .sz("Service", "usbaudio")
                 .multiSz("HardwareID", {"USB\\Vid_f3a7&Pid_0053&MI_02"});
         },
         "uninstall\n", {"installed '3' times", removedAll(2, desc)},
         {kNtUsb + "VID_F3A7&PID_0053\\1", kNtUsb + "VID_F3A7&PID_0053\\2", kEventX},
         {kNtUsb + "VID_F3A7&PID_0053\\3"}, {kInf, kPnf, kServiceSys}, {}},

        {"NT: the device's own leftover instance (no hardware ID) goes with the others", "nt", "",
         [](RegText& reg, qu_test::TempImage& image) {
             ntPlainAdapter(reg, image);
             NtDevice leftover;
             leftover.instance = "USB\\VID_F3A7&PID_0053\\5&9&0&3";
             leftover.hardwareIds = {};
             leftover.driver = "";
             addNtDevice(reg, leftover);
         },
         "uninstall\n", {"installed '2' times", removedAll(2, desc)},
         {kNtUsb + "VID_F3A7&PID_0053", kEventX}, {}, {kInf, kPnf, kServiceSys}, {}},

        // ---- 98/ME: refused deletions and interfaces with a reference string ----
        {"9x: the registry refuses key deletions: 110, and the keys stay", "9x",
         "[faults]\ndeletekey = refuse\n", [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image);
         },
         "uninstall\n", {"'" + std::string(kMeName) + "' cannot be uninstalled"}, {},
         {"Enum\\USB\\VID_F3A7&PID_0021", k9xClass + "0001"}, {}, {}, {}, 1},

        {"9x: an interface with a reference string loses its keys too", "9x", "",
         [](RegText& reg, qu_test::TempImage& image) {
             meAdapter(reg, image, kMeName, Device9x().symbolicName + "\\Ref0");
             reg.key(kIfaceKey + "##?#USB#VID_F3A7&PID_0021#5&2e1c7a4&0&1#" + kIface + "\\#Ref0")
                 .sz("SymbolicLink", Device9x().symbolicName + "\\Ref0");
         },
         "uninstall\n", {removedOne(kMeName), kRestart},
         {kIfaceKey + "##?#USB#VID_F3A7&PID_0021#5&2e1c7a4&0&1#" + kIface}, {}, {}, {}},

        // ---- Line mode: every output on its own line ----
        {"line mode: what follows message 119 (no line end) starts a line of its own", "nt",
         "[faults]\nversion = fail\n", [](RegText&, qu_test::TempImage&) {},
         "state\ndetect\nstate\n",
         {"re-install Windows.\n{\"status\": \"ERROR", "}\nNOTE: No Quorvane device detected!",
          "\r\r\n{\"status\": "},
         {}, {}, {}, {}},

        {"line mode: a run that ends after message 119 ends its last line", "nt",
         "[faults]\nversion = fail\n", [](RegText&, qu_test::TempImage&) {}, "close\n",
         {"re-install Windows.\n"}, {}, {}, {}, {}},
    };
    for (const auto& c : cases) check(c);
}
// clang-format on

}  // namespace
}  // namespace engine_test
