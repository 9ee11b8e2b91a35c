// Registry exports as a technician has them: no machine.ini, control sets
// instead of CurrentControlSet, a hive loaded under another name, other
// encodings and code pages, several exports in one file; read-only use.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/offline.h"
#include "winsim/src/base/codepage.h"

namespace {

using qu_test::listTree;
using qu_test::readHostFile;

namespace fs = std::filesystem;
using qu_test::TempImage;

const char kXpVersion[] =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
    "\"CurrentVersion\"=\"5.1\"\r\n"
    "\"CurrentBuildNumber\"=\"2600\"\r\n"
    "\"CSDVersion\"=\"Service Pack 3\"\r\n"
    "\"SystemRoot\"=\"C:\\\\WINNT\"\r\n\r\n";

const char kSets[] =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\kestrelx]\r\n"
    "\"Start\"=dword:00000003\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\older]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\Select]\r\n"
    "\"Current\"=dword:00000001\r\n\r\n";

// An export's text in UTF-8 (from UTF-16LE when it has the byte order mark).
std::string asText(const std::string& bytes) {
    if (bytes.rfind("\xFF\xFE", 0) == 0) return winsim::utf16leToUtf8(bytes.substr(2));
    return bytes;
}

// A bare export in a folder of its own: `dir`/export.reg.
class BareExport {
public:
    explicit BareExport(const std::string& bytes) {
        char pattern[] = "/tmp/qu-offline-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        std::ofstream(file(), std::ios::binary) << bytes;
    }
    ~BareExport() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string file() const { return dir_ + "/export.reg"; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

bool load(const std::string& source, std::string* error, winsim::LoadOptions options = {}) {
    testing::internal::CaptureStderr();
    const bool ok = winsim::loadMachine(source, options, error);
    *error += testing::internal::GetCapturedStderr();
    return ok;
}

TEST(OfflineExport, MachineFactsComeFromTheRegistryAndMachineIniOverridesEach) {
    struct Case {
        const char* name;
        std::string reg;
        const char* ini;  // nullptr: none
        winsim::Platform platform;
        unsigned major, minor, build;
        const char* windows;
        unsigned codePage;
    };
    const std::string me =
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
        "\"VersionNumber\"=\"4.90.3000\"\r\n\r\n";
    const std::string cp850 =
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
        "\"ACP\"=\"850\"\r\n\r\n";
    const Case cases[] = {
        {"2000/XP", kXpVersion, nullptr, winsim::Platform::Nt, 5, 1, 2600, "C:\\WINNT", 1252},
        {"98/ME, no SystemRoot", me, nullptr, winsim::Platform::Win9x, 4, 90, 3000, "C:\\WINDOWS",
         1252},
        {"98 with trailing text",
         "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
         "\"VersionNumber\"=\"4.10.2222 \"\r\n\r\n",
         nullptr, winsim::Platform::Win9x, 4, 10, 2222, "C:\\WINDOWS", 1252},
        {"code page from ACP", std::string(kXpVersion) + cp850, nullptr, winsim::Platform::Nt, 5, 1,
         2600, "C:\\WINNT", 850},
        {"machine.ini overrides only what it says", std::string(kXpVersion) + cp850,
         "[system]\nversion = 5.0.2195\ncodepage = 1251\n", winsim::Platform::Nt, 5, 0, 2195,
         "C:\\WINNT", 1251},
        {"machine.ini alone", "", "[system]\nplatform = 9x\nversion = 4.10\nwindows = D:\\W\n",
         winsim::Platform::Win9x, 4, 10, 0, "D:\\W", 1252},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempImage image;
        fs::remove(image.dir() + "/machine.ini");
        if (c.ini) image.ini(c.ini);
        image.reg(c.reg);
        std::string error;
        ASSERT_TRUE(load(image.dir(), &error)) << error;
        EXPECT_EQ(winsim::platform(), c.platform);
        EXPECT_EQ(winsim::codePage(), c.codePage);
        OSVERSIONINFOA v{};
        v.dwOSVersionInfoSize = sizeof v;
        ASSERT_TRUE(GetVersionExA(&v));
        EXPECT_EQ(v.dwMajorVersion * 1000000 + v.dwMinorVersion * 1000 + v.dwBuildNumber % 65536,
                  c.major * 1000000 + c.minor * 1000 + c.build);
        char dir[MAX_PATH] = {};
        ASSERT_GT(GetWindowsDirectoryA(dir, MAX_PATH), 0u);
        EXPECT_STREQ(dir, c.windows);
        EXPECT_STREQ(v.szCSDVersion, c.platform == winsim::Platform::Nt ? "Service Pack 3" : "");
    }
}

TEST(OfflineExport, WhatCannotBeFoundIsListedInOneMessage) {
    TempImage keep;
    keep.reg("[HKEY_LOCAL_MACHINE\\Keep]\r\n");
    keep.load();
    const std::string acp932 =
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
        "\"ACP\"=\"932\"\r\n\r\n";
    struct Case {
        std::string reg;
        const char* ini;
        std::vector<std::string> expect;
    };
    const Case cases[] = {
        // The family follows from the version, so the version is what is missing;
        // the message names the --fact that gives each item.
        {"", nullptr, {"missing version", "VersionNumber", "--fact version=5.1.2600"}},
        {acp932,
         nullptr,
         {"missing version", " and a code page", "ACP is 932", "--fact codepage=1252"}},
        {std::string(kXpVersion) + acp932, nullptr, {"missing a code page", "ACP is 932"}},
        {"", "[system]\nplatform = nt\n", {"missing version", "--fact version="}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reg);
        TempImage image;
        fs::remove(image.dir() + "/machine.ini");
        if (c.ini) image.ini(c.ini);
        image.reg(c.reg);
        std::string error;
        EXPECT_FALSE(winsim::loadMachine(image.dir(), {}, &error));
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 0) << error;
        EXPECT_NE(error.find("cannot tell what machine this is"), std::string::npos) << error;
        for (const auto& e : c.expect) EXPECT_NE(error.find(e), std::string::npos) << error;
        EXPECT_TRUE(winsim::keyExists("Keep"));
    }
}

TEST(OfflineExport, AReRegFileLoadsWithoutADriveAndSavesToItself) {
    BareExport bare(std::string("REGEDIT4\r\n\r\n") + kXpVersion + kSets);
    std::string error;
    ASSERT_TRUE(load(bare.file(), &error)) << error;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    EXPECT_NE(error.find("no drive_c folder"), std::string::npos) << error;
    EXPECT_EQ(GetFileAttributesA("C:\\WINNT"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(winsim::keyExists("System\\CurrentControlSet\\Services\\kestrelx"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\kestrelx"),
              ERROR_SUCCESS);
    ASSERT_TRUE(winsim::commit());
    const std::string saved = readHostFile(bare.file());
    EXPECT_EQ(saved.find("kestrelx"), std::string::npos);
    EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\older]"),
              std::string::npos);
    EXPECT_EQ(fs::directory_iterator(bare.dir())->path().filename(), "export.reg");
}

TEST(OfflineExport, CurrentControlSetIsALinkToTheSelectedSet) {
    TempImage image;
    fs::remove(image.dir() + "/machine.ini");
    image.reg(std::string(kXpVersion) + kSets +
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Enum\\USB\\VID_1]\r\n\r\n");
    std::string error;
    ASSERT_TRUE(load(image.dir(), &error)) << error;
    // Reads through either name reach the same key; the link is not listed.
    HKEY a = nullptr, b = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\kestrelx", 0,
                            KEY_READ, &a),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Services\\KESTRELX", 0,
                            KEY_READ, &b),
              ERROR_SUCCESS);
    winsim::setStringValue("SYSTEM\\ControlSet001\\Services\\kestrelx", "X", "1");
    EXPECT_EQ(RegQueryValueExA(a, "X", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(a);
    RegCloseKey(b);
    EXPECT_FALSE(winsim::keyExists("System\\CurrentControlSet\\Enum\\USB\\VID_1"));
    EXPECT_EQ(winsim::subkeyNames("System"),
              (std::vector<std::string>{"ControlSet001", "ControlSet002", "Select"}));
    // A deletion through the link removes the real key; the save spells it
    // as the file does and never names CurrentControlSet.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\kestrelx"),
              ERROR_SUCCESS);
    EXPECT_FALSE(winsim::keyExists("SYSTEM\\ControlSet001\\Services\\kestrelx"));
    ASSERT_TRUE(winsim::commit());
    const std::string saved = image.systemReg();
    EXPECT_EQ(saved.find("CurrentControlSet"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("kestrelx"), std::string::npos) << saved;
    EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services]"),
              std::string::npos)
        << saved;
}

