// Kernel services: last error, version, Windows directory, files, restart.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

void setLastError(uint32_t error) { g_lastError = error; }

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
    Machine* m = admitMachineCall("GetFileAttributesA",
                                  "GetFileAttributesA(" + pathForLog(lpFileName) + ")");
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
    Machine* m =
        admitMachineCall("SetFileAttributesA", "SetFileAttributesA(" + pathForLog(lpFileName) +
                                                   ", " + std::to_string(dwFileAttributes) + ")");
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
    Machine* m = admitMachineCall("DeleteFileA", "DeleteFileA(" + pathForLog(lpFileName) + ")");
    if (!m) return FALSE;
    const ResolvedPath r = resolve(*m, lpFileName);
    if (r.error) return failWith(r.error, FALSE);
    if (r.name.empty()) return failWith(ERROR_ACCESS_DENIED, FALSE);  // the drive itself
    if (m->changes.files.deleted.count(r.relative)) return failWith(ERROR_FILE_NOT_FOUND, FALSE);
    struct stat st;
    if (::fstatat(r.dir.get(), r.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return failWith(ERROR_FILE_NOT_FOUND, FALSE);
    }
    if (S_ISDIR(st.st_mode)) return failWith(ERROR_ACCESS_DENIED, FALSE);
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
    Machine* m = admitMachineCall("ExitWindowsEx", "ExitWindowsEx(" + std::to_string(uFlags) +
                                                       ", " + std::to_string(dwReason) + ")");
    if (!m) return FALSE;
    if (uFlags & EWX_REBOOT) m->restartRequested = true;
    return TRUE;
}

}  // extern "C"
