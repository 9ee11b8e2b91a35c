// The registry of an installation kept in its hive files: 2000/XP's
// system32/config/system and software (read and written with hivex), 98/ME's
// SYSTEM.DAT (read with libcreg, never written).
//
// Only what the simulated API reads is loaded into the machine's Registry,
// each such subtree whole (Select, and of the current control set Enum,
// Control\Class, Control\DeviceClasses, Control\Nls\CodePage and Services;
// the values of the two CurrentVersion keys), read by the structure check
// as it checks them (hive_check_nt.h): a big hive costs little more than
// those subtrees and one pass over its cell headers. A commit (store.h) asks here
// for the hives that change: each loaded subtree compared with the hive and
// the differences written through hivex into the commit's new file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "winsim/src/registry/registry.h"
#include "winsim/src/storage/image_source.h"
#include "winsim/src/storage/store.h"

namespace winsim {

class PreparedHive;

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

    // For a run that may write: opens the hives for writing now, beside the
    // run's other work, for the first commit (hive_prepared.h). It holds
    // each hive in memory (the hive's size) until that commit or until the
    // store goes.
    void prepareWrites();
    // The hives that differ from `registry`, each as a write of the store's
    // commit (the differences applied through hivex into the new file).
    // The hives stay open for writing until endWrites(). False with `error`
    // when a hive cannot be opened or changed (nothing was written).
    bool stageWrites(const Registry& registry, std::vector<RegistryWrite>* writes,
                     std::string* error);
    void endWrites();
    // The identity of the hive file `name` as loaded or last committed
    // (nullptr for another name).
    FileIdentity* identityOf(const std::string& name);
    // Every key and value of the hives, checked and read whole into
    // `scratch`, the data of string values only (the machine's registry
    // holds only what the simulated API reads).
    bool loadWhole(Registry& scratch, std::string* error) const;
    bool win9x() const { return win9x_; }

    struct Subtree {
        std::string path;  // below the hive's root, backslash-separated
        bool full = true;  // false: the key's values only
    };
    struct Hive {
        std::string file;   // host path
        std::string name;   // its entry in the store folder
        std::string mount;  // below HKEY_LOCAL_MACHINE ("" = HKLM itself)
        std::vector<Subtree> loaded;
        FileIdentity identity;
    };

private:
    HiveStore() = default;

    std::vector<Hive> hives_;
    bool win9x_ = false;
    // Hives staged for writing, and the reads that identify them.
    std::vector<std::shared_ptr<void>> open_;
    // Closes the hives of the last commit.
    std::thread closing_;
    // Hives opened for writing ahead of the first commit (by hives_).
    std::vector<std::unique_ptr<PreparedHive>> prepared_;
};

}  // namespace winsim
