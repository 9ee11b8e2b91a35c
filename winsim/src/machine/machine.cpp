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
#include "winsim/src/machine/offline_load.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/machine/trace_search.h"
#include "winsim/src/storage/store.h"

namespace winsim {

namespace {

std::unique_ptr<Machine> g_machine;
std::vector<std::string> g_loadWarnings;
std::function<void(const std::string&)> g_sink;

void report(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) tell(w);
}

}  // namespace

void setMessageSink(std::function<void(const std::string& line)> sink) { g_sink = std::move(sink); }

void tell(const std::string& line) {
    if (g_sink) {
        g_sink(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

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

StoreFolder storeFolder(const Machine& m) {
    return StoreFolder{m.lock.get(), m.dir, m.registryFiles, m.driveDir};
}

bool registryWrites(Machine& m, const TextSource* text, std::vector<RegistryWrite>* writes,
                    std::string* error) {
    if (m.hives) return m.hives->stageWrites(m.registry, writes, error);
    writes->push_back(RegistryWrite{
        m.registryFiles.front(), &m.regFile, writeText(text, &m.registry.source), {}, {}});
    writes->back().loaded = &m.registry.source;  // the commit settles a pending hash
    return true;
}

namespace {

// The files the staged operations delete that are still on the drive.
std::vector<std::string> filesNotDeleted(const Machine& m) {
    std::vector<std::string> kept;
    Fd drive(m.driveDir.empty()
                 ? -1
                 : ::open(m.driveDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    for (const FileOp& op : m.changes.files.ops) {
        if (op.kind != FileOp::Delete || !drive.valid()) continue;
        std::string name;
        Fd dir = openParentNoFollow(drive.get(), op.relative, &name);
        struct stat st;
        if (dir.valid() && ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            kept.push_back(windowsPath(op.relative));
        }
    }
    return kept;
}

}  // namespace

bool commitWrites(Machine& m, std::vector<RegistryWrite>& writes, const std::vector<FileOp>& ops,
                  bool backup, bool* decided, std::string* error,
                  std::vector<std::string>* warnings) {
    BeforeCommitPoint beforeCommitPoint;
    FileOp publish;
    if (backup) {
        beforeCommitPoint = [&m, &publish](const std::vector<RegistryWrite>& w,
                                           std::vector<FileOp>* more, std::string* why) {
            if (!backupBeforeCommit(m, w, &publish, why)) return false;
            if (publish.kind == FileOp::Publish) more->push_back(publish);
            return true;
        };
    }
    const bool ok =
        commitStore(storeFolder(m), writes, ops, beforeCommitPoint, decided, error, warnings);
    if (m.hives) m.hives->endWrites();
    if (publish.kind == FileOp::Publish) {
        // Named once the change is made; gone when it never will be.
        if (ok) {
            announceBackup(m.dir + "/" + publish.relative);
        } else if (!*decided) {
            discardBackup(m, publish.source);
        }
    }
    return ok;
}

bool commitMachine(Machine& m, std::string* message) {
    const bool registryChanged = m.changes.registryChanged();
    if (!m.changes.any()) return true;
    bool decided = false;
    std::string error;
    std::vector<std::string> warnings;
    bool ok = false;
    if (m.readOnly) {
        error = "the machine is read-only (" + m.readOnlyReason + ")";
    } else {
        // The new text is written as the base is patched, never held whole.
        const TextSource patched = [&m](const TextSink& sink) {
            return exportRegFile(m.registry, m.format, m.codePage, sink);
        };
        std::vector<RegistryWrite> writes;
        if (m.registry.source.lost()) m.regFile.lost = true;
        if (m.regFile.lost) {
            error = m.dir + "/" + m.registryFiles.front() +
                    " was changed by another program while this program was stopped and could "
                    "not guard what it had read; nothing was written";
        } else {
            ok = (!registryChanged || registryWrites(m, &patched, &writes, &error)) &&
                 commitWrites(m, writes, m.changes.files.ops, true, &decided, &error, &warnings);
        }
    }
    report(warnings);
    if (ok) {
        for (std::string& file : filesNotDeleted(m)) m.keptFiles.push_back(std::move(file));
    }
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
    m->kind = src.kind;
    m->registryFiles = src.registryFiles;
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
    } else if (options.readOnly) {
        // The lock is for writers: a reader goes beside one.
        m->lock = Fd(::open(m->dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
    if (!options.readOnly) {
        std::vector<std::string> notices;
        const bool recovered = recoverStore(storeFolder(*m), &notices, error);
        if (recovered) removeLeftoverBackups(*m, &notices);
        for (const auto& n : notices) tell(n);
        if (!recovered) return false;
    } else {
        // Read-only use writes nothing, so it finishes nothing: the machine
        // reads as it is on disk.
        for (const std::string& journal : unfinishedJournals(storeFolder(*m))) {
            tell(m->dir + ": an interrupted change is unfinished (" + journal +
                 "); it is finished at the next start without --read-only; shown as it is on "
                 "disk");
        }
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
    if (!applyFacts(options.facts, *m, error)) return false;
    given = givenFacts(*m);
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
        m->driveEmpty = true;
    } else if (::lstat(m->driveDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        warnings.push_back(m->driveDir + ": missing or not a plain folder; the C: drive is empty");
        m->driveEmpty = true;
    }
    // An image that cannot take a commit is refused now, before anything on
    // it changes, or used read-only.
    if (options.readOnly) {
        m->readOnly = m->readOnlyRequested = true;
        m->readOnlyReason = "--read-only was given";
    } else if (m->readOnly) {
        // The registry's source takes no changes (readOnlyReason says why).
    } else if (bool refused = false; !checkCommittable(storeFolder(*m), error, &refused)) {
        if (refused || !options.readOnlyWhenUnwritable) return false;
        m->readOnly = true;
        m->readOnlyReason = *error;
        warnings.push_back(*error + "; used read-only");
        error->clear();
    }
    if (!m->readOnly) {
        for (const std::string& gap : commitSafeguardGaps(storeFolder(*m))) notes.push_back(gap);
    }
    report(warnings);
    for (const auto& n : notes) tell(n);
    unloadMachine();
    g_machine = std::move(m);
    g_loadWarnings = std::move(warnings);
    // The hives are opened for writing while the run goes on (once the
    // machine before, and what it held, is gone).
    if (g_machine->hives && !g_machine->readOnly) g_machine->hives->prepareWrites();
    *why = LoadFailure::None;
    return true;
}

bool checkFact(const std::string& fact, std::string* error) {
    Machine scratch;
    return applyFacts({fact}, scratch, error);
}

bool machineReadOnly(std::string* reason) {
    if (!g_machine || !g_machine->readOnly) return false;
    if (reason) *reason = g_machine->readOnlyReason;
    return true;
}

bool readOnlyRequested() { return g_machine && g_machine->readOnlyRequested; }

std::string machineSource() { return g_machine ? g_machine->source : std::string(); }

void unloadMachine() {
    endTraceSearch();
    dropRegistryHandles();
    dropDeviceSets();
    g_machine.reset();
}

namespace {

// The key trees of the runs ended (endRun), kept reachable until the
// process ends: freeing a large registry key by key costs more than the
// rest of unloading it.
std::vector<std::shared_ptr<RegKey>>& endedTrees() {
    static auto* trees = new std::vector<std::shared_ptr<RegKey>>;
    return *trees;
}

}  // namespace

void endRun() {
    endTraceSearch();
    dropRegistryHandles();
    dropDeviceSets();
    if (g_machine) {
        Registry& r = g_machine->registry;
        endedTrees().push_back(std::move(r.localMachine));
        for (auto& root : r.otherRoots) endedTrees().push_back(std::move(root));
        r.otherRoots.clear();
    }
    g_machine.reset();
}

void freeEndedRegistries() {
    endedTrees().clear();
    endedTrees().shrink_to_fit();
}

MachineFacts machineFacts() { return machine(); }

bool hasMachine() { return g_machine != nullptr; }
std::string machineDir() { return g_machine ? g_machine->dir : std::string(); }
Platform platform() { return machine().platform; }
unsigned codePage() { return machine().codePage; }
const std::vector<std::string>& loadWarnings() { return g_loadWarnings; }
Faults& faults() { return machine().faults; }

std::vector<std::string> takeFilesNotDeleted() {
    std::vector<std::string> kept;
    if (g_machine) kept.swap(g_machine->keptFiles);
    return kept;
}

bool lastSaveFailed(std::string* message) {
    if (!g_machine || !g_machine->saveFailed) return false;
    if (message) *message = g_machine->saveMessage;
    return true;
}

bool restartRequested() { return g_machine && g_machine->restartRequested; }

bool importRegistry(const std::string& regFileBytes, const std::string& fileName,
                    std::vector<std::string>* warnings, std::string* error) {
    endTraceSearch();
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
