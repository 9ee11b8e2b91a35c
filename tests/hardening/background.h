// The program in the background on an ImageRun, for cases that act while
// it runs, and the waiting they need.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/hardening/image_run.h"
#include "tests/support/run_as_nobody.h"

namespace qu_hardening {

inline std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Whether some process holds the image's lock.
inline bool locked(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

template <typename Predicate>
bool waitFor(Predicate done, int seconds = 60) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// The program in the background, reading its commands from a FIFO that
// this object holds open, so that it waits (with the image loaded) until
// told more.
class Background {
public:
    // `environment`: "NAME=value ..." for the program.
    explicit Background(ImageRun& image, const std::string& environment = "") : image_(image) {
        fifo_ = image.ioDir() + "/commands";
        status_ = image.ioDir() + "/status.txt";
        stdout_ = image.ioDir() + "/stdout-background.txt";
        std::filesystem::remove(status_);
        ::mkfifo(fifo_.c_str(), 0666);
        const std::string command =
            "(" + image.programCommand(fifo_, environment, "", "", "-background") + "; echo $? >'" +
            status_ + "') &";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot start " << command;
        fd_ = ::open(fifo_.c_str(), O_WRONLY);  // waits for the program to open it
    }
    ~Background() {
        if (fd_ >= 0) ::close(fd_);
        waitFor([&] {
            return std::filesystem::exists(status_) && std::filesystem::file_size(status_) > 0;
        });
    }
    // Waits until the image is loaded and detected: the lock is taken
    // before the load, the state line comes after it.
    bool waitUntilLoaded() {
        send("state\n");
        return waitFor([&] { return readWhole(stdout_).find("\"devices\"") != std::string::npos; });
    }
    void send(const std::string& commands) {
        if (::write(fd_, commands.data(), commands.size()) < 0) ADD_FAILURE() << "write";
    }
    // The program's process id (0 when it is not found).
    int pid() const {
        const std::string image = image_.dir();
        const std::string program =
            ::geteuid() == 0 ? qu_test::programForNobody(QU_PROGRAM) : std::string(QU_PROGRAM);
        std::error_code ec;
        for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
             it.increment(ec)) {
            std::string cmdline = readWhole((it->path() / "cmdline").string());
            std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
            if (cmdline.rfind(program + " ", 0) == 0 &&
                cmdline.find(" --machine " + image + " ") != std::string::npos) {
                return std::atoi(it->path().filename().c_str());
            }
        }
        return 0;
    }
    // Closes its input; its exit status (-1 when it did not end).
    int finish() {
        ::close(fd_);
        fd_ = -1;
        if (!waitFor([&] {
                return std::filesystem::exists(status_) && std::filesystem::file_size(status_) > 0;
            })) {
            return -1;
        }
        return std::atoi(readWhole(status_).c_str());
    }

private:
    ImageRun& image_;
    std::string fifo_, status_, stdout_;
    int fd_ = -1;
};

}  // namespace qu_hardening
