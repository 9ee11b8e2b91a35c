#include "host/run_log.h"

#include "host/run_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

// Where `path` is, links resolved: the file itself when it exists, else its
// folder's place and its name; `path` as given when its folder is missing.
std::string whereIs(const std::string& path) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        const std::string out = real;
        std::free(real);
        return out;
    }
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (char* real = ::realpath(folder.c_str(), nullptr)) {
        std::string out = real;
        std::free(real);
        return (out == "/" ? "" : out) + "/" + name;
    }
    return path;
}

bool within(const std::string& path, const std::string& place) {
    return path == place ||
           (path.size() > place.size() && path.compare(0, place.size(), place) == 0 &&
            (place == "/" || path[place.size()] == '/'));
}

// The same file as one of the image's own (a hard link to it elsewhere).
bool sameAsAnImageFile(const struct stat& log, const std::vector<std::string>& places) {
    for (const std::string& place : places) {
        for (const std::string& path : {place, place + "/system.reg", place + "/machine.ini"}) {
            struct stat st;
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == log.st_dev &&
                st.st_ino == log.st_ino) {
                return true;
            }
        }
    }
    return false;
}

const char* notRegular(mode_t mode) {
    if (S_ISFIFO(mode)) return "it is a named pipe, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
    if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
    if (S_ISDIR(mode)) return "Is a directory";
    return "it is not a regular file";
}

}  // namespace

std::string utcStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1000000L);
    return text;
}

RunLog::RunLog(std::function<void(const std::string&)> onFailure)
    : onFailure_(std::move(onFailure)) {}

RunLog::~RunLog() {
    if (fd_ >= 0) ::close(fd_);
}

bool RunLog::open(const std::string& path, const std::vector<std::string>& places,
                  const std::string& inPlaces) {
    path_ = path;
    const std::string real = whereIs(path);
    for (const std::string& place : places) {
        if (within(real, place)) {
            fail("cannot use the log " + path_ + ": it is " + inPlaces);
            return false;
        }
    }
    // Without blocking: a named pipe with no reader fails at once, one with a
    // reader is refused below, like a device.
    fd_ = ::open(real.c_str(),
                 O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC,
                 0644);
    if (fd_ < 0) {
        const int error = errno;
        struct stat st;
        if (error == ENXIO && ::stat(real.c_str(), &st) == 0) {
            fail("cannot use the log " + path_ + ": " + notRegular(st.st_mode));
        } else {
            fail("cannot open the log " + path_ + ": " + std::strerror(error));
        }
        return false;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string why = notRegular(st.st_mode);
        fail("cannot use the log " + path_ + ": " + why);
        return false;
    }
    if (sameAsAnImageFile(st, places)) {
        fail("cannot use the log " + path_ + ": it is a file of the machine image (" + inPlaces +
             ")");
        return false;
    }
    return true;
}

void RunLog::header(const std::string& text) { write(utcStamp() + " -- " + text + "\n"); }

void RunLog::statusLines(const std::string& text) {
    if (fd_ < 0) return;
    const std::string stamp = utcStamp();
    std::string out;
    for (const std::string& line : splitLines(text)) out += stamp + " " + line + "\n";
    write(out);
}

void RunLog::diagnostic(const std::string& line) { write(utcStamp() + " ! " + line + "\n"); }

void RunLog::write(const std::string& text) {
    // One write per text keeps it whole beside other writers.
    size_t done = 0;
    while (fd_ >= 0 && done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fail("cannot write the log " + path_ + ": " + std::strerror(n < 0 ? errno : ENOSPC));
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void RunLog::fail(const std::string& message) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (onFailure_) onFailure_(message + "; the run goes on without it");
}
