// What the program gives an operator besides the dialog, through the real
// program: the --log file, the line mode's `devices` line on every sample
// image, --version and --list-supported, and how the default working copy
// is named once an earlier run changed it.
#include "host/run_record.h"
#include "tests/host/program_run.h"
#include "tests/support/uninstall_notes.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

using program_run::readFile;
using program_run::Result;
using program_run::TempDir;

// Runs the program with `args` and `input` on standard input (a file, so
// the line mode) in a clean environment plus `env`.
Result run(const std::string& args, const std::string& input, const TempDir& scratch,
           const std::string& env = "") {
    return program_run::runProgram(args, input, scratch, env);
}

std::string copyImage(const std::string& name, const TempDir& dir, const std::string& as = "") {
    const fs::path to = dir.path() / (as.empty() ? name : as);
    fs::copy(fs::path(QU_SOURCE_DIR) / "machines" / name, to, fs::copy_options::recursive);
    return to.string();
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Seconds since the epoch of a log stamp "2026-12-08T12:21:14.120Z".
double stampSeconds(const std::string& stamp) {
    tm parts{};
    strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
    return static_cast<double>(timegm(&parts)) + std::atoi(stamp.c_str() + 20) / 1000.0;
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct LogLine {
    double time = 0;
    char kind = ' ';  // '-': header, '!': standard error, ' ': status text
    std::string text;
};

// Parses a log; every line must carry a stamp.
std::vector<LogLine> parseLog(const std::string& log) {
    static const std::regex kLine(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (-- |! )?(.*))");
    std::vector<LogLine> lines;
    for (const std::string& line : splitLines(log)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, kLine)) << "no stamp: " << line;
        if (m.empty()) continue;
        lines.push_back({stampSeconds(m[1]), m[2].matched ? m.str(2)[0] : ' ', m[3]});
    }
    return lines;
}

// The texts of the lines of one kind.
std::vector<std::string> logTexts(const std::vector<LogLine>& lines, char kind) {
    std::vector<std::string> texts;
    for (const LogLine& line : lines) {
        if (line.kind == kind) texts.push_back(line.text);
    }
    return texts;
}

const std::string kVersionPattern =
    R"(Quorvane USB Miniport Driver Uninstall Utility 1\.1\.1\.0 \(revision [^ ()]+\))";

}  // namespace

TEST(RunLog, StampsEveryStatusLineAndAppendsRunAfterRun) {
    TempDir scratch;
    const std::string machine = copyImage("xp", scratch);
    const fs::path log = scratch.path() / "run.log";
    const double before = nowSeconds() - 1;  // stamps have millisecond precision
    const Result first = run("--machine " + quoted(machine) + " --log " + quoted(log.string()),
                             "detect\nselect 0\nuninstall\n", scratch);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(qu_test::withoutUninstallNotes(first.err), "");
    const std::string afterFirst = readFile(log);
    const Result second =
        run("--headless --machine " + quoted(machine) + " --log " + quoted(log.string()),
            "detect\n", scratch);
    ASSERT_EQ(second.status, 0) << second.err;
    const double after = nowSeconds() + 1;

    const std::string text = readFile(log);
    ASSERT_EQ(text.rfind(afterFirst, 0), 0u) << "the second run appends";
    // Each run: a header naming the program, the image and its facts, then
    // the status text exactly as the line mode echoed it, a line each, and
    // every line standard error was given, the backup and what remains
    // included.
    const std::vector<LogLine> runs[] = {parseLog(afterFirst),
                                         parseLog(text.substr(afterFirst.size()))};
    const Result* results[] = {&first, &second};
    double last = before;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const std::vector<LogLine>& lines = runs[i];
        const std::vector<std::string> headers = logTexts(lines, '-');
        ASSERT_EQ(headers.size(), 3u) << text;
        EXPECT_TRUE(std::regex_match(headers[0], std::regex(kVersionPattern))) << headers[0];
        EXPECT_EQ(headers[1], "Machine image: " + machine);
        EXPECT_EQ(headers[2],
                  "Machine facts: platform=nt (2000/XP) from machine.ini, version=5.1.2600 from "
                  "machine.ini, windows=C:\\WINDOWS from machine.ini, codepage=1252 by default");
        EXPECT_EQ(logTexts(lines, ' '), splitLines(results[i]->out));
        EXPECT_EQ(logTexts(lines, '!'), splitLines(results[i]->err));
        for (const LogLine& line : lines) {
            EXPECT_GE(line.time, last) << "stamps never go back";
            last = line.time;
        }
    }
    EXPECT_LE(last, after);
    EXPECT_NE(first.err.find("what this command deletes is saved in"), std::string::npos);
    EXPECT_NE(first.err.find("still on the machine"), std::string::npos);
    EXPECT_NE(text.find(" All '2' instances of 'Quorvane USB 2.0 Network Adapter' were "
                        "uninstalled successfully!\n"),
              std::string::npos);
}

