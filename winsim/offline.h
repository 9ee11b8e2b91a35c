// Loading what a technician holds of a Windows installation that is not
// running: a machine image, a bare regedit export, or the installation's
// own hive files; read-only use of any of them.
#pragma once

#include <string>
#include <vector>

#include "winsim/machine.h"

namespace winsim {

struct LoadOptions {
    // --read-only: nothing is changed and nothing is created beside the
    // source; the registry API refuses changes. The image is not locked
    // (the lock is for writers): beside a running writer the registry reads
    // as that writer's last commit left it (a commit replaces it in one
    // rename), and the drive's files as they are when read.
    bool readOnly = false;
    // An image or hive that cannot be written is used read-only (said in
    // readOnlyReason) instead of being refused.
    bool readOnlyWhenUnwritable = true;
    // Where a system hive was loaded in the export, e.g.
    // "HKEY_LOCAL_MACHINE\\OFFLINE": linked as HKEY_LOCAL_MACHINE\System.
    std::string hiveRoot;
    // The source is a Windows installation (its Windows directory or the
    // root of its drive) whose hive files are used (--windows DIR).
    bool installation = false;
    // Machine facts given on the command line, "NAME=VALUE" with the keys
    // and values of machine.ini's [system] section; they win over
    // machine.ini, which wins over the registry.
    std::vector<std::string> facts;
};

// Checks one "NAME=VALUE" of LoadOptions::facts; false, with a message
// naming the fact, when it is not one machine.ini's [system] would take.
bool checkFact(const std::string& fact, std::string* error);

// The places on disk that belong to `source` (as loadMachine would take it;
// `installation` as in LoadOptions): an image directory; an export, with
// the drive_c and backups folders beside it; for an installation the root
// of its drive and its hive files. Paths as they resolve now, without
// links; empty when `source` is no image.
std::vector<std::string> imagePlaces(const std::string& source, bool installation);

// Loads `source` as the current machine: an image directory (machine.ini
// optional when system.reg is there), a .reg file, or with
// options.installation a Windows directory or drive root. What machine.ini
// does not say is taken from the registry; what neither gives is listed in
// one message. Notes (control sets found, a missing drive) go to standard
// error and loadWarnings().
// `why` as for the image loader (machine.h): LoadFailure::InUse when
// another process has the source's folder loaded.
bool loadMachine(const std::string& source, const LoadOptions& options, std::string* error,
                 LoadFailure* why = nullptr);

// Whether the current machine takes no changes; `reason` says why in a few
// words ("--read-only was given", "... cannot be written: ...").
bool machineReadOnly(std::string* reason = nullptr);
// Whether read-only was asked for (--read-only) rather than forced by the
// source (unwritable files, a 98/ME hive).
bool readOnlyRequested();

// What the machine was loaded from, for messages: "image DIR", "export
// FILE", "hives under DIR".
std::string machineSource();

}  // namespace winsim
