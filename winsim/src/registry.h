// The in-memory registry of the simulated machine: keys with
// case-insensitive names, subkeys kept in enumeration order (upper-case
// alphabetical), typed values in creation order. Names and string data are
// UTF-8 inside; string-typed data keeps its terminating zeros as stored.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

struct RegValue {
    std::string name;  // "" is the default value
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// A line (or a value with its continuation lines) that the .reg reader
// skipped, kept verbatim so that a save writes it back and the next load
// skips it again with the same warning.
struct SkippedText {
    std::vector<std::string> lines;  // UTF-8, without line ends
    // A hex value whose last line announced a continuation that never came:
    // a reader would join whatever line follows it.
    bool open = false;
};

struct RegKey;

// A name under which a key is also reached (the target lives elsewhere in
// the tree, and is never a deleted key: deleting it drops the link).
struct KeyLink {
    std::string fold;  // foldName of the link's name
    std::weak_ptr<RegKey> target;
};

struct RegKey {
    std::string name;
    std::string fold;          // foldName(name): the lookup and ordering key
    RegKey* parent = nullptr;  // nullptr for a root
    bool deleted = false;      // set when the key left the tree; handles then see ERROR_KEY_DELETED
    std::vector<std::shared_ptr<RegKey>> subkeys;  // sorted by fold
    std::vector<RegValue> values;
    std::vector<SkippedText> skipped;  // lines skipped inside this key, in file order
    // Other names for keys of the tree, as Windows makes CurrentControlSet
    // at boot: consulted when no real subkey has the wanted name, never
    // enumerated and never saved (see registry_links.h).
    std::vector<KeyLink> links;

    RegKey* findSubkey(std::string_view wanted) const;
    RegKey* createSubkey(std::string_view wanted);  // existing (or linked) or new
    // Removes the subkey and its subtree, marking every key deleted. A link
    // name removes the key it names (from its real parent) and the link.
    bool removeSubkey(std::string_view wanted);

    const RegValue* findValue(std::string_view wanted) const;
    void setValue(std::string_view wanted, uint32_t type, std::vector<uint8_t> data);
    bool removeValue(std::string_view wanted);

    // Backslash-joined path below the root ("" for the root itself).
    std::string path() const;
};

// Splits "A\B\C" into components. Returns false for empty components (a
// doubled backslash or a leading one); one trailing backslash is tolerated.
bool splitKeyPath(std::string_view path, std::vector<std::string>* parts);

// Walks `path` below `from`; nullptr when any component is missing.
RegKey* findKeyPath(RegKey* from, std::string_view path);

bool isStringType(uint32_t type);

void markDeleted(RegKey* key);

// The hives a .reg file may name. Only HKEY_LOCAL_MACHINE is visible to the
// API; keys under the other roots, and lines the reader skipped, are kept so
// that a save does not drop them.
struct Registry {
    std::shared_ptr<RegKey> localMachine = std::make_shared<RegKey>();
    std::vector<std::shared_ptr<RegKey>> otherRoots;  // name = canonical root name
    // Skipped lines no key owns: those before the first key, skipped key
    // lines, and what follows them (or a key deletion) up to the next key.
    std::vector<SkippedText> preamble;

    Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    Registry(Registry&&) = default;
    Registry& operator=(Registry&&) = default;

    // Canonical long root name ("HKEY_LOCAL_MACHINE") for a root spelled in
    // any case, or "" when the name is not a root regedit accepts.
    static std::string canonicalRoot(std::string_view wanted);
    RegKey* root(const std::string& canonicalName, bool create);
};

}  // namespace winsim
