// Persistence: changes are staged until a commit, a commit is all or
// nothing even when the process dies in the middle, hand edits are never
// overwritten, and file operations at commit never leave drive_c.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/src/storage/store.h"

namespace {

namespace fs = std::filesystem;
using qu_test::TempImage;

// Files a commit leaves in the image directory besides the image itself.
std::vector<std::string> strayFiles(const TempImage& image) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(image.dir())) {
        const std::string name = e.path().filename().string();
        if (name != "machine.ini" && name != "system.reg" && name != "drive_c") {
            names.push_back(name);
        }
    }
    return names;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `body` in a child process; its exit status, or -signal.
int inChild(const std::function<void()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        ::_exit(testing::Test::HasFailure() ? 99 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(Persistence, ChangesAreStagedUntilTheCommit) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\B]\r\n");
    image.file("C:\\WINDOWS\\x.sys");
    image.load();
    const std::string before = image.systemReg();
    EXPECT_FALSE(winsim::hasStagedChanges());
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    ASSERT_TRUE(DeleteFileA("C:\\WINDOWS\\x.sys"));
    EXPECT_TRUE(winsim::hasStagedChanges());
    EXPECT_EQ(image.systemReg(), before);
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\x.sys"));
    // Unloading drops what was not committed.
    winsim::unloadMachine();
    image.load();
    EXPECT_TRUE(winsim::keyExists("A"));
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    ASSERT_TRUE(DeleteFileA("C:\\WINDOWS\\x.sys"));
    std::string message = "untouched";
    ASSERT_TRUE(winsim::commit(&message));
    EXPECT_EQ(message, "");
    EXPECT_FALSE(winsim::hasStagedChanges());
    EXPECT_EQ(image.systemReg().find("[HKEY_LOCAL_MACHINE\\A]"), std::string::npos);
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\x.sys"));
    EXPECT_TRUE(strayFiles(image).empty()) << strayFiles(image).front();
    // Nothing staged: a commit writes nothing.
    const auto mtime = fs::last_write_time(image.dir() + "/system.reg");
    ASSERT_TRUE(winsim::commit());
    EXPECT_EQ(fs::last_write_time(image.dir() + "/system.reg"), mtime);
}

