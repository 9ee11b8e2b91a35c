// The journal of a commit (store.h, step 4): its lines, written and read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "winsim/src/base/posix_file.h"
#include "winsim/src/storage/drive.h"

namespace winsim {

struct StoreFolder;

extern const char kNewInfix[];      // NAME.new-<pid>-<random>
extern const char kJournalInfix[];  // NAME.journal-<pid>-<random>
constexpr uint64_t kMaxJournalSize = uint64_t{64} << 20;

// One registry file a journal replaces.
struct JournalFile {
    std::string name;
    uint64_t baseSize = 0, baseHash = 0;
    std::string newName;
    uint64_t newSize = 0, newHash = 0;
};

struct Journal {
    std::vector<JournalFile> files;
    std::vector<FileOp> ops;
};

// The journal's text, its checksum line last.
std::string journalText(const Journal& j);

// A new file's name: the registry file's, ".new-" and no folder.
bool newNameFor(const std::string& registryFile, const std::string& name);

// A journal whose checksum line is present and right, naming only the
// store's registry files; false for anything else (a journal cut short by a
// crash never counts).
bool parseJournal(const std::string& text, const std::vector<std::string>& registryFiles,
                  Journal* j);

// Carries out the file operations of a decided change (`store`'s drive
// first, what failed there in `failures`, then its publications, their
// folders synced or added to `syncLater`); false, with `error`, when a
// publication fails.
bool finishOps(const StoreFolder& store, const std::vector<FileOp>& ops,
               std::vector<std::string>* failures, void (*onStep)(const char*),
               std::vector<Fd>* syncLater, std::string* error);

}  // namespace winsim
