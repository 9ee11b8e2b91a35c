// Loading an image, persistence, call bookkeeping and the test API.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "winsim/api/win32_base.h"
#include "winsim/machine.h"
#include "winsim/src/codepage.h"
#include "winsim/src/files.h"
#include "winsim/src/state.h"
#include "winsim/src/store.h"

namespace winsim {

namespace {

std::unique_ptr<Machine> g_machine;
std::vector<std::string> g_loadWarnings;
std::map<std::string, unsigned> g_callCounts;
std::vector<std::string> g_callLog;

struct Refusal {
    std::string function;
    uint32_t error;
    unsigned nth;  // 0 = every call
    unsigned seen = 0;
};
std::vector<Refusal> g_refusals;

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

std::string lower(std::string s) {
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool parseUnsigned(const std::string& s, uint32_t max, uint32_t* out) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// "major.minor[.build]"
bool parseVersion(const std::string& s, Machine& m) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t dot = s.find('.', start);
        parts.push_back(s.substr(start, dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) return false;
    m.build = 0;
    return parseUnsigned(parts[0], 255, &m.major) && parseUnsigned(parts[1], 255, &m.minor) &&
           (parts.size() == 2 || parseUnsigned(parts[2], 65535, &m.build));
}

bool parseIni(const std::string& text, const std::string& path, Machine& m,
              std::vector<std::string>& warnings, std::string* error) {
    std::string section;
    bool havePlatform = false, haveVersion = false, haveWindows = false;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string where = path + ":" + std::to_string(lineNo) + ": ";
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::string line = trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos || !trim(line.substr(close + 1)).empty()) {
                *error = where + "bad section line '" + line + "'";
                return false;
            }
            section = lower(trim(line.substr(1, close - 1)));
            if (section != "system" && section != "faults") {
                warnings.push_back(where + "unknown section [" + section + "] ignored");
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            *error = where + "expected 'key = value', got '" + line + "'";
            return false;
        }
        const std::string key = lower(trim(line.substr(0, eq)));
        std::string value = line.substr(eq + 1);
        const size_t semi = value.find(';');
        if (semi != std::string::npos) value.erase(semi);
        value = trim(value);
        const std::string lv = lower(value);
        auto bad = [&](const std::string& expected) {
            *error = where + key + " must be " + expected + ", not '" + value + "'";
            return false;
        };
        if (section == "system") {
            if (key == "platform") {
                if (lv == "nt") {
                    m.platform = Platform::Nt;
                } else if (lv == "9x") {
                    m.platform = Platform::Win9x;
                } else {
                    return bad("nt or 9x");
                }
                havePlatform = true;
            } else if (key == "version") {
                if (!parseVersion(value, m)) return bad("major.minor.build (e.g. 5.1.2600)");
                haveVersion = true;
            } else if (key == "windows") {
                if (value.empty()) return bad("a directory such as C:\\WINDOWS");
                m.windowsDir = value;
                haveWindows = true;
            } else if (key == "codepage") {
                uint32_t cp = 0;
                if (!parseUnsigned(value, 65535, &cp) || !codePageSupported(cp)) {
                    return bad("one of 1252, 1251, 850, 437");
                }
                m.codePage = cp;
            } else {
                warnings.push_back(where + "unknown key '" + key + "' ignored");
            }
        } else if (section == "faults") {
            struct FaultKey {
                const char* name;
                const char* word;
                bool Faults::*flag;
            };
            static const FaultKey kFaults[] = {
                {"version", "fail", &Faults::versionFails},
                {"windows", "fail", &Faults::windowsDirFails},
                {"propertychange", "refuse", &Faults::refusePropertyChange},
                {"remove", "fail", &Faults::removeFails},
                {"deletekey", "refuse", &Faults::refuseDeleteKey},
            };
            bool known = false;
            for (const auto& f : kFaults) {
                if (key != f.name) continue;
                known = true;
                if (lv == f.word) {
                    m.faults.*f.flag = true;
                } else if (lv == "none") {
                    m.faults.*f.flag = false;
                } else {
                    return bad(std::string(f.word) + " or none");
                }
            }
            if (!known) warnings.push_back(where + "unknown fault '" + key + "' ignored");
        } else if (section.empty()) {
            *error = where + "key '" + key + "' outside any section";
            return false;
        }
    }
    const char* missing = !havePlatform  ? "platform"
                          : !haveVersion ? "version"
                          : !haveWindows ? "windows"
                                         : nullptr;
    if (missing) {
        *error = path + ": [system] has no '" + missing + "' key";
        return false;
    }
    return true;
}

void report(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
}

Machine& machine() {
    // Test-API calls without a machine are a test's programming error.
    if (!g_machine) {
        std::fprintf(stderr, "winsim: no machine loaded\n");
        std::abort();
    }
    return *g_machine;
}

std::vector<uint8_t> bytesOf(const std::string& s, bool terminate) {
    std::vector<uint8_t> v(s.begin(), s.end());
    if (terminate) v.push_back(0);
    return v;
}

RegKey* createPath(Machine& m, const std::string& path) {
    std::vector<std::string> parts;
    if (!splitKeyPath(path, &parts)) return nullptr;
    RegKey* key = m.registry.localMachine.get();
    for (const auto& p : parts) key = key->createSubkey(p);
    return key;
}

}  // namespace