TEST(RunLog, LogThatCannotBeWrittenIsSaidOnceAndTheRunGoesOn) {
    TempDir scratch;
    const std::string machine = copyImage("me", scratch);
    const std::string input = "select 0\nuninstall\ndetect\nstate\n";
    const Result plain = run("--machine " + quoted(machine), input, scratch);
    ASSERT_EQ(plain.status, 4);  // the 9x uninstall waits for its restart

    fs::create_directory(scratch.path() / "dir");
    fs::create_directory(scratch.path() / "locked");
    fs::permissions(scratch.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {"/dev/full", "cannot use the log /dev/full: it is a device, not a regular file"},
        {(scratch.path() / "dir").string(),
         "cannot open the log " + (scratch.path() / "dir").string() + ": Is a directory"},
        {(scratch.path() / "missing/run.log").string(),
         "cannot open the log " + (scratch.path() / "missing/run.log").string() +
             ": No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fs::remove_all(machine);
        copyImage("me", scratch);
        const Result r =
            run("--machine " + quoted(machine) + " --log " + quoted(c.path), input, scratch);
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.out, plain.out) << "the run is the same without its log";
        EXPECT_EQ(qu_test::withoutUninstallNotes(r.err),
                  "quorvane-uninstall: " + c.message + "; the run goes on without it\n");
    }
    if (geteuid() != 0) {  // root writes anywhere
        const std::string path = (scratch.path() / "locked/run.log").string();
        const Result r =
            run("--machine " + quoted(machine) + " --log " + quoted(path), "", scratch);
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.err, "quorvane-uninstall: cannot open the log " + path +
                             ": Permission denied; the run goes on without it\n");
    }
    fs::permissions(scratch.path() / "locked", fs::perms::owner_all);

    // A log that fills up (here: past the file size limit) is named once when
    // its write fails; the run goes on.
    const fs::path full = scratch.path() / "full.log";
    writeFile(full, std::string(4096, 'x'));
    fs::remove_all(machine);
    copyImage("me", scratch);
    const Result limited = program_run::runProgram(
        "--machine " + quoted(machine) + " --log " + quoted(full.string()), "detect\nstate\n",
        scratch, "", "sh -c 'trap \"\" XFSZ; ulimit -f 4; exec \"$@\"' sh ");
    EXPECT_EQ(limited.status, 0);
    EXPECT_EQ(limited.err, "quorvane-uninstall: cannot write the log " + full.string() +
                               ": File too large; the run goes on without it\n");
    EXPECT_EQ(readFile(full), std::string(4096, 'x'));

    const Result missing = run("--machine " + quoted(machine) + " --log", "", scratch);
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("--log needs a file"), std::string::npos);
}

TEST(DevicesCommand, EverySampleImageBeforeAndAfterAnUninstall) {
    TempDir scratch;
    const std::string xp =
        R"({"devices": [{"slot": 1, "pattern": "VID_F3A7&PID_0053", "description": "Quorvane USB 2.0 Network Adapter", "installCount": 2, "instances": ["USB\\VID_F3A7&PID_0053\\5&1f8d3a27&0&1", "USB\\VID_F3A7&PID_0053\\5&3b0c61e9&0&2"], "service": "kestrelx", "lowerFilter": "kestrelf", "inf": "C:\\WINDOWS\\Inf\\oem7.inf", "driver": "C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys"}]})";
    const std::string me =
        R"({"devices": [{"slot": 0, "pattern": "VID_F3A7&PID_0021", "description": "Quorvane USB Network Adapter", "installCount": 1, "instances": ["USB\\VID_F3A7&PID_0021\\5&2E1C7A4&0&1"], "service": "", "lowerFilter": "", "inf": "C:\\WINDOWS\\Inf\\Other\\QUORVANEKESTRELM.INF", "driver": "C:\\WINDOWS\\System32\\Drivers\\kestrelm.sys"}]})";
    const std::string none = R"({"devices": []})";
    struct Case {
        const char* image;
        std::string found;
    };
    for (const Case& c : {Case{"xp", xp}, Case{"me", me}, Case{"xp-empty", none}}) {
        SCOPED_TRACE(c.image);
        const std::string machine = copyImage(c.image, scratch);
        // The line stays what detection found through an uninstall (which
        // empties the registry keys and rewrites the file tables) until the
        // next detection run.
        const Result r = run("--machine " + quoted(machine),
                             "devices\nselect 0\nuninstall\ndevices\ndetect\ndevices\n", scratch);
        // 4: the 9x uninstall still needs its restart.
        EXPECT_EQ(r.status, std::string(c.image) == "me" ? 4 : 0);
        std::vector<std::string> lines;
        for (const std::string& line : splitLines(program_run::withoutFacts(r.out))) {
            if (line.rfind("{\"devices\"", 0) == 0) lines.push_back(line);
        }
        EXPECT_EQ(lines, (std::vector<std::string>{c.found, c.found, none}));
    }

    // Text from the image's code page comes out as UTF-8.
    const std::string machine = copyImage("xp", scratch, "cp1252");
    const fs::path reg = fs::path(machine) / "system.reg";
    writeFile(reg, replaceAll(readFile(reg), "Quorvane USB 2.0 Network Adapter",
                              "Quorvane Netzwerkadapter f\xFCr B\xFCro"));
    const Result r = run("--machine " + quoted(machine), "devices\n", scratch);
    EXPECT_NE(r.out.find("\"description\": \"Quorvane Netzwerkadapter für Büro\""),
              std::string::npos)
        << r.out;
}

