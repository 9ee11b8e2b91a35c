// The registry of an installation kept in its hive files: 2000/XP's
// system32/config/system and software (read and written with hivex), 98/ME's
// SYSTEM.DAT (read with libcreg, never written).
//
// Only what the simulated API reads is loaded into the machine's Registry,
// each such subtree whole (Select, and of the current control set Enum,
// Control\Class, Control\DeviceClasses, Control\Nls\CodePage and Services;
// the values of the two CurrentVersion keys); hivex maps the file, so a big
// hive costs little more than those subtrees. A save compares every loaded
// subtree with the hive and writes the differences through hivex: after
// copying the hive once per run into backups/<UTC time>/ beside it, into a
// temporary file renamed over the hive.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/src/registry/registry.h"
#include "winsim/src/storage/image_source.h"

namespace winsim {

// What the hives decide about the machine that uses them.
struct HiveFacts {
    // A 98/ME hive's own ACP, in which its strings are decoded (its strings
    // are ANSI); none for 2000/XP hives, whose strings are UTF-16.
    std::optional<unsigned> codePage;
    // Why the machine takes no changes ("" when it does): a 98/ME hive is
    // never written.
    std::string readOnlyReason;
};

class HiveStore {
public:
    // Loads the hives `src` names into `registry`; `facts` gets what they
    // decide (a 98/ME hive's code page, and that it is only read). nullptr,
    // with `error`, when a hive cannot be opened or read.
    static std::shared_ptr<HiveStore> open(const ImageSource& src, Registry& registry,
                                           HiveFacts* facts, std::vector<std::string>& notes,
                                           std::string* error);
    ~HiveStore();

    // Whether a save could succeed: each hive writable, its folder too.
    bool checkSavable(std::string* error) const;
    // Writes the registry's differences to the hives; false with `error`
    // (the hive keeps its previous content).
    bool save(const Registry& registry, std::string* error);
    // The backup folder of this run ("" before the first save that changed
    // a hive).
    const std::string& backupDir() const { return backupDir_; }

    struct Subtree {
        std::string path;  // below the hive's root, backslash-separated
        bool full = true;  // false: the key's values only
    };
    struct Hive {
        std::string file;   // host path
        std::string mount;  // below HKEY_LOCAL_MACHINE ("" = HKLM itself)
        std::vector<Subtree> loaded;
        bool backedUp = false;
    };

private:
    HiveStore() = default;
    bool backup(Hive& hive, std::string* error);

    std::vector<Hive> hives_;
    bool win9x_ = false;
    std::string backupDir_;
};

}  // namespace winsim
