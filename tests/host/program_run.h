// Running quorvane-uninstall as a process from the host tests: a scratch
// folder, the program's run with its standard streams in files, and
// reading a file back.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace program_run {

namespace fs = std::filesystem;

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A folder below /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/qu-host-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program with `args` (shell words), `input` on standard input (a
// file, so not a terminal: the line mode) and `env` (shell assignments) in
// a clean environment, behind `wrapper` (e.g. "ulimit -f 8;" or a command
// prefix). The streams go through files in `scratch`.
inline Result runProgram(const std::string& args, const std::string& input, const TempDir& scratch,
                         const std::string& env = "", const std::string& wrapper = "") {
    const fs::path in = scratch.path() / "stdin.txt";
    const fs::path out = scratch.path() / "stdout.txt";
    const fs::path err = scratch.path() / "stderr.txt";
    std::ofstream(in, std::ios::binary | std::ios::trunc) << input;
    const std::string command = "env -i PATH=/usr/bin:/bin " + env + " " + wrapper +
                                "'" QU_PROGRAM "' " + args + " <'" + in.string() + "' >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    Result result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readFile(out);
    result.err = readFile(err);
    return result;
}

// The output with the "machine" member (the machine's facts, the last
// member) taken out of every JSON line: what the dialog showed, whatever
// machine.ini or registry the facts came from.
inline std::string withoutFacts(const std::string& out) {
    const std::string member = ", \"machine\": {";
    std::string text;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t at = line.rfind(member);
        text += (at == std::string::npos ? line : line.substr(0, at) + "}") + "\n";
    }
    return text;
}

// The "machine" member of the first JSON line of `out` that has one ("" when
// none).
inline std::string factsOf(const std::string& out) {
    const std::string member = ", \"machine\": ";
    const size_t at = out.find(member);
    if (at == std::string::npos) return {};
    const size_t end = out.find('\n', at);
    return out.substr(at + member.size(), end - at - member.size() - 1);
}

}  // namespace program_run
