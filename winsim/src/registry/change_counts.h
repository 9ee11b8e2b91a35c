// The counts behind registryChanges (registry.h), for the tree's own code:
// it says here when a count moves, and when reading leaves it as it was.
#pragma once

#include <cstdint>
#include <string_view>

namespace winsim {

// While one lives, the keys' count stays as it was (reading keys or values
// from the base text makes and fills keys, which is no change).
class KeyChangesKept {
public:
    KeyChangesKept();
    ~KeyChangesKept();
    KeyChangesKept(const KeyChangesKept&) = delete;
    KeyChangesKept& operator=(const KeyChangesKept&) = delete;

private:
    uint64_t saved_;
};

// A value whose folded name is `fold` set, removed or put back.
void noteValueChange(std::string_view fold);
// A key removed: the removal's number (1, 2, ... over the process).
uint64_t noteKeyRemoval();
// A key removed as number `removal` put back by a rollback: moves the keys'
// count on when a walk may have missed the key (see noteTreeRead).
void noteKeyPutBack(uint64_t removal);

}  // namespace winsim
