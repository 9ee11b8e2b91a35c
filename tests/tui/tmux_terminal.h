// The program in a real terminal: a detached tmux session of 80 x 25 (the
// dialog's size with its frame) on a copy of a machine image; keys go in with
// send-keys, the screen comes back with capture-pane. Every wait polls the
// screen until the expected text shows, with a deadline.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_image.h"
#include "tests/support/uninstall_notes.h"

namespace qu_test {

namespace fs = std::filesystem;

constexpr int kTimeoutMs = 15000;  // generous: sanitizer builds start slowly

// Runs argv with its standard output in a file (never a pipe: a tmux
// server started by the command would hold a pipe open); true when it
// exited with 0.
bool run(const std::vector<std::string>& argv, std::string* out = nullptr);
bool haveTmux();
std::string shellQuote(const std::string& s);
// Drops the spaces at the end of every line.
std::string trimLines(const std::string& text);

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
            if (fs::exists(dir_ / "exit")) return std::atoi(readHostFile(dir_ / "exit").c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    // Standard error, without the notes around an Uninstall (its backup,
    // what remains), which the program holds until the terminal is its own.
    std::string errors() const {
        return qu_test::withoutUninstallNotes(readHostFile(dir_ / "stderr"));
    }
    std::string rawErrors() const { return readHostFile(dir_ / "stderr"); }

private:
    bool tmux(std::vector<std::string> args, std::string* out = nullptr) {
        args.insert(args.begin(), {"tmux", "-S", (dir_ / "tmux.sock").string(), "-f", "/dev/null"});
        return run(args, out);
    }

    fs::path dir_;
    bool started_ = false;
    std::string last_;
};

}  // namespace qu_test

// The start-up screen is complete once its last row, the dialog's bottom
// frame line, is drawn after the status text.
#define START_TERMINAL_ON(t, env, image, ready)                        \
    if (!qu_test::haveTmux()) GTEST_SKIP() << "tmux is not installed"; \
    qu_test::Terminal t{env, image};                                   \
    ASSERT_TRUE(t.started());                                          \
    ASSERT_TRUE(t.waitForAll({ready, "└──────────────────────────────"})) << t.last()
#define START_TERMINAL(t, env) START_TERMINAL_ON(t, env, "xp", "Click on the Uninstall button")
