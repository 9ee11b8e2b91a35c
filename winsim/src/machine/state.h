// The current machine and the bookkeeping every simulated API call shares.
// The simulation is single-threaded, like the program it hosts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/src/storage/drive.h"
#include "winsim/src/regfile/regfile.h"
#include "winsim/src/registry/registry.h"
#include "winsim/src/storage/store.h"

namespace winsim {

class HiveStore;

struct Machine {
    std::string dir;
    Platform platform = Platform::Nt;
    uint32_t major = 0, minor = 0, build = 0;
    std::string windowsDir;  // UTF-8
    unsigned codePage = 1252;
    Faults faults;
    Registry registry;
    RegFormat format = RegFormat::Regedit4;
    bool restartRequested = false;
    bool saveFailed = false;
    std::string saveMessage;

    // The store: the locked image directory, system.reg as loaded or last
    // committed, and what the running command changed since.
    Fd lock;
    FileIdentity regFile;
    size_t committed = 0;          // the registry's savepoint of the last commit
    bool registryChanged = false;  // a change was staged since (also kept in the log)
    StagedFiles files;

    // Where the parts are (image_source.h): the export saves go to, the C:
    // drive, what the machine was loaded from.
    std::string regPath;
    std::string driveDir;
    std::string source;
    std::string csdVersion;
    // Read-only machines save nothing (offline.h).
    bool readOnly = false;
    bool readOnlyRequested = false;
    std::string readOnlyReason;
    // Hive files the registry came from (hive_store.h); null for an export.
    std::shared_ptr<HiveStore> hives;
    // Device instances the device installer removed since the last commit.
    std::vector<std::string> removedInstances;
};

// Before a commit that deletes something: writes the backup (safety.h) when
// backups are wanted. `newRegistry`: the system.reg the commit writes, or
// nullptr when it does not change. False, with `error`, when it fails.
bool backupBeforeCommit(Machine& m, const TextSource* newRegistry, std::string* error);

// nullptr when no machine is loaded.
Machine* currentMachine();
// The current machine for the test API; aborts when none is loaded (a
// test's programming error).
Machine& machine();

// Commits what the running command staged; see store.h. A commit that
// fails before the change is decided rolls the registry back to the last
// commit and drops the staged file operations: memory and disk agree again.
bool commitMachine(Machine& m, std::string* message);

// Counts and logs a call; returns the error to fail it with when the test
// API refuses it.
std::optional<uint32_t> enterCall(const std::string& function, const std::string& logEntry);

// The thread's last error (SetLastError).
void setLastError(uint32_t error);

// A failure of a function that reports through the last error: sets
// `error` and returns `result`.
template <typename T>
T failWith(uint32_t error, T result) {
    setLastError(error);
    return result;
}

// The opening of every simulated function that reports through the last
// error. admitCall counts and logs the call and is false, with the last
// error set, when the test API refuses it; admitMachineCall also needs a
// loaded machine and returns it, or nullptr with ERROR_NOT_READY.
bool admitCall(const std::string& function, const std::string& logEntry);
Machine* admitMachineCall(const std::string& function, const std::string& logEntry);

// Records a change of the registry: staged until the next commit.
void stageRegistryChange(Machine& m);

// Forgets every open key handle and device set (a machine is unloaded).
void dropRegistryHandles();
void dropDeviceSets();

// Text crossing the A functions.
std::string toAnsi(const Machine& m, const std::string& utf8);
std::string fromAnsi(const Machine& m, const char* ansi);

}  // namespace winsim
