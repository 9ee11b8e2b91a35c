// quorvane-uninstall as a process: the line mode's exact output, the default
// machine's working copy, and bad command lines and images.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "tests/host/program_run.h"
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

using program_run::readFile;
using program_run::Result;
using program_run::TempDir;

// Runs the program with `args`, `input` on standard input (a file, so not a
// terminal) and `env` (shell assignments) in a clean environment.
Result run(const std::string& args, const std::string& input, const std::string& env,
           const TempDir& scratch, const std::string& wrapper = "") {
    return program_run::runProgram(args, input, scratch, env, wrapper);
}

const std::string kXpImage = std::string(QU_SOURCE_DIR) + "/machines/xp";

std::string copyImage(const std::string& from, const TempDir& dir) {
    const fs::path to = dir.path() / "machine";
    fs::copy(from, to, fs::copy_options::recursive);
    return to.string();
}

const std::string kName = "Quorvane USB 2.0 Network Adapter";
const std::string k102 = "Windows2000 / WindowsXP detected.\r\r\n";
const std::string k117 = "'" + kName + "' has been installed '2' times on this system.\r\r\n";
const std::string k116 = "Click on the Uninstall button to uninstall '" + kName + "'.\r\r\n";
const std::string k107 = "Uninstalling '" + kName + "' from system...\r\r\n";
const std::string k120 =
    "All '2' instances of '" + kName + "' were uninstalled successfully!\r\r\n";
const std::string k104 =
    "NOTE: No Quorvane device detected!  If you have installed a Quorvane device, plug it into "
    "your system, click on the Detect button, and then on the Uninstall button to uninstall it.  "
    "Also, make sure that you have logged on to the system with Administrator privileges.\r\r\n";

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

TEST(LineMode, SessionOutputIsExact) {
    TempDir scratch;
    const std::string machine = copyImage(kXpImage, scratch);
    const Result r =
        run("--machine '" + machine + "' --headless",
            "state\nselect 0\r\nuninstall\nstate\nabout\nbogus\n  \ndetect\nstate\n", "", scratch);
    EXPECT_EQ(r.status, 0) << r.err;

    const std::string start = k102 + k117 + k116;
    // Every state line ends with the machine's facts and where they came from.
    const std::string machineFacts =
        ", \"machine\": {\"platform\": \"nt\", \"version\": \"5.1.2600\", \"windows\": "
        "\"C:\\\\WINDOWS\", \"codepage\": 1252, \"from\": {\"platform\": \"machine.ini\", "
        "\"version\": \"machine.ini\", \"windows\": \"machine.ini\", \"codepage\": "
        "\"default\"}}}\n";
    const std::string expected =
        start + "{\"status\": \"" + escaped(start) + "\", \"devices\": [\"" + kName +
        "\"], \"selected\": 0, \"enabled\": {\"uninstall\": true, \"close\": true, \"detect\": "
        "true, \"restart\": false}, \"restartRequested\": false" +
        machineFacts + k107 + k120 + "{\"status\": \"" + escaped(start + k107 + k120) +
        "\", \"devices\": [\"" + kName +
        "\"], \"selected\": 0, \"enabled\": {\"uninstall\": false, \"close\": true, \"detect\": "
        "true, \"restart\": false}, \"restartRequested\": false" +
        machineFacts +
        "{\"caption\": \"About QuorvaneUninstall\", \"texts\": [\"Quorvane USB Miniport Driver "
        "Uninstall\", \"v1.1.1.0\", \"Copyright (C) Quorvane\"]}\n" +
        k104 + "{\"status\": \"" + escaped(start + k107 + k120 + k104) +
        "\", \"devices\": [], \"selected\": -1, \"enabled\": {\"uninstall\": false, \"close\": "
        "true, \"detect\": true, \"restart\": false}, \"restartRequested\": false" +
        machineFacts;
    EXPECT_EQ(r.out, expected);
    // The backup of the Uninstall, what remains of the device, then the bad command.
    const std::string saved =
        "quorvane-uninstall: what this command deletes is saved in " + machine + "/backups/";
    ASSERT_EQ(r.err.rfind(saved, 0), 0u) << r.err;
    EXPECT_EQ(
        r.err.substr(r.err.find('\n') + 1),
        "quorvane-uninstall: still on the machine, naming the device's pattern, service, INF "
        "or driver file:\n"
        "  HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\USB Network Adapter : InstalledInf\n"
        "  HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Eventlog\\System : Sources\n"
        "  HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\kestrelf : ImagePath\n"
        "  HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\kestrelx\n"
        "  HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\kestrelx : ImagePath\n"
        "  C:\\WINDOWS\\system32\\DRIVERS\\kestrelx.sys\n"
        "quorvane-uninstall: unknown command: bogus\n");

    // The removal reached the image on disk.
    const std::string reg = readFile(fs::path(machine) / "system.reg");
    EXPECT_EQ(reg.find("VID_F3A7&PID_0053"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::path(machine) / "drive_c/WINDOWS/Inf/oem7.inf"));
}

