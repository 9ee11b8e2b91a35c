// The structure of a Windows 98/ME registry file (SYSTEM.DAT), checked
// before libcreg reads it. libcreg follows a key's links to its subkeys and
// siblings as they are: a link back to an ancestor, or a sibling chain that
// returns to itself, makes every walk over the keys endless.
//
// The whole tree of keys is checked, not only the parts the program reads:
// libcreg finds a key by its path in ways of its own (the name hash of a
// navigation entry counts), so any key of the file may be the one it takes.
// A SYSTEM.DAT is small: this costs a few milliseconds.
#pragma once

#include <cstddef>
#include <string>

namespace winsim {

// Checks `file`: its header, key navigation record and data blocks, then
// every key from the root: each link stays inside the navigation record,
// no key is reached twice, each key's name and values lie inside its data
// entry, and nesting (at most `maxDepth` levels below the root) and names
// stay within Windows' limits. False with `error`, naming the file and the
// key, when it is none or a damaged one.
bool checkWin9xRegistry(const std::string& file, size_t maxDepth, std::string* error);

}  // namespace winsim