TEST(Persistence, CommitInterruptedBeforeTheJournalLeavesTheOldImage) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\B]\r\n");
    image.load();
    const std::string before = image.systemReg();
    EXPECT_EQ(inChild([] {
                  winsim::setSaveHook([] { ::kill(::getpid(), SIGKILL); });
                  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A");
                  winsim::commit();
              }),
              -SIGKILL);
    EXPECT_EQ(image.systemReg(), before);
    EXPECT_FALSE(strayFiles(image).empty());  // the new file the child wrote
    testing::internal::CaptureStderr();
    image.load();  // removes it, says nothing: there was no change to finish
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(strayFiles(image).empty()) << strayFiles(image).front();
    EXPECT_TRUE(winsim::keyExists("A"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    ASSERT_TRUE(winsim::commit());
    EXPECT_EQ(image.systemReg().find("[HKEY_LOCAL_MACHINE\\A]"), std::string::npos);
}

// Killed after every step of one commit (registry change, an attribute
// change, a deletion): the next load finds the image as it was or finishes
// the whole change, and says so when it does.
TEST(Persistence, KilledAfterEveryStepTheNextLoadFindsAllOrNothing) {
    int roundsFinished = 0;
    for (int crashAt = 1;; ++crashAt) {
        SCOPED_TRACE("killed after step " + std::to_string(crashAt));
        TempImage image;
        image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"1\"\r\n[HKEY_LOCAL_MACHINE\\B]\r\n");
        image.file("C:\\WINDOWS\\ro.sys", "r", true);
        image.file("C:\\WINDOWS\\keep.sys");
        const std::string before = image.systemReg();
        const int status = inChild([&] {
            image.load();
            int steps = 0;
            winsim::setCommitStepHook([&](int, const char*) {
                if (++steps == crashAt) ::kill(::getpid(), SIGKILL);
            });
            ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\ro.sys", FILE_ATTRIBUTE_NORMAL));
            ASSERT_TRUE(DeleteFileA("C:\\WINDOWS\\ro.sys"));
            ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\keep.sys", FILE_ATTRIBUTE_READONLY));
            ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
            ::_exit(winsim::commit() ? 0 : 1);
        });
        testing::internal::CaptureStderr();
        image.load();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(strayFiles(image).empty()) << strayFiles(image).front();
        struct stat keep;
        ASSERT_EQ(::stat(image.host("C:\\WINDOWS\\keep.sys").c_str(), &keep), 0);
        if (image.systemReg() == before) {
            EXPECT_EQ(said, "");
            EXPECT_TRUE(image.exists("C:\\WINDOWS\\ro.sys"));
            EXPECT_NE(keep.st_mode & S_IWUSR, 0u);
        } else {
            EXPECT_EQ(image.systemReg().find("[HKEY_LOCAL_MACHINE\\A]"), std::string::npos);
            EXPECT_FALSE(image.exists("C:\\WINDOWS\\ro.sys"));
            EXPECT_EQ(keep.st_mode & 0222, 0u);
            // Killed after the journal went, there is nothing left to finish.
            const bool finished = said.find("finished an interrupted change") != std::string::npos;
            EXPECT_TRUE(said.empty() || finished) << said;
            roundsFinished += finished;
        }
        winsim::unloadMachine();
        if (status == 0) {
            EXPECT_GT(crashAt, 8);  // every step was tried
            EXPECT_GT(roundsFinished, 3);
            break;
        }
        ASSERT_EQ(status, -SIGKILL);
        ASSERT_LT(crashAt, 100);
    }
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
        // The child reports its load and then every finished save; the kill
        // comes at a varying moment after its first saves, whatever the
        // machine's load (a fixed delay from the fork or the load may end
        // before any save on a busy machine).
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(progress[0]);
            image.load();
            ::fcntl(progress[1], F_SETFL, O_NONBLOCK);  // a full pipe never holds a save up
            const char tick = 1;
            if (::write(progress[1], &tick, 1) != 1) ::_exit(1);
            for (uint32_t n = 1;; ++n) {
                winsim::setDwordValue("Counter", "n", n);
                (void)!::write(progress[1], &tick, 1);
            }
        }
        ::close(progress[1]);
        char tick = 0;
        int seen = 0;
        const int wanted = 2 + round % 3;  // the load and one to three saves
        while (seen < wanted && ::read(progress[0], &tick, 1) == 1) ++seen;
        ::close(progress[0]);
        if (seen == wanted) ::usleep(static_cast<useconds_t>(round * 300));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        testing::internal::CaptureStderr();
        image.load();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(said == "" || said.find("finished an interrupted change") != std::string::npos)
            << "round " << round << ": " << said;
        ASSERT_TRUE(winsim::dwordValue("Counter", "n").has_value());
        if (*winsim::dwordValue("Counter", "n") > 0) ++roundsWithSaves;
        EXPECT_EQ(winsim::stringValue("Counter", "pad"), padding);
        EXPECT_TRUE(strayFiles(image).empty()) << strayFiles(image).front();
        winsim::unloadMachine();
    }
    EXPECT_GT(roundsWithSaves, 0);
}