TEST(OfflineExport, ASelectThatNamesAnotherSetOrNone) {
    struct Case {
        const char* select;
        const char* visible;  // under CurrentControlSet\Services, or ""
        const char* note;
    };
    const Case cases[] = {
        {"\"Current\"=dword:00000002\r\n", "older", nullptr},
        {"\"Current\"=dword:00000007\r\n", "", "names ControlSet007, which does not exist"},
        {"\"Current\"=\"1\"\r\n", "", "no valid Current value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.select);
        TempImage image;
        image.reg(std::string(kSets) + "[HKEY_LOCAL_MACHINE\\System\\Select]\r\n" + c.select);
        std::string out;
        ASSERT_TRUE(load(image.dir(), &out)) << out;
        const std::vector<std::string> names =
            winsim::subkeyNames("System\\CurrentControlSet\\Services");
        EXPECT_EQ(names.empty() ? "" : names.front(), c.visible);
        if (c.note) {
            EXPECT_NE(out.find(c.note), std::string::npos) << out;
        }
    }
}

TEST(OfflineExport, AHiveLoadedUnderAnotherNameIsMappedToSystem) {
    const std::string offline =
        "[HKEY_LOCAL_MACHINE\\OFFLINE\\ControlSet001\\Services\\kestrelx]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\OFFLINE\\Select]\r\n\"Current\"=dword:00000001\r\n\r\n";
    const std::string second =
        "[HKEY_LOCAL_MACHINE\\SYS2\\ControlSet001\\Services\\other]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYS2\\Select]\r\n\"Current\"=dword:00000001\r\n\r\n";
    struct Case {
        std::string reg;
        std::string hiveRoot;
        bool loads;
        const char* visible;  // under System\CurrentControlSet\Services
        const char* message;
    };
    const Case cases[] = {
        {offline, "", true, "kestrelx",
         "HKEY_LOCAL_MACHINE\\OFFLINE holds control sets: used as HKEY_LOCAL_MACHINE\\System"},
        {offline + second, "", true, "", "several keys hold control sets"},
        {offline + second, "HKLM\\SYS2", true, "other", nullptr},
        {offline + second, "HKEY_LOCAL_MACHINE\\sys2", true, "other", nullptr},
        {offline, "HKEY_LOCAL_MACHINE\\NOPE", false, "",
         "--hive-root HKEY_LOCAL_MACHINE\\NOPE: no such key"},
        {offline + "[HKEY_LOCAL_MACHINE\\System\\Other]\r\n", "HKLM\\OFFLINE", false, "",
         "exists already"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hiveRoot + " " + (c.message ? c.message : ""));
        TempImage image;
        image.reg(c.reg);
        const std::string before = image.systemReg();
        winsim::LoadOptions options;
        options.hiveRoot = c.hiveRoot;
        std::string out;
        ASSERT_EQ(load(image.dir(), &out, options), c.loads) << out;
        if (c.message) {
            EXPECT_NE(out.find(c.message), std::string::npos) << out;
        }
        if (!c.loads) continue;
        const std::vector<std::string> names =
            winsim::subkeyNames("System\\CurrentControlSet\\Services");
        EXPECT_EQ(names.empty() ? "" : names.front(), c.visible);
        if (*c.visible) {
            // The change reaches the hive's own key; the save keeps its name.
            EXPECT_EQ(
                RegDeleteKeyA(
                    HKEY_LOCAL_MACHINE,
                    (std::string("System\\CurrentControlSet\\Services\\") + c.visible).c_str()),
                ERROR_SUCCESS);
            ASSERT_TRUE(winsim::commit());
            const std::string saved = image.systemReg();
            EXPECT_EQ(saved.find(std::string("\\") + c.visible + "]"), std::string::npos);
            EXPECT_EQ(saved.find("[HKEY_LOCAL_MACHINE\\System"), std::string::npos) << saved;
        }
    }
}

TEST(OfflineExport, RealWorldShapesLoadAndSurviveASave) {
    // Values Windows writes that the engine never reads, a second export
    // appended (with its own header; for UTF-16 its own byte order mark),
    // keys spelled SYSTEM and System.
    const std::string body =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_1\\5&1]\r\n"
        "\"Driver\"=\"{4D36E972-E325-11CE-BFC1-08002BE10318}\\\\0007\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_1\\5&1\\Device Parameters]\r\n"
        "\"SymbolicName\"=\"\\\\??\\\\USB#VID_1#5&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
        "\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_1\\5&1\\LogConf]\r\n"
        "\"BootConfig\"=hex(8):01,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,01,00,00,00,\\\r\n"
        "  00,00,00,00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_1\\5&1\\Properties]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{ad498944-762f-11d0-"
        "8dcb-00c04fc3358c}]\r\n"
        "\"Pending\"=hex(a):00,01,02\r\n\r\n";
    const std::string tail =
        "[HKEY_LOCAL_MACHINE\\System\\Select]\r\n\"Current\"=dword:00000001\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\kestrelx]\r\n\"Start\"=dword:"
        "3\r\n\r\n";
    const std::string v4 = "REGEDIT4\r\n\r\n" + std::string(kXpVersion) + body;
    const std::string v4b = "REGEDIT4\r\n\r\n" + tail;
    const std::string v5 =
        "Windows Registry Editor Version 5.00\r\n\r\n" + std::string(kXpVersion) + body;
    const std::string v5b = "Windows Registry Editor Version 5.00\r\n\r\n" + tail;
    const std::string utf16 = "\xFF\xFE" + winsim::utf8ToUtf16le(v5);
    const std::string utf16b = "\xFF\xFE" + winsim::utf8ToUtf16le(v5b);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"REGEDIT4, two exports", v4 + v4b},
        {"version 5 UTF-16LE, two exports", utf16 + utf16b},
        {"version 5 ANSI, two exports", v5 + v5b},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempImage image;
        fs::remove(image.dir() + "/machine.ini");
        image.rawReg(c.bytes);
        std::string out;
        ASSERT_TRUE(load(image.dir(), &out)) << out;
        EXPECT_TRUE(winsim::loadWarnings().empty()) << out;
        EXPECT_TRUE(winsim::keyExists("System\\CurrentControlSet\\Enum\\USB\\VID_1\\5&1\\LogConf"));
        const std::string before = asText(winsim::exportRegistry());
        EXPECT_EQ(
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\kestrelx"),
            ERROR_SUCCESS);
        ASSERT_TRUE(winsim::commit());
        // What the engine never reads is written back as it was read.
        image.load();
        for (const char* key : {"\\Device Parameters]", "\\LogConf]", "\\Properties]",
                                "{ad498944-762f-11d0-8dcb-00c04fc3358c}]"}) {
            const std::string after = asText(winsim::exportRegistry());
            const size_t at = before.find(key), at2 = after.find(key);
            ASSERT_NE(at, std::string::npos) << key;
            ASSERT_NE(at2, std::string::npos) << key;
            EXPECT_EQ(before.substr(at, before.find("\r\n\r\n", at) - at),
                      after.substr(at2, after.find("\r\n\r\n", at2) - at2));
        }
    }
}

