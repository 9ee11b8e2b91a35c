// The registry API over the machine's HKEY_LOCAL_MACHINE hive.
#include <algorithm>
#include <cstring>
#include <map>

#include "winsim/api/win32_registry.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/dlls/calls.h"

namespace winsim {

namespace {

// Open handles: small distinct values that never collide with the
// predefined roots (0x8000000x).
std::map<uintptr_t, std::shared_ptr<RegKey>> g_handles;
uintptr_t g_nextHandle = 0x1000;

constexpr size_t kMaxKeyName = 255;

bool isPredefined(HKEY h) {
    const auto v = reinterpret_cast<uintptr_t>(h);
    return v >= reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT) &&
           v <= reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT) + 6;
}

struct Target {
    LONG error = ERROR_SUCCESS;
    RegKey* key = nullptr;  // nullptr with ERROR_SUCCESS: a root with no keys of this machine
    // For the call log: what the handle is when it is no key of the tree
    // ("HKLM", "<invalid handle>"); nullptr: the key's path (made only for
    // a log entry).
    const char* logName = nullptr;
};

// The key a handle stands for.
Target keyOf(HKEY h) {
    Target t;
    Machine* m = currentMachine();
    if (!m) {
        t.error = ERROR_INVALID_HANDLE;
        t.logName = "<no machine>";
        return t;
    }
    if (h == HKEY_LOCAL_MACHINE) {
        t.key = m->registry.localMachine.get();
        t.logName = "HKLM";
        return t;
    }
    if (isPredefined(h)) {
        t.logName = "<other root>";
        return t;
    }
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == g_handles.end()) {
        t.error = ERROR_INVALID_HANDLE;
        t.logName = "<invalid handle>";
        return t;
    }
    t.key = it->second.get();
    if (t.key->deleted) t.error = ERROR_KEY_DELETED;
    return t;
}

// "HKLM, path" for the call log.
std::string logPathOf(const Target& t) {
    if (t.logName) return t.logName;
    const std::string path = t.key->path();
    return path.empty() ? "HKLM" : "HKLM, " + path;
}

std::string joinLog(const Target& t, const std::string& sub) {
    const std::string logPath = logPathOf(t);
    if (sub.empty()) return logPath;
    return logPath == "HKLM" ? "HKLM, " + sub : logPath + "\\" + sub;
}

// Resolves `subKey` (UTF-8) below `from`; ERROR_FILE_NOT_FOUND when missing.
LONG walk(RegKey* from, const std::string& subKey, RegKey** out) {
    *out = nullptr;
    if (!subKey.empty() && subKey[0] == '\\') return ERROR_BAD_PATHNAME;
    std::vector<std::string_view> parts;
    if (!splitKeyPathViews(subKey, &parts)) return ERROR_FILE_NOT_FOUND;
    RegKey* key = from;
    for (const auto& p : parts) {
        if (p.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
        key = key ? key->findSubkey(p) : nullptr;
        if (!key) return ERROR_FILE_NOT_FOUND;
    }
    *out = key;
    return ERROR_SUCCESS;
}

// The shared owner of `key` among its parent's subkeys: found by its name
// in their order (a key of thousands of siblings is opened often), else by
// looking at each.
std::shared_ptr<RegKey> ownerOf(const RegKey& key) {
    const auto& subkeys = key.parent->subkeys;
    auto it = std::lower_bound(
        subkeys.begin(), subkeys.end(), key.fold,
        [](const std::shared_ptr<RegKey>& s, const std::string& fold) { return s->fold < fold; });
    for (; it != subkeys.end() && (*it)->fold == key.fold; ++it) {
        if (it->get() == &key) return *it;
    }
    for (const auto& s : subkeys) {
        if (s.get() == &key) return s;
    }
    return nullptr;
}

}  // namespace

void dropRegistryHandles() { g_handles.clear(); }

unsigned openKeyHandles() { return static_cast<unsigned>(g_handles.size()); }

}  // namespace winsim

