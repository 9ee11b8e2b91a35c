// The structure of a Windows 98/ME registry file (SYSTEM.DAT), checked
// before libcreg reads it. libcreg follows a key's links to its subkeys and
// siblings as they are: a link back to an ancestor, or a sibling chain that
// returns to itself, makes every walk over the keys endless.
//
// open() checks the file header, the key navigation record and the data
// blocks. checkPart() checks one part the program reads: the keys on the
// way from the root (each with its chain of subkeys and their names) and
// then the part key by key: every link stays inside the navigation record,
// no key is reached twice, each key's name and values lie inside its data
// entry, and nesting and names stay within Windows' limits.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace winsim {

class Win9xHiveCheck {
public:
    Win9xHiveCheck();
    ~Win9xHiveCheck();
    Win9xHiveCheck(const Win9xHiveCheck&) = delete;
    Win9xHiveCheck& operator=(const Win9xHiveCheck&) = delete;

    // Maps `file` (kept mapped until this object goes) and checks its
    // header, navigation record and data blocks; false with `error`, naming
    // the file, when it is none or a damaged one. `maxDepth`: the levels of
    // keys allowed below the file's root key.
    bool open(const std::string& file, size_t maxDepth, std::string* error);

    // Checks the keys from the root to `path` (backslash-separated) with
    // their chains of subkeys, then the key at `path`: with `full` its
    // whole subtree, else its values. A part that is not in the file is no
    // damage. Parts checked through one object may not share keys. False
    // with `error`, naming the file and the key.
    bool checkPart(const std::string& path, bool full, std::string* error);

private:
    struct Walk;
    std::unique_ptr<Walk> walk_;
};

}  // namespace winsim
