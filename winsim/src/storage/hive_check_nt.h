// The structure of a 2000/XP hive file (the regf format), checked before
// hivex reads or changes it. hivex trusts the links between a hive's cells
// when it changes the hive (a damaged one can stop the program inside the
// library), and the program's own walks over the keys need those links to
// form a tree.
//
// open() checks the base block and that the hive bins and their cells tile
// the file. checkPart() checks one part the program reads: the keys on the
// way from the root (each with its list of subkeys) and then the part key
// by key. Every link must lead to an allocated cell of the right kind and
// size, no cell may be reached twice (a loop, or a key listed under two
// parents), and nesting, names and the security cells' reference counts
// must stay within what Windows writes. Only the parts are walked: beyond
// one pass over the cell headers the cost follows what the program reads,
// not the size of the hive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace winsim {

class NtHiveCheck {
public:
    NtHiveCheck();
    ~NtHiveCheck();
    NtHiveCheck(const NtHiveCheck&) = delete;
    NtHiveCheck& operator=(const NtHiveCheck&) = delete;

    // Maps `file` (kept mapped until this object goes) and checks its base
    // block, hive bins and cells; false with `error`, naming the file, when
    // it is no hive or a damaged one. `maxDepth`: the levels of keys
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
    bool checkPart(const std::string& path, bool full, std::string* error);

    // The REG_DWORD value `name` of the key at `path`, which a checked part
    // holds (the current control set, read before hivex opens the hive).
    std::optional<uint32_t> dwordValue(const std::string& path, const std::string& name);

private:
    struct Walk;
    std::unique_ptr<Walk> walk_;
};

}  // namespace winsim
