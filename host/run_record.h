// The record of a run: every text the status pane shows. Kept for the end
// of the terminal UI, which prints it as plain text with the lines naming
// the image and its facts, and with `--log FILE` written to the log
// (run_log.h) as it is appended, in every mode.
#pragma once

#include "host/ansi_text.h"
#include "platform/win32.h"

#include <ostream>
#include <string>
#include <vector>

class RunLog;

class RunRecord {
public:
    // `imageLine`: the line naming the machine image (imageRecordLine), and
    // `factsLine` the one naming its facts (factsLine), UTF-8. `log`: where
    // status lines go as well (nullptr: nowhere).
    RunRecord(AnsiText ansi, std::string imageLine, std::string factsLine, RunLog* log);
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // To be registered with winsim::ui::setTextObserver: records what was
    // appended to a status pane (a text that did not grow: all of it).
    void onTextChanged(HWND window, const std::string& before, const std::string& after);

    // The status text as its lines, in the machine's code page, without
    // line ends.
    std::vector<std::string> statusLines() const;

    // Writes the status text, one line per status line, converted to the
    // encoding of the current locale's LC_CTYPE (characters it lacks
    // become '?'), then the image line and the facts line.
    void print(std::ostream& out);

private:
    AnsiText ansi_;
    std::string imageLine_;
    std::string factsLine_;
    RunLog* log_;
    std::string status_;
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
