#include "host/run_record.h"

#include "dialog/resource.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <clocale>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

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

}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            while (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string convertText(const std::string& text, const std::string& from,
                        const std::string& codeset) {
    std::string out;
    iconv_t cd = iconv_open((codeset + "//TRANSLIT").c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (char c : text) out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        return out;
    }
    const bool utf8 = from == "UTF-8";
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[256];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
        if (result != static_cast<size_t>(-1) || error == E2BIG) continue;
        // A character the target lacks, or an invalid sequence: one '?'.
        out += '?';
        ++in;
        --inLeft;
        while (utf8 && inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
            ++in;
            --inLeft;
        }
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    iconv_close(cd);
    return out;
}

RunRecord::RunRecord(AnsiText ansi, std::string imageLine, std::ostream& err)
    : ansi_(ansi), imageLine_(std::move(imageLine)), err_(err) {}

RunRecord::~RunRecord() {
    if (logFd_ >= 0) close(logFd_);
}

bool RunRecord::openLog(const std::string& path, const std::string& versionLine) {
    logPath_ = path;
    logFd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (logFd_ < 0) {
        logFailed("open", errno);
        return false;
    }
    const std::string stamp = utcStamp();
    writeLog(stamp + " -- " + versionLine + "\n" + stamp + " -- " + imageLine_ + "\n");
    return logFd_ >= 0;
}

void RunRecord::onTextChanged(HWND window, const std::string& before, const std::string& after) {
    if (GetDlgCtrlID(window) != IDC_STATUS) return;
    const bool grew = after.size() >= before.size() && after.compare(0, before.size(), before) == 0;
    const std::string added = grew ? after.substr(before.size()) : after;
    status_ = after;
    if (logFd_ < 0) return;
    const std::string stamp = utcStamp();
    std::string text;
    for (const std::string& line : splitLines(added)) {
        text += stamp + " " + ansi_.toUtf8(line) + "\n";
    }
    writeLog(text);
}

void RunRecord::writeLog(const std::string& text) {
    // One write per status text keeps it whole beside other writers.
    size_t done = 0;
    while (logFd_ >= 0 && done < text.size()) {
        const ssize_t n = write(logFd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            logFailed("write", n < 0 ? errno : ENOSPC);
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void RunRecord::logFailed(const char* what, int error) {
    const std::string message = "quorvane-uninstall: cannot " + std::string(what) + " the log " +
                                logPath_ + ": " + std::strerror(error) +
                                "; the run goes on without it\n";
    if (holdErrors_) {
        heldErrors_ += message;
    } else {
        err_ << message;
        err_.flush();
    }
    if (logFd_ >= 0) close(logFd_);
    logFd_ = -1;
}

std::vector<std::string> RunRecord::statusLines() const { return splitLines(status_); }

void RunRecord::print(std::ostream& out) {
    std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    const std::string target = codeset != nullptr && codeset[0] != '\0' ? codeset : "ASCII";
    for (const std::string& line : statusLines()) {
        out << convertText(ansi_.toUtf8(line), "UTF-8", target) << '\n';
    }
    out << convertText(imageLine_, "UTF-8", target) << '\n';
    out.flush();
    holdErrors_ = false;
    err_ << heldErrors_;
    err_.flush();
    heldErrors_.clear();
}
