#include "winsim/src/registry.h"

#include <algorithm>

#include "winsim/src/codepage.h"

namespace winsim {

namespace {

auto lowerBound(const std::vector<std::shared_ptr<RegKey>>& keys, const std::string& fold) {
    return std::lower_bound(
        keys.begin(), keys.end(), fold,
        [](const std::shared_ptr<RegKey>& k, const std::string& f) { return k->fold < f; });
}

// The live key a link of `links` named `fold` stands for, or nullptr.
RegKey* linkTarget(const std::vector<KeyLink>& links, const std::string& fold) {
    for (const auto& link : links) {
        if (link.fold != fold) continue;
        const auto target = link.target.lock();
        return target && !target->deleted ? target.get() : nullptr;
    }
    return nullptr;
}

}  // namespace

RegKey* RegKey::findSubkey(std::string_view wanted) const {
    const std::string key = foldName(wanted);
    auto it = lowerBound(subkeys, key);
    if (it != subkeys.end() && (*it)->fold == key) return it->get();
    return links.empty() ? nullptr : linkTarget(links, key);
}

RegKey* RegKey::createSubkey(std::string_view wanted) {
    const std::string key = foldName(wanted);
    auto it = lowerBound(subkeys, key);
    if (it != subkeys.end() && (*it)->fold == key) return it->get();
    if (RegKey* linked = links.empty() ? nullptr : linkTarget(links, key)) return linked;
    auto sub = std::make_shared<RegKey>();
    sub->name = std::string(wanted);
    sub->fold = key;
    sub->parent = this;
    return subkeys.insert(it, std::move(sub))->get();
}

void markDeleted(RegKey* key) {
    // A handle may outlive its parent: no deleted key points upwards.
    key->deleted = true;
    key->parent = nullptr;
    for (auto& sub : key->subkeys) markDeleted(sub.get());
}

bool RegKey::removeSubkey(std::string_view wanted) {
    const std::string key = foldName(wanted);
    auto it = lowerBound(subkeys, key);
    if (it == subkeys.end() || (*it)->fold != key) {
        RegKey* linked = links.empty() ? nullptr : linkTarget(links, key);
        if (!linked || !linked->parent) return false;
        linked->parent->removeSubkey(linked->name);
        return true;
    }
    markDeleted(it->get());
    subkeys.erase(it);
    return true;
}

const RegValue* RegKey::findValue(std::string_view wanted) const {
    const std::string key = foldName(wanted);
    for (const auto& v : values) {
        if (foldName(v.name) == key) return &v;
    }
    return nullptr;
}

void RegKey::setValue(std::string_view wanted, uint32_t type, std::vector<uint8_t> data) {
    const std::string key = foldName(wanted);
    for (auto& v : values) {
        if (foldName(v.name) == key) {
            v.type = type;
            v.data = std::move(data);
            return;
        }
    }
    values.push_back(RegValue{std::string(wanted), type, std::move(data)});
}

bool RegKey::removeValue(std::string_view wanted) {
    const std::string key = foldName(wanted);
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (foldName(it->name) == key) {
            values.erase(it);
            return true;
        }
    }
    return false;
}

std::string RegKey::path() const {
    std::vector<const RegKey*> chain;
    for (const RegKey* k = this; k && k->parent; k = k->parent) chain.push_back(k);
    std::string out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!out.empty()) out += '\\';
        out += (*it)->name;
    }
    return out;
}

bool splitKeyPath(std::string_view path, std::vector<std::string>* parts) {
    parts->clear();
    if (path.empty()) return true;
    if (path.back() == '\\') path.remove_suffix(1);
    size_t start = 0;
    while (true) {
        const size_t end = path.find('\\', start);
        const std::string_view part = path.substr(start, end - start);
        if (part.empty()) return false;
        parts->emplace_back(part);
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

RegKey* findKeyPath(RegKey* from, std::string_view path) {
    std::vector<std::string> parts;
    if (!splitKeyPath(path, &parts)) return nullptr;
    RegKey* key = from;
    for (const auto& part : parts) {
        key = key->findSubkey(part);
        if (!key) return nullptr;
    }
    return key;
}

bool isStringType(uint32_t type) { return type == 1 || type == 2 || type == 7; }

Registry::Registry() {
    localMachine->name = "HKEY_LOCAL_MACHINE";
    localMachine->fold = foldName(localMachine->name);
}

std::string Registry::canonicalRoot(std::string_view wanted) {
    static const char* const kRoots[] = {"HKEY_LOCAL_MACHINE",  "HKEY_CURRENT_USER",
                                         "HKEY_CLASSES_ROOT",   "HKEY_USERS",
                                         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
    for (const char* root : kRoots) {
        if (namesEqual(wanted, root)) return root;
    }
    return {};
}

RegKey* Registry::root(const std::string& canonicalName, bool create) {
    if (canonicalName == "HKEY_LOCAL_MACHINE") return localMachine.get();
    for (auto& r : otherRoots) {
        if (r->name == canonicalName) return r.get();
    }
    if (!create) return nullptr;
    auto r = std::make_shared<RegKey>();
    r->name = canonicalName;
    r->fold = foldName(canonicalName);
    otherRoots.push_back(r);
    return r.get();
}

}  // namespace winsim
