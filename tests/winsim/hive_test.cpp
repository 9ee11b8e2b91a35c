// The registry of a mounted installation in its hive files: found from the
// Windows directory or the drive root, read for detection, changed through
// hivex after a backup, or used read-only.
#include <gtest/gtest.h>
#include <hivex.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/win32.h"
#include "tests/support/creg_writer.h"
#include "tests/support/hive_damage.h"
#include "tests/support/hive_writer.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/safety.h"
#include "winsim/offline.h"
#include "winsim/src/base/codepage.h"

namespace {

using qu_test::listTree;
using qu_test::readHostFile;

namespace fs = std::filesystem;

const char kReg[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
    "\"CurrentVersion\"=\"5.0\"\r\n"
    "\"CurrentBuildNumber\"=\"2195\"\r\n"
    "\"SystemRoot\"=\"C:\\\\WINNT\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Unread]\r\n"
    "\"x\"=dword:00000001\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_F3A7&PID_0053\\5&1]\r\n"
    "\"Driver\"=\"{4D36E972-E325-11CE-BFC1-08002BE10318}\\\\0007\"\r\n"
    "\"HardwareID\"=hex(7):75,73,62,00,00\r\n"
    "\"Caf\xE9\"=\"na\xEFve\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_F3A7&PID_0053\\5&1\\LogConf]\r\n"
    "\"BasicConfigVector\"=hex(a):01,02,03\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\kestrelx]\r\n"
    "\"Start\"=dword:00000003\r\n"
    "\"ImagePath\"=hex(2):53,79,73,00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Tcpip]\r\n"
    "\"Start\"=dword:00000001\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\kestrelx]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n"
    "\"Current\"=dword:00000001\r\n\r\n";

// A drive with an installation: <root>/<windows>/<system32>/<config>/<hives>.
class Installation {
public:
    Installation(const std::string& windows = "WINNT", const std::string& system32 = "system32",
                 const std::string& config = "config", const std::string& system = "system") {
        char pattern[] = "/tmp/qu-hive-XXXXXX";
        root_ = ::mkdtemp(pattern);
        windows_ = root_ + "/" + windows;
        config_ = windows_ + "/" + system32 + "/" + config;
        fs::create_directories(config_);
        system_ = config_ + "/" + system;
        software_ = config_ + "/software";
        std::string error;
        EXPECT_TRUE(qu_test::writeHiveFromReg(kReg, "HKEY_LOCAL_MACHINE\\SYSTEM", system_, &error))
            << error;
        EXPECT_TRUE(
            qu_test::writeHiveFromReg(kReg, "HKEY_LOCAL_MACHINE\\SOFTWARE", software_, &error))
            << error;
    }
    ~Installation() {
        winsim::unloadMachine();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    const std::string& root() const { return root_; }
    const std::string& windows() const { return windows_; }
    const std::string& config() const { return config_; }
    const std::string& system() const { return system_; }

    bool load(std::string* out, bool readOnly = false) {
        winsim::LoadOptions options;
        options.installation = true;
        options.readOnly = readOnly;
        testing::internal::CaptureStderr();
        const bool ok = winsim::loadMachine(root_, options, out);
        *out += testing::internal::GetCapturedStderr();
        return ok;
    }

private:
    std::string root_, windows_, config_, system_, software_;
};

// Every key and value of a hive file, one line each, in hive order.
std::string dumpHive(const std::string& file) {
    hive_h* h = hivex_open(file.c_str(), 0);
    if (!h) return "cannot open";
    std::string out;
    std::function<void(hive_node_h, const std::string&)> walk = [&](hive_node_h n,
                                                                    const std::string& path) {
        out += path + "\n";
        hive_value_h* values = hivex_node_values(h, n);
        for (size_t i = 0; values && values[i]; ++i) {
            char* key = hivex_value_key(h, values[i]);
            hive_type t;
            size_t len = 0;
            char* data = hivex_value_value(h, values[i], &t, &len);
            out += "  " + std::string(key) + " " + std::to_string(t) + " " +
                   std::string(data, len) + "\n";
            free(key);
            free(data);
        }
        free(values);
        hive_node_h* children = hivex_node_children(h, n);
        for (size_t i = 0; children && children[i]; ++i) {
            char* name = hivex_node_name(h, children[i]);
            walk(children[i], path + "\\" + name);
            free(name);
        }
        free(children);
    };
    walk(hivex_root(h), "");
    hivex_close(h);
    return out;
}

TEST(Hive, FoundFromTheDriveOrTheWindowsDirectoryInAnyCase) {
    struct Case {
        const char* windows;
        const char* system32;
        const char* config;
        const char* system;
        bool fromWindowsDir;
    };
    const Case cases[] = {
        {"WINNT", "system32", "config", "system", false},
        {"WINNT", "system32", "config", "system", true},
        {"windows", "System32", "CONFIG", "SYSTEM", false},
        {"Windows", "SYSTEM32", "Config", "System", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.windows) + "/" + c.system32 + "/" + c.config + "/" + c.system);
        Installation inst(c.windows, c.system32, c.config, c.system);
        winsim::LoadOptions options;
        options.installation = true;
        std::string out;
        testing::internal::CaptureStderr();
        const bool ok =
            winsim::loadMachine(c.fromWindowsDir ? inst.windows() : inst.root(), options, &out);
        out += testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ok) << out;
        EXPECT_EQ(winsim::platform(), winsim::Platform::Nt);
        OSVERSIONINFOA v{};
        v.dwOSVersionInfoSize = sizeof v;
        ASSERT_TRUE(GetVersionExA(&v));
        EXPECT_EQ(v.dwMajorVersion * 10000 + v.dwMinorVersion * 1000 + v.dwBuildNumber, 52195u);
        char dir[MAX_PATH] = {};
        GetWindowsDirectoryA(dir, MAX_PATH);
        EXPECT_STREQ(dir, "C:\\WINNT");
        // The drive is the folder above the Windows directory.
        EXPECT_EQ(winsim::hostPath(std::string("C:\\") + c.windows + "\\system32\\config\\system"),
                  inst.system());
        // Strings (UTF-16 in the hive) arrive in UTF-8, every type intact.
        const std::string instance = "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053\\5&1";
        EXPECT_EQ(winsim::stringValue(instance, "Driver"),
                  "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
        EXPECT_EQ(winsim::stringValue(instance, "Café"), "naïve");
        EXPECT_EQ(winsim::stringValue(instance, "HardwareID"), std::string("usb\0\0", 5));
        EXPECT_EQ(winsim::dwordValue("System\\CurrentControlSet\\Services\\kestrelx", "Start"), 3u);
        // Only what detection reads was loaded.
        EXPECT_FALSE(winsim::keyExists("Software\\Big"));
    }
}

TEST(Hive, NotAnInstallationOrADamagedHiveIsRefused) {
    struct Case {
        const char* name;
        std::function<void(Installation&)> spoil;
        const char* expect;
    };
    const Case cases[] = {
        {"no hive", [](Installation& i) { fs::remove(i.system()); },
         "no Windows installation here"},
        {"two installations on the drive",
         [](Installation& i) {
             fs::create_directories(i.root() + "/WINDOWS");
             std::ofstream(i.root() + "/WINDOWS/SYSTEM.DAT") << "CREG";
         },
         "several Windows installations (WINDOWS, WINNT); name the Windows directory"},
        {"garbage", [](Installation& i) { std::ofstream(i.system()) << "regf but not really"; },
         "cannot be read as a registry hive"},
        {"cut short",
         [](Installation& i) {
             const std::string bytes = readHostFile(i.system());
             std::ofstream(i.system(), std::ios::trunc) << bytes.substr(0, 5000);
         },
         "cannot be read as a registry hive"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Installation inst;
        c.spoil(inst);
        const std::set<std::string> before = listTree(inst.root());
        std::string out;
        EXPECT_FALSE(inst.load(&out));
        EXPECT_NE(out.find(c.expect), std::string::npos) << out;
        EXPECT_EQ(listTree(inst.root()), before);
    }
}

TEST(Hive, AChangeIsBackedUpThenWrittenThroughHivex) {
    Installation inst;
    const std::string original = readHostFile(inst.system());
    const std::string softwareBefore = readHostFile(inst.config() + "/software");
    std::string out;
    ASSERT_TRUE(inst.load(&out)) << out;
    // Loading changes nothing and creates nothing.
    EXPECT_FALSE(fs::exists(inst.config() + "/backups"));
    std::vector<std::string> backedUp;
    winsim::setBackupObserver([&](const std::string& folder) { backedUp.push_back(folder); });
    EXPECT_EQ(
        RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                      "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053\\5&1\\LogConf"),
        ERROR_SUCCESS);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\kestrelx\\"),
              ERROR_SUCCESS);
    testing::internal::GetCapturedStderr();
    winsim::setStringValue("System\\CurrentControlSet\\Services\\Tcpip", "Note", "déjà vu");
    std::string message;
    EXPECT_FALSE(winsim::lastSaveFailed(&message)) << message;
    winsim::setBackupObserver(nullptr);
    // One commit, one backup, holding the hive as it was; the software hive
    // did not change.
    std::vector<fs::path> backups;
    for (const auto& e : fs::directory_iterator(inst.config() + "/backups")) backups.push_back(e);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backedUp, std::vector<std::string>{backups[0].string()});
    EXPECT_EQ(readHostFile((backups[0] / "system.before").string()), original);
    EXPECT_FALSE(fs::exists(backups[0] / "software.before"));
    EXPECT_EQ(readHostFile(inst.config() + "/software"), softwareBefore);
    // Nothing else beside the hives: no new file or journal stays.
    for (const auto& e : fs::directory_iterator(inst.config())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "backups" || name == "software" || name == "system") << name;
    }
    // The hive has exactly the changes: what hivex reads back now is what
    // a hive made from the changed .reg text holds.
    const std::string dump = dumpHive(inst.system());
    EXPECT_EQ(dump.find("LogConf"), std::string::npos);
    EXPECT_EQ(dump.find("ControlSet001\\Services\\kestrelx"), std::string::npos);
    EXPECT_NE(dump.find("ControlSet002\\Services\\kestrelx"), std::string::npos);
    std::string expected = kReg;
    for (const char* gone : {"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_F3A7&PID_"
                             "0053\\5&1\\LogConf]\r\n"
                             "\"BasicConfigVector\"=hex(a):01,02,03\r\n\r\n",
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\kestrelx]\r\n"
                             "\"Start\"=dword:00000003\r\n"
                             "\"ImagePath\"=hex(2):53,79,73,00\r\n\r\n"}) {
        expected.erase(expected.find(gone), std::string(gone).size());
    }
    expected.insert(expected.find("\"Start\"=dword:00000001\r\n") + 25,
                    "\"Note\"=\"d\xE9j\xE0 vu\"\r\n");
    const std::string made = inst.config() + "/expected";
    std::string error;
    ASSERT_TRUE(qu_test::writeHiveFromReg(expected, "HKEY_LOCAL_MACHINE\\SYSTEM", made, &error))
        << error;
    EXPECT_EQ(dump, dumpHive(made));
    // And the machine loads from it again.
    ASSERT_TRUE(inst.load(&out)) << out;
    EXPECT_EQ(winsim::stringValue("System\\CurrentControlSet\\Services\\Tcpip", "Note"), "déjà vu");
}

