// Where the --log file may be, through the real program: it is opened
// before the image is locked and never blocks. A named pipe or a device is
// refused, and so is a path inside the image (for --windows anywhere on the
// installation's drive) or another name of one of its files. The refusal
// is named once on standard error, the run goes on, and the image and the
// refused path stay as they were.
#include "tests/host/program_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace fs = std::filesystem;

namespace {

using program_run::readFile;
using program_run::Result;
using program_run::TempDir;

const fs::path kMachines = fs::path(QU_SOURCE_DIR) / "machines";

}  // namespace

TEST(RunLog, ANamedPipeADeviceOrAPlaceInTheImageIsRefusedAndTheRunGoesOn) {
    TempDir scratch;
    const fs::path root = scratch.path();
    fs::copy(kMachines / "xp", root / "image", fs::copy_options::recursive);
    fs::create_directories(root / "export");
    fs::copy(kMachines / "xp-offline", root / "export", fs::copy_options::recursive);
    fs::rename(root / "export" / "system.reg", root / "export" / "xp.reg");
    fs::copy(kMachines / "xp-offline-drive", root / "drive", fs::copy_options::recursive);
    const std::string image = (root / "image").string();
    const std::string exported = (root / "export" / "xp.reg").string();
    const std::string drive = (root / "drive").string();
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
    fs::create_symlink(root / "image" / "system.reg", root / "link.log");
    fs::create_hard_link(root / "image" / "system.reg", root / "hard.log");
    fs::create_hard_link(root / "drive/WINDOWS/system32/config/system", root / "hive.log");

    const std::string inImage = "it is inside the machine image " + image;
    struct Case {
        const char* what;
        std::string machine;  // the options naming the machine
        std::string log;
        std::string says;  // "" when the log is taken
    };
    const Case cases[] = {
        {"a named pipe nobody reads", "--machine " + image, (root / "fifo").string(),
         "it is a named pipe, not a regular file"},
        {"a named pipe with a reader", "--machine " + image, (root / "fifo").string(),
         "it is a named pipe, not a regular file"},
        {"a device", "--machine " + image, "/dev/null", "it is a device, not a regular file"},
        {"the image's registry", "--machine " + image, image + "/system.reg", inImage},
        {"a new file in the image", "--machine " + image, image + "/run.log", inImage},
        {"a file on its drive", "--machine " + image, image + "/drive_c/run.log", inImage},
        {"a link into the image", "--machine " + image, (root / "link.log").string(), inImage},
        {"another name of the registry", "--machine " + image, (root / "hard.log").string(),
         "it is a file of the machine image (inside the machine image " + image + ")"},
        {"the export itself", "--machine " + exported, exported,
         "it is inside the machine image " + exported},
        {"the export's drive", "--machine " + exported, (root / "export/drive_c/run.log").string(),
         "it is inside the machine image " + exported},
        {"beside the export", "--machine " + exported, (root / "export/run.log").string(), ""},
        {"the installation's drive", "--windows " + drive, drive + "/run.log",
         "it is on the drive of the Windows installation " + drive},
        {"its Windows directory", "--windows " + drive, drive + "/WINDOWS/run.log",
         "it is on the drive of the Windows installation " + drive},
        {"another name of its system hive", "--windows " + drive, (root / "hive.log").string(),
         "it is a file of the machine image (on the drive of the Windows installation " + drive +
             ")"},
        {"outside the installation", "--windows " + drive, (root / "run.log").string(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A reader of the pipe, when the case has one.
        const bool reader = std::string(c.what) == "a named pipe with a reader";
        const int readEnd = reader ? ::open(c.log.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        const bool existed = fs::exists(fs::symlink_status(c.log));
        const std::string imageBefore = readFile(root / "image/system.reg");
        const std::string exportBefore = readFile(exported);
        const std::string hiveBefore = readFile(root / "hive.log");
        // On a pipe nobody reads, a log opened in blocking mode would wait
        // for ever (with the image locked): the run is cut off after a minute.
        const Result r = program_run::runProgram(c.machine + " --log '" + c.log + "'", "state\n",
                                                 scratch, "", "timeout 60 ");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\"devices\": [\"Quorvane USB 2.0 Network Adapter\"]"),
                  std::string::npos)
            << r.out;
        if (c.says.empty()) {
            EXPECT_EQ(r.err, "");
            EXPECT_NE(readFile(c.log).find("-- Machine facts: "), std::string::npos);
            fs::remove(c.log);
        } else {
            EXPECT_EQ(r.err, "quorvane-uninstall: cannot use the log " + c.log + ": " + c.says +
                                 "; the run goes on without it\n");
            EXPECT_EQ(fs::exists(fs::symlink_status(c.log)), existed) << "not created";
        }
        EXPECT_EQ(readFile(root / "image/system.reg"), imageBefore);
        EXPECT_EQ(readFile(exported), exportBefore);
        EXPECT_EQ(readFile(root / "hive.log"), hiveBefore);
        if (readEnd >= 0) {
            char byte;
            EXPECT_LE(::read(readEnd, &byte, 1), 0) << "nothing was written to the pipe";
            ::close(readEnd);
        }
    }
}
