// The current machine: loading an image, committing what a command changed,
// and the machine-wide settings (machine.ini is read by machine_ini.cpp, the
// call log kept by call_log.cpp, the test API in test_api.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "winsim/api/win32_base.h"
#include "winsim/machine.h"
#include "winsim/src/base/codepage.h"
#include "winsim/offline.h"
#include "winsim/src/storage/drive.h"
#include "winsim/src/storage/hive_store.h"
#include "winsim/src/storage/image_source.h"
#include "winsim/src/machine/machine_info.h"
#include "winsim/src/machine/machine_ini.h"
#include "winsim/src/storage/offline_commit.h"
#include "winsim/src/machine/offline_load.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/storage/store.h"

namespace winsim {

namespace {

std::unique_ptr<Machine> g_machine;
std::vector<std::string> g_loadWarnings;

void report(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
}

}  // namespace

Machine* currentMachine() { return g_machine.get(); }

Machine& machine() {
    // Test-API calls without a machine are a test's programming error.
    if (!g_machine) {
        std::fprintf(stderr, "winsim: no machine loaded\n");
        std::abort();
    }
    return *g_machine;
}

std::string toAnsi(const Machine& m, const std::string& utf8) {
    return utf8ToAnsi(m.codePage, utf8);
}

std::string fromAnsi(const Machine& m, const char* ansi) {
    return ansi ? ansiToUtf8(m.codePage, ansi) : std::string();
}

void stageRegistryChange(Machine& m) { m.changes.stageRegistry(); }

namespace {

bool commitsOffline(const Machine& m) { return commitsOffline(m.hives.get(), m.regPath, m.dir); }

}  // namespace

bool commitMachine(Machine& m, std::string* message) {
    const bool registryChanged = m.changes.registryChanged();
    if (!m.changes.any()) return true;
    std::string data;
    bool decided = false;
    std::string error;
    std::vector<std::string> warnings;
    bool ok = false;
    if (m.readOnly) {
        error = "the machine is read-only (" + m.readOnlyReason + ")";
    } else if (commitsOffline(m)) {
        // Hive files and exports of another name keep their own backups
        // (offline_commit.h).
        if (registryChanged && !m.hives) data = exportRegFile(m.registry, m.format, m.codePage);
        ok = decided = commitOffline(m.hives.get(), m.registry, m.regPath, m.driveDir,
                                     m.changes.files, registryChanged, &data, &error, &warnings);
    } else {
        // The new text is written as the base is patched, never held whole.
        const TextSource patched = [&m](const TextSink& sink) {
            return exportRegFile(m.registry, m.format, m.codePage, sink);
        };
        const TextSource* newRegistry = registryChanged ? &patched : nullptr;
        settleHash(m.regFile, m.registry.source);
        ok = backupBeforeCommit(m, newRegistry, &error) &&
             commitImage(m.lock.get(), m.dir, newRegistry, &m.regFile, m.changes.files.ops,
                         &decided, &error, &warnings);
    }
    report(warnings);
    // After a commit the registry keeps its base (the text as loaded) and
    // its change log: the next save patches that base with every change
    // since the load, which gives the same bytes as patching the text just
    // saved, without reading those bytes back (a rebase parses the whole
    // file again: seconds for a 100 MB image). The log of one run is small.
    if (!ok && !decided) m.changes.rollBack(m.changes.lastCommit());
    m.changes.settle();
    if (!ok) {
        m.saveFailed = true;
        m.saveMessage = error;
        if (message) *message = error;
        return false;
    }
    m.saveFailed = false;
    m.saveMessage.clear();
    return true;
}

bool commit(std::string* message) {
    if (!g_machine) {
        if (message) *message = "no machine loaded";
        return false;
    }
    if (!commitMachine(*g_machine, message)) return false;
    if (message) message->clear();
    return true;
}

bool hasStagedChanges() { return g_machine && g_machine->changes.any(); }

bool loadMachine(const std::string& dir, std::string* error, LoadFailure* why) {
    LoadOptions options;
    options.readOnlyWhenUnwritable = false;
    return loadMachine(dir, options, error, why);
}

bool loadMachine(const std::string& source, const LoadOptions& options, std::string* error,
                 LoadFailure* why) {
    std::string scratch;
    if (!error) error = &scratch;
    LoadFailure ignored;
    if (!why) why = &ignored;
    *why = LoadFailure::Refused;
    auto m = std::make_unique<Machine>();
    ImageSource src;
    if (!resolveImageSource(source, options.installation, &src, error)) return false;
    m->dir = src.dir;
    m->regPath = src.regPath;
    m->driveDir = src.driveDir;
    m->source = src.describe;
    // The lock first, so that nothing is read while another process writes.
    // The current machine may be this very image: its lock is shared.
    struct stat wanted, held;
    if (g_machine && ::stat(m->dir.c_str(), &wanted) == 0 &&
        ::fstat(g_machine->lock.get(), &held) == 0 && wanted.st_dev == held.st_dev &&
        wanted.st_ino == held.st_ino) {
        m->lock = Fd(::fcntl(g_machine->lock.get(), F_DUPFD_CLOEXEC, 0));
        if (!m->lock.valid()) {
            *error = m->dir + ": cannot open the machine image (" + std::strerror(errno) + ")";
            return false;
        }
    } else {
        bool inUse = false;
        if (!lockImageDir(m->dir, &m->lock, &inUse, error)) {
            if (inUse) *why = LoadFailure::InUse;
            return false;
        }
    }
    const int dirFd = m->lock.get();
    const bool image = !commitsOffline(*m);
    if (image && !options.readOnly) {
        // (Read-only use leaves an interrupted commit as it is: the image
        // then reads as it was before that command.)
        std::vector<std::string> notices;
        const bool recovered = recoverImage(dirFd, m->dir, &notices, error);
        for (const auto& n : notices) std::fprintf(stderr, "%s\n", n.c_str());
        if (!recovered) return false;
    }
    std::vector<std::string> warnings;
    IniGiven given;
    if (!src.iniPath.empty()) {
        std::string iniText;
        if (!readRegularFile(dirFd, "machine.ini", src.iniPath, kMaxIniFileSize, &iniText, nullptr,
                             error) ||
            !parseIni(iniText, src.iniPath, *m, warnings, error, &given)) {
            return false;
        }
    }
    BaseText regBytes;
    if (!src.regPath.empty() &&
        !readRegistryText(dirFd, src.regPath.substr(src.regPath.find_last_of('/') + 1), src.regPath,
                          kMaxRegistryFileSize, &regBytes, &m->regFile, error)) {
        return false;
    }
    std::vector<std::string> notes;
    if (!readMachineRegistry(src, std::move(regBytes), options.hiveRoot, given.codePage, *m,
                             warnings, notes, error)) {
        return false;
    }
    m->changes.settle();
    if (!completeMachineInfo(*m->registry.localMachine, given, m->source, m.get(), error)) {
        return false;
    }
    struct stat st;
    if (m->driveDir.empty()) {
        warnings.push_back(m->source + ": no drive_c folder beside it; the C: drive is empty");
    } else if (::lstat(m->driveDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        warnings.push_back(m->driveDir + ": missing or not a plain folder; the C: drive is empty");
    }
    // An image that cannot take a commit is refused now, before anything on
    // it changes, or used read-only.
    if (options.readOnly) {
        m->readOnly = m->readOnlyRequested = true;
        m->readOnlyReason = "--read-only was given";
    } else if (m->readOnly) {
        // The registry's source takes no changes (readOnlyReason says why).
    } else if (!(m->hives ? m->hives->checkSavable(error)
                 : image  ? checkCommittable(dirFd, m->dir, error)
                          : checkExportWritable(m->regPath, error))) {
        if (!options.readOnlyWhenUnwritable) return false;
        m->readOnly = true;
        m->readOnlyReason = *error;
        warnings.push_back(*error + "; used read-only");
        error->clear();
    }
    report(warnings);
    for (const auto& n : notes) std::fprintf(stderr, "note: %s\n", n.c_str());
    unloadMachine();
    g_machine = std::move(m);
    g_loadWarnings = std::move(warnings);
    *why = LoadFailure::None;
    return true;
}

bool machineReadOnly(std::string* reason) {
    if (!g_machine || !g_machine->readOnly) return false;
    if (reason) *reason = g_machine->readOnlyReason;
    return true;
}

bool readOnlyRequested() { return g_machine && g_machine->readOnlyRequested; }

std::string machineSource() { return g_machine ? g_machine->source : std::string(); }

void unloadMachine() {
    dropRegistryHandles();
    dropDeviceSets();
    g_machine.reset();
}

bool hasMachine() { return g_machine != nullptr; }
std::string machineDir() { return g_machine ? g_machine->dir : std::string(); }
Platform platform() { return machine().platform; }
unsigned codePage() { return machine().codePage; }
const std::vector<std::string>& loadWarnings() { return g_loadWarnings; }
Faults& faults() { return machine().faults; }

bool lastSaveFailed(std::string* message) {
    if (!g_machine || !g_machine->saveFailed) return false;
    if (message) *message = g_machine->saveMessage;
    return true;
}

bool restartRequested() { return g_machine && g_machine->restartRequested; }

bool importRegistry(const std::string& regFileBytes, const std::string& fileName,
                    std::vector<std::string>* warnings, std::string* error) {
    Machine& m = machine();
    RegImport imported;
    std::string scratch;
    // The file's skipped lines are not kept: they never were part of system.reg.
    if (!importRegFile(regFileBytes, fileName, m.codePage, m.registry, &imported,
                       error ? error : &scratch, false)) {
        return false;
    }
    report(imported.warnings);
    if (warnings) *warnings = imported.warnings;
    stageRegistryChange(m);
    commitMachine(m, nullptr);
    return true;
}

}  // namespace winsim