// The data of value `name` of the key Big below the hive's root.
std::string bigValue(const std::string& file, const char* name) {
    hive_h* h = hivex_open(file.c_str(), 0);
    if (!h) return "cannot open";
    std::string out = "missing";
    const hive_node_h big = hivex_node_get_child(h, hivex_root(h), "Big");
    const hive_value_h value = big ? hivex_node_get_value(h, big, name) : 0;
    hive_type type;
    size_t length = 0;
    char* data = value ? hivex_value_value(h, value, &type, &length) : nullptr;
    if (data) out.assign(data, length);
    free(data);
    hivex_close(h);
    return out;
}

// A hive larger than the pipe hivex writes it through reaches the new file
// whole, and the hash the commit recorded for it is the file's: the undo
// finds the hive as the commit wrote it and brings back the bytes from
// before, not the deleted keys imported again.
TEST(Hive, AHiveLargerThanThePipeIsWrittenWholeAndUndoneByteForByte) {
    Installation inst;
    std::string big = kReg;
    big += "[HKEY_LOCAL_MACHINE\\SYSTEM\\Big]\r\n";
    for (const char* name : {"first", "second"}) {
        big += std::string("\"") + name + "\"=hex:";
        for (size_t i = 0; i < 700001; ++i) {
            static const char kHex[] = "0123456789abcdef";
            const unsigned byte = (i * 131 + static_cast<unsigned char>(name[0])) & 0xff;
            big += kHex[byte >> 4];
            big += kHex[byte & 15];
            big += i + 1 < 700001 ? "," : "\r\n";
        }
    }
    std::string error;
    ASSERT_TRUE(qu_test::writeHiveFromReg(big, "HKEY_LOCAL_MACHINE\\SYSTEM", inst.system(), &error))
        << error;
    const std::string original = readHostFile(inst.system());
    ASSERT_GT(original.size(), size_t{1} << 20);  // more than the pipe holds
    const std::string first = bigValue(inst.system(), "first");
    const std::string second = bigValue(inst.system(), "second");
    ASSERT_EQ(first.size(), 700001u);
    ASSERT_EQ(second.size(), 700001u);
    std::string out;
    ASSERT_TRUE(inst.load(&out)) << out;
    winsim::setBackupObserver([](const std::string&) {});
    EXPECT_EQ(
        RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                      "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053\\5&1\\LogConf"),
        ERROR_SUCCESS);
    ASSERT_TRUE(winsim::commit(&error)) << error;
    EXPECT_EQ(dumpHive(inst.system()).find("LogConf"), std::string::npos);
    EXPECT_TRUE(bigValue(inst.system(), "first") == first);
    EXPECT_TRUE(bigValue(inst.system(), "second") == second);
    std::string message;
    testing::internal::CaptureStderr();
    EXPECT_EQ(winsim::undoLatestBackup(&message), winsim::UndoResult::Restored) << message;
    testing::internal::GetCapturedStderr();
    winsim::setBackupObserver(nullptr);
    EXPECT_TRUE(readHostFile(inst.system()) == original);
}

