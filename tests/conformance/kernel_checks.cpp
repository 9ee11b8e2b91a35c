// Kernel services: version, Windows directory, file attributes and
// deletion, on the fixture's folder.
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

}  // namespace

void kernelChecks() {
    versionChecks();
    windowsDirectoryChecks();
    attributeChecks();
    deletionChecks();
}

}  // namespace conformance
