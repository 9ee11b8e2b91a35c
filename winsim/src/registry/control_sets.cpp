#include "winsim/src/registry/control_sets.h"

#include <cstdio>
#include <optional>

#include "winsim/src/base/codepage.h"

namespace winsim {

namespace {

const char kLocalMachine[] = "HKEY_LOCAL_MACHINE";

// "ControlSetNNN" with three digits.
bool isControlSetName(const std::string& name) {
    static const char kPrefix[] = "CONTROLSET";
    const std::string fold = foldName(name);
    if (fold.size() != 13 || fold.compare(0, 10, kPrefix) != 0) return false;
    for (size_t i = 10; i < 13; ++i) {
        if (fold[i] < '0' || fold[i] > '9') return false;
    }
    return true;
}

bool holdsControlSets(const RegKey& key) {
    if (!key.findSubkey("Select")) return false;
    for (const auto& sub : key.subkeys) {
        if (isControlSetName(sub->name)) return true;
    }
    return false;
}

std::optional<uint32_t> dword(const RegKey& key, const char* name) {
    const RegValue* v = key.findValue(name);
    if (!v || v->type != 4 || v->data.size() != 4) return std::nullopt;
    return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
           (static_cast<uint32_t>(v->data[3]) << 24);
}

// Resolves "ROOT\path" (root in any spelling, HKLM for short).
RegKey* findFullPath(Registry& registry, const std::string& full) {
    const size_t slash = full.find('\\');
    std::string root = full.substr(0, slash);
    if (namesEqual(root, "HKLM")) root = kLocalMachine;
    const std::string canonical = Registry::canonicalRoot(root);
    if (canonical.empty() || slash == std::string::npos) return nullptr;
    RegKey* from = registry.root(canonical, false);
    return from ? findKeyPath(from, full.substr(slash + 1)) : nullptr;
}

std::string fullPath(const RegKey& key) {
    const RegKey* root = &key;
    while (root->parent) root = root->parent;
    return root->name + "\\" + key.path();
}

}  // namespace

std::shared_ptr<RegKey> sharedKey(RegKey* key) {
    if (!key || !key->parent) return nullptr;
    for (const auto& sub : key->parent->subkeys) {
        if (sub.get() == key) return sub;
    }
    return nullptr;
}

void addKeyLink(RegKey* parent, const std::string& link, const std::shared_ptr<RegKey>& target) {
    const std::string fold = foldName(link);
    for (auto& l : parent->links()) {
        if (l.fold == fold) {
            l.target = target;
            return;
        }
    }
    parent->links().push_back(KeyLink{fold, target});
}

bool linkControlSets(Registry& registry, const std::string& hiveRoot,
                     std::vector<std::string>* notes, std::string* error) {
    RegKey* hklm = registry.localMachine.get();
    RegKey* system = hklm->findSubkey("System");
    if (!hiveRoot.empty()) {
        RegKey* mapped = findFullPath(registry, hiveRoot);
        if (!mapped) {
            *error = "--hive-root " + hiveRoot + ": no such key in the registry";
            return false;
        }
        if (system && system != mapped) {
            *error = "--hive-root " + hiveRoot +
                     ": HKEY_LOCAL_MACHINE\\System exists already as a key of its own";
            return false;
        }
        if (!system) addKeyLink(hklm, "System", sharedKey(mapped));
        system = mapped;
    } else if (!system) {
        std::vector<RegKey*> found;
        for (const auto& sub : hklm->subkeys) {
            if (holdsControlSets(*sub)) found.push_back(sub.get());
        }
        if (found.size() == 1) {
            system = found.front();
            addKeyLink(hklm, "System", sharedKey(system));
            notes->push_back(fullPath(*system) +
                             " holds control sets: used as HKEY_LOCAL_MACHINE\\System");
        } else if (found.size() > 1) {
            std::string names;
            for (RegKey* k : found) names += (names.empty() ? "" : ", ") + fullPath(*k);
            notes->push_back("several keys hold control sets (" + names +
                             "); name the one to use with --hive-root");
        }
    }
    if (!system || system->findSubkey("CurrentControlSet")) return true;
    RegKey* select = system->findSubkey("Select");
    if (!select) return true;
    const std::optional<uint32_t> current = dword(*select, "Current");
    char name[32];
    if (!current || *current == 0 || *current > 999) {
        notes->push_back(fullPath(*select) +
                         ": no valid Current value; CurrentControlSet is missing");
        return true;
    }
    std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(*current));
    RegKey* set = system->findSubkey(name);
    if (!set) {
        notes->push_back(fullPath(*select) + " names " + name +
                         ", which does not exist; CurrentControlSet is missing");
        return true;
    }
    addKeyLink(system, "CurrentControlSet", sharedKey(set));
    return true;
}

}  // namespace winsim
