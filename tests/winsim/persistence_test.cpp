// Persistence: every change is on disk when the call returns, a save is
// atomic, and a failed save loses nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"

namespace {

namespace fs = std::filesystem;
using qu_test::TempImage;

TEST(Persistence, SaveInterruptedBeforeTheRenameLeavesTheOldImage) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\B]\r\n");
    image.load();
    const std::string before = image.systemReg();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        winsim::setSaveHook([] { ::kill(::getpid(), SIGKILL); });
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A");
        ::_exit(0);  // not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(image.systemReg(), before);
    image.load();  // the temporary file left behind does not matter
    EXPECT_TRUE(winsim::keyExists("A"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    EXPECT_EQ(image.systemReg().find("[HKEY_LOCAL_MACHINE\\A]"), std::string::npos);
    EXPECT_FALSE(fs::exists(image.dir() + "/system.reg.tmp"));
}

TEST(Persistence, KilledAtAnyMomentTheImageIsWhole) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\Counter]\r\n\"n\"=dword:00000000\r\n");
    image.load();
    std::string padding(4000, 'p');  // big enough that a write takes a while
    winsim::setStringValue("Counter", "pad", padding);
    winsim::unloadMachine();
    int roundsWithSaves = 0;
    for (int round = 0; round < 15; ++round) {
        // The kill comes a few milliseconds after the child has loaded the
        // image (loading alone can take longer than that on a busy machine).
        int loaded[2];
        ASSERT_EQ(::pipe(loaded), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            image.load();
            const char ready = 1;
            if (::write(loaded[1], &ready, 1) != 1) ::_exit(1);
            for (uint32_t n = 1;; ++n) winsim::setDwordValue("Counter", "n", n);
        }
        ::close(loaded[1]);
        char ready = 0;
        const ssize_t got = ::read(loaded[0], &ready, 1);  // 0: the child ended early
        ::close(loaded[0]);
        if (got == 1) ::usleep(static_cast<useconds_t>(2000 + round * 700));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        testing::internal::CaptureStderr();
        image.load();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "round " << round;
        ASSERT_TRUE(winsim::dwordValue("Counter", "n").has_value());
        if (*winsim::dwordValue("Counter", "n") > 0) ++roundsWithSaves;
        EXPECT_EQ(winsim::stringValue("Counter", "pad"), padding);
        winsim::unloadMachine();
    }
    EXPECT_GT(roundsWithSaves, 0);
}

TEST(Persistence, FailedSaveKeepsMemoryAndFileAndIsReported) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\B]\r\n");
    image.load();
    const std::string before = image.systemReg();
    // The temporary file's name is taken by a folder: the save cannot start.
    fs::create_directory(image.dir() + "/system.reg.tmp");
    std::string message;
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    EXPECT_TRUE(winsim::lastSaveFailed(&message));
    EXPECT_NE(message.find("system.reg.tmp"), std::string::npos) << message;
    EXPECT_FALSE(winsim::keyExists("A"));
    EXPECT_EQ(image.systemReg(), before);
    fs::remove(image.dir() + "/system.reg.tmp");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "B"), ERROR_SUCCESS);
    EXPECT_FALSE(winsim::lastSaveFailed(&message));
    const std::string after = image.systemReg();
    EXPECT_EQ(after.find("[HKEY_LOCAL_MACHINE\\A]"), std::string::npos);
    EXPECT_EQ(after.find("[HKEY_LOCAL_MACHINE\\B]"), std::string::npos);
}

TEST(Persistence, AnImageThatCannotBeSavedIsRefusedAtLoad) {
    TempImage good;
    good.reg("[HKEY_LOCAL_MACHINE\\Keep]\r\n");
    good.load();
    const auto refused = [&](TempImage& image, const std::string& names) {
        const std::string before = image.systemReg();
        std::string error;
        EXPECT_FALSE(winsim::loadMachine(image.dir(), &error));
        EXPECT_EQ(error.rfind(image.dir() + ": the machine image cannot be saved (", 0), 0u)
            << error;
        EXPECT_NE(error.find(names), std::string::npos) << error;
        EXPECT_EQ(image.systemReg(), before);
        EXPECT_EQ(winsim::machineDir(), good.dir());
        EXPECT_TRUE(winsim::keyExists("Keep"));
    };

    // The temporary file's name is taken by a folder: no save could start.
    TempImage taken;
    fs::create_directories(taken.dir() + "/system.reg.tmp/inside");
    refused(taken, "system.reg.tmp");
    EXPECT_TRUE(fs::exists(taken.dir() + "/system.reg.tmp/inside"));

    // A leftover of an interrupted save is no obstacle; the check leaves no
    // file of its own behind.
    TempImage leftover;
    { std::ofstream(leftover.dir() + "/system.reg.tmp") << "REGEDIT4\r\n[HALF"; }
    leftover.load();
    EXPECT_FALSE(fs::exists(leftover.dir() + "/system.reg.tmp"));
    good.load();

    // Permissions bind only an unprivileged user (the hardening tests run
    // the program as one).
    if (::geteuid() == 0) return;
    TempImage readOnlyDir;
    fs::permissions(readOnlyDir.dir(), fs::perms::owner_write, fs::perm_options::remove);
    refused(readOnlyDir, "system.reg.tmp");
    fs::permissions(readOnlyDir.dir(), fs::perms::owner_write, fs::perm_options::add);
    TempImage readOnlyFile;
    fs::permissions(readOnlyFile.dir() + "/system.reg", fs::perms::owner_write,
                    fs::perm_options::remove);
    refused(readOnlyFile, "cannot write " + readOnlyFile.dir() + "/system.reg:");
}

TEST(Persistence, SaveNeverWritesThroughALink) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n");
    image.load();
    const fs::path victim = fs::path(image.dir()) / "victim.txt";
    { std::ofstream(victim) << "precious"; }
    fs::create_symlink(victim, image.dir() + "/system.reg.tmp");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    EXPECT_FALSE(winsim::lastSaveFailed(nullptr));
    std::ifstream in(victim);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "precious");
    EXPECT_EQ(image.systemReg().find("[HKEY_LOCAL_MACHINE\\A]"), std::string::npos);
}

}  // namespace
