// The image as a store, with real processes: a crash at any step of an
// Uninstall's commit, two processes on one image, a hand edit during a run,
// and standard output that cannot be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "tests/hardening/background.h"
#include "tests/hardening/image_run.h"

namespace qu_hardening {

namespace {

namespace fs = std::filesystem;

const std::string kUninstall = "uninstall\n";

// Killed after every file-system step of an Uninstall's commit, the next
// start leaves the image exactly as before the command or exactly as a
// clean Uninstall leaves it, and says so when it finishes the change.
class CrashSweep : public testing::TestWithParam<const char*> {};

TEST_P(CrashSweep, TheNextStartFindsTheImageUntouchedOrFullyUninstalled) {
    ImageRun clean(GetParam());
    clean.snapshot();
    const std::string original = clean.readImageFile("system.reg");
    // 4 on the 9x family: the restart is still to come.
    ASSERT_EQ(clean.run(kUninstall).status, std::string(GetParam()) == "me" ? 4 : 0);
    const std::string uninstalled = clean.readImageFile("system.reg");
    const std::set<std::string> gone = clean.removedFiles;
    ASSERT_FALSE(gone.empty());
    ASSERT_NE(uninstalled, original);

    int untouched = 0, finished = 0, completedBeforeTheKill = 0;
    for (int step = 1;; ++step) {
        SCOPED_TRACE("killed after step " + std::to_string(step));
        ASSERT_LT(step, 100);
        ImageRun image(GetParam());
        image.snapshot();
        const RunResult crashed =
            image.runOnly(kUninstall, "QU_CRASH_AFTER=" + std::to_string(step));
        if (crashed.status == 0 || crashed.status == 4) {
            EXPECT_GT(step, 10) << "fewer steps than a commit has";
            break;
        }
        ASSERT_EQ(crashed.status, -1) << crashed.err;
        const RunResult rerun = image.run("");
        EXPECT_EQ(rerun.status, 0) << rerun.err;
        EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
        EXPECT_TRUE(image.changedFiles.empty()) << *image.changedFiles.begin();
        const std::string now = image.readImageFile("system.reg");
        // A backup only of a change that was made, and then whole.
        EXPECT_EQ(image.backups.size(), now == original ? 0u : 1u);
        const bool said =
            rerun.err.find(image.dir() + ": finished an interrupted change") != std::string::npos;
        if (now == original) {
            ++untouched;
            EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
            EXPECT_FALSE(said) << rerun.err;
        } else {
            EXPECT_EQ(now, uninstalled);
            EXPECT_EQ(image.removedFiles, gone);
            EXPECT_EQ(image.backups.size(), 1u);
            said ? ++finished : ++completedBeforeTheKill;
        }
    }
    EXPECT_GT(untouched, 0);
    EXPECT_GT(finished, 0);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, CrashSweep, testing::Values("xp", "me"));

// A second process on an image in use stops at once with status 3 and one
// line; a hand edit made while the first runs is refused at its commit and
// kept, and the command's file deletions are not made.
TEST(Store, OneWriterAndHandEditsAreKept) {
    ImageRun image("xp");
    image.snapshot();
    Background first(image);
    ASSERT_TRUE(first.waitUntilLoaded());
    ASSERT_TRUE(locked(image.dir()));

    const RunResult second = image.run(kUninstall);
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(second.err, "quorvane-uninstall: " + image.dir() +
                              ": the machine image is in use by another process\n");
    EXPECT_EQ(second.out, "");
    EXPECT_TRUE(image.regFileKept);
    EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
    EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();

    // A hand edit while the first still runs.
    const std::string edited =
        image.readImageFile("system.reg") + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ByHand]\r\n";
    { std::ofstream(image.dir() + "/system.reg", std::ios::binary | std::ios::trunc) << edited; }
    first.send(kUninstall);
    EXPECT_EQ(first.finish(), 1);
    const std::string err = readWhole(image.ioDir() + "/stderr-background.txt");
    EXPECT_NE(err.find("the machine image could not be saved: " + image.dir() +
                       "/system.reg was changed by another program since it was loaded; it was "
                       "not overwritten"),
              std::string::npos)
        << err;
    EXPECT_EQ(image.readImageFile("system.reg"), edited);
    image.compare();
    EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
    EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
}

// Whether some process maps the file at `path` (reads its pages in place).
bool mappedByAProcess(const std::string& path) {
    const std::string real = fs::canonical(path).string();
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        std::ifstream maps(it->path() / "maps");
        std::string line;
        while (std::getline(maps, line)) {
            if (line.size() > real.size() &&
                line.compare(line.size() - real.size(), real.size(), real) == 0) {
                return true;
            }
        }
    }
    return false;
}

// Whether a read lease can be taken on the file at `path` (the kernel allows
// leases and its file system keeps them).
bool leaseWorks(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool taken = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    if (taken) ::fcntl(fd, F_SETLEASE, F_UNLCK);
    ::close(fd);
    return taken;
}

