// The program on damaged and hostile machine images, run as a process in
// line mode. Every case states what the operator reads and exactly which
// files and registry keys go; everything else must be as it was ("nothing
// lost"), the registry must still load, and nothing outside the image may
// change.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/hardening/image_run.h"
#include "winsim/machine.h"

namespace qu_hardening {

namespace {

const std::string kNet = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const std::string kXpInstance1 =
    "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053\\5&1f8d3a27&0&1";
const std::string kXpInstance2 =
    "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053\\5&3b0c61e9&0&2";
const std::string kXpClass7 = "System\\CurrentControlSet\\Control\\Class\\" + kNet + "\\0007";
const std::string kXpClass8 = "System\\CurrentControlSet\\Control\\Class\\" + kNet + "\\0008";
const std::string kXpFilter = "System\\CurrentControlSet\\Services\\kestrelf";
const std::string kXpEventX = "System\\CurrentControlSet\\Services\\Eventlog\\System\\kestrelx";
const std::string kXpEventF = "System\\CurrentControlSet\\Services\\Eventlog\\System\\kestrelf";
const std::string kMeInstance = "Enum\\USB\\VID_F3A7&PID_0021\\5&2E1C7A4&0&1";
const std::string kMeClass = "System\\CurrentControlSet\\Services\\Class\\Net\\0001";
const std::string kMeInterface =
    "System\\CurrentControlSet\\Control\\DeviceClasses\\{ad498944-762f-11d0-8dcb-00c04fc3358c}\\"
    "##?#USB#VID_F3A7&PID_0021#5&2e1c7a4&0&1#{ad498944-762f-11d0-8dcb-00c04fc3358c}";

const std::string kInf = "image/drive_c/WINDOWS/Inf/oem7.inf";
const std::string kPnf = "image/drive_c/WINDOWS/Inf/oem7.PNF";
const std::string kFilterSys = "image/drive_c/WINDOWS/system32/DRIVERS/kestrelf.sys";
const std::string kServiceSys = "image/drive_c/WINDOWS/system32/DRIVERS/kestrelx.sys";
const std::string kMeInf = "image/drive_c/WINDOWS/Inf/Other/QUORVANEKESTRELM.INF";
const std::string kMeSys = "image/drive_c/WINDOWS/System32/Drivers/kestrelm.sys";

// What a normal uninstall of each sample removes.
const std::set<std::string> kXpFiles = {kInf, kPnf, kFilterSys};
const std::set<std::string> kXpKeys = {"System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053",
                                       kXpClass7, kXpClass8, kXpEventX, kXpEventF};
const std::set<std::string> kMeFiles = {kMeInf, kMeSys};
const std::set<std::string> kMeKeys = {"Enum\\USB\\VID_F3A7&PID_0021", kMeClass, kMeInterface};

// Status texts, by the catalogue entry they come from.
const std::string kXpName = "Quorvane USB 2.0 Network Adapter";
const std::string kMeName = "Quorvane USB Network Adapter";
const std::string kFoundTwice = "'" + kXpName + "' has been installed '2' times";
const std::string kFoundMe = "'" + kMeName + "' has been installed on this system.";
const std::string kNotTraced = "the Windows registry is corrupted.";  // IDS_INSTALLATION_NOT_FOUND
const std::string kNoDeviceNt = "No Quorvane device detected!";       // IDS_NO_DEVICE_NT
const std::string kRemovedAll = "All '2' instances of '" + kXpName + "' were uninstalled";
const std::string kRemovedMe = "'" + kMeName + "' uninstalled successfully!";
const std::string kRestart = "You must restart Windows";
const std::string kNotPluggedIn = "not plugged in!";
const std::string kRefusedReadOnly =
    "Uninstall refused: the machine is read-only ({image}: the machine image cannot be saved";

std::string repeat(char c, size_t n) { return std::string(n, c); }

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::set<std::string> without(std::set<std::string> set, const std::set<std::string>& gone) {
    for (const auto& g : gone) set.erase(g);
    return set;
}

struct Case {
    std::string name;
    std::string sample;
    std::function<void(ImageRun&)> damage;
    std::string commands;
    int status;
    std::vector<std::string> says;  // in this order on standard output
    std::set<std::string> filesGone;
    std::set<std::string> keysGone;
    std::string errorSays = "";  // on standard error; "{image}" stands for the image dir
    std::set<std::string> filesChanged = {};
};

void setBothInstances(ImageRun& i, const std::string& name, const std::string& value) {
    i.setString(kXpInstance1, name, value);
    i.setString(kXpInstance2, name, value);
}

void setBothClasses(ImageRun& i, const std::string& name, const std::string& value) {
    i.setString(kXpClass7, name, value);
    i.setString(kXpClass8, name, value);
}

void rawBothClasses(ImageRun& i, const std::string& name, uint32_t type, const std::string& v) {
    i.setRaw(kXpClass7, name, type, bytes(v));
    i.setRaw(kXpClass8, name, type, bytes(v));
}

void check(const Case& c) {
    SCOPED_TRACE(c.name);
    ImageRun image(c.sample);
    c.damage(image);
    image.snapshot();
    // A plan before each Uninstall: what it lists is exactly what goes.
    const bool planned = c.commands == "uninstall\n";
    const RunResult r = image.run(planned ? "plan\n" + c.commands : c.commands);

    EXPECT_EQ(r.status, c.status) << r.err;
    // A read-only machine still plans, but refuses the Uninstall itself.
    if (planned && c.errorSays != kRefusedReadOnly) {
        bool found = false;
        EXPECT_EQ(planList(r.out, "keys", &found), image.removedKeys) << r.out;
        EXPECT_EQ(planList(r.out, "files", &found), image.removedFiles) << r.out;
        // A backup exactly when something went.
        const bool removed = !image.removedKeys.empty() || !image.removedFiles.empty();
        EXPECT_EQ(image.backups.size(), removed ? 1u : 0u);
    }
    size_t at = 0;
    for (const auto& text : c.says) {
        const size_t found = r.out.find(text, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << text << "\n" << r.out;
        if (found != std::string::npos) at = found + text.size();
    }
    // A sanitizer build of the program reports here.
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    if (!c.errorSays.empty()) {
        std::string says = c.errorSays;
        const size_t image_at = says.find("{image}");
        if (image_at != std::string::npos) says.replace(image_at, 7, image.dir());
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }

    EXPECT_EQ(image.removedFiles, c.filesGone) << r.out << r.err;
    EXPECT_EQ(image.changedFiles, c.filesChanged);
    EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
    EXPECT_EQ(image.registryLoads, image.registryLoadedBefore);
    // With no key to remove there is nothing to save: system.reg keeps its bytes.
    if (c.keysGone.empty()) {
        EXPECT_TRUE(image.regFileKept);
    }
    EXPECT_EQ(image.removedKeys, c.keysGone);
    EXPECT_TRUE(image.changedKeys.empty()) << *image.changedKeys.begin();
    EXPECT_TRUE(image.createdKeys.empty()) << *image.createdKeys.begin();
}

const std::string kUninstall = "uninstall\n";
const std::set<std::string> kNothing;

// The tables read best one case to a paragraph.
// clang-format off

TEST(BadInput, OverlongValuesAndPaths) {
    const std::vector<Case> cases = {
        {"description longer than its buffer: listed without a name, never removed", "xp",
         [](ImageRun& i) { setBothInstances(i, "DeviceDesc", repeat('D', 300)); },
         kUninstall, 1, {"'' has been installed '2' times", "'' " + kNotPluggedIn},
         kNothing, kNothing},
        {"hardware ID longer than its buffer: no device", "xp",
         [](ImageRun& i) {
             const std::string id = "USB\\VID_F3A7&PID_0053&" + repeat('X', 300);
             i.setRaw(kXpInstance1, "HardwareID", 7, bytes(id + '\0' + '\0'));
             i.setRaw(kXpInstance2, "HardwareID", 7, bytes(id + '\0' + '\0'));
         },
         kUninstall, 0, {kNoDeviceNt}, kNothing, kNothing},
        {"service name longer than its buffer: its event-log key stays", "xp",
         [](ImageRun& i) { setBothInstances(i, "Service", repeat('s', 300)); },
         kUninstall, 0, {kFoundTwice, kRemovedAll}, kXpFiles, without(kXpKeys, {kXpEventX})},
        {"driver key name longer than its buffer", "xp",
         [](ImageRun& i) { setBothInstances(i, "Driver", kNet + "\\" + repeat('7', 300)); },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"lower filter longer than its buffer: the service's driver goes instead", "xp",
         [](ImageRun& i) {
             const std::string list = repeat('f', 300) + '\0' + '\0';
             i.setRaw(kXpInstance1, "LowerFilters", 7, bytes(list));
             i.setRaw(kXpInstance2, "LowerFilters", 7, bytes(list));
         },
         kUninstall, 0, {kRemovedAll}, {kInf, kPnf, kServiceSys}, without(kXpKeys, {kXpEventF})},
        {"INF name longer than its buffer", "xp",
         [](ImageRun& i) { setBothClasses(i, "InfPath", repeat('i', 300) + ".inf"); },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"image path longer than its buffer", "xp",
         [](ImageRun& i) {
             i.setRaw(kXpFilter, "ImagePath", 2, bytes("system32\\" + repeat('d', 300) + '\0'));
         },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"Windows directory so long that the composed paths do not fit", "xp",
         [](ImageRun& i) { i.appendIni("[system]\r\nwindows = C:\\" + repeat('W', 245) + "\r\n"); },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"9x: symbolic name longer than its buffer: the interface keys stay", "me",
         [](ImageRun& i) {
             i.setString(kMeInstance, "SymbolicName", "\\\\?\\USB#" + repeat('S', 300) + "#{x}");
         },
         kUninstall, 4, {kFoundMe, kRemovedMe, kRestart}, kMeFiles,
         without(kMeKeys, {kMeInterface})},
        {"9x: driver name longer than its buffer", "me",
         [](ImageRun& i) { i.setString(kMeClass, "NTMPDriver", repeat('n', 300) + ".sys"); },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"9x: an instance key of the longest name, without a symbolic name, enumerated first", "me",
         [](ImageRun& i) {
             i.setString("Enum\\USB\\VID_F3A7&PID_0021\\0" + repeat('K', 254), "x", "y");
         },
         kUninstall, 4, {kRemovedMe, kRestart}, kMeFiles, without(kMeKeys, {kMeInterface})},
        {"9x: another adapter's class value too long to compare: that key stays", "me",
         [](ImageRun& i) {
             i.setString("System\\CurrentControlSet\\Services\\Class\\Net\\0000",
                         "MatchingDeviceId", "USB\\VID_F3A7&PID_0021" + repeat('m', 300));
         },
         kUninstall, 4, {kRemovedMe}, kMeFiles, kMeKeys},
    };
    for (const auto& c : cases) check(c);
}

TEST(BadInput, UnterminatedBinaryEmptyAndMissingValues) {
    const std::vector<Case> cases = {
        {"INF name filling the whole buffer without a terminating zero", "xp",
         [](ImageRun& i) { rawBothClasses(i, "InfPath", 1, repeat('a', 260)); },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"INF name without its terminating zero but shorter than the buffer", "xp",
         [](ImageRun& i) { rawBothClasses(i, "InfPath", 1, "oem7.inf"); },
         kUninstall, 0, {kRemovedAll}, kXpFiles, kXpKeys},
        {"INF name stored as binary data", "xp",
         [](ImageRun& i) { rawBothClasses(i, "InfPath", 3, std::string("oem7.inf") + '\0'); },
         kUninstall, 0, {kRemovedAll}, kXpFiles, kXpKeys},
        {"image path stored as a number: no file of that name is touched", "xp",
         [](ImageRun& i) { i.setRaw(kXpFilter, "ImagePath", 4, {1, 0, 0, 0}); },
         kUninstall, 0, {kRemovedAll}, {kInf, kPnf}, kXpKeys},
        {"empty INF name", "xp",
         [](ImageRun& i) { setBothClasses(i, "InfPath", ""); },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"missing INF name", "xp",
         [](ImageRun& i) {
             i.deleteValue(kXpClass7, "InfPath");
             i.deleteValue(kXpClass8, "InfPath");
         },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"missing image path", "xp",
         [](ImageRun& i) { i.deleteValue(kXpFilter, "ImagePath"); },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"empty service and no lower filter", "xp",
         [](ImageRun& i) {
             setBothInstances(i, "Service", "");
             i.deleteValue(kXpInstance1, "LowerFilters");
             i.deleteValue(kXpInstance2, "LowerFilters");
         },
         kUninstall, 0, {kNotTraced, kNoDeviceNt}, kNothing, kNothing},
        {"empty description: listed without a name and removed by it", "xp",
         [](ImageRun& i) { setBothInstances(i, "DeviceDesc", ""); },
         kUninstall, 0, {"'' has been installed '2' times", "All '2' instances of '' were"},
         kXpFiles, kXpKeys},
        {"9x: empty driver name: uninstalled, no driver file touched", "me",
         [](ImageRun& i) { i.setString(kMeClass, "NTMPDriver", ""); },
         kUninstall, 4, {kRemovedMe, kRestart}, {kMeInf}, kMeKeys},
        {"9x: driver name with a directory before the family's own file", "me",
         [](ImageRun& i) { i.setString(kMeClass, "NTMPDriver", "C:\\Elsewhere\\KESTRELM.SYS"); },
         kUninstall, 4, {kRemovedMe}, kMeFiles, kMeKeys},
    };
    for (const auto& c : cases) check(c);
}

TEST(BadInput, HostilePaths) {
    const auto bootIni = [](ImageRun& i) { i.writeDriveFile("C:\\boot.ini", "[boot loader]"); };
    const std::vector<Case> cases = {
        {"INF name climbing out of the Windows directory", "xp",
         [&](ImageRun& i) {
             bootIni(i);
             setBothClasses(i, "InfPath", "..\\..\\boot.ini");
         },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"INF name with a separator", "xp",
         [](ImageRun& i) { setBothClasses(i, "InfPath", "sub\\oem7.inf"); },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"INF name with a forward slash", "xp",
         [](ImageRun& i) { setBothClasses(i, "InfPath", "../oem7.inf"); },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"INF name with a drive letter", "xp",
         [&](ImageRun& i) {
             bootIni(i);
             setBothClasses(i, "InfPath", "C:\\boot.ini");
         },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"INF name relative to a drive", "xp",
         [](ImageRun& i) { setBothClasses(i, "InfPath", "C:oem7.inf"); },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"image path climbing out of the Windows directory", "xp",
         [&](ImageRun& i) {
             bootIni(i);
             i.setRaw(kXpFilter, "ImagePath", 2, bytes(std::string("..\\boot.ini") + '\0'));
         },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"absolute image path outside the Windows directory: uninstalled, that file kept", "xp",
         [&](ImageRun& i) {
             bootIni(i);
             i.setRaw(kXpFilter, "ImagePath", 2, bytes(std::string("\\??\\C:\\boot.ini") + '\0'));
         },
         kUninstall, 0, {kRemovedAll}, {kInf, kPnf}, kXpKeys},
        {"absolute image path climbing out of the Windows directory", "xp",
         [&](ImageRun& i) {
             bootIni(i);
             i.setString(kXpFilter, "ImagePath", "C:\\WINDOWS\\..\\boot.ini");
         },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"9x: driver name climbing out", "me",
         [](ImageRun& i) {
             i.writeDriveFile("C:\\io.sys", "x");
             i.setString(kMeClass, "NTMPDriver", "..\\..\\io.sys");
         },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"9x: INF name climbing out", "me",
         [](ImageRun& i) { i.setString(kMeClass, "InfPath", "..\\..\\..\\io.sys"); },
         kUninstall, 0, {kNotTraced}, kNothing, kNothing},
        {"the INF file is a link out of drive_c: the link and its target stay", "xp",
         [](ImageRun& i) {
             i.linkDrivePath("C:\\WINDOWS\\Inf\\oem7.inf", i.outside() + "/keep.txt");
         },
         kUninstall, 0, {kRemovedAll}, {kPnf, kFilterSys}, kXpKeys},
        {"the drivers folder is a link out of drive_c: nothing there is deleted", "xp",
         [](ImageRun& i) {
             i.linkDrivePath("C:\\WINDOWS\\system32\\DRIVERS", i.outside());
             std::ofstream(i.outside() + "/kestrelf.sys") << "outside";
         },
         kUninstall, 0, {kRemovedAll}, {kInf, kPnf}, kXpKeys},
        {"the INF file is a link to a read-only file inside drive_c: the link goes, the "
         "target stays as it was, read-only", "xp",
         [](ImageRun& i) {
             i.writeDriveFile("C:\\WINDOWS\\Inf\\target.inf", "kept", true);
             i.linkDrivePath("C:\\WINDOWS\\Inf\\oem7.inf", i.dir() + "/drive_c/WINDOWS/Inf/target.inf");
         },
         kUninstall, 0, {kRemovedAll}, kXpFiles, kXpKeys},
        {"9x: the INF folder is a link out of drive_c", "me",
         [](ImageRun& i) {
             i.linkDrivePath("C:\\WINDOWS\\Inf\\Other", i.outside());
             std::ofstream(i.outside() + "/QUORVANEKESTRELM.INF") << "outside";
         },
         kUninstall, 4, {kRemovedMe}, {kMeSys}, kMeKeys},
    };
    for (const auto& c : cases) check(c);
}

TEST(BadInput, RefusalsAndFileFaults) {
    const std::vector<Case> cases = {
        {"NT: key deletion refused: the event-log keys stay", "xp",
         [](ImageRun& i) { i.appendIni("[faults]\r\ndeletekey = refuse\r\n"); },
         kUninstall, 0, {kRemovedAll}, kXpFiles, without(kXpKeys, {kXpEventX, kXpEventF})},
        {"9x: key deletion refused: the scrub ends in 110; the device installer's removal stands",
         "me", [](ImageRun& i) { i.appendIni("[faults]\r\ndeletekey = refuse\r\n"); },
         kUninstall, 1, {"cannot be uninstalled from the system!"}, kMeFiles, {kMeInstance}},
        {"read-only INF file: deleted all the same", "xp",
         [](ImageRun& i) { i.writeDriveFile("C:\\WINDOWS\\Inf\\oem7.inf", "inf", true); },
         kUninstall, 0, {kRemovedAll}, kXpFiles, kXpKeys},
        {"missing driver file: the rest goes", "xp",
         [](ImageRun& i) { i.removeDriveFile("C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys"); },
         kUninstall, 0, {kRemovedAll}, {kInf, kPnf}, kXpKeys},
        {"device removal failing: no file and no key of the program's own goes", "xp",
         [](ImageRun& i) { i.appendIni("[faults]\r\nremove = fail\r\n"); },
         kUninstall, 1, {"cannot be uninstalled from the system!"}, kNothing, kNothing},
    };
    for (const auto& c : cases) check(c);
}

TEST(BadInput, DamagedImages) {
    const std::vector<Case> cases = {
        {"unreadable system.reg: refused, nothing changes", "xp",
         [](ImageRun& i) { i.chmodImage("system.reg", 0, false); },
         kUninstall, 2, {}, kNothing, kNothing, "system.reg"},
        {"system.reg cut inside its header: refused", "xp",
         [](ImageRun& i) { i.writeImageFile("system.reg", "REGED"); },
         kUninstall, 2, {}, kNothing, kNothing, "system.reg"},
        {"empty system.reg: refused", "xp",
         [](ImageRun& i) { i.writeImageFile("system.reg", ""); },
         kUninstall, 2, {}, kNothing, kNothing, "system.reg"},
        {"binary garbage for system.reg: refused", "xp",
         [](ImageRun& i) { i.writeImageFile("system.reg", std::string("\x7f" "ELF\0\x01\x02", 7)); },
         kUninstall, 2, {}, kNothing, kNothing, "system.reg"},
        {"system.reg a folder: refused", "xp",
         [](ImageRun& i) {
             i.writeImageFile("system.reg", "");
             std::filesystem::remove(i.dir() + "/system.reg");
             std::filesystem::create_directory(i.dir() + "/system.reg");
         },
         kUninstall, 2, {}, kNothing, kNothing, "{image}/system.reg: is a folder, not a file"},
        {"system.reg cut before the device's keys: no device, and the file is not rewritten", "xp",
         [](ImageRun& i) {
             const std::string reg = i.readImageFile("system.reg");
             const size_t cut = reg.find("\"InfPath\"=\"oem7.inf\"");
             ASSERT_NE(cut, std::string::npos);
             i.writeImageFile("system.reg", reg.substr(0, cut + 12));
         },
         kUninstall, 0, {kNoDeviceNt}, kNothing, kNothing},
    };
    for (const auto& c : cases) check(c);
}

// An image whose registry could not be saved is used read-only: Detect
// works, Uninstall is refused before any file goes (so that files and
// registry never disagree), and the exit status says it was refused.
TEST(BadInput, ReadOnlyImageDirKeepsFilesAndRegistryTogether) {
    const std::vector<Case> cases = {
        {"image without write permission", "xp",
         [](ImageRun& i) { i.chmodImage("", 0555, true); },
         kUninstall, 1, {kFoundTwice}, kNothing, kNothing, kRefusedReadOnly},
        {"image directory read-only, drive_c writable", "xp",
         [](ImageRun& i) { i.chmodImage("", 0555, false); },
         kUninstall, 1, {kFoundTwice}, kNothing, kNothing, kRefusedReadOnly},
        {"system.reg read-only in a writable directory", "xp",
         [](ImageRun& i) { i.chmodImage("system.reg", 0444, false); },
         kUninstall, 1, {kFoundTwice}, kNothing, kNothing, kRefusedReadOnly},
        {"9x: image directory read-only, drive_c writable", "me",
         [](ImageRun& i) { i.chmodImage("", 0555, false); },
         kUninstall, 1, {kFoundMe}, kNothing, kNothing, kRefusedReadOnly},
    };
    for (const auto& c : cases) check(c);
}

// clang-format on

// A commit that fails during the run all the same (here: the file size
// limit stops the write, as a full disk would) loses nothing: the command's
// registry changes and file deletions are all left undone, the failure is
// reported and the program ends with status 1; no file of the commit stays.
TEST(BadInput, CommitFailingDuringTheRunChangesNothingAndIsReported) {
    ImageRun image("xp");
    image.snapshot();
    const RunResult r = image.run(kUninstall, "trap '' XFSZ; ulimit -f 8");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find(kRemovedAll), std::string::npos) << r.out;
    // The new system.reg, written first, is what the limit stops; no part of
    // it stays, and no backup is written.
    EXPECT_NE(r.err.find("the machine image could not be saved: cannot write " + image.dir() +
                         "/system.reg.new-"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(image.backups.empty()) << *image.backups.begin();
    EXPECT_TRUE(image.regFileKept);
    EXPECT_TRUE(image.removedKeys.empty()) << *image.removedKeys.begin();
    EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
    EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
}

// Lines of system.reg that the reader skips (a dword of nine digits, a
// line that is no key, value or comment) outlive the saves of an uninstall
// where they were and are skipped again by the next load. A key name over
// 255 characters is no line to skip: the image is refused and nothing
// changes.
TEST(BadInput, SkippedRegistryLinesSurviveASave) {
    ImageRun image("xp");
    const std::string tail =
        "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept]\r\n"
        "\"Odd\"=dword:123456789\r\n\"Fine\"=\"yes\"\r\nnoise line\r\n";
    const std::string original = image.readImageFile("system.reg");
    image.writeImageFile("system.reg", original + tail);
    image.snapshot();
    const RunResult r = image.run(kUninstall);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(kRemovedAll), std::string::npos) << r.out;
    EXPECT_EQ(image.removedKeys, kXpKeys);
    EXPECT_TRUE(image.changedKeys.empty()) << *image.changedKeys.begin();
    const std::string saved = image.readImageFile("system.reg");
    EXPECT_EQ(saved.substr(saved.size() - tail.size()), tail);
    // The file it left is skipped where the program's own load skipped it.
    const auto skips = [](const std::string& text) {
        std::vector<std::string> found;
        for (const char* what : {"bad dword data", "not a key, value or comment line"}) {
            if (text.find(what) != std::string::npos) found.push_back(what);
        }
        return found;
    };
    EXPECT_EQ(skips(r.err).size(), 2u) << r.err;
    testing::internal::CaptureStderr();
    std::string error;
    ASSERT_TRUE(winsim::loadMachine(image.dir(), &error)) << error;
    testing::internal::GetCapturedStderr();
    std::string warnings;
    for (const auto& w : winsim::loadWarnings()) warnings += w + "\n";
    const size_t count = winsim::loadWarnings().size();
    winsim::unloadMachine();
    EXPECT_EQ(count, 2u) << warnings;
    EXPECT_EQ(skips(warnings), skips(r.err));

    ImageRun refused("xp");
    const std::string longKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + repeat('k', 256) + "]";
    refused.writeImageFile("system.reg", original + "\r\n" + longKey + "\r\n");
    refused.snapshot();
    const RunResult r2 = refused.run(kUninstall);
    EXPECT_EQ(r2.status, 2) << r2.err;
    EXPECT_NE(r2.err.find("/system.reg:" +
                          std::to_string(std::count(original.begin(), original.end(), '\n') + 2) +
                          ": key name of 256 characters"),
              std::string::npos)
        << r2.err;
    EXPECT_TRUE(refused.regFileKept);
    EXPECT_TRUE(refused.removedKeys.empty());
    EXPECT_TRUE(refused.removedFiles.empty());
}

}  // namespace
}  // namespace qu_hardening
