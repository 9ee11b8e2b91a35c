// Kernel services: last error, version, Windows directory, files, restart,
// the command line, the temporary folder, the local time and file writing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>

#include "winsim/api/win32_kernel.h"
#include "winsim/src/storage/drive.h"
#include "winsim/src/dlls/calls.h"

namespace winsim {
namespace {

thread_local DWORD g_lastError = 0;

ResolvedPath resolve(const Machine& m, const char* path) {
    if (!path || m.driveDir.empty()) {
        ResolvedPath r;
        r.error = path ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER;  // no drive: nothing on it
        return r;
    }
    return resolveDrivePath(m.driveDir, fromAnsi(m, path));
}

std::string pathForLog(const char* path) {
    const Machine* m = currentMachine();
    if (!path) return "NULL";
    return m ? fromAnsi(*m, path) : std::string(path);
}

std::string g_commandLine = "PROGRAM.EXE";

// Files CreateFileA opened, by handle.
struct OpenFile {
    Fd fd;
    bool write = false;
};
std::map<HANDLE, OpenFile> g_files;
uintptr_t g_nextFile = 0x7000;

}  // namespace

void setLastError(uint32_t error) { g_lastError = error; }

void setCommandLine(const std::string& line) { g_commandLine = line; }

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI GetLastError(void) { return g_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { g_lastError = dwErrCode; }

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    Machine* m = admitMachineCall("GetVersionExA", "GetVersionExA()");
    if (!m) return FALSE;
    if (!info) return failWith(ERROR_INVALID_PARAMETER, FALSE);
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    if (m->faults.versionFails) return failWith(ERROR_GEN_FAILURE, FALSE);
    info->dwMajorVersion = m->major;
    info->dwMinorVersion = m->minor;
    if (m->platform == Platform::Nt) {
        info->dwPlatformId = VER_PLATFORM_WIN32_NT;
        info->dwBuildNumber = m->build;
    } else {
        // Windows 9x repeats major and minor in the high word of the build.
        info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
        info->dwBuildNumber = (m->major << 24) | (m->minor << 16) | (m->build & 0xFFFF);
    }
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::strncpy(info->szCSDVersion, toAnsi(*m, m->csdVersion).c_str(),
                 sizeof info->szCSDVersion - 1);
    return TRUE;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    Machine* m = admitMachineCall("GetWindowsDirectoryA", "GetWindowsDirectoryA()");
    if (!m) return 0u;
    if (m->faults.windowsDirFails) return failWith(ERROR_PATH_NOT_FOUND, 0u);
    const std::string dir = toAnsi(*m, m->windowsDir);
    // Fits: the length without the zero. Too small: the size needed with it,
    // buffer untouched.
    if (!lpBuffer || uSize <= dir.size()) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    Machine* m = admitMachineCall(
        "GetFileAttributesA", [&] { return "GetFileAttributesA(" + pathForLog(lpFileName) + ")"; });
    if (!m) return INVALID_FILE_ATTRIBUTES;
    const ResolvedPath r = resolve(*m, lpFileName);
    if (r.error) return failWith(r.error, INVALID_FILE_ATTRIBUTES);
    if (m->changes.files.deleted.count(r.relative)) {
        return failWith(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    }
    struct stat st;
    // A link (one pointing inside the drive) shows its target's attributes.
    const int rc =
        r.name.empty() ? ::fstat(r.dir.get(), &st) : ::fstatat(r.dir.get(), r.name.c_str(), &st, 0);
    if (rc != 0) return failWith(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    mode_t mode = st.st_mode;
    auto staged = m->changes.files.modes.find(r.relative);
    if (staged != m->changes.files.modes.end()) mode = staged->second;
    DWORD attrs = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(mode & S_IWUSR)) attrs |= FILE_ATTRIBUTE_READONLY;
    return attrs;
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    Machine* m = admitMachineCall("SetFileAttributesA", [&] {
        return "SetFileAttributesA(" + pathForLog(lpFileName) + ", " +
               std::to_string(dwFileAttributes) + ")";
    });
    if (!m) return FALSE;
    const ResolvedPath r = resolve(*m, lpFileName);
    if (r.error) return failWith(r.error, FALSE);
    if (m->changes.files.deleted.count(r.relative)) return failWith(ERROR_FILE_NOT_FOUND, FALSE);
    struct stat st;
    const int rc = r.name.empty()
                       ? ::fstat(r.dir.get(), &st)
                       : ::fstatat(r.dir.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    if (rc != 0) return failWith(ERROR_FILE_NOT_FOUND, FALSE);
    // Read-only means nothing for a folder; a link has no protection of its
    // own here and its target is never changed through it.
    if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) return TRUE;
    if (::geteuid() != 0 && st.st_uid != ::geteuid()) return failWith(ERROR_ACCESS_DENIED, FALSE);
    // A pipe or device is no file of the drive's; a file with other names
    // (hard links, perhaps outside the image) is never changed in place.
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return failWith(ERROR_ACCESS_DENIED, FALSE);
    auto staged = m->changes.files.modes.find(r.relative);
    const mode_t current =
        staged != m->changes.files.modes.end() ? staged->second : st.st_mode & 07777;
    mode_t mode = current;
    if (dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else {
        mode |= S_IWUSR;
    }
    if (mode != current) {
        m->changes.files.modes[r.relative] = mode;
        m->changes.files.ops.push_back(FileOp{FileOp::Mode, r.relative, mode, {}});
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    Machine* m = admitMachineCall("DeleteFileA",
                                  [&] { return "DeleteFileA(" + pathForLog(lpFileName) + ")"; });
    if (!m) return FALSE;
    const ResolvedPath r = resolve(*m, lpFileName);
    if (r.error) return failWith(r.error, FALSE);
    if (r.name.empty()) return failWith(ERROR_ACCESS_DENIED, FALSE);  // the drive itself
    if (m->changes.files.deleted.count(r.relative)) return failWith(ERROR_FILE_NOT_FOUND, FALSE);
    struct stat st;
    if (::fstatat(r.dir.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return failWith(ERROR_FILE_NOT_FOUND, FALSE);
    }
    // Only files and links are deleted: never a pipe, socket or device.
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return failWith(ERROR_ACCESS_DENIED, FALSE);
    auto staged = m->changes.files.modes.find(r.relative);
    const mode_t mode = staged != m->changes.files.modes.end() ? staged->second : st.st_mode;
    if (!S_ISLNK(st.st_mode) && !(mode & S_IWUSR)) return failWith(ERROR_ACCESS_DENIED, FALSE);
    // The folder must let the entry go when the change is committed.
    if (::faccessat(r.dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        return failWith(ERROR_ACCESS_DENIED, FALSE);
    }
    m->changes.files.deleted[r.relative] = true;
    m->changes.files.ops.push_back(FileOp{FileOp::Delete, r.relative, 0, {}});
    return TRUE;
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    Machine* m = admitMachineCall("ExitWindowsEx", [&] {
        return "ExitWindowsEx(" + std::to_string(uFlags) + ", " + std::to_string(dwReason) + ")";
    });
    if (!m) return FALSE;
    if (uFlags & EWX_REBOOT) m->restartRequested = true;
    return TRUE;
}

LPSTR WINAPI GetCommandLineA(void) {
    enterCall("GetCommandLineA", "GetCommandLineA()");
    return &g_commandLine[0];
}

DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    Machine* m = admitMachineCall("GetTempPathA", "GetTempPathA()");
    if (!m) return 0;
    std::string dir = toAnsi(*m, m->windowsDir);
    if (dir.empty() || dir.back() != '\\') dir += '\\';
    // As GetWindowsDirectoryA: the length without the zero, or the size
    // needed with it (buffer untouched).
    if (!lpBuffer || nBufferLength <= dir.size()) return static_cast<DWORD>(dir.size() + 1);
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    enterCall("GetLocalTime", "GetLocalTime()");
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    lpSystemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    lpSystemTime->wDay = static_cast<WORD>(local.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(local.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(local.tm_min);
    // A leap second shows as the 59th, as Windows has none.
    lpSystemTime->wSecond = static_cast<WORD>(local.tm_sec < 60 ? local.tm_sec : 59);
    lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE) {
    Machine* m = admitMachineCall("CreateFileA", [&] {
        return "CreateFileA(" + pathForLog(lpFileName) + ", " + std::to_string(dwDesiredAccess) +
               ", " + std::to_string(dwCreationDisposition) + ")";
    });
    if (!m) return INVALID_HANDLE_VALUE;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        return failWith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    const ResolvedPath r = resolve(*m, lpFileName);
    if (r.error != 0 && r.error != ERROR_FILE_NOT_FOUND)
        return failWith(r.error, INVALID_HANDLE_VALUE);
    if (r.name.empty()) return failWith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);  // the drive
    // A file the running command deleted is gone only when the change is
    // saved; it is not made again before that.
    if (r.error == 0 && m->changes.files.deleted.count(r.relative)) {
        return failWith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    struct stat st;
    const bool exists =
        r.error == 0 && ::fstatat(r.dir.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
    const bool creates =
        dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != TRUNCATE_EXISTING;
    if (exists) {
        if (dwCreationDisposition == CREATE_NEW)
            return failWith(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        // A folder is no file; a link is never written through.
        if (!S_ISREG(st.st_mode)) return failWith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        auto staged = m->changes.files.modes.find(r.relative);
        const mode_t mode = staged != m->changes.files.modes.end() ? staged->second : st.st_mode;
        if ((write || dwCreationDisposition == CREATE_ALWAYS ||
             dwCreationDisposition == TRUNCATE_EXISTING) &&
            !(mode & S_IWUSR)) {
            return failWith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        }
    } else if (!creates) {
        return failWith(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (m->readOnly && (write || !exists))
        return failWith(ERROR_WRITE_PROTECT, INVALID_HANDLE_VALUE);
    int flags = O_CLOEXEC | O_NOFOLLOW | (write ? O_WRONLY : O_RDONLY);
    if (!exists) flags |= O_CREAT | O_EXCL;
    if (exists &&
        (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING)) {
        flags = (flags & ~O_RDONLY) | O_WRONLY | O_TRUNC;
    }
    Fd fd(::openat(r.dir.get(), r.name.c_str(), flags, 0666));
    if (!fd.valid()) {
        return failWith(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED,
                        INVALID_HANDLE_VALUE);
    }
    HANDLE handle = reinterpret_cast<HANDLE>(g_nextFile += 4);
    g_files[handle] = OpenFile{std::move(fd), write};
    // Opening or replacing a file that exists says so.
    const bool said =
        exists && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS);
    setLastError(said ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (!admitCall("WriteFile",
                   [&] { return "WriteFile(" + std::to_string(nNumberOfBytesToWrite) + ")"; })) {
        return FALSE;
    }
    auto it = g_files.find(hFile);
    if (it == g_files.end()) return failWith(ERROR_INVALID_HANDLE, FALSE);
    if (!lpNumberOfBytesWritten || lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite != 0)) {
        return failWith(ERROR_INVALID_PARAMETER, FALSE);
    }
    *lpNumberOfBytesWritten = 0;
    if (!it->second.write) return failWith(ERROR_ACCESS_DENIED, FALSE);
    const char* at = static_cast<const char*>(lpBuffer);
    DWORD left = nNumberOfBytesToWrite;
    while (left > 0) {
        const ssize_t n = ::write(it->second.fd.get(), at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return failWith(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT, FALSE);
        at += n;
        left -= static_cast<DWORD>(n);
        *lpNumberOfBytesWritten += static_cast<DWORD>(n);
    }
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
    if (!admitCall("SetFilePointer", [&] {
            return "SetFilePointer(" + std::to_string(lDistanceToMove) + ", " +
                   std::to_string(dwMoveMethod) + ")";
        })) {
        return INVALID_SET_FILE_POINTER;
    }
    auto it = g_files.find(hFile);
    if (it == g_files.end()) return failWith(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (dwMoveMethod > FILE_END) return failWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    // Without the high part the distance is a signed 32-bit number.
    const int64_t distance =
        lpDistanceToMoveHigh
            ? static_cast<int64_t>(
                  (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                  static_cast<uint32_t>(lDistanceToMove))
            : lDistanceToMove;
    // A position before the start is refused and leaves the pointer where
    // it was (lseek's EINVAL).
    const off_t at = ::lseek(it->second.fd.get(), distance, kWhence[dwMoveMethod]);
    if (at < 0) return failWith(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(at) >> 32);
    return static_cast<DWORD>(at);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (!admitCall("CloseHandle", "CloseHandle()")) return FALSE;
    if (g_files.erase(hObject) == 0) return failWith(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

}  // extern "C"
