// The current machine and the bookkeeping every simulated API call shares.
// The simulation is single-threaded, like the program it hosts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/src/files.h"
#include "winsim/src/regfile.h"
#include "winsim/src/registry.h"
#include "winsim/src/store.h"

namespace winsim {

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
    // Device instances the device installer removed since the last commit.
    std::vector<std::string> removedInstances;
};

// Before a commit that deletes something: writes the backup (safety.h) when
// backups are wanted. `newRegistry`: the system.reg the commit writes, or
// nullptr when it does not change. False, with `error`, when it fails.
bool backupBeforeCommit(Machine& m, const std::string* newRegistry, std::string* error);

// nullptr when no machine is loaded.
Machine* currentMachine();

// Counts and logs a call; returns the error to fail it with when the test
// API refuses it.
std::optional<uint32_t> enterCall(const std::string& function, const std::string& logEntry);

// Records a change of the registry: staged until the next commit.
void stageRegistryChange(Machine& m);

// Forgets every open key handle and device set (a machine is unloaded).
void dropRegistryHandles();
void dropDeviceSets();

// Text crossing the A functions.
std::string toAnsi(const Machine& m, const std::string& utf8);
std::string fromAnsi(const Machine& m, const char* ansi);

}  // namespace winsim