TEST(OfflineExport, AnAnsiExportIsReadInTheCodePageItNames) {
    // "Сетевой адаптер" in 1251, and the export's own ACP says 1251. With
    // names outside ASCII (a key and a value named in the code page) the
    // file cannot be read in 1252 first and kept.
    for (const bool names : {false, true}) {
        for (const unsigned cp : {1251u, 850u, 437u, 1252u}) {
            SCOPED_TRACE(std::to_string(cp) + (names ? ", names outside ASCII" : ""));
            const std::string utf8 = cp == 1251 ? "Сетевой адаптер" : "Café Ñandú";
            const std::string text = winsim::utf8ToAnsi(cp, utf8);
            const std::string named =
                names ? "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\x\\" + text +
                            "]\r\n\"" + text + "\"=\"" + text + "\"\r\n\r\n"
                      : std::string();
            TempImage image;
            fs::remove(image.dir() + "/machine.ini");
            image.rawReg("REGEDIT4\r\n\r\n" + std::string(kXpVersion) +
                         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Nls\\CodePage]"
                         "\r\n\"ACP\"=\"" +
                         std::to_string(cp) +
                         "\"\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\x]\r\n"
                         "\"DisplayName\"=\"" +
                         text + "\"\r\n\r\n" + named);
            std::string out;
            ASSERT_TRUE(load(image.dir(), &out)) << out;
            EXPECT_EQ(winsim::codePage(), cp);
            EXPECT_EQ(winsim::stringValue("System\\CurrentControlSet\\Services\\x", "DisplayName"),
                      utf8);
            if (names) {
                EXPECT_EQ(
                    winsim::stringValue("System\\CurrentControlSet\\Services\\x\\" + utf8, utf8),
                    utf8);
            }
            winsim::setDwordValue("System\\CurrentControlSet\\Services\\x", "Start", 3);
            const std::string after = image.systemReg();
            EXPECT_NE(after.find(text), std::string::npos);
        }
    }
}

