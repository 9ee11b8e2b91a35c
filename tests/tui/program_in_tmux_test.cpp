// quorvane-uninstall in a real terminal: the program runs in a detached tmux
// session of 80 x 25 (the dialog's size with its frame) on a copy of a machine image; keys go in
// with send-keys, the screen comes back with capture-pane. Every wait polls the screen until the
// expected text shows, with a deadline.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/uninstall_notes.h"

namespace fs = std::filesystem;

namespace {

constexpr int kTimeoutMs = 15000;  // generous: sanitizer builds start slowly

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs argv with its standard output in a file (never a pipe: a tmux
// server started by the command would hold a pipe open); true when it
// exited with 0.
bool run(const std::vector<std::string>& argv, std::string* out = nullptr) {
    char pattern[] = "/tmp/qu-tui-out-XXXXXX";
    const int outFd = mkstemp(pattern);
    if (outFd < 0) return false;
    const pid_t pid = fork();
    if (pid < 0) {
        close(outFd);
        unlink(pattern);
        return false;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outFd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out != nullptr) *out = readFile(pattern);
    unlink(pattern);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool haveTmux() { return run({"tmux", "-V"}); }

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Drops the spaces at the end of every line.
std::string trimLines(const std::string& text) {
    std::string out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

struct Launch {
    std::string env;           // extra VAR=value words
    std::string image = "xp";  // machines/<image>, or a directory, copied to `m`
                               // and run with --machine; empty: no --machine
                               // (the default working copy below HOME)
    // Runs before the program starts, with the directory that is HOME.
    std::function<void(const fs::path& home)> prepare;
    std::string args;  // more arguments, shell-quoted
    int rows = 25;     // the terminal's height (80 columns)
};

class Terminal {
public:
    // Starts the program on a copy of machines/`image` with `env` (extra
    // VAR=value words).
    explicit Terminal(const std::string& env = "", const std::string& image = "xp")
        : Terminal(Launch{env, image, nullptr, ""}) {}
    explicit Terminal(const Launch& launch) {
        char pattern[] = "/tmp/qu-tui-tmux-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        std::string machine;
        if (!launch.image.empty()) {
            const fs::path from = launch.image[0] == '/'
                                      ? fs::path(launch.image)
                                      : fs::path(QU_SOURCE_DIR) / "machines" / launch.image;
            fs::copy(from, dir_ / "m", fs::copy_options::recursive);
            machine = " --machine " + shellQuote((dir_ / "m").string());
        }
        if (launch.prepare) launch.prepare(dir_);
        const std::string& env = launch.env;
        const std::string command =
            "env -i PATH=/usr/bin:/bin HOME=" + shellQuote(dir_.string()) +
            " TERM=xterm-256color LANG=C.UTF-8"
            // Leak checking stays on: curses is freed at exit.
            " ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 " +
            env + " " + shellQuote(QU_PROGRAM) + machine + " " + launch.args + " 2>" +
            shellQuote((dir_ / "stderr").string()) + "; echo $? >" +
            shellQuote((dir_ / "exit.part").string()) + "; mv " +
            shellQuote((dir_ / "exit.part").string()) + " " + shellQuote((dir_ / "exit").string()) +
            "; sleep 600";
        started_ = tmux({"new-session", "-d", "-c", dir_.string(), "-x", "80", "-y",
                         std::to_string(launch.rows), "-s", "qu", command});
    }
    ~Terminal() {
        if (!dir_.empty()) {
            tmux({"kill-server"});
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }
    bool started() const { return started_; }
    fs::path home() const { return dir_; }
    fs::path machine() const { return dir_ / "m"; }

    // `joined`: lines the terminal wrapped come back whole, without the
    // spaces at their ends.
    std::string screen(bool escapes = false, bool joined = false) {
        std::string out;
        std::vector<std::string> args = {"capture-pane", "-p", "-t", "qu"};
        if (escapes) args.push_back("-e");
        if (joined) args.push_back("-J");
        tmux(args, &out);
        return joined ? trimLines(out) : out;
    }
    // Polls the screen until it holds every one of `texts`.
    bool waitForAll(const std::vector<std::string>& texts, bool joined = false) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        do {
            last_ = screen(false, joined);
            bool all = true;
            for (const std::string& text : texts)
                all = all && last_.find(text) != std::string::npos;
            if (all) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    // Polls the screen until it holds `text` (or, with `present` false, no
    // longer does); `escapes` and `joined` as for screen().
    bool waitFor(const std::string& text, bool present = true, bool escapes = false,
                 bool joined = false) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        do {
            last_ = screen(escapes, joined);
            if ((last_.find(text) != std::string::npos) == present) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    // Polls until `text` shows exactly `times` times.
    bool waitForCount(const std::string& text, int times) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        do {
            last_ = screen();
            int found = 0;
            for (size_t at = last_.find(text); at != std::string::npos;
                 at = last_.find(text, at + 1)) {
                ++found;
            }
            if (found == times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    const std::string& last() const { return last_; }

    void keys(const std::vector<std::string>& keys) {
        std::vector<std::string> args = {"send-keys", "-t", "qu"};
        args.insert(args.end(), keys.begin(), keys.end());
        tmux(args);
    }
    void literal(const std::string& text) { tmux({"send-keys", "-t", "qu", "-l", text}); }
    // A left click at a screen cell, as an xterm reports it (SGR mode).
    void click(int col, int row) {
        const std::string at = std::to_string(col + 1) + ";" + std::to_string(row + 1);
        literal("\x1b[<0;" + at + "M");
        literal("\x1b[<0;" + at + "m");
    }
    void resize(int cols, int rows) {
        tmux({"resize-window", "-t", "qu", "-x", std::to_string(cols), "-y", std::to_string(rows)});
    }
    // The program's exit status once it has ended, or -1 at the deadline.
    int exitStatus() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (fs::exists(dir_ / "exit")) return std::atoi(readFile(dir_ / "exit").c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    // Standard error, without the notes around an Uninstall (its backup,
    // what remains), which the program holds until the terminal is its own.
    std::string errors() const { return qu_test::withoutUninstallNotes(readFile(dir_ / "stderr")); }
    std::string rawErrors() const { return readFile(dir_ / "stderr"); }

private:
    bool tmux(std::vector<std::string> args, std::string* out = nullptr) {
        args.insert(args.begin(), {"tmux", "-S", (dir_ / "tmux.sock").string(), "-f", "/dev/null"});
        return run(args, out);
    }

    fs::path dir_;
    bool started_ = false;
    std::string last_;
};

// The start-up screen is complete once its last row, the dialog's bottom
// frame line, is drawn after the status text.
#define START_TERMINAL_ON(t, env, image, ready)               \
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed"; \
    Terminal t{env, image};                                   \
    ASSERT_TRUE(t.started());                                 \
    ASSERT_TRUE(t.waitForAll({ready, "└──────────────────────────────"})) << t.last()
#define START_TERMINAL(t, env) START_TERMINAL_ON(t, env, "xp", "Click on the Uninstall button")

const char kName[] = "Quorvane USB 2.0 Network Adapter";

TEST(ProgramInTmux, StartUpDetectAndUninstallToCompletion) {
    START_TERMINAL(t, "");
    std::string screen = t.last();
    EXPECT_NE(screen.find("[-] Quorvane USB Miniport Driver Uninstall Utility"), std::string::npos)
        << screen;
    EXPECT_NE(screen.find(std::string("Device:    ") + kName), std::string::npos) << screen;
    EXPECT_NE(screen.find("│Windows2000 / WindowsXP detected."), std::string::npos) << screen;
    EXPECT_NE(screen.find("[  Detect  ]"), std::string::npos);
    EXPECT_EQ(screen.find("Dummy"), std::string::npos);
    // Colours and half blocks for the pictures.
    const std::string escapes = t.screen(true);
    EXPECT_NE(escapes.find("\x1b[38;5;"), std::string::npos);
    EXPECT_NE(escapes.find("▀"), std::string::npos);

    // Alt+D and Esc then d both press Detect: the log grows twice.
    t.keys({"M-d"});
    const std::string installed = "│installed '2' times on this system.";
    ASSERT_TRUE(t.waitForCount(installed, 2)) << t.last();
    t.keys({"Escape", "d"});
    ASSERT_TRUE(t.waitForCount(installed, 3)) << t.last();
    EXPECT_TRUE(fs::exists(t.machine() / "drive_c/WINDOWS/Inf/oem7.inf"));

    // Alt+V puts the focus on the list, where Enter is the default button:
    // Uninstall.
    t.keys({"M-v"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│successfully!")) << t.last();
    screen = t.last();
    EXPECT_NE(screen.find("│Uninstalling 'Quorvane USB 2.0 Network"), std::string::npos) << screen;
    EXPECT_NE(screen.find("│All '2' instances of 'Quorvane USB 2.0"), std::string::npos) << screen;
    // Uninstall is disabled now: Enter on the list does nothing.
    t.keys({"Enter"});
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    // The notes of the Uninstall come once the terminal is the shell's again.
    EXPECT_NE(t.rawErrors().find("what this command deletes is saved in "), std::string::npos);
    EXPECT_EQ(t.errors(), "");
    EXPECT_FALSE(fs::exists(t.machine() / "drive_c/WINDOWS/Inf/oem7.inf"));
    EXPECT_NE(readFile(t.machine() / "system.reg").find("kestrelx"), std::string::npos)
        << "only the device's own keys are gone";
    EXPECT_EQ(t.last().find("Uninstalling", t.last().find("successfully!")), std::string::npos)
        << "a second Uninstall ran";
}

TEST(ProgramInTmux, AboutBoxFromTheSystemMenu) {
    START_TERMINAL(t, "");
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor("│ About QuorvaneUninstall...")) << t.last();
    EXPECT_NE(t.last().find("│ Close                        Alt+F4 │"), std::string::npos)
        << t.last();
    // Move shows disabled (the window stays centred): its mnemonic does
    // nothing and the menu stays open.
    t.keys({"m"});
    t.keys({"Escape"});  // closes the menu, not the dialog
    ASSERT_TRUE(t.waitFor("│ About QuorvaneUninstall...", false)) << t.last();

    // Menu item by its mnemonic; Esc closes the about box.
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor("│ Move")) << t.last();
    t.keys({"a"});
    ASSERT_TRUE(t.waitFor("v1.1.1.0")) << t.last();
    EXPECT_NE(t.last().find("[-] About QuorvaneUninstall"), std::string::npos);
    EXPECT_NE(t.last().find("[    OK    ]"), std::string::npos);
    EXPECT_NE(t.last().find("Copyright (C) Quorvane"), std::string::npos);
    {
        // The product line keeps clear of the OK button on its row.
        const std::string product = "Quorvane USB Miniport Driver Uninstall";
        const size_t ok = t.last().find("[    OK    ]");
        ASSERT_NE(ok, std::string::npos) << t.last();
        const size_t row = t.last().rfind('\n', ok) + 1;
        const size_t at = t.last().find(product, row);
        ASSERT_LT(at, ok) << "on the same row: " << t.last();
        EXPECT_GE(ok - (at + product.size()), 3u) << t.last();
    }
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor("v1.1.1.0", false)) << t.last();
    ASSERT_TRUE(t.waitFor("[-] Quorvane USB Miniport")) << t.last();

    // Arrows and Enter in the menu (from Close, past the separator); OK
    // (Enter) closes the about box.
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor("│ Move")) << t.last();
    t.keys({"Down", "Enter"});
    ASSERT_TRUE(t.waitFor("v1.1.1.0")) << t.last();
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("v1.1.1.0", false)) << t.last();

    // Close from the system menu ends the program.
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor("│ Move")) << t.last();
    t.keys({"c"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, ResizeBelowTheDialogAndBack) {
    START_TERMINAL(t, "");
    t.resize(60, 20);
    ASSERT_TRUE(t.waitFor("too small")) << t.last();
    EXPECT_NE(t.last().find("this one has 60 x 20"), std::string::npos) << t.last();
    EXPECT_EQ(t.last().find("Quorvane"), std::string::npos) << "no remains of the dialog";
    t.keys({"M-d"});  // ignored while the dialog cannot be seen
    // One row short of the whole frame is too small too.
    t.resize(80, 24);
    ASSERT_TRUE(t.waitForAll({"needs 68 x 25 characters", "one has 80 x 24"})) << t.last();
    t.resize(80, 25);
    ASSERT_TRUE(t.waitForAll({"[  Detect  ]", "└──────"})) << t.last();
    EXPECT_EQ(t.last().find("too small"), std::string::npos);
    t.resize(100, 30);
    ASSERT_TRUE(t.waitForAll({"[  Detect  ]", "└──────"})) << t.last();
    // Still one detection run in the log.
    EXPECT_EQ(t.last().find("│Windows2000 / WindowsXP detected."),
              t.last().rfind("│Windows2000 / WindowsXP detected."));
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0);
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, MouseAndDropDownList) {
    START_TERMINAL(t, "");
    // Click [  Detect  ] (row 7, columns 60-71): a second detection run.
    t.click(65, 7);
    ASSERT_TRUE(t.waitForCount("│installed '2' times on this system.", 2)) << t.last();
    // F4 on the focused list opens it; Esc closes it.
    t.keys({"M-v"});
    t.keys({"F4"});
    ASSERT_TRUE(t.waitFor(std::string("│") + kName)) << t.last();
    EXPECT_EQ(t.last().find("Status / Instructions:"), std::string::npos) << "under the list";
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor(std::string("│") + kName, false)) << t.last();
    // A click on the list opens it, a click on its item chooses it.
    t.click(30, 3);
    ASSERT_TRUE(t.waitFor(std::string("│") + kName)) << t.last();
    t.click(30, 5);
    ASSERT_TRUE(t.waitFor(std::string("│") + kName, false)) << t.last();
    // The close box ends the program.
    t.click(71, 0);
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, TabStopsEnterAndAltF4) {
    START_TERMINAL(t, "");
    const std::string installed = "│installed '2' times on this system.";
    // The focus starts on Uninstall (the dialog manager looks the first tab
    // stop up after WM_INITDIALOG, which enabled it); Tab moves it to Close,
    // then Detect, where Enter presses Detect rather than the default button.
    t.keys({"Tab", "Tab"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitForCount(installed, 2)) << t.last();
    // Space presses the focused button too.
    t.keys({"Space"});
    ASSERT_TRUE(t.waitForCount(installed, 3)) << t.last();
    // Shift+Tab twice back to Uninstall; Enter uninstalls.
    t.keys({"BTab", "BTab"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│successfully!")) << t.last();
    EXPECT_FALSE(fs::exists(t.machine() / "drive_c/WINDOWS/Inf/oem7.inf"));
    // Alt+F4 closes, as the system menu says.
    t.keys({"M-F4"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, EnterAtStartUpUninstalls) {
    START_TERMINAL(t, "");
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│successfully!")) << t.last();
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_FALSE(fs::exists(t.machine() / "drive_c/WINDOWS/Inf/oem7.inf"));
}

TEST(ProgramInTmux, RestartEndsTheProgram) {
    // Windows ME: after the removal Windows must restart; Restart (Alt+R)
    // takes the machine down with the program.
    START_TERMINAL_ON(t, "", "me", "Click on the Uninstall button");
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│Restart button to restart immediately.")) << t.last();
    t.keys({"M-r"});
    ASSERT_TRUE(t.waitFor("The machine is restarting")) << t.last();
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, MonochromeShowsPlaceholders) {
    START_TERMINAL(t, "NO_COLOR=1");
    // The rows below the status text may still be on their way.
    ASSERT_TRUE(t.waitForAll({"│picture│", "[    logo     ]"})) << t.last();
    const std::string escapes = t.screen(true);
    EXPECT_EQ(escapes.find("\x1b[38;5;"), std::string::npos);
    // Disabled Restart is dim, enabled Close is not; focused Uninstall is
    // reversed.
    EXPECT_NE(escapes.find("\x1b[2m[ Restart  ]"), std::string::npos) << escapes;
    EXPECT_EQ(escapes.find("\x1b[2m[  Close   ]"), std::string::npos) << escapes;
    EXPECT_NE(escapes.find("\x1b[1;7m[Uninstall ]"), std::string::npos) << escapes;
    t.keys({"C-c"});  // like Esc
    EXPECT_EQ(t.exitStatus(), 0);
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, WithoutColourOrDimDisabledButtonsTakeParentheses) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    Terminal t{"TERM=vt100"};  // neither colours nor dim
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitForAll({"( Restart  )", "[Uninstall ]", "[  Detect  ]", "[    logo     ]"}))
        << t.last();
    EXPECT_NE(t.screen(true).find("\x1b[1;7m[Uninstall ]"), std::string::npos);
    // The focus moves on in reverse; Uninstall, once done, is disabled.
    t.keys({"Tab"});
    ASSERT_TRUE(t.waitFor("\x1b[1;7m[  Close   ]", true, true)) << t.last();
    EXPECT_EQ(t.last().find("\x1b[1;7m[Uninstall"), std::string::npos) << t.last();
    t.keys({"M-v"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitForAll({"(Uninstall )", "successfully!"})) << t.last();
    EXPECT_NE(t.last().find("( Restart  )"), std::string::npos);
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0);
    EXPECT_EQ(t.errors(), "");
}

const char kDetected[] = "Windows2000 / WindowsXP detected.\n";
const char kInstalled[] =
    "'Quorvane USB 2.0 Network Adapter' has been installed '2' times on this system.\n";
const char kClick[] =
    "Click on the Uninstall button to uninstall 'Quorvane USB 2.0 Network Adapter'.\n";

TEST(ProgramInTmux, StatusRecordAfterEscAndTheImageLine) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    Launch launch;
    launch.args = "--log run.log";  // in HOME, the tmux session's directory
    launch.rows = 26;               // a row to spare below the dialog
    Terminal t{launch};
    ASSERT_TRUE(t.started());
    // The image in use, on the row below the dialog (the last one at 26).
    const std::string imageLine = "Machine image: ~/m";
    ASSERT_TRUE(t.waitFor(imageLine)) << t.last();
    EXPECT_EQ(t.last().find(imageLine), t.last().rfind('\n', t.last().size() - 2) + 1)
        << "on the last row: " << t.last();
    t.keys({"M-d"});
    ASSERT_TRUE(t.waitForCount("│installed '2' times on this system.", 2)) << t.last();
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    // The whole status text, a line each, then the image, on the terminal
    // the program gave back.
    const std::string facts =
        "Machine facts: platform=nt (2000/XP) from machine.ini, version=5.1.2600 from "
        "machine.ini, windows=C:\\WINDOWS from machine.ini, codepage=1252 by default\n";
    const std::string record = std::string(kDetected) + kInstalled + kClick + kInstalled + kClick +
                               "Machine image: " + t.machine().string() + "\n" + facts;
    ASSERT_TRUE(t.waitFor(record, true, false, true)) << t.last();
    EXPECT_EQ(t.last().rfind(record, 0), 0u) << t.last();
    EXPECT_EQ(t.errors(), "");
    // The log has the same lines, each after its time stamp.
    std::istringstream log(readFile(t.home() / "run.log"));
    std::string logged, line;
    while (std::getline(log, line)) {
        if (line.size() > 25 && line.compare(24, 4, " -- ") != 0) logged += line.substr(25) + "\n";
    }
    EXPECT_EQ(logged + "Machine image: " + t.machine().string() + "\n" + facts, record);
}

// On a machine whose C: drive is empty an Uninstall deletes no file: the
// screen says so before the dialog takes a key, and the key that dismisses
// the notice does not reach the dialog (Enter would press Uninstall).
TEST(ProgramInTmux, AnEmptyDriveIsSaidBeforeUninstallCanBePressed) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    Launch launch;
    launch.image = "";
    launch.prepare = [](const fs::path& home) {
        fs::create_directory(home / "bare");
        fs::copy_file(fs::path(QU_SOURCE_DIR) / "machines/xp-offline/system.reg",
                      home / "bare/system.reg");
    };
    launch.args = "--machine bare/system.reg";
    Terminal t{launch};
    ASSERT_TRUE(t.started());
    const std::string notice = "The C: drive of this machine is empty";
    ASSERT_TRUE(t.waitForAll({notice, "[    OK    ]", "[  Detect  ]"}, true)) << t.last();
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor(notice, false)) << t.last();
    EXPECT_EQ(t.last().find("Uninstalling"), std::string::npos) << t.last();
    EXPECT_FALSE(fs::exists(t.home() / "bare/backups"));
    // The next Enter is the dialog's: Uninstall.
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│successfully!")) << t.last();
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    // Standard error says it too, once the terminal is given back.
    EXPECT_EQ(t.errors(),
              "quorvane-uninstall: export bare/system.reg: no drive_c folder beside it; the C: "
              "drive is empty\n");
}

TEST(ProgramInTmux, LogThatCannotBeWrittenIsNamedAfterTheScreenIsGivenBack) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    Launch launch;
    launch.args = "--log /dev/full";
    Terminal t{launch};
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitFor("[  Detect  ]")) << t.last();
    t.keys({"M-d"});
    ASSERT_TRUE(t.waitForCount("│installed '2' times on this system.", 2)) << t.last();
    EXPECT_EQ(t.errors(), "") << "not while the dialog is on the screen";
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(
        t.errors(),
        "quorvane-uninstall: cannot use the log /dev/full: it is a device, not a regular file; "
        "the run goes on without it\n");
}

TEST(ProgramInTmux, StatusRecordInTheTerminalsEncoding) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    // An image whose device description is not ASCII (code page 1252).
    char pattern[] = "/tmp/qu-tui-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    struct Remove {
        const char* dir;
        ~Remove() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } remove{pattern};
    const fs::path image = fs::path(pattern) / "m";
    fs::copy(fs::path(QU_SOURCE_DIR) / "machines/xp", image, fs::copy_options::recursive);
    std::string reg = readFile(image / "system.reg");
    const std::string from = "Quorvane USB 2.0 Network Adapter";
    for (size_t at = reg.find(from); at != std::string::npos; at = reg.find(from, at)) {
        reg.replace(at, from.size(), "Netzwerkadapter f\xFCr B\xFCro");
    }
    std::ofstream(image / "system.reg", std::ios::binary | std::ios::trunc) << reg;
    struct Case {
        const char* env;
        const char* line;
    };
    for (const Case& c : {Case{"LANG=C.UTF-8", "'Netzwerkadapter für Büro' has been installed"},
                          Case{"LANG=C", "'Netzwerkadapter f?r B?ro' has been installed"}}) {
        SCOPED_TRACE(c.env);
        Terminal t{c.env, image.string()};
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.waitFor("[  Detect  ]")) << t.last();
        t.keys({"Escape"});
        EXPECT_EQ(t.exitStatus(), 0) << t.last();
        ASSERT_TRUE(
            t.waitFor(std::string(c.line) + " '2' times on this system.\n", true, false, true))
            << t.last();
    }
}

TEST(ProgramInTmux, DefaultWorkingCopyChangedByAnEarlierRun) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    const std::string notice =
        "Machine image changed by an earlier run; --reset-machine restores it";
    const fs::path copy = ".local/state/quorvane-uninstall/machine";
    // A fresh working copy: nothing below the dialog.
    {
        Launch fresh;
        fresh.image = "";
        Terminal t{fresh};
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.waitFor("[  Detect  ]")) << t.last();
        EXPECT_EQ(t.last().find("Machine image"), std::string::npos) << t.last();
        t.keys({"Escape"});
        EXPECT_EQ(t.exitStatus(), 0);
        ASSERT_TRUE(t.waitFor("Machine image: " + (t.home() / copy).string() +
                                  " (working copy of the built-in image)\n",
                              true, false, true))
            << t.last();
    }
    // One an earlier run uninstalled from: the start-up says so.
    Launch changed;
    changed.image = "";
    changed.rows = 26;  // a row to spare below the dialog
    changed.prepare = [&copy](const fs::path& home) {
        fs::create_directories((home / copy).parent_path());
        fs::copy(fs::path(QU_SOURCE_DIR) / "machines/xp", home / copy, fs::copy_options::recursive);
        fs::remove(home / copy / "drive_c/WINDOWS/Inf/oem7.inf");
    };
    Terminal t{changed};
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitFor(notice)) << t.last();
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0);
    ASSERT_TRUE(t.waitFor("Machine image: " + (t.home() / copy).string() +
                              " (working copy of the built-in image, changed by an earlier run)\n",
                          true, false, true))
        << t.last();
    EXPECT_EQ(t.errors(), "");
}

}  // namespace