TEST(Hive, ReadOnlyUseChangesAndCreatesNothing) {
    Installation inst;
    const std::set<std::string> before = listTree(inst.root());
    const std::string system = readHostFile(inst.system());
    std::string out;
    ASSERT_TRUE(inst.load(&out, true)) << out;
    EXPECT_TRUE(winsim::machineReadOnly());
    EXPECT_TRUE(winsim::keyExists("System\\CurrentControlSet\\Services\\kestrelx"));
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\kestrelx");
    EXPECT_FALSE(winsim::commit());
    winsim::unloadMachine();
    EXPECT_EQ(listTree(inst.root()), before);
    EXPECT_EQ(readHostFile(inst.system()), system);
}

// One bit flipped in turn in each byte of the key cells an Uninstall
// deletes (their links, counts and names): the hive is refused with a
// message naming it, or loads and takes the deletion, saved or refused; a
// refused save leaves the file as it was. Nothing may stop the process
// (neither this code nor hivex's own checks).
TEST(Hive, AByteFlipNeverStopsTheProgram) {
    // In memory where there is room: each save syncs its files. (Standard
    // error is left alone: it says what stopped the process, if anything.)
    std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/qu-hive-flip-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string root = pattern, config = root + "/WINNT/system32/config";
    const std::string system = config + "/system";
    fs::create_directories(config);
    std::string error;
    ASSERT_TRUE(qu_test::writeHiveFromReg(kReg, "HKEY_LOCAL_MACHINE\\SYSTEM", system, &error));
    ASSERT_TRUE(qu_test::writeHiveFromReg(kReg, "HKEY_LOCAL_MACHINE\\SOFTWARE",
                                          config + "/software", &error));
    const std::string original = readHostFile(system);
    std::vector<size_t> bytes;
    for (const char* key : {"", "\\VID_F3A7&PID_0053", "\\VID_F3A7&PID_0053\\5&1",
                            "\\VID_F3A7&PID_0053\\5&1\\LogConf"}) {
        const uint32_t cell =
            qu_test::ntKeyCell(original, std::string("ControlSet001\\Enum\\USB") + key);
        ASSERT_NE(cell, 0u) << key;
        const size_t start = qu_test::ntCellData(cell) - 4;
        const size_t size = -static_cast<int32_t>(qu_test::get32(original, start));
        for (size_t at = start; at < start + size; ++at) bytes.push_back(at);
    }
    winsim::LoadOptions options;
    options.installation = true;
    size_t refused = 0, saved = 0;
    for (const size_t at : bytes) {
        std::string damaged = original;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 << (at % 8)));
        std::ofstream(system, std::ios::binary | std::ios::trunc) << damaged;
        if (!winsim::loadMachine(root, options, &error)) {
            EXPECT_NE(error.find(system), std::string::npos) << at << ": " << error;
            ++refused;
        } else {
            winsim::deleteTree("System\\CurrentControlSet\\Enum\\USB");
            std::string message;
            if (winsim::lastSaveFailed(&message)) {
                EXPECT_EQ(readHostFile(system), damaged) << at << ": " << message;
            } else {
                ++saved;
            }
            winsim::unloadMachine();
        }
        fs::remove_all(config + "/backups");
    }
    fs::remove_all(root);
    // Both outcomes are exercised.
    EXPECT_GT(refused, 0u);
    EXPECT_GT(saved, 0u);
}

