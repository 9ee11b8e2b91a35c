// Kernel services: version, Windows directory, file attributes and
// deletion, on the fixture's folder; the command line, the temporary
// folder, the local time and appending to a file.
#include "platform/win32.h"
#include "tests/conformance/check.h"
#include "tests/conformance/fixture.h"

#include <cstdio>
#include <cstring>

namespace conformance {

namespace {

const char* inDir(const char* name) {
    static char path[4][MAX_PATH];
    static int next = 0;
    char* out = path[next++ % 4];
    std::snprintf(out, MAX_PATH, "%s%s%s", fixtureDir(), *name ? "\\" : "", name);
    return out;
}

void versionChecks() {
    section("GetVersionExA");
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    CHECK(GetVersionExA(&version));
    // The fixture's machine, and the Wine prefix of the stage, are XP.
    CHECK_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_NT);
    CHECK_EQ(version.dwMajorVersion, 5);
    CHECK_EQ(version.dwMinorVersion, 1);
    CHECK_EQ(version.dwBuildNumber, 2600);
    // A size that names no known structure is refused.
    version.dwOSVersionInfoSize = 0;
    SetLastError(0xDEADBEEF);
    CHECK(!GetVersionExA(&version));
    CHECK_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

void windowsDirectoryChecks() {
    section("GetWindowsDirectoryA");
    char dir[MAX_PATH];
    std::memset(dir, '#', sizeof dir);
    const UINT length = GetWindowsDirectoryA(dir, sizeof dir);
    CHECK(length > 3);
    CHECK_EQ(length, std::strlen(dir));
    CHECK(dir[1] == ':' && dir[2] == '\\' && dir[length - 1] != '\\');
    // Too small: the size needed, with the terminator.
    char small[3];
    CHECK_EQ(GetWindowsDirectoryA(small, sizeof small), length + 1);
    CHECK_EQ(GetWindowsDirectoryA(nullptr, 0), length + 1);
}

void attributeChecks() {
    section("GetFileAttributesA / SetFileAttributesA");
    const DWORD folder = GetFileAttributesA(inDir(""));
    CHECK(folder != INVALID_FILE_ATTRIBUTES && (folder & FILE_ATTRIBUTE_DIRECTORY) != 0);
    CHECK_EQ(GetFileAttributesA(inDir("plain.txt")), FILE_ATTRIBUTE_ARCHIVE);
    CHECK_EQ(GetFileAttributesA(inDir("readonly.txt")),
             FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    // Names are case-insensitive.
    CHECK_EQ(GetFileAttributesA(inDir("PLAIN.TXT")), FILE_ATTRIBUTE_ARCHIVE);
    SetLastError(0xDEADBEEF);
    CHECK_EQ(GetFileAttributesA(inDir("missing.txt")), INVALID_FILE_ATTRIBUTES);
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    SetLastError(0xDEADBEEF);
    CHECK_EQ(GetFileAttributesA(inDir("nowhere\\missing.txt")), INVALID_FILE_ATTRIBUTES);
    CHECK_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    // NORMAL alone clears every other attribute, the archive bit too. Wine
    // keeps no archive bit (every file reports it), and the simulation
    // follows Wine there.
    CHECK(SetFileAttributesA(inDir("plain.txt"), FILE_ATTRIBUTE_NORMAL));
    TODO_WINE TODO_SIMULATION CHECK_EQ(GetFileAttributesA(inDir("plain.txt")),
                                       FILE_ATTRIBUTE_NORMAL);
    CHECK(SetFileAttributesA(inDir("plain.txt"), FILE_ATTRIBUTE_READONLY));
    TODO_WINE TODO_SIMULATION CHECK_EQ(GetFileAttributesA(inDir("plain.txt")),
                                       FILE_ATTRIBUTE_READONLY);
    CHECK((GetFileAttributesA(inDir("plain.txt")) & FILE_ATTRIBUTE_READONLY) != 0);
    SetLastError(0xDEADBEEF);
    CHECK(!SetFileAttributesA(inDir("missing.txt"), FILE_ATTRIBUTE_NORMAL));
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

void deletionChecks() {
    section("DeleteFileA");
    // A read-only file is refused until its attribute is cleared.
    SetLastError(0xDEADBEEF);
    CHECK(!DeleteFileA(inDir("readonly.txt")));
    CHECK_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CHECK(GetFileAttributesA(inDir("readonly.txt")) != INVALID_FILE_ATTRIBUTES);
    CHECK(SetFileAttributesA(inDir("readonly.txt"), FILE_ATTRIBUTE_NORMAL));
    CHECK(DeleteFileA(inDir("readonly.txt")));
    SetLastError(0xDEADBEEF);
    CHECK_EQ(GetFileAttributesA(inDir("readonly.txt")), INVALID_FILE_ATTRIBUTES);
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // Missing file, missing folder, and a folder.
    SetLastError(0xDEADBEEF);
    CHECK(!DeleteFileA(inDir("readonly.txt")));
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    SetLastError(0xDEADBEEF);
    CHECK(!DeleteFileA(inDir("nowhere\\x.txt")));
    CHECK_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    SetLastError(0xDEADBEEF);
    CHECK(!DeleteFileA(inDir("")));
    CHECK_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CHECK(GetFileAttributesA(inDir("")) != INVALID_FILE_ATTRIBUTES);
}

void processChecks() {
    section("GetCommandLineA / GetTempPathA / GetLocalTime");
    const char* line = GetCommandLineA();
    CHECK(line != nullptr && line[0] != '\0');
    char temp[MAX_PATH];
    std::memset(temp, '#', sizeof temp);
    const DWORD length = GetTempPathA(sizeof temp, temp);
    CHECK(length > 3 && length < sizeof temp);
    CHECK_EQ(length, std::strlen(temp));
    CHECK(temp[1] == ':' && temp[length - 1] == '\\');
    // Too small: more than the length, the buffer untouched.
    char small[3] = {'#', '#', '#'};
    CHECK(GetTempPathA(sizeof small, small) > length);
    CHECK(small[0] == '#');
    SYSTEMTIME now;
    std::memset(&now, 0xFF, sizeof now);
    GetLocalTime(&now);
    CHECK(now.wYear >= 2020 && now.wMonth >= 1 && now.wMonth <= 12 && now.wDay >= 1 &&
          now.wDay <= 31 && now.wDayOfWeek <= 6 && now.wHour <= 23 && now.wMinute <= 59 &&
          now.wSecond <= 59 && now.wMilliseconds <= 999);
}

// The size of a file, by moving to its end.
DWORD sizeOf(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return INVALID_SET_FILE_POINTER;
    const DWORD size = SetFilePointer(file, 0, nullptr, FILE_END);
    CloseHandle(file);
    return size;
}

void appendChecks() {
    section("CreateFileA / SetFilePointer / WriteFile / CloseHandle");
    char log[MAX_PATH];
    std::snprintf(log, sizeof log, "%s", inDir("log.txt"));
    DWORD written = 0;
    // OPEN_ALWAYS makes a missing file (last error 0) and opens one that
    // exists (ERROR_ALREADY_EXISTS).
    SetLastError(0xDEADBEEF);
    HANDLE file = CreateFileA(log, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(file != INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), ERROR_SUCCESS);
    CHECK(WriteFile(file, "ab", 2, &written, nullptr));
    CHECK_EQ(written, 2);
    CHECK(CloseHandle(file));
    SetLastError(0xDEADBEEF);
    file = CreateFileA(log, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(file != INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    // Opened at the start; the end is where an append goes.
    CHECK_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 0);
    CHECK_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 2);
    CHECK(WriteFile(file, "cde", 3, &written, nullptr));
    CHECK_EQ(written, 3);
    CHECK_EQ(SetFilePointer(file, -1, nullptr, FILE_CURRENT), 4);
    LONG high = 0;
    CHECK_EQ(SetFilePointer(file, 1, &high, FILE_BEGIN), 1);
    CHECK_EQ(high, 0);
    // Before the start: refused, the pointer stays.
    SetLastError(0xDEADBEEF);
    CHECK_EQ(SetFilePointer(file, -2, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    CHECK_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    CHECK_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 1);
    CHECK(CloseHandle(file));
    CHECK_EQ(sizeOf(log), 5);
    SetLastError(0xDEADBEEF);
    CHECK(!CloseHandle(file));
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // A handle for reading takes no writes.
    file = CreateFileA(log, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    SetLastError(0xDEADBEEF);
    CHECK(!WriteFile(file, "x", 1, &written, nullptr));
    CHECK_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(file);
    // CREATE_ALWAYS empties a file that exists.
    file =
        CreateFileA(log, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(file != INVALID_HANDLE_VALUE);
    CloseHandle(file);
    CHECK_EQ(sizeOf(log), 0);

    struct Refusal {
        const char* name;
        DWORD access, disposition, error;
        // Wine leaves the read-only refusal to the file's Unix permissions,
        // which do not bind root (as the Wine stage runs): Windows and the
        // simulation only.
        bool notOnWine;
    };
    const Refusal refusals[] = {
        {"log.txt", GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS, false},
        {"missing.txt", GENERIC_WRITE, OPEN_EXISTING, ERROR_FILE_NOT_FOUND, false},
        {"missing.txt", GENERIC_WRITE, TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND, false},
        {"nowhere\\log.txt", GENERIC_WRITE, OPEN_ALWAYS, ERROR_PATH_NOT_FOUND, false},
        {"readonly.txt", GENERIC_WRITE, OPEN_ALWAYS, ERROR_ACCESS_DENIED, true},
        {"", GENERIC_WRITE, OPEN_ALWAYS, ERROR_ACCESS_DENIED, false},
    };
    for (const Refusal& r : refusals) {
        if (r.notOnWine && onWine()) continue;
        SetLastError(0xDEADBEEF);
        file = CreateFileA(inDir(r.name), r.access, FILE_SHARE_READ, nullptr, r.disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        CHECK(file == INVALID_HANDLE_VALUE);
        CHECK_EQ(GetLastError(), r.error);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    CHECK_EQ(GetFileAttributesA(inDir("missing.txt")), INVALID_FILE_ATTRIBUTES);
    CHECK(DeleteFileA(log));
}

}  // namespace

void kernelChecks() {
    versionChecks();
    windowsDirectoryChecks();
    attributeChecks();
    processChecks();
    appendChecks();
    deletionChecks();
}

}  // namespace conformance