TEST(LineMode, DisabledButtonsBadSelectAndCloseCommand) {
    TempDir scratch;
    const std::string machine = copyImage(std::string(QU_SOURCE_DIR) + "/machines/me", scratch);
    const Result r =
        run("--machine '" + machine + "'",
            "restart\nselect 3\nselect x\nuninstall\nrestart\nclose\nstate\n", "", scratch);
    EXPECT_EQ(r.status, 0);
    // Restart was disabled the first time; after the 9x uninstall it is taken.
    EXPECT_NE(r.out.find("NOTE: You must restart Windows"), std::string::npos);
    // Nothing runs after close.
    EXPECT_EQ(r.out.find("{\"status\""), std::string::npos);
    const std::string saved =
        "quorvane-uninstall: what this command deletes is saved in " + machine + "/backups/";
    const size_t at = r.err.find(saved);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(0, at),
              "quorvane-uninstall: restart: the button is disabled; nothing done\n"
              "quorvane-uninstall: the device list has no item 3\n"
              "quorvane-uninstall: select needs an item number: select x\n");
    EXPECT_EQ(r.err.substr(r.err.find('\n', at) + 1),
              "quorvane-uninstall: nothing on the machine names the device's pattern, service, INF "
              "or driver file any more\n");
}

TEST(DefaultMachine, WorkingCopyIsCreatedKeptAndReset) {
    TempDir scratch;
    const std::string shipped = readFile(kXpImage + "/system.reg");
    const std::string env = "XDG_STATE_HOME='" + scratch.path().string() + "'";
    const fs::path copy = scratch.path() / "quorvane-uninstall" / "machine";

    Result r = run("", "uninstall\n", env, scratch);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(k120), std::string::npos);
    EXPECT_EQ(readFile(copy / "system.reg").find("VID_F3A7&PID_0053"), std::string::npos);

    r = run("--headless", "state\n", env, scratch);  // the same, changed copy
    EXPECT_NE(r.out.find("\"devices\": []"), std::string::npos);

    r = run("--reset-machine --headless", "state\n", env, scratch);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\"devices\": [\"" + kName + "\"]"), std::string::npos);
    EXPECT_EQ(readFile(copy / "system.reg"), shipped);
    EXPECT_EQ(readFile(kXpImage + "/system.reg"), shipped);

    // Without XDG_STATE_HOME the copy lives under ~/.local/state.
    r = run("", "", "HOME='" + scratch.path().string() + "'", scratch);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(scratch.path() / ".local/state/quorvane-uninstall/machine/machine.ini"));
}