TEST(Hive, AnUnwritableHiveIsUsedReadOnly) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    Installation inst;
    fs::permissions(inst.system(), fs::perms::owner_read);
    std::string out;
    ASSERT_TRUE(inst.load(&out)) << out;
    std::string reason;
    EXPECT_TRUE(winsim::machineReadOnly(&reason));
    EXPECT_NE(reason.find("cannot be written"), std::string::npos) << reason;
}

}  // namespace

namespace {

TEST(Hive, AWindows98RegistryIsReadAndNeverWritten) {
    char pattern[] = "/tmp/qu-creg-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    fs::create_directories(root + "/WINDOWS");
    const std::string reg =
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
        "\"VersionNumber\"=\"4.10.2222\"\r\n\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
        "\"ACP\"=\"1251\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_F3A7&PID_0021\\5&1]\r\n"
        "\"DeviceDesc\"=\"" +
        winsim::utf8ToAnsi(1251, "Сетевой адаптер") +
        "\"\r\n"
        "\"ConfigFlags\"=hex:00,00,00,00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\0003]\r\n"
        "\"DriverDesc\"=\"x\"\r\n\r\n";
    std::string error;
    ASSERT_TRUE(qu_test::writeWin9xRegistryFromReg(reg, 1251, root + "/WINDOWS/SYSTEM.DAT", &error))
        << error;
    const std::string before = readHostFile(root + "/WINDOWS/SYSTEM.DAT");
    winsim::LoadOptions options;
    options.installation = true;
    testing::internal::CaptureStderr();
    const bool ok = winsim::loadMachine(root, options, &error);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(winsim::platform(), winsim::Platform::Win9x);
    EXPECT_EQ(winsim::codePage(), 1251u);
    EXPECT_EQ(winsim::stringValue("Enum\\USB\\VID_F3A7&PID_0021\\5&1", "DeviceDesc"),
              "Сетевой адаптер");
    EXPECT_TRUE(winsim::keyExists("System\\CurrentControlSet\\Services\\Class\\Net\\0003"));
    std::string reason;
    EXPECT_TRUE(winsim::machineReadOnly(&reason));
    EXPECT_FALSE(winsim::readOnlyRequested());
    EXPECT_NE(reason.find("98/ME"), std::string::npos) << reason;
    EXPECT_NE(reason.find("regedit /e"), std::string::npos) << reason;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_F3A7&PID_0021\\5&1");
    EXPECT_FALSE(winsim::commit());
    winsim::unloadMachine();
    EXPECT_EQ(readHostFile(root + "/WINDOWS/SYSTEM.DAT"), before);
    EXPECT_EQ(listTree(root).size(), 2u);
    fs::remove_all(root);
}

}  // namespace
