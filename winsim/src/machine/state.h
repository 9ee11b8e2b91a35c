// The current machine, shared by the machine's own code and the simulated
// API functions (dlls/calls.h has their call bookkeeping). The simulation
// is single-threaded, like the program it hosts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/src/base/posix_file.h"
#include "winsim/src/machine/changes.h"
#include "winsim/src/machine/machine_info.h"
#include "winsim/src/regfile/regfile.h"
#include "winsim/src/registry/registry.h"
#include "winsim/src/storage/drive.h"
#include "winsim/src/storage/image_source.h"
#include "winsim/src/storage/store.h"

namespace winsim {

class HiveStore;

// The loaded machine: what it is (machine_info.h), its registry and where
// its parts are kept, and what the running command changed.
struct Machine : MachineFacts {
    std::string dir;
    Faults faults;
    Registry registry;
    RegFormat format = RegFormat::Regedit4;
    bool restartRequested = false;
    bool saveFailed = false;
    std::string saveMessage;
    // The files ("C:\...") commits were to delete and could not, until
    // taken (takeFilesNotDeleted).
    std::vector<std::string> keptFiles;

    // The store (store.h), of the kind chosen at load: the locked folder,
    // its registry files, and the export or system.reg as loaded or last
    // committed (a hive's identity is kept by `hives`).
    StoreKind kind = StoreKind::ImageFolder;
    Fd lock;
    std::vector<std::string> registryFiles;
    FileIdentity regFile;
    // What the running command changed since the last commit.
    CommandChanges changes{registry};

    // Where the parts are (image_source.h): the export saves go to, the C:
    // drive, what the machine was loaded from.
    std::string regPath;
    std::string driveDir;
    std::string source;
    // Read-only machines save nothing (offline.h).
    bool readOnly = false;
    bool readOnlyRequested = false;
    std::string readOnlyReason;
    // Hive files the registry came from (hive_store.h); null for an export.
    std::shared_ptr<HiveStore> hives;
};

// Before the commit point of a commit that deletes something: writes the
// backup (safety.h) when backups are wanted, under a name undo ignores.
// `writes`: the registry files the commit replaces, as they are and as they
// will be. `publish` becomes the operation the commit adds to publish it
// (kind Publish; left a Delete with no source when no backup was written).
// False, with `error` and nothing left behind, when it fails.
bool backupBeforeCommit(Machine& m, const std::vector<RegistryWrite>& writes, FileOp* publish,
                        std::string* error);
// The first line of a backup's manifest.
extern const char kBackupManifestMagic[];
// Opens (creating it, and syncing `dirFd` then) the folder `name` of `dirFd`;
// invalid, with `error`, when it cannot.
Fd makeFolder(int dirFd, const std::string& name, std::string* error);
// Removes the unpublished backup `partial` (relative to the store folder):
// its commit was not made.
void discardBackup(Machine& m, const std::string& partial);
// Names a backup a commit published (`folder`, its path) to the backup
// observer.
void announceBackup(const std::string& folder);
// After recovery: removes every unpublished backup (each a line in
// `notices`), as no change that was decided is still unfinished.
void removeLeftoverBackups(Machine& m, std::vector<std::string>* notices);

// The store folder of `m`.
StoreFolder storeFolder(const Machine& m);
// The registry files the staged registry changes rewrite: `text` (the
// whole new export) for an export or an image, the hives' differences for
// hives. False with `error` when they cannot be made.
bool registryWrites(Machine& m, const TextSource* text, std::vector<RegistryWrite>* writes,
                    std::string* error);
// Commits `writes` and `ops` through the store (store.h), with the backup
// before the commit point when `backup` (published by the commit, announced
// once it is made, removed when it is not).
bool commitWrites(Machine& m, std::vector<RegistryWrite>& writes, const std::vector<FileOp>& ops,
                  bool backup, bool* decided, std::string* error,
                  std::vector<std::string>* warnings);

// nullptr when no machine is loaded.
Machine* currentMachine();
// The current machine for the test API; aborts when none is loaded (a
// test's programming error).
Machine& machine();

// Commits what the running command staged; see store.h. A commit that
// fails before the change is decided rolls the registry back to the last
// commit and drops the staged file operations: memory and disk agree again.
bool commitMachine(Machine& m, std::string* message);

// Records a change of the registry: staged until the next commit.
void stageRegistryChange(Machine& m);

// Forgets every open key handle and device set (a machine is unloaded);
// kept by the registry and device installer functions (dlls/).
void dropRegistryHandles();
void dropDeviceSets();

// A note or warning of the machine, one line, to the sink the program set
// (machine.h: setMessageSink).
void tell(const std::string& line);

// Text crossing the A functions.
std::string toAnsi(const Machine& m, const std::string& utf8);
std::string fromAnsi(const Machine& m, const char* ansi);

}  // namespace winsim