TEST(CommandLine, VersionAndListSupported) {
    TempDir scratch;
    Result r = run("--version", "", scratch);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(qu_test::withoutUninstallNotes(r.err), "");
    EXPECT_TRUE(std::regex_match(r.out, std::regex(kVersionPattern + "\n"))) << r.out;
    // The source tree is a git checkout: the revision is known.
    if (fs::exists(fs::path(QU_SOURCE_DIR) / ".git")) {
        EXPECT_EQ(r.out.find("(revision unknown)"), std::string::npos) << r.out;
    }
    // Neither needs a machine image.
    r = run("--list-supported --machine /nonexistent", "", scratch);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(qu_test::withoutUninstallNotes(r.err), "");
    EXPECT_EQ(r.out, "VID_F3A7&PID_0021\nVID_F3A7&PID_0053\nVID_F3A7&PID_0054\n");

    r = run("--help", "", scratch);
    for (const char* option : {"--version", "--list-supported", "--log FILE", "devices"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
}

TEST(DefaultMachine, WorkingCopyChangedByAnEarlierRunIsNamedUntilReset) {
    TempDir scratch;
    const std::string env = "XDG_STATE_HOME=" + quoted(scratch.path().string());
    const fs::path copy = scratch.path() / "quorvane-uninstall" / "machine";
    const fs::path log = scratch.path() / "run.log";
    // The image line of the log's header for each run.
    auto imageLine = [&](const std::string& args) {
        fs::remove(log);
        const Result r = run(args + " --log " + quoted(log.string()), "", scratch, env);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<LogLine> lines = parseLog(readFile(log));
        return lines.size() >= 2 ? lines[1].text : std::string();
    };
    const std::string fresh =
        "Machine image: " + copy.string() + " (working copy of the built-in image)";
    const std::string changed = "Machine image: " + copy.string() +
                                " (working copy of the built-in image, changed by an earlier run)";

    EXPECT_EQ(imageLine(""), fresh);  // created now
    EXPECT_EQ(imageLine(""), fresh);  // a run without an uninstall changes nothing
    ASSERT_EQ(run("", "uninstall\n", scratch, env).status, 0);
    EXPECT_EQ(imageLine(""), changed);
    EXPECT_EQ(imageLine("--reset-machine"), fresh);

    // What counts: system.reg and the files under drive_c, by their bytes.
    struct Change {
        const char* what;
        std::function<void()> make;
    };
    const Change changes[] = {
        {"a file added", [&] { writeFile(copy / "drive_c/WINDOWS/new.txt", "x"); }},
        {"a file removed", [&] { fs::remove(copy / "drive_c/WINDOWS/win.ini"); }},
        {"a file's bytes", [&] { writeFile(copy / "drive_c/WINDOWS/win.ini", "[windows]\r\n"); }},
        {"the registry",
         [&] { writeFile(copy / "system.reg", readFile(copy / "system.reg") + "\r\n"); }},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(imageLine("--reset-machine"), fresh);
        c.make();
        EXPECT_EQ(imageLine(""), changed);
    }
    // machine.ini is not part of the comparison; an empty directory neither.
    ASSERT_EQ(imageLine("--reset-machine"), fresh);
    fs::create_directory(copy / "drive_c/TEMP");
    EXPECT_EQ(imageLine(""), fresh);

    // --machine names the directory only.
    const std::string machine = copyImage("xp", scratch);
    EXPECT_EQ(imageLine("--machine " + quoted(machine)), "Machine image: " + machine);
}
