// A text file every status text of the dialog is appended to, one line
// each: the local time as "YYYY-MM-DD HH:MM:SS", a space, then the text
// without its line ending. The file is opened, appended to and closed for
// every line, so nothing is held open between status texts and a line
// written is on disk whatever happens next.
#pragma once

#include "dialog/framework/fw_string.h"

class StatusLogFile {
public:
    // Names the file: `path` as given, or, when `path` is null,
    // QuorvaneUninstall.log in the folder GetTempPathA names. False (and no
    // file named) when the temporary folder cannot be found.
    bool name(const char* path);

    // Appends one line to the named file. A file that cannot be opened or
    // written loses the line; the run goes on (an unattended run has no one
    // to tell).
    void append(const char* text);

private:
    fw::String path_;
};