TEST(OfflineExport, ReadOnlyCreatesNothingAndSavesNothing) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n");
    const std::set<std::string> files = listTree(image.dir());
    const std::string before = image.systemReg();
    winsim::LoadOptions options;
    options.readOnly = true;
    std::string out;
    ASSERT_TRUE(load(image.dir(), &out, options)) << out;
    std::string reason;
    EXPECT_TRUE(winsim::machineReadOnly(&reason));
    EXPECT_EQ(reason, "--read-only was given");
    EXPECT_TRUE(winsim::readOnlyRequested());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A");
    std::string message;
    EXPECT_FALSE(winsim::commit(&message));
    EXPECT_NE(message.find("read-only"), std::string::npos);
    EXPECT_EQ(image.systemReg(), before);
    EXPECT_EQ(listTree(image.dir()), files);
    winsim::unloadMachine();
}

TEST(OfflineExport, AnUnwritableImageIsUsedReadOnly) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n");
    ::chmod(image.dir().c_str(), 0555);
    std::string out;
    const bool loaded = load(image.dir(), &out);
    ::chmod(image.dir().c_str(), 0755);
    ASSERT_TRUE(loaded) << out;
    std::string reason;
    EXPECT_TRUE(winsim::machineReadOnly(&reason));
    EXPECT_FALSE(winsim::readOnlyRequested());
    EXPECT_NE(reason.find("cannot be saved"), std::string::npos) << reason;
    winsim::unloadMachine();
}

}  // namespace