using namespace winsim;

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    (void)ulOptions;
    (void)samDesired;
    Machine* m = currentMachine();
    const Target t = keyOf(hKey);
    const std::string sub = m ? fromAnsi(*m, lpSubKey) : std::string();
    if (auto refused =
            enterCall("RegOpenKeyExA", [&] { return "RegOpenKeyExA(" + joinLog(t, sub) + ")"; })) {
        if (phkResult) *phkResult = nullptr;
        return static_cast<LONG>(*refused);
    }
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (t.error != ERROR_SUCCESS) return t.error;
    if (!t.key) return sub.empty() ? ERROR_INVALID_HANDLE : ERROR_FILE_NOT_FOUND;
    RegKey* key = nullptr;
    const LONG rc = walk(t.key, sub, &key);
    if (rc != ERROR_SUCCESS) return rc;
    // The handle keeps the key alive even after a deletion, as a kernel
    // object would; the key is found through its owner.
    std::shared_ptr<RegKey> owner;
    if (!key->parent) {
        owner = m->registry.localMachine;
    } else {
        owner = ownerOf(*key);
    }
    const uintptr_t h = g_nextHandle;
    g_nextHandle += 4;
    g_handles[h] = owner;
    *phkResult = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
    const Target t = keyOf(hKey);
    if (auto refused = enterCall("RegEnumKeyExA", [&] {
            return "RegEnumKeyExA(" + logPathOf(t) + ", " + std::to_string(dwIndex) + ")";
        })) {
        return static_cast<LONG>(*refused);
    }
    if (t.error != ERROR_SUCCESS) return t.error;
    if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    if (!t.key || dwIndex >= t.key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string name = toAnsi(*currentMachine(), t.key->subkeys[dwIndex]->name);
    if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
    if (lpClass && *lpcchClass < 1) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) {
        // 2001-08-24 00:00 UTC: every key was last written then.
        lpftLastWriteTime->dwLowDateTime = 0x2C0F8000;
        lpftLastWriteTime->dwHighDateTime = 0x01C12C4E;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    Machine* m = currentMachine();
    const Target t = keyOf(hKey);
    const std::string name = m ? fromAnsi(*m, lpValueName) : std::string();
    if (auto refused = enterCall("RegQueryValueExA", [&] {
            return "RegQueryValueExA(" + logPathOf(t) + ", " + name + ")";
        })) {
        return static_cast<LONG>(*refused);
    }
    if (t.error != ERROR_SUCCESS) return t.error;
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    const RegValue* v = t.key ? t.key->findValue(name) : nullptr;
    if (!v) return ERROR_FILE_NOT_FOUND;
    std::string data(v->data.begin(), v->data.end());
    if (isStringType(v->type)) data = toAnsi(*m, data);
    if (lpType) *lpType = v->type;
    if (!lpcbData) return ERROR_SUCCESS;
    const DWORD have = *lpcbData;
    *lpcbData = static_cast<DWORD>(data.size());
    if (!lpData) return ERROR_SUCCESS;
    if (have < data.size()) return ERROR_MORE_DATA;
    if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    Machine* m = currentMachine();
    const Target t = keyOf(hKey);
    const std::string sub = m ? fromAnsi(*m, lpSubKey) : std::string();
    if (auto refused =
            enterCall("RegDeleteKeyA", [&] { return "RegDeleteKeyA(" + joinLog(t, sub) + ")"; })) {
        return static_cast<LONG>(*refused);
    }
    if (t.error != ERROR_SUCCESS) return t.error;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    if (!t.key) return ERROR_FILE_NOT_FOUND;
    if (m->faults.refuseDeleteKey) return ERROR_ACCESS_DENIED;
    RegKey* key = nullptr;
    const LONG rc = walk(t.key, sub, &key);
    if (rc != ERROR_SUCCESS) return rc;
    if (!key->parent) return ERROR_ACCESS_DENIED;  // a root
    if (m->platform == Platform::Nt && !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
    key->parent->removeSubkey(key->name);
    stageRegistryChange(*m);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    const Target t = keyOf(hKey);
    if (auto refused =
            enterCall("RegCloseKey", [&] { return "RegCloseKey(" + logPathOf(t) + ")"; })) {
        return static_cast<LONG>(*refused);
    }
    if (isPredefined(hKey)) return ERROR_SUCCESS;
    return g_handles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
}

}  // extern "C"
