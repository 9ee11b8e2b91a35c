// The test API over the current machine's registry and drive.
#include "winsim/api/win32_base.h"
#include "winsim/api/win32_registry.h"
#include "winsim/machine.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/storage/drive.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/storage/store.h"

namespace winsim {

namespace {

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
    if (v->type != REG_MULTI_SZ) s = s.substr(0, s.find('\0'));
    return s;
}

std::optional<uint32_t> dwordValue(const std::string& path, const std::string& name) {
    RegKey* key = findKeyPath(machine().registry.localMachine.get(), path);
    const RegValue* v = key ? key->findValue(name) : nullptr;
    if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
    return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
           (static_cast<uint32_t>(v->data[3]) << 24);
}

void setStringValue(const std::string& path, const std::string& name, const std::string& value) {
    Machine& m = machine();
    if (RegKey* key = createPath(m, path)) {
        key->setValue(name, REG_SZ, bytesOf(value, true));
        stageRegistryChange(m);
        commitMachine(m, nullptr);
    }
}

void setDwordValue(const std::string& path, const std::string& name, uint32_t value) {
    Machine& m = machine();
    if (RegKey* key = createPath(m, path)) {
        key->setValue(name, REG_DWORD,
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
    const Machine* m = currentMachine();
    if (!m || m->driveDir.empty()) return {};  // no drive
    const ResolvedPath r = resolveDrivePath(m->driveDir, windowsPath);
    return (r.error == 0 || r.error == ERROR_FILE_NOT_FOUND) ? r.hostPath : std::string();
}

}  // namespace winsim