// A system.reg changed behind the program's back (by hand, by another
// program) is refused at commit and kept as it is.
TEST(Persistence, AHandEditIsNeverOverwritten) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\B]\r\n");
    image.file("C:\\x.sys");
    image.load();
    const std::string original = image.systemReg();
    const std::string edited = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Edited]\r\n";
    const std::vector<std::function<void()>> edits = {
        [&] { image.rawReg(edited); },  // rewritten in place
        [&] {                           // replaced by a file of the same bytes
            const std::string bytes = image.systemReg();
            std::ofstream(image.dir() + "/other.reg", std::ios::binary) << bytes;
            fs::rename(image.dir() + "/other.reg", image.dir() + "/system.reg");
        },
    };
    for (const auto& edit : edits) {
        image.rawReg(original);
        image.load();
        edit();
        const std::string onDisk = image.systemReg();
        ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
        ASSERT_TRUE(DeleteFileA("C:\\x.sys"));
        std::string message;
        EXPECT_FALSE(winsim::commit(&message));
        EXPECT_NE(message.find(image.dir() + "/system.reg was changed by another program"),
                  std::string::npos)
            << message;
        EXPECT_TRUE(winsim::lastSaveFailed(nullptr));
        // Memory is back at the last commit: what the file had when loaded.
        EXPECT_FALSE(winsim::hasStagedChanges());
        EXPECT_TRUE(winsim::keyExists("A"));
        EXPECT_NE(GetFileAttributesA("C:\\x.sys"), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(image.systemReg(), onDisk);
        EXPECT_TRUE(image.exists("C:\\x.sys"));
        EXPECT_TRUE(strayFiles(image).empty()) << strayFiles(image).front();
        winsim::unloadMachine();
    }
}

TEST(Persistence, AnImageThatCannotBeSavedIsRefusedAtLoad) {
    TempImage good;
    good.reg("[HKEY_LOCAL_MACHINE\\Keep]\r\n");
    good.load();

    // A leftover of an older save, not this store's: no obstacle, and not
    // touched; the check leaves no file of its own behind.
    TempImage leftover;
    { std::ofstream(leftover.dir() + "/system.reg.tmp") << "REGEDIT4\r\n[HALF"; }
    leftover.load();
    EXPECT_EQ(strayFiles(leftover), std::vector<std::string>{"system.reg.tmp"});
    good.load();

    // Permissions bind only an unprivileged user (the hardening tests run
    // the program as one).
    if (::geteuid() == 0) return;
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
    TempImage readOnlyDir;
    fs::permissions(readOnlyDir.dir(), fs::perms::owner_write, fs::perm_options::remove);
    refused(readOnlyDir, "system.reg.new-");
    fs::permissions(readOnlyDir.dir(), fs::perms::owner_write, fs::perm_options::add);
    TempImage readOnlyFile;
    fs::permissions(readOnlyFile.dir() + "/system.reg", fs::perms::owner_write,
                    fs::perm_options::remove);
    refused(readOnlyFile, "cannot write " + readOnlyFile.dir() + "/system.reg:");
}

// Names of the store's own files that someone planted as links are strays:
// removed as links, their targets untouched.
TEST(Persistence, PlantedLinksAmongTheStoreFilesAreRemovedAsLinks) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n");
    const fs::path victim = fs::path(image.dir()) / "../victim-of-persistence-test.txt";
    { std::ofstream(victim) << "precious"; }
    fs::create_symlink(victim, image.dir() + "/system.reg.new-1-0000000000000000");
    fs::create_symlink(victim, image.dir() + "/system.reg.journal-1-0000000000000000");
    image.load();
    EXPECT_TRUE(strayFiles(image).empty()) << strayFiles(image).front();
    EXPECT_EQ(readWhole(victim.string()), "precious");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    ASSERT_TRUE(winsim::commit());
    EXPECT_EQ(readWhole(victim.string()), "precious");
    fs::remove(victim);
}

