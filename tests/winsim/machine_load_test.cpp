// Loading machine images: machine.ini rules, broken images, sample images.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"

namespace {

namespace fs = std::filesystem;
using qu_test::TempImage;

std::string loadError(const TempImage& image) {
    std::string error;
    EXPECT_FALSE(winsim::loadMachine(image.dir(), &error));
    return error;
}

TEST(MachineLoad, IniValuesCommentsAndFaults) {
    TempImage image("9x", "4.90.3000", "C:\\WINDOWS");
    image.ini(
        "; a comment line\n"
        "codepage = 850   ; DOS Latin-1\n"
        "[faults]\n"
        "version = fail\r\n"
        "windows = fail\n"
        "propertychange = refuse\n"
        "remove = fail\n"
        "deletekey = refuse\n"
        "surprise = 1\n");
    testing::internal::CaptureStderr();
    image.load();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("machine.ini:13: unknown fault 'surprise'"), std::string::npos) << err;
    EXPECT_EQ(winsim::platform(), winsim::Platform::Win9x);
    EXPECT_EQ(winsim::codePage(), 850u);
    const winsim::Faults f = winsim::faults();
    EXPECT_TRUE(f.versionFails && f.windowsDirFails && f.refusePropertyChange && f.removeFails &&
                f.refuseDeleteKey);
}

TEST(MachineLoad, BrokenImagesAreRefusedAndTheCurrentMachineStays) {
    TempImage good;
    good.reg("[HKEY_LOCAL_MACHINE\\Keep]\r\n");
    good.load();

    struct Case {
        const char* ini;  // nullptr: no machine.ini at all
        const char* reg;  // nullptr: keep the default file
        const char* expect;
    };
    const Case cases[] = {
        {"[system]\nplatform = xp\nversion = 5.1\nwindows = C:\\W\n", nullptr,
         "machine.ini:2: platform must be nt or 9x, not 'xp'"},
        {"[system]\nplatform = nt\nversion = five\nwindows = C:\\W\n", nullptr,
         "machine.ini:3: version must be"},
        {"[system]\nplatform = nt\n", nullptr, "cannot tell what machine this is: missing version"},
        {"[system]\nplatform = nt\nversion = 5.1\nwindows = C:\\W\ncodepage = 65001\n", nullptr,
         "machine.ini:5: codepage must be"},
        {"[system]\nplatform = nt\nversion = 5.1\nwindows = C:\\W\n[faults]\nremove = maybe\n",
         nullptr, "machine.ini:6: remove must be fail or none"},
        {"platform = nt\n", nullptr, "machine.ini:1: key 'platform' outside any section"},
        {"[system]\njunk\n", nullptr, "machine.ini:2: expected 'key = value'"},
        {nullptr, nullptr, "cannot tell what machine this is: missing version"},
        {"[system]\nplatform = nt\nversion = 5.1\nwindows = C:\\W\n", "REGEDIT5\r\n[x]\r\n",
         "system.reg: not a registry file"},
        {"[system]\nplatform = nt\nversion = 5.1\nwindows = C:\\W\n", "\xEF\xBB\xBFREGEDIT4\r\n",
         "system.reg: not a registry file"},
        {"[system]\nplatform = nt\nversion = 5.1\nwindows = C:\\W\n", "regedit4\r\n",
         "system.reg: not a registry file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expect);
        TempImage bad;
        fs::remove(bad.dir() + "/machine.ini");
        if (c.ini) bad.ini(c.ini);
        if (c.reg) bad.rawReg(c.reg);
        const std::string before = bad.systemReg();
        const std::string error = loadError(bad);
        EXPECT_NE(error.find(c.expect), std::string::npos) << error;
        EXPECT_NE(error.find(bad.dir()), std::string::npos) << "names the file: " << error;
        EXPECT_EQ(bad.systemReg(), before);
        EXPECT_EQ(winsim::machineDir(), good.dir());
        EXPECT_TRUE(winsim::keyExists("Keep"));
    }
}

TEST(MachineLoad, SampleImagesLoadCleanly) {
    const fs::path samples = fs::path(QU_SOURCE_DIR) / "machines";
    if (!fs::exists(samples)) GTEST_SKIP() << "no sample images";
    for (const auto& entry : fs::directory_iterator(samples)) {
        // (A drive with hive files is no image; the hive tests cover it.)
        if (!entry.is_directory() || !fs::exists(entry.path() / "system.reg")) continue;
        SCOPED_TRACE(entry.path().string());
        TempImage copy;
        fs::copy(entry.path(), copy.dir(),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        copy.load();
        EXPECT_TRUE(winsim::loadWarnings().empty())
            << (winsim::loadWarnings().empty() ? "" : winsim::loadWarnings().front());
        // Export reads back to the same export: nothing is lost by a save.
        const std::string once = winsim::exportRegistry();
        copy.rawReg(once);
        copy.load();
        EXPECT_EQ(winsim::exportRegistry(), once);
    }
}

}  // namespace