// The working copy is the user's data: never replaced without being asked,
// not while another process has it, and a reset leaves nothing behind.
TEST(DefaultMachine, WorkingCopyIsNeverReplacedSilently) {
    TempDir scratch;
    const std::string env = "XDG_STATE_HOME='" + scratch.path().string() + "'";
    const fs::path parent = scratch.path() / "quorvane-uninstall";
    const fs::path copy = parent / "machine";
    ASSERT_EQ(run("", "uninstall\n", env, scratch).status, 0);
    const std::string uninstalled = readFile(copy / "system.reg");
    std::ofstream(copy / "drive_c" / "mine.txt") << "the user's";
    const auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(parent)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    };

    // Left by an interrupted start: removed by the next one.
    fs::create_directories(parent / "machine.new-1-00000000" / "drive_c");
    fs::create_directories(parent / "machine.old-2-00000000");
    Result r = run("", "", env, scratch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(entries(), std::vector<std::string>{"machine"});

    // Incomplete or damaged: refused with the way out, nothing replaced.
    const std::string ini = readFile(copy / "machine.ini");
    fs::remove(copy / "machine.ini");
    r = run("", "", env, scratch);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(copy.string() + ": the working copy of the default machine image is "
                                         "incomplete (machine.ini is missing); --reset-machine"),
              std::string::npos)
        << r.err;
    std::ofstream(copy / "machine.ini") << "[system]\nplatform = os/2\n";
    r = run("", "", env, scratch);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("machine.ini:2: platform must be"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--reset-machine replaces the working copy"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(copy / "system.reg"), uninstalled);
    EXPECT_EQ(readFile(copy / "drive_c" / "mine.txt"), "the user's");
    std::ofstream(copy / "machine.ini", std::ios::trunc) << ini;

    // In use by another process: neither started nor reset.
    {
        const int fd = ::open(copy.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        for (const char* args : {"", "--reset-machine"}) {
            r = run(args, "", env, scratch);
            EXPECT_EQ(r.status, 3) << args;
            EXPECT_EQ(r.err, "quorvane-uninstall: " + copy.string() +
                                 ": the machine image is in use by another process\n");
        }
        ::close(fd);
    }
    EXPECT_EQ(readFile(copy / "system.reg"), uninstalled);

    // Asked for: replaced in one step, nothing left beside it.
    r = run("--reset-machine", "", env, scratch);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(copy / "system.reg"), readFile(kXpImage + "/system.reg"));
    EXPECT_FALSE(fs::exists(copy / "drive_c" / "mine.txt"));
    EXPECT_EQ(entries(), std::vector<std::string>{"machine"});
}

TEST(CommandLine, BadArgumentsAndImages) {
    TempDir scratch;
    Result r = run("--help", "", "", scratch);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: quorvane-uninstall", 0), 0u);

    r = run("--frobnicate", "", "", scratch);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown argument: --frobnicate"), std::string::npos);

    r = run("--machine", "", "", scratch);
    EXPECT_EQ(r.status, 2);

    r = run("--machine /tmp --reset-machine", "", "", scratch);
    EXPECT_EQ(r.status, 2);

    r = run("", "", "", scratch);  // no HOME, no XDG_STATE_HOME
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--machine"), std::string::npos);

    // An image that cannot be loaded: exit 2, the file named, nothing changed.
    const std::string machine = copyImage(kXpImage, scratch);
    {
        std::ofstream ini(fs::path(machine) / "machine.ini", std::ios::binary | std::ios::trunc);
        ini << "[system]\r\nplatform = vax\r\n";
    }
    const std::string regBefore = readFile(fs::path(machine) / "system.reg");
    r = run("--machine '" + machine + "' --headless", "uninstall\n", "", scratch);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("machine.ini"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(readFile(fs::path(machine) / "system.reg"), regBefore);

    r = run("--machine '" + (scratch.path() / "missing").string() + "'", "", "", scratch);
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(r.err.empty());
    // Image files that are no files: refused at once, never waited on or
    // read without end (`timeout` turns a hang into status 124).
    const std::string odd = (scratch.path() / "odd").string();
    fs::copy(kXpImage, odd, fs::copy_options::recursive);
    fs::remove(fs::path(odd) / "system.reg");
    ASSERT_EQ(::mkfifo((fs::path(odd) / "system.reg").c_str(), 0644), 0);
    r = run("--machine '" + odd + "' --headless", "", "", scratch, "timeout 60 ");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "quorvane-uninstall: " + odd + "/system.reg: is a named pipe, not a file\n");
    fs::remove(fs::path(odd) / "system.reg");
    fs::create_symlink("/dev/zero", fs::path(odd) / "system.reg");
    r = run("--machine '" + odd + "' --headless", "", "", scratch, "timeout 60 ");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "quorvane-uninstall: " + odd + "/system.reg: is a device, not a file\n");
}