// Not a regular file: refused at once (no blocking open, no unbounded read).
TEST(Persistence, ImageFilesThatAreNoRegularFilesAreRefused) {
    struct Case {
        const char* file;
        std::function<void(const std::string& path)> make;
        const char* says;
    };
    const Case cases[] = {
        {"system.reg", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, "a named pipe"},
        {"machine.ini", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, "a named pipe"},
        {"system.reg", [](const std::string& p) { fs::create_symlink("/dev/zero", p); },
         "a device"},
        {"machine.ini", [](const std::string& p) { fs::create_symlink("/dev/urandom", p); },
         "a device"},
        {"system.reg", [](const std::string& p) { fs::create_directory(p); }, "a folder"},
        {"system.reg", [](const std::string& p) { fs::create_symlink("/", p); }, "a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.says);
        TempImage image;
        const std::string path = image.dir() + "/" + c.file;
        fs::remove(path);
        c.make(path);
        std::string error;
        winsim::LoadFailure why = winsim::LoadFailure::None;
        EXPECT_FALSE(winsim::loadMachine(image.dir(), &error, &why));
        EXPECT_EQ(why, winsim::LoadFailure::Refused);
        EXPECT_EQ(error, path + ": is " + c.says + ", not a file");
    }
    // A regular file too large to be a registry export: refused unread
    // (a sparse file, so the test writes nothing).
    TempImage image;
    ASSERT_EQ(::truncate((image.dir() + "/system.reg").c_str(), off_t{2} << 30), 0);
    std::string error;
    EXPECT_FALSE(winsim::loadMachine(image.dir(), &error));
    EXPECT_EQ(error, image.dir() + "/system.reg: larger than 1 GiB; not read");
}

// A link swapped in between the check (when the program deleted the file)
// and the deletion at commit never makes the deletion land outside drive_c:
// neither a folder on the way nor the file itself replaced by a link.
TEST(Persistence, LinksSwappedInBeforeTheCommitNeverLeadOutOfTheDrive) {
    struct Case {
        const char* name;
        const char* swapped;  // below drive_c: replaced by a link to the outside folder
        const char* outsideName;
    };
    const Case cases[] = {
        {"the folder", "WINDOWS/Inf", "oem7.inf"},
        {"the file itself", "WINDOWS/Inf/oem7.inf", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempImage image;
        image.file("C:\\WINDOWS\\Inf\\oem7.inf", "inside", true);
        const fs::path outside = fs::path(image.dir()) / "outside";
        fs::create_directories(outside);
        const fs::path victim = outside / "oem7.inf";
        { std::ofstream(victim) << "outside"; }
        ::chmod(victim.c_str(), 0444);
        image.load();
        ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Inf\\oem7.inf", FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(DeleteFileA("C:\\WINDOWS\\Inf\\oem7.inf"));
        const fs::path swapped = fs::path(image.dir()) / "drive_c" / c.swapped;
        bool done = false;
        // Right when the change is decided, before any file operation.
        winsim::setCommitStepHook([&](int, const char* what) {
            if (done || std::string(what) != "fsync directory") return;
            done = true;
            fs::rename(swapped, fs::path(image.dir()) / "moved-away");
            fs::create_symlink(std::string(c.outsideName).empty() ? victim : outside, swapped);
        });
        EXPECT_TRUE(winsim::commit());
        winsim::setCommitStepHook(nullptr);
        ASSERT_TRUE(done);
        EXPECT_EQ(readWhole(victim.string()), "outside");
        struct stat st;
        ASSERT_EQ(::stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0444u) << "never changed through the link";
        if (std::string(c.outsideName).empty()) {
            EXPECT_FALSE(fs::is_symlink(fs::symlink_status(swapped))) << "deleted as a link";
        }
        winsim::unloadMachine();
    }
}

// A journal is only rolled forward inside the image: one that names paths
// climbing out of drive_c (not written by a commit) finishes without them.
TEST(Persistence, AJournalCannotLeadOutOfTheDrive) {
    TempImage image;
    image.file("C:\\WINDOWS\\x.sys");
    std::string text =
        "quorvane-uninstall journal 1\nbase 0 0000000000000000\nnew -\n"
        "delete ../machine.ini\ndelete WINDOWS/../../system.reg\ndelete WINDOWS/x.sys\n";
    char sum[17];
    std::snprintf(sum, sizeof sum, "%016llx",
                  static_cast<unsigned long long>(winsim::contentHash(text)));
    text += "end " + std::string(sum) + "\n";
    std::ofstream(image.dir() + "/system.reg.journal-1-0000000000000000") << text;
    testing::internal::CaptureStderr();
    image.load();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("finished an interrupted change"), std::string::npos) << said;
    EXPECT_NE(said.find("cannot resolve drive_c/../machine.ini"), std::string::npos) << said;
    EXPECT_TRUE(fs::exists(image.dir() + "/machine.ini"));
    EXPECT_TRUE(fs::exists(image.dir() + "/system.reg"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\x.sys"));
    EXPECT_TRUE(strayFiles(image).empty()) << strayFiles(image).front();
}

// The image directory is locked while loaded: another process is refused
// (this one shares its own lock) until it is unloaded.
TEST(Persistence, OneProcessAtATime) {
    TempImage image;
    image.load();
    const int whileLoaded = inChild([&] {
        winsim::unloadMachine();  // the child's copy of the lock goes, the parent's stays
        std::string error;
        winsim::LoadFailure why = winsim::LoadFailure::None;
        const bool loaded = winsim::loadMachine(image.dir(), &error, &why);
        ::_exit(!loaded && why == winsim::LoadFailure::InUse &&
                        error == image.dir() + ": the machine image is in use by another process"
                    ? 0
                    : 1);
    });
    EXPECT_EQ(whileLoaded, 0);
    image.load();  // the same image again in this process: its lock is shared
    winsim::unloadMachine();
    EXPECT_EQ(inChild([&] {
                  std::string error;
                  ::_exit(winsim::loadMachine(image.dir(), &error) ? 0 : 1);
              }),
              0);
}

// A run ended as the program ends it frees the image as an unload does;
// its keys, kept until then, are freed safely after their registry (the
// sanitizers watch both).
TEST(Persistence, AnEndedRunLeavesTheImageFree) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\r\n\"V\"=\"x\"\r\n");
    for (int run = 0; run < 2; ++run) {
        image.load();
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        winsim::endRun();
        EXPECT_FALSE(winsim::hasMachine());
        EXPECT_EQ(inChild([&] {
                      std::string error;
                      ::_exit(winsim::loadMachine(image.dir(), &error) ? 0 : 1);
                  }),
                  0);
    }
    winsim::freeEndedRegistries();
}

}  // namespace

