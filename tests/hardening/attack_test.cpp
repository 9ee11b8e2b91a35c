// Attacks on the commit, with real processes: edits timed into the moment
// system.reg is replaced, a program stopped past the lease-break time while
// the file is rewritten, faults injected with strace, pipes and devices in
// place of the files an Uninstall deletes, a hard link to a file outside
// the image, a linked folder in a backup, and backups of changes that were
// never made. Each row is one attack and what must hold afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/hardening/background.h"
#include "tests/hardening/image_run.h"
#include "winsim/machine.h"

namespace qu_hardening {

namespace {

namespace fs = std::filesystem;

const std::string kUninstall = "uninstall\n";
const std::string kEdited = "was changed by another program since it was loaded";
const char kDriver[] = "C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys";
const char kInf[] = "C:\\WINDOWS\\Inf\\oem7.inf";

bool hasJournal(const std::string& dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind("system.reg.journal-", 0) == 0) return true;
    }
    return false;
}

bool haveStrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// strace as the program's wrapper, failing `call` with `error` for every
// path below `path`. The leak check does not work under ptrace.
void injectFault(ImageRun& image, const std::string& path, const std::string& call,
                 const std::string& error) {
    image.wrapper = "strace -f -qq -o /dev/null -P '" + path + "' -e trace=" + call +
                    " -e inject=" + call + ":error=" + error;
}
const char kUnderPtrace[] = "ASAN_OPTIONS=detect_leaks=0";

// --undo of what a faulted run backed up, with the fault gone.
RunResult undoWithoutFault(ImageRun& image) {
    image.wrapper.clear();
    image.extraArgs = "--undo";
    return image.run("");
}

// The program waits with the commit decided right before system.reg is
// replaced; `edit` changes the file then. The edit is kept, the command
// refused with status 1, and nothing of it (files, backup) stays.
// `sameLength`: the edit changes a letter, not the size.
void editDuringTheReplace(ImageRun& image, const std::function<void(const std::string&)>& edit,
                          bool sameLength = false) {
    image.snapshot();
    std::string edited = image.readImageFile("system.reg");
    if (sameLength) {
        const size_t at = edited.find("SOFTWARE");
        ASSERT_NE(at, std::string::npos);
        edited[at + 7] = 'Z';
    } else {
        edited += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ByHand]\r\n";
    }
    Background program(image, "QU_DELAY_BEFORE_REPLACE=1500");
    ASSERT_TRUE(program.waitUntilLoaded());
    program.send(kUninstall);
    ASSERT_TRUE(waitFor([&] { return hasJournal(image.dir()); }, 30));
    edit(edited);
    EXPECT_EQ(program.finish(), 1);
    const std::string err = readWhole(image.ioDir() + "/stderr-background.txt");
    EXPECT_NE(err.find(kEdited), std::string::npos) << err;
    EXPECT_EQ(err.find("is saved in"), std::string::npos) << err;
    EXPECT_EQ(image.readImageFile("system.reg"), edited);
    image.compare();
    EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
    EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
    EXPECT_TRUE(image.backups.empty()) << *image.backups.begin();
}

