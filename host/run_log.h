// The --log file. Opened before the image is locked, without blocking, and
// only when it is a regular file that is no part of the image: a log that
// is a named pipe or a device, or that lies inside the image (for an
// installation anywhere on its drive), is refused. A refused log, or one
// that cannot be opened or written, is named once through `onFailure` and
// not written to again; the run goes on without it.
//
// Lines (UTF-8, appended), each after a UTC time stamp such as
// 2026-12-08T12:21:14.120Z:
//   <stamp> -- <header>                 the program, the image, its facts
//   <stamp> <status line>               every line of status text
//   <stamp> ! <standard error line>     everything standard error was given
#pragma once

#include <functional>
#include <string>
#include <vector>

class RunLog {
public:
    explicit RunLog(std::function<void(const std::string& message)> onFailure);
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Opens `path` for appending. `places`: where the image is (paths
    // without links, winsim::imagePlaces); `inPlaces` says what a log there
    // would be, e.g. "inside the machine image DIR". False when the log is
    // refused or cannot be opened (said through onFailure).
    bool open(const std::string& path, const std::vector<std::string>& places,
              const std::string& inPlaces);
    bool isOpen() const { return fd_ >= 0; }

    void header(const std::string& text);
    // Every line of `text` (CR CR LF, CR LF or LF ends one).
    void statusLines(const std::string& text);
    void diagnostic(const std::string& line);

private:
    void write(const std::string& text);
    void fail(const std::string& message);

    std::function<void(const std::string&)> onFailure_;
    std::string path_;
    int fd_ = -1;
};

// 2026-12-08T12:21:14.120Z, now.
std::string utcStamp();