namespace {

// Pieces of every size class a commit gives the writer (a line, a buffer's
// worth, a long unchanged range), in orders that cross the buffer's edge.
TEST(Persistence, PiecesAreWrittenInOrderAndAFailedWriteIsReported) {
    const std::vector<std::vector<size_t>> orders = {
        {1, 2, 3},
        {600 << 10, 5, 600 << 10},
        {100, 1 << 20, 100},
        {(1 << 20) - 1, 1, 1, (1 << 20) - 2, 3 << 20},
        {500 << 10, 500 << 10, 500 << 10, 7},
    };
    for (const auto& sizes : orders) {
        std::string expected;
        char next = 'a';
        for (size_t n : sizes) {
            expected.append(n, next);
            next = next == 'z' ? 'a' : static_cast<char>(next + 1);
        }
        FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        {
            winsim::PieceWriter writer(fileno(file));
            size_t at = 0;
            for (size_t n : sizes) {
                ASSERT_TRUE(writer.put(expected.data() + at, n));
                at += n;
            }
            ASSERT_TRUE(writer.flush());
        }
        std::string got(expected.size() + 1, '\0');
        std::rewind(file);
        got.resize(std::fread(got.data(), 1, got.size(), file));
        std::fclose(file);
        EXPECT_TRUE(got == expected) << sizes.size() << " pieces, first " << sizes[0];
    }
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0) GTEST_SKIP() << "no /dev/full";
    winsim::PieceWriter writer(full);
    const std::string big(1 << 20, 'x');
    EXPECT_FALSE(writer.put(big.data(), big.size()));
    EXPECT_EQ(writer.error(), ENOSPC);
    EXPECT_FALSE(writer.put("y", 1));  // nothing more after a failure
    EXPECT_FALSE(writer.flush());
    ::close(full);
}

}  // namespace
