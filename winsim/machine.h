// The simulated Windows machine: loading an image, persistence, faults and
// the test API. Used by the host program and by tests; product code never
// includes this file (it sees the machine only through platform/win32.h).
//
// A machine image is a directory holding machine.ini, system.reg (the
// HKEY_LOCAL_MACHINE hive as a regedit file) and drive_c/ (the C: drive).
// machine.ini may be left out when the registry says what it would; bare
// exports, hive files and read-only use are in offline.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

enum class Platform { Nt, Win9x };

// Faults a machine can carry; machine.ini's [faults] section sets them and
// tests may change them at any time.
// ("none" as the value switches a fault off.) The error codes are what
// GetLastError (or the registry function's result) then reports.
struct Faults {
    bool versionFails = false;     // version = fail: GetVersionExA, ERROR_GEN_FAILURE
    bool windowsDirFails = false;  // windows = fail: GetWindowsDirectoryA 0, ERROR_PATH_NOT_FOUND
    bool refusePropertyChange = false;  // propertychange = refuse: SetupDiSetClassInstallParamsA
                                        // with DIF_PROPERTYCHANGE, ERROR_CALL_NOT_IMPLEMENTED
    bool removeFails = false;           // remove = fail: DIF_REMOVE, ERROR_GEN_FAILURE
    bool refuseDeleteKey = false;       // deletekey = refuse: RegDeleteKeyA, ERROR_ACCESS_DENIED
};

enum class LoadFailure {
    None,
    Refused,  // the image cannot be used (message names the file and line)
    InUse,    // another process has the image loaded
};

// Loads the image in `dir` and makes it the current machine. On failure
// returns false, sets `error` to a message naming the file (and line) and
// `why` to the kind of failure, and leaves the current machine (if any)
// unchanged. The image directory stays locked while the machine is loaded:
// a second process (or a second load of another path to it) is refused
// with LoadFailure::InUse; loading the current machine's image again
// shares its lock. A change a crash interrupted is first finished (see
// winsim/src/storage/store.h), with a line on standard error. system.reg and
// machine.ini must be regular files (or links to one); an image whose
// registry could not be committed is refused too, and so is a system.reg
// that breaks Windows' limits (keys nested over 512 levels, a key name over
// 255 or a value name over 16,383 characters). A save changes only the text
// of what changed: every other byte of system.reg (comments, skipped lines,
// spacing, order) stays where it was. Warnings (skipped .reg lines, keys
// under other roots) go to standard error. machine.ini may be left out
// when the registry says what it would; bare exports, hive files and
// read-only use are in offline.h.
bool loadMachine(const std::string& dir, std::string* error, LoadFailure* why = nullptr);

// Drops the current machine and its lock. Changes not committed are lost.
void unloadMachine();
// As unloadMachine, at the end of a run: the store is closed the same way
// (lock, files, threads), but the registry's keys are not freed one by one;
// they stay reachable, and the process's end gives their memory back at
// once. A process that loads machines again frees them with
// freeEndedRegistries.
void endRun();
void freeEndedRegistries();
bool hasMachine();
std::string machineDir();
Platform platform();
unsigned codePage();

// Where a machine fact came from: the command line (--fact NAME=VALUE),
// machine.ini, the registry, the version (the family of a version no source
// names: 4.10 to 4.99 are 98/ME, every other one 2000/XP), the folder
// name of an installation's Windows directory, or the built-in default
// (C:\WINDOWS, code page 1252).
enum class FactSource { CommandLine, MachineIni, Registry, Version, Installation, Default };

// What machine it is, as the simulated API reports it: the [system]
// settings of machine.ini and --fact, completed from the registry, and
// where each came from.
struct MachineFacts {
    Platform platform = Platform::Nt;
    uint32_t major = 0, minor = 0, build = 0;
    std::string windowsDir;  // UTF-8
    unsigned codePage = 1252;
    std::string csdVersion;  // "Service Pack 2" as the registry says; "" when none
    FactSource platformFrom = FactSource::Default, versionFrom = FactSource::Default,
               windowsFrom = FactSource::Default, codePageFrom = FactSource::Default;
    // The C: drive has no folder behind it (said among the load warnings):
    // the file steps find nothing.
    bool driveEmpty = false;
};
// The current machine's.
MachineFacts machineFacts();

// Where the machine's own notes and warnings go, a line each: the load's
// warnings, a finished interrupted change, where hives were backed up.
// nullptr: standard error.
void setMessageSink(std::function<void(const std::string& line)> sink);

// Warnings of the last successful load (also written to standard error),
// each "file:line: text".
const std::vector<std::string>& loadWarnings();

Faults& faults();

