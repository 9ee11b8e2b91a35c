#include "host/run_record.h"

#include "dialog/resource.h"
#include "host/run_log.h"

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

RunRecord::RunRecord(AnsiText ansi, std::string imageLine, std::string factsLine, RunLog* log)
    : ansi_(ansi), imageLine_(std::move(imageLine)), factsLine_(std::move(factsLine)), log_(log) {}

void RunRecord::onTextChanged(HWND window, const std::string& before, const std::string& after) {
    if (GetDlgCtrlID(window) != IDC_STATUS) return;
    const bool grew = after.size() >= before.size() && after.compare(0, before.size(), before) == 0;
    status_ = after;
    if (log_ != nullptr)
        log_->statusLines(ansi_.toUtf8(grew ? after.substr(before.size()) : after));
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
    out << convertText(factsLine_, "UTF-8", target) << '\n';
    out.flush();
}