// A pipe or device node in place of `cPath`: never opened, not planned for
// deletion, left as it is, and no partial backup stays.
void nodeInPlaceOf(ImageRun& image, const std::string& cPath, const std::string& listed,
                   mode_t kind, dev_t device) {
    const std::string host = winsim::hostPathIn(image.dir(), cPath);
    fs::remove(host);
    if (::mknod(host.c_str(), kind | 0666, device) != 0) {
        GTEST_SKIP() << "mknod: " << std::strerror(errno);
    }
    image.snapshot();
    image.wrapper = "timeout 60";  // a read that blocks ends as status 124
    const RunResult r = image.run("plan\n" + kUninstall);
    EXPECT_NE(r.status, 124) << r.err;
    bool found = false;
    EXPECT_EQ(planList(r.out, "files", &found).count(listed), 0u) << r.out;
    EXPECT_TRUE(found) << r.out;
    struct stat st;
    ASSERT_EQ(::lstat(host.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, kind);
    for (const std::string& b : image.backups) EXPECT_NE(b.rfind(".partial-", 0), 0u) << b;
}

struct Attack {
    const char* what;
    std::function<void(ImageRun&)> run;
};

void PrintTo(const Attack& attack, std::ostream* out) { *out << attack.what; }

const Attack kAttacks[] = {
    {"system.reg edited in place just before it is replaced",
     [](ImageRun& image) {
         editDuringTheReplace(image, [&](const std::string& edited) {
             std::ofstream(image.dir() + "/system.reg", std::ios::binary | std::ios::trunc)
                 << edited;
         });
     }},
    {"a new system.reg renamed over it just before it is replaced",
     [](ImageRun& image) {
         editDuringTheReplace(image, [&](const std::string& edited) {
             const std::string temp = image.dir() + "/system.reg.byhand";
             std::ofstream(temp, std::ios::binary) << edited;
             fs::rename(temp, image.dir() + "/system.reg");
         });
     }},
    {"system.reg edited in place through another name, same size, its time put back",
     [](ImageRun& image) {
         // Only the lease can tell: an open for writing through any name
         // breaks it.
         const std::string other = image.outside() + "/system.reg.other-name";
         fs::create_hard_link(image.dir() + "/system.reg", other);
         editDuringTheReplace(
             image,
             [&](const std::string& edited) {
                 struct stat st;
                 ASSERT_EQ(::stat(other.c_str(), &st), 0);
                 std::ofstream(other, std::ios::binary | std::ios::in | std::ios::out) << edited;
                 const struct timespec times[2] = {st.st_atim, st.st_mtim};
                 ASSERT_EQ(::utimensat(AT_FDCWD, other.c_str(), times, 0), 0);
             },
             true);
     }},
    {"stopped past the lease-break time while system.reg is rewritten in place",
     [](ImageRun& image) {
         const std::string reg = image.dir() + "/system.reg";
         const int breakTime = std::atoi(readWhole("/proc/sys/fs/lease-break-time").c_str());
         if (breakTime > 60) GTEST_SKIP() << "lease-break-time " << breakTime << " s";
         const int probe = ::open(reg.c_str(), O_RDONLY | O_CLOEXEC);
         const bool leases = ::fcntl(probe, F_SETLEASE, F_RDLCK) == 0;
         ::fcntl(probe, F_SETLEASE, F_UNLCK);
         ::close(probe);
         if (!leases) GTEST_SKIP() << "no leases on this file system";
         image.snapshot();
         // Cut, as an editor that truncates and writes would leave it midway.
         const std::string original = image.readImageFile("system.reg");
         const std::string edited = original.substr(0, original.size() * 2 / 3);
         Background program(image);
         ASSERT_TRUE(program.waitUntilLoaded());
         const int pid = program.pid();
         ASSERT_GT(pid, 0);
         ASSERT_EQ(::kill(pid, SIGSTOP), 0);
         // Held by the lease until the kernel ends it.
         std::ofstream(reg, std::ios::binary | std::ios::trunc) << edited;
         ASSERT_EQ(::kill(pid, SIGCONT), 0);
         program.send("state\n" + kUninstall);
         EXPECT_EQ(program.finish(), 1);
         const std::string err = readWhole(image.ioDir() + "/stderr-background.txt");
         EXPECT_NE(err.find("while this program was stopped"), std::string::npos) << err;
         EXPECT_EQ(image.readImageFile("system.reg"), edited);
         image.compare();
         EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
         EXPECT_TRUE(image.backups.empty()) << *image.backups.begin();
     }},
    {"a deletion that fails at the commit (unlinkat: EACCES), then --undo",
     [](ImageRun& image) {
         if (!haveStrace()) GTEST_SKIP() << "no strace";
         image.snapshot();
         injectFault(image, image.dir() + "/drive_c/WINDOWS/system32/DRIVERS", "unlinkat",
                     "EACCES");
         const RunResult r = image.runOnly(kUninstall, kUnderPtrace);
         EXPECT_EQ(r.status, 1) << r.err;
         EXPECT_NE(r.err.find(std::string("quorvane-uninstall: ") + kDriver +
                              " could not be deleted; it stays on the machine\n"),
                   std::string::npos)
             << r.err;
         // Among what remains, and the rest of the commit stands.
         const size_t remains = r.err.find("still on the machine");
         EXPECT_NE(r.err.find(std::string("  ") + kDriver + "\n", remains), std::string::npos)
             << r.err;
         EXPECT_NE(r.out.find("uninstalled successfully"), std::string::npos) << r.out;
         image.compare();
         EXPECT_FALSE(image.removedKeys.empty());
         EXPECT_EQ(image.removedFiles.size(), 2u);
         EXPECT_EQ(image.backups.size(), 1u);
         const RunResult undone = undoWithoutFault(image);
         EXPECT_EQ(undone.status, 0) << undone.err;
         EXPECT_TRUE(image.regFileKept);
         EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
         EXPECT_TRUE(image.changedFiles.empty()) << *image.changedFiles.begin();
     }},
    {"a folder sync that fails in the backup copy (fsync: EIO)",
     [](ImageRun& image) {
         if (!haveStrace()) GTEST_SKIP() << "no strace";
         image.snapshot();
         injectFault(image, image.dir() + "/backups", "fsync", "EIO");
         const RunResult r = image.runOnly(kUninstall, kUnderPtrace);
         EXPECT_EQ(r.status, 1) << r.err;
         EXPECT_NE(r.err.find("the backup could not be written: cannot sync"), std::string::npos)
             << r.err;
         EXPECT_NE(r.err.find(std::strerror(EIO)), std::string::npos) << r.err;
         image.compare();
         EXPECT_TRUE(image.regFileKept);
         EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
         EXPECT_TRUE(image.backups.empty()) << *image.backups.begin();
     }},
    {"a file system that refuses the backup's link to system.reg (linkat: EPERM), then --undo",
     [](ImageRun& image) {
         if (!haveStrace()) GTEST_SKIP() << "no strace";
         image.snapshot();
         struct stat original, kept;
         ASSERT_EQ(::stat((image.dir() + "/system.reg").c_str(), &original), 0);
         injectFault(image, image.dir(), "linkat", "EPERM");
         const RunResult r = image.runOnly(kUninstall, kUnderPtrace);
         EXPECT_EQ(r.status, 0) << r.err;
         image.compare();
         ASSERT_EQ(image.backups.size(), 1u);
         // Copied instead of kept by a link: a file of its own.
         const fs::path copy =
             fs::path(image.dir()) / "backups" / *image.backups.begin() / "system.reg.before";
         ASSERT_EQ(::lstat(copy.c_str(), &kept), 0);
         EXPECT_NE(kept.st_ino, original.st_ino);
         const RunResult undone = undoWithoutFault(image);
         EXPECT_EQ(undone.status, 0) << undone.err;
         EXPECT_TRUE(image.regFileKept);
         EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
     }},
    {"a named pipe in place of the INF",
     [](ImageRun& image) {
         nodeInPlaceOf(image, kInf, "image/drive_c/WINDOWS/Inf/oem7.inf", S_IFIFO, 0);
     }},
    {"a device node in place of the driver file",
     [](ImageRun& image) {
         nodeInPlaceOf(image, kDriver, "image/drive_c/WINDOWS/system32/DRIVERS/kestrelf.sys",
                       S_IFCHR, ::makedev(1, 3));
     }},
    {"the driver file a read-only hard link to a file outside the image",
     [](ImageRun& image) {
         const std::string outside = image.outside() + "/kestrelf.sys";
         std::ofstream(outside, std::ios::binary) << "the driver, outside";
         ::chmod(outside.c_str(), 0444);
         const std::string host = winsim::hostPathIn(image.dir(), kDriver);
         fs::remove(host);
         fs::create_hard_link(outside, host);
         image.snapshot();
         const RunResult r = image.run(kUninstall);
         // Its mode is never changed, so it is not deleted; said, and listed.
         EXPECT_TRUE(image.changedFiles.empty()) << *image.changedFiles.begin();
         EXPECT_EQ(image.removedFiles.count("image/drive_c/WINDOWS/system32/DRIVERS/kestrelf.sys"),
                   0u);
         struct stat st;
         ASSERT_EQ(::stat(outside.c_str(), &st), 0);
         EXPECT_EQ(st.st_mode & 07777, 0444u);
         EXPECT_NE(r.err.find(std::string("  ") + kDriver + "\n"), std::string::npos) << r.err;
     }},
    {"a folder of the latest backup replaced by a link to outside the image",
     [](ImageRun& image) {
         ASSERT_EQ(image.run(kUninstall).status, 0);
         ASSERT_EQ(image.backups.size(), 1u);
         const fs::path files =
             fs::path(image.dir()) / "backups" / *image.backups.begin() / "files";
         fs::remove_all(files / "WINDOWS");
         const fs::path planted = fs::path(image.outside()) / "WINDOWS";
         for (const char* file :
              {"Inf/oem7.inf", "Inf/oem7.PNF", "system32/DRIVERS/kestrelf.sys"}) {
             fs::create_directories((planted / file).parent_path());
             std::ofstream(planted / file) << "planted";
         }
         fs::create_directory_symlink(planted, files / "WINDOWS");
         image.snapshot();
         image.extraArgs = "--undo";
         const RunResult r = image.run("");
         EXPECT_EQ(r.status, 1) << r.err;
         EXPECT_TRUE(image.regFileKept);
         EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
     }},
    {"a partial backup left by a change that was never made",
     [](ImageRun& image) {
         image.snapshot();  // (a load in this process would remove it already)
         const fs::path partial =
             fs::path(image.dir()) / "backups" / ".partial-20240101T000000.000000Z";
         fs::create_directories(partial / "files");
         std::ofstream(partial / "manifest") << "quorvane-backup 1\n";
         const RunResult r = image.run("");
         EXPECT_EQ(r.status, 0) << r.err;
         EXPECT_FALSE(fs::exists(partial));
         EXPECT_TRUE(image.backups.empty()) << *image.backups.begin();
         EXPECT_NE(r.err.find("removed, the backup of a change that was not made"),
                   std::string::npos)
             << r.err;
     }},
};

class CommitAttack : public testing::TestWithParam<Attack> {};

TEST_P(CommitAttack, IsRefusedOrSaidAndLosesNothing) {
    SCOPED_TRACE(GetParam().what);
    ImageRun image("xp");
    GetParam().run(image);
}

INSTANTIATE_TEST_SUITE_P(Table, CommitAttack, testing::ValuesIn(kAttacks),
                         [](const testing::TestParamInfo<Attack>& row) {
                             std::string name;
                             for (const char* at = row.param.what; *at; ++at) {
                                 if (std::isalnum(static_cast<unsigned char>(*at))) name += *at;
                             }
                             return std::to_string(row.index) + "_" + name.substr(0, 40);
                         });

}  // namespace
}  // namespace qu_hardening