// Persistence. Files the program writes (CreateFileA, WriteFile) reach the
// drive at once, as on Windows, and are neither staged nor backed up. Changes
// made through the API (registry changes, file deletions and attribute
// changes) are staged: later calls see them, the
// image on disk does not until commit() writes them all at once, through a
// journal that a crash cannot leave half applied. The host commits when the
// dialog is idle again after an operator command and at the end of the run.
// The test API's registry changes (setStringValue, deleteTree,
// importRegistry, ...) commit at once, with whatever was staged before.
// commit() returns false, with a message, when the commit failed: nothing
// of it reached the disk unless the message says the change is finished at
// the next start. A commit refuses to overwrite a system.reg that another
// program changed since it was loaded or last committed.
bool commit(std::string* message = nullptr);
bool hasStagedChanges();

// Returns false, with a message, when the last commit failed.
bool lastSaveFailed(std::string* message);
// The files ("C:\...") the commits since the last call were to delete and
// could not (the rest of each commit, the registry included, was made);
// the list is emptied.
std::vector<std::string> takeFilesNotDeleted();

// Restart requests recorded by ExitWindowsEx(EWX_REBOOT, ...).
bool restartRequested();

// The command line GetCommandLineA returns, program name first, in the
// ANSI code page; "PROGRAM.EXE" (no arguments) unless set. It belongs to
// the process, not to a machine.
void setCommandLine(const std::string& line);

// Applies a .reg file to the current machine's registry and saves it, as
// the registry editor imports one. A text that is not a .reg file is
// refused (false, `error` set) and nothing changes; skipped lines are
// returned as warnings (and written to standard error).
bool importRegistry(const std::string& regFileBytes, const std::string& fileName,
                    std::vector<std::string>* warnings, std::string* error);

// ---- Test API -------------------------------------------------------------

// Counts every call of a simulated API function by name, e.g.
// "SetupDiCallClassInstaller", "RegDeleteKeyA".
unsigned callCount(const std::string& function);
void resetCallCounts();

// The calls made since the last reset, in order, each as
// "Function(argument, ...)" with key paths and file paths spelled out, e.g.
// "RegDeleteKeyA(HKLM, System\\CurrentControlSet\\Services\\Eventlog\\System\\svc)"
// or "DeleteFileA(C:\\WINDOWS\\Inf\\oem7.inf)".
const std::vector<std::string>& callLog();
// Whether calls are written to the call log (they are unless turned off; the
// counts are kept either way). The program turns it off: only tests read the
// log, and an Uninstall on a large image makes millions of calls.
void setCallLogging(bool on);

// Makes calls of `function` fail with `error` (the function's own failure
// result, GetLastError() == error). `nth` = 0: every call from now on;
// otherwise only the nth call from now on (1-based).
void refuseCall(const std::string& function, uint32_t error, unsigned nth = 0);
void clearRefusals();

// Direct registry inspection and change, bypassing counting, faults and
// code-page conversion (UTF-8 in and out). Paths are below
// HKEY_LOCAL_MACHINE, e.g. "System\\CurrentControlSet\\Enum\\USB".
bool keyExists(const std::string& path);
std::vector<std::string> subkeyNames(const std::string& path);
std::optional<std::string> stringValue(const std::string& path, const std::string& name);
std::optional<uint32_t> dwordValue(const std::string& path, const std::string& name);
void setStringValue(const std::string& path, const std::string& name, const std::string& value);
void setDwordValue(const std::string& path, const std::string& name, uint32_t value);
// Raw typed value (bytes exactly as stored; string types as the A functions
// would return them in the image's code page).
void setRawValue(const std::string& path, const std::string& name, uint32_t type,
                 const std::vector<uint8_t>& bytes);
bool deleteTree(const std::string& path);

// The registry as a .reg text in the header form (and encoding) the image
// was read with: exactly the bytes a save writes to system.reg.
std::string exportRegistry();

// Handles and device sets the program holds open right now (predefined
// roots do not count), so tests can assert that everything was released.
unsigned openKeyHandles();
unsigned openDeviceSets();

// Called during every commit after the new system.reg is written and
// synced, before the journal that decides the change is written; a test can
// stop the process there to show that an interrupted commit leaves the
// previous image whole. nullptr: none.
void setSaveHook(std::function<void()> hook);

// Called after every file-system step of a commit (creating, writing and
// syncing the new file and the journal, the rename, each file operation,
// removing the journal) with the step's number, counted over the process's
// life, and its name. The environment variable QU_CRASH_AFTER=N kills the
// process with SIGKILL right after step N (for crash tests with real
// processes). nullptr: none.
void setCommitStepHook(std::function<void(int step, const char* what)> hook);

// Host path of a C: path inside the sandbox (for tests checking files), or
// empty when the path escapes the sandbox or the drive is not C:.
// Components resolve case-insensitively; a missing last component is named
// as given.
std::string hostPath(const std::string& windowsPath);
// The same for an image directory that need not be loaded.
std::string hostPathIn(const std::string& imageDir, const std::string& windowsPath);

}  // namespace winsim
