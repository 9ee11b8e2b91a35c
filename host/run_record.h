// The record of a run: every text the status pane shows. Kept for the end
// of the terminal UI, which prints it as plain text, and with `--log FILE`
// appended to that file as it is written, in every mode.
//
// Log format (UTF-8, one line each, appended):
//   <UTC time> -- <version line>
//   <UTC time> -- Machine image: <dir> [(what it is)]
//   <UTC time> <status line>                  for every line of status text
// Time stamps look like 2026-12-08T12:21:14.120Z. A log that cannot be
// opened or written is named once on the error stream; the run goes on and
// the log is not written to again.
#pragma once

#include "host/ansi_text.h"
#include "platform/win32.h"

#include <ostream>
#include <string>
#include <vector>

class RunRecord {
public:
    // `imageLine`: the line naming the machine image (imageRecordLine), UTF-8.
    RunRecord(AnsiText ansi, std::string imageLine, std::ostream& err);
    ~RunRecord();
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // Opens `path` for appending and writes the header; `versionLine` names
    // the program. False when the log cannot be used (said on the error
    // stream).
    bool openLog(const std::string& path, const std::string& versionLine);

    // To be registered with winsim::ui::setTextObserver: records what was
    // appended to a status pane (a text that did not grow: all of it).
    void onTextChanged(HWND window, const std::string& before, const std::string& after);

    // The status text as its lines, in the machine's code page, without
    // line ends.
    std::vector<std::string> statusLines() const;

    // Keeps messages about the log until print() (while a full-screen
    // terminal UI owns the terminal).
    void holdErrors() { holdErrors_ = true; }

    // Writes the status text, one line per status line, converted to the
    // encoding of the current locale's LC_CTYPE (characters it lacks
    // become '?'), and then the image line; then any held message.
    void print(std::ostream& out);

private:
    void writeLog(const std::string& text);
    void logFailed(const char* what, int error);

    AnsiText ansi_;
    std::string imageLine_;
    std::ostream& err_;
    std::string status_;
    std::string logPath_;
    int logFd_ = -1;
    bool holdErrors_ = false;
    std::string heldErrors_;
};

// Splits a text at its line ends (CR CR LF, CR LF or LF); a last line
// without a line end counts, an empty text has no lines.
std::vector<std::string> splitLines(const std::string& text);

// `text` in the character set `from` ("CP1252", "UTF-8") converted to the
// one named `codeset` (as nl_langinfo(CODESET) gives it), transliterated
// where the locale can; a character it still lacks, or an invalid sequence,
// becomes one '?'.
std::string convertText(const std::string& text, const std::string& from,
                        const std::string& codeset);
