#include "tests/tui/tmux_terminal.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

namespace qu_test {

bool run(const std::vector<std::string>& argv, std::string* out) {
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
    if (out != nullptr) *out = readHostFile(pattern);
    unlink(pattern);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool haveTmux() { return run({"tmux", "-V"}); }

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

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

}  // namespace qu_test