// A running program reads system.reg in place when it can, yet no change
// made to the file behind its back reaches what it reads: a writer waits
// until the program has its own copy. Each row changes the file in place
// (same inode) while the program runs; the program still detects the
// adapter it loaded, and its Uninstall is refused and keeps the edit. The
// last row holds the file open for writing while the program starts, so it
// reads the file into memory instead, and its Uninstall goes through.
TEST(Store, ChangesInPlaceDoNotReachARunningProgram) {
    struct Row {
        const char* what;
        bool heldOpenAtStart;
        std::function<std::string(const std::string&)> edit;  // the file's new bytes
    };
    const Row rows[] = {
        {"every adapter name renamed, same length", false,
         [](std::string text) {
             for (size_t at = text.find("Quorvane"); at != std::string::npos;
                  at = text.find("Quorvane", at)) {
                 text[at] = 'X';
             }
             return text;
         }},
        {"emptied", false, [](const std::string&) { return std::string(); }},
        {"cut in half", false,
         [](const std::string& text) { return text.substr(0, text.size() / 2); }},
        {"open for writing while it starts", true, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ImageRun image("xp");
        image.snapshot();
        const std::string reg = image.dir() + "/system.reg";
        const bool leases = leaseWorks(reg);
        const int writer = row.heldOpenAtStart ? ::open(reg.c_str(), O_WRONLY | O_CLOEXEC) : -1;
        Background first(image);
        ASSERT_TRUE(first.waitUntilLoaded());
        const std::string stdoutPath = image.ioDir() + "/stdout-background.txt";
        if (leases) {
            EXPECT_EQ(mappedByAProcess(reg), !row.heldOpenAtStart);
        }
        if (row.heldOpenAtStart) {
            ::close(writer);
            first.send(kUninstall);
            EXPECT_EQ(first.finish(), 0);
            EXPECT_FALSE(image.readImageFile("system.reg").empty());
            continue;
        }
        const std::string edited = row.edit(image.readImageFile("system.reg"));
        {
            // In place: the same file, truncated and written again.
            std::ofstream out(reg, std::ios::binary | std::ios::trunc);
            out << edited;
        }
        EXPECT_FALSE(mappedByAProcess(reg));
        first.send("detect\nstate\n" + kUninstall);
        EXPECT_EQ(first.finish(), 1);
        const std::string out = readWhole(stdoutPath);
        // The state line after the edit (the second one) still lists it.
        const size_t after = out.rfind("\"devices\"");
        EXPECT_NE(out.find("\"devices\""), after) << out;
        const std::string listed = "\"devices\": [\"Quorvane USB 2.0 Network Adapter\"]";
        EXPECT_EQ(out.compare(after, listed.size(), listed), 0) << out;
        const std::string err = readWhole(image.ioDir() + "/stderr-background.txt");
        EXPECT_NE(err.find("was changed by another program since it was loaded"), std::string::npos)
            << err;
        EXPECT_EQ(image.readImageFile("system.reg"), edited);
        image.compare();
        EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
    }
}

// Standard output closed, full, or a pipe whose reader has gone: status 1,
// the documented line, nothing committed (no death by SIGPIPE).
TEST(Store, OutputThatCannotBeWrittenCommitsNothing) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::close(pipeEnds[0]);  // no reader: every write fails
    const std::string closedPipe = ">&" + std::to_string(pipeEnds[1]);
    for (const std::string& redirect :
         {std::string(">/dev/full"), std::string(">&-"), closedPipe}) {
        SCOPED_TRACE(redirect);
        ImageRun image("xp");
        image.snapshot();
        const RunResult r = image.runOnly(kUninstall, "", redirect);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err,
                  "quorvane-uninstall: standard output cannot be written; the changes after the "
                  "last output were not saved\n");
        image.compare();
        EXPECT_TRUE(image.regFileKept);
        EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
        EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
    }
    ::close(pipeEnds[1]);
}

// A read-only run takes no lock (the lock is for writers): beside a running
// writer it reads the image as the writer's last commit left it, and it
// changes and creates nothing.
TEST(Store, AReadOnlyRunGoesBesideAWriter) {
    ImageRun image("xp");
    image.snapshot();
    Background writer(image);
    ASSERT_TRUE(writer.waitUntilLoaded());
    ASSERT_TRUE(locked(image.dir()));
    const std::string listed = "\"devices\": [\"Quorvane USB 2.0 Network Adapter\"]";
    image.extraArgs = "--read-only";
    RunResult reader = image.runOnly("state\n");
    EXPECT_EQ(reader.status, 0) << reader.err;
    EXPECT_EQ(reader.err, "");
    EXPECT_NE(reader.out.find(listed), std::string::npos) << reader.out;

    // The writer uninstalls and commits, and keeps running.
    writer.send(kUninstall + "state\n");
    const std::string writerOut = image.ioDir() + "/stdout-background.txt";
    ASSERT_TRUE(waitFor([&] {
        const std::string out = readWhole(writerOut);
        return out.find("\"devices\"") != out.rfind("\"devices\"");
    }));
    EXPECT_TRUE(locked(image.dir()));
    reader = image.runOnly("state\n");
    EXPECT_EQ(reader.status, 0) << reader.err;
    EXPECT_NE(reader.out.find("\"devices\": []"), std::string::npos) << reader.out;
    EXPECT_EQ(writer.finish(), 0);

    image.compare();
    EXPECT_EQ(image.backups.size(), 1u) << "the writer's only";
    EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
}

}  // namespace
}  // namespace qu_hardening
