#include "winsim/src/registry/change_counts.h"

#include <atomic>

#include "winsim/src/registry/registry.h"

namespace winsim {
namespace {

std::atomic<uint64_t> g_changes{0};
// Changes to values made through setValue and removeValue, by a hash of
// the value's folded name.
std::atomic<uint64_t> g_valueChanges[64];
// Keys removed, counted; that count when a walk last took a tree.
std::atomic<uint64_t> g_removals{0};
std::atomic<uint64_t> g_treeRead{0};

std::atomic<uint64_t>& valueChangesOf(std::string_view fold) {
    uint32_t hash = 2166136261u;
    for (const char c : fold) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return g_valueChanges[hash & 63];
}

uint64_t load(const std::atomic<uint64_t>& count) { return count.load(std::memory_order_relaxed); }

void bump(std::atomic<uint64_t>& count) { count.store(load(count) + 1, std::memory_order_relaxed); }

}  // namespace

uint64_t registryChanges(std::string_view valueFold) {
    return load(g_changes) + load(valueChangesOf(valueFold));
}

void noteRegistryChange() { bump(g_changes); }

void noteTreeRead() { g_treeRead.store(load(g_removals), std::memory_order_relaxed); }

KeyChangesKept::KeyChangesKept() : saved_(load(g_changes)) {}

KeyChangesKept::~KeyChangesKept() { g_changes.store(saved_, std::memory_order_relaxed); }

void noteValueChange(std::string_view fold) { bump(valueChangesOf(fold)); }

uint64_t noteKeyRemoval() {
    bump(g_removals);
    return load(g_removals);
}

void noteKeyPutBack(uint64_t removal) {
    if (removal <= load(g_treeRead)) noteRegistryChange();
}

}  // namespace winsim