Machine* currentMachine() { return g_machine.get(); }

std::optional<uint32_t> enterCall(const std::string& function, const std::string& logEntry) {
    ++g_callCounts[function];
    g_callLog.push_back(logEntry);
    for (auto it = g_refusals.begin(); it != g_refusals.end(); ++it) {
        if (it->function != function) continue;
        ++it->seen;
        if (it->nth == 0) return it->error;
        if (it->seen == it->nth) {
            const uint32_t error = it->error;
            g_refusals.erase(it);
            return error;
        }
    }
    return std::nullopt;
}

std::string toAnsi(const Machine& m, const std::string& utf8) {
    return utf8ToAnsi(m.codePage, utf8);
}

std::string fromAnsi(const Machine& m, const char* ansi) {
    return ansi ? ansiToUtf8(m.codePage, ansi) : std::string();
}

void stageRegistryChange(Machine& m) { m.registryChanged = true; }

namespace {

bool registryStaged(const Machine& m) {
    return m.registryChanged || m.registry.savepoint() != m.committed;
}

// Commits what the running command staged; see store.h. A commit that
// fails before the change is decided rolls the registry back to the last
// commit and drops the staged file operations: memory and disk agree again.
bool commitMachine(Machine& m, std::string* message) {
    const bool registryChanged = registryStaged(m);
    if (!registryChanged && m.files.empty()) return true;
    std::string data;
    if (registryChanged) data = exportRegFile(m.registry, m.format, m.codePage);
    bool decided = false;
    std::string error;
    std::vector<std::string> warnings;
    const bool ok = backupBeforeCommit(m, registryChanged ? &data : nullptr, &error) &&
                    commitImage(m.lock.get(), m.dir, registryChanged ? &data : nullptr, &m.regFile,
                                m.files.ops, &decided, &error, &warnings);
    report(warnings);
    // After a commit the registry keeps its base (the text as loaded) and
    // its change log: the next save patches that base with every change
    // since the load, which gives the same bytes as patching the text just
    // saved, without reading those bytes back (a rebase parses the whole
    // file again: seconds for a 100 MB image). The log of one run is small.
    if (!ok && !decided) m.registry.rollback(m.committed);
    m.committed = m.registry.savepoint();
    m.registryChanged = false;
    m.files.clear();
    m.removedInstances.clear();
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

}  // namespace

bool commit(std::string* message) {
    if (!g_machine) {
        if (message) *message = "no machine loaded";
        return false;
    }
    if (!commitMachine(*g_machine, message)) return false;
    if (message) message->clear();
    return true;
}

bool hasStagedChanges() {
    return g_machine && (registryStaged(*g_machine) || !g_machine->files.empty());
}

bool loadMachine(const std::string& dir, std::string* error, LoadFailure* why) {
    std::string scratch;
    if (!error) error = &scratch;
    LoadFailure ignored;
    if (!why) why = &ignored;
    *why = LoadFailure::Refused;
    auto m = std::make_unique<Machine>();
    m->dir = dir;
    while (m->dir.size() > 1 && m->dir.back() == '/') m->dir.pop_back();
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
    std::vector<std::string> notices;
    const bool recovered = recoverImage(dirFd, m->dir, &notices, error);
    for (const auto& n : notices) std::fprintf(stderr, "%s\n", n.c_str());
    if (!recovered) return false;
    std::vector<std::string> warnings;
    const std::string iniPath = m->dir + "/machine.ini";
    std::string iniText;
    if (!readRegularFile(dirFd, "machine.ini", iniPath, kMaxIniFileSize, &iniText, nullptr,
                         error) ||
        !parseIni(iniText, iniPath, *m, warnings, error)) {
        return false;
    }
    const std::string regPath = m->dir + "/system.reg";
    std::string regBytes;
    if (!readRegularFile(dirFd, "system.reg", regPath, kMaxRegistryFileSize, &regBytes, &m->regFile,
                         error)) {
        return false;
    }
    RegImport imported;
    if (!importRegFile(std::move(regBytes), regPath, m->codePage, m->registry, &imported, error)) {
        return false;
    }
    m->format = imported.format;
    m->committed = m->registry.savepoint();
    warnings.insert(warnings.end(), imported.warnings.begin(), imported.warnings.end());
    struct stat st;
    if (::fstatat(dirFd, "drive_c", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        warnings.push_back(m->dir +
                           "/drive_c: missing or not a plain folder; the C: drive is empty");
    }
    // An image that cannot take a commit is refused now, before anything on
    // it changes.
    if (!checkCommittable(dirFd, m->dir, error)) return false;
    report(warnings);
    unloadMachine();
    g_machine = std::move(m);
    g_loadWarnings = std::move(warnings);
    *why = LoadFailure::None;
    return true;
}

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

unsigned callCount(const std::string& function) {
    auto it = g_callCounts.find(function);
    return it == g_callCounts.end() ? 0 : it->second;
}

void resetCallCounts() {
    g_callCounts.clear();
    g_callLog.clear();
}

const std::vector<std::string>& callLog() { return g_callLog; }

void refuseCall(const std::string& function, uint32_t error, unsigned nth) {
    g_refusals.push_back(Refusal{function, error, nth});
}

void clearRefusals() { g_refusals.clear(); }

bool keyExists(const std::string& path) {
    return findKeyPath(machine().registry.localMachine.get(), path) != nullptr;
}

std::vector<std::string> subkeyNames(const std::string& path) {
    std::vector<std::string> names;
    if (RegKey* key = findKeyPath(machine().registry.localMachine.get(), path)) {
        for (const auto& sub : key->subkeys) names.push_back(sub->name);
    }
    return names;
}

std::optional<std::string> stringValue(const std::string& path, const std::string& name) {
    RegKey* key = findKeyPath(machine().registry.localMachine.get(), path);
    const RegValue* v = key ? key->findValue(name) : nullptr;
    if (!v || !isStringType(v->type)) return std::nullopt;
    std::string s(v->data.begin(), v->data.end());
    if (v->type != 7) s = s.substr(0, s.find('\0'));
    return s;
}

std::optional<uint32_t> dwordValue(const std::string& path, const std::string& name) {
    RegKey* key = findKeyPath(machine().registry.localMachine.get(), path);
    const RegValue* v = key ? key->findValue(name) : nullptr;
    if (!v || v->type != 4 || v->data.size() != 4) return std::nullopt;
    return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
           (static_cast<uint32_t>(v->data[3]) << 24);
}

void setStringValue(const std::string& path, const std::string& name, const std::string& value) {
    Machine& m = machine();
    if (RegKey* key = createPath(m, path)) {
        key->setValue(name, 1, bytesOf(value, true));
        stageRegistryChange(m);
        commitMachine(m, nullptr);
    }
}

void setDwordValue(const std::string& path, const std::string& name, uint32_t value) {
    Machine& m = machine();
    if (RegKey* key = createPath(m, path)) {
        key->setValue(name, 4,
                      {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                       static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
        stageRegistryChange(m);
        commitMachine(m, nullptr);
    }
}

void setRawValue(const std::string& path, const std::string& name, uint32_t type,
                 const std::vector<uint8_t>& bytes) {
    Machine& m = machine();
    if (RegKey* key = createPath(m, path)) {
        std::vector<uint8_t> data = bytes;
        if (isStringType(type)) {
            const std::string text =
                ansiToUtf8(m.codePage, std::string(bytes.begin(), bytes.end()));
            data.assign(text.begin(), text.end());
        }
        key->setValue(name, type, std::move(data));
        stageRegistryChange(m);
        commitMachine(m, nullptr);
    }
}

bool deleteTree(const std::string& path) {
    Machine& m = machine();
    RegKey* key = findKeyPath(m.registry.localMachine.get(), path);
    if (!key || !key->parent) return false;
    key->parent->removeSubkey(key->name);
    stageRegistryChange(m);
    commitMachine(m, nullptr);
    return true;
}

std::string exportRegistry() {
    const Machine& m = machine();
    return exportRegFile(m.registry, m.format, m.codePage);
}

void setSaveHook(std::function<void()> hook) { setBeforeJournalHook(std::move(hook)); }

std::string hostPathIn(const std::string& imageDir, const std::string& windowsPath) {
    const ResolvedPath r = resolveDrivePath(imageDir + "/drive_c", windowsPath);
    return (r.error == 0 || r.error == ERROR_FILE_NOT_FOUND) ? r.hostPath : std::string();
}

std::string hostPath(const std::string& windowsPath) {
    return g_machine ? hostPathIn(g_machine->dir, windowsPath) : std::string();
}

}  // namespace winsim
