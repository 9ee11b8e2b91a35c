// The structure of a 2000/XP hive file (the regf format), checked before
// hivex reads or changes it, and the reader of the parts the program loads
// (checked as they are read). hivex trusts the links between a hive's cells
// when it changes the hive (a damaged one can stop the program inside the
// library), and the program's own walks over the keys need those links to
// form a tree.
//
// open() checks the base block and that the hive bins tile the file.
// checkPart() checks one part the program reads: the keys on the way from
// the root (each with its list of subkeys) and then the part key by key.
// Every link must lead to an allocated cell of the right kind and size in a
// bin its cells tile (each bin's cells are checked when a link first leads
// into it), no cell may be reached twice (a loop, or a key listed under two
// parents), and nesting, names and the security cells' reference counts
// must stay within what Windows writes. Only the parts are walked: beyond
// one pass over the bin headers the cost follows what the program reads,
// not the size of the hive. (The cells of bins no part reaches are left to
// hivex, which checks every bin and cell when it opens a hive and refuses
// one they do not tile.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace winsim {

struct RegKey;

class NtHiveCheck {
public:
    NtHiveCheck();
    ~NtHiveCheck();
    NtHiveCheck(const NtHiveCheck&) = delete;
    NtHiveCheck& operator=(const NtHiveCheck&) = delete;

    // Maps `file` (kept mapped until this object goes) and checks its base
    // block and hive bins; false with `error`, naming the file, when it is
    // no hive or a damaged one. `maxDepth`: the levels of keys
    // allowed below the hive's root key.
    bool open(const std::string& file, size_t maxDepth, std::string* error);

    // Whether Windows closed the hive cleanly: the base block's primary and
    // secondary sequence numbers are equal. Otherwise changes still wait in
    // the hive's .LOG file, which Windows replays at its next start.
    bool clean() const;

    // Checks the keys from the root to `path` (below the hive's root key,
    // backslash-separated) with their lists of subkeys, then the key at
    // `path`: with `full` its whole subtree, else its values. A part that
    // is not in the hive is no damage. Parts checked through one object
    // may not share keys. False with `error`, naming the file and the key.
    // With `into` (the key that stands for the hive's root), the part is
    // loaded as it is checked: the keys on the way as `path` spells them,
    // then the part's values (and with `full` its subkeys) as the hive
    // holds them, strings in UTF-8; with `StringsOnly`, the other values
    // without their data (what a search of names and strings reads).
    enum class Data { AsStored, StringsOnly };
    bool checkPart(const std::string& path, bool full, std::string* error, RegKey* into = nullptr,
                   Data data = Data::AsStored);

    // The REG_DWORD value `name` of the key at `path`, which a checked part
    // holds (the current control set, read before the parts that depend on it).
    std::optional<uint32_t> dwordValue(const std::string& path, const std::string& name);

private:
    struct Walk;
    std::unique_ptr<Walk> walk_;
};

}  // namespace winsim
