#include "dialog/status_log_file.h"

#include "platform/win32.h"

namespace {

// `value` as `width` decimal digits, leading zeros included.
char* putDigits(char* at, unsigned value, int width) {
    for (int i = width; i-- > 0; value /= 10) at[i] = static_cast<char>('0' + value % 10);
    return at + width;
}

}  // namespace

bool StatusLogFile::name(const char* path) {
    if (path != nullptr) return path_.append(path);
    char folder[MAX_PATH];
    // The folder's path ends in a backslash.
    const DWORD length = GetTempPathA(sizeof folder, folder);
    return length != 0 && length < sizeof folder && path_.append(folder) &&
           path_.append("QuorvaneUninstall.log");
}

void StatusLogFile::append(const char* text) {
    // The time stamp, the text and CR LF. wvsprintfA makes no status text
    // longer than 1,024 characters; a longer one (the host's formatter has
    // no limit) is cut.
    char line[1100];
    SYSTEMTIME now;
    GetLocalTime(&now);
    const WORD fields[] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    char* at = line;
    for (int i = 0; i < 6; ++i) {
        at = putDigits(at, fields[i], i == 0 ? 4 : 2);
        *at++ = "-- :: "[i];
    }
    // The text without its line ending. A line break inside it (a device
    // description could hold one) becomes a space, so one text is one line;
    // the ending, now blanks, is cut, and no status text ends in a blank of
    // its own.
    char* const textStart = at;
    for (; *text != '\0' && at < line + sizeof line - 2; ++text) {
        *at++ = *text == '\r' || *text == '\n' ? ' ' : *text;
    }
    while (at > textStart && at[-1] == ' ') --at;
    *at++ = '\r';
    *at++ = '\n';

    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written;
    if (SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER) {
        WriteFile(file, line, static_cast<DWORD>(at - line), &written, nullptr);
    }
    CloseHandle(file);
}
