#include "removal/name_set.h"

#include "detection/bounded_text.h"

#include <cstdlib>
#include <cstring>

namespace {

// A hash of the name with ASCII letters folded, a machine word at a time.
// A byte outside ASCII counts as one and the same byte (0x80): the code page
// folds those, and folding keeps the length, so names equal ignoring case
// hash alike.
size_t hashName(const char* name) {
    constexpr size_t kOnes = ~size_t{0} / 0xFF;  // 0x01 in every byte
    constexpr size_t kHigh = kOnes * 0x80;
    constexpr size_t kMultiplier =
        sizeof(size_t) == 8 ? static_cast<size_t>(0xFF51AFD7ED558CCDull) : size_t{0x9E3779B1u};
    const size_t length = std::strlen(name);
    size_t hash = kMultiplier ^ length;
    for (size_t at = 0; at < length; at += sizeof(size_t)) {
        size_t w = 0;
        std::memcpy(&w, name + at, length - at < sizeof w ? length - at : sizeof w);
        // Bytes outside ASCII become 0x80.
        const size_t high = w & kHigh;
        w = (w & ~((high >> 7) * 0xFF)) | high;
        // 'a'..'z' lose their 0x20: the high bit of each sum tells whether
        // the (ASCII) byte is at least 'a', and more than 'z'.
        const size_t seven = w & ~kHigh;
        const size_t fromA = seven + (0x80 - 'a') * kOnes;
        const size_t pastZ = seven + (0x80 - 'z' - 1) * kOnes;
        w ^= (fromA & ~pastZ & ~high & kHigh) >> 2;
        hash = (hash ^ w) * kMultiplier;
        hash ^= hash >> (sizeof(size_t) * 4);
    }
    return hash;
}

}  // namespace

NameSet::~NameSet() {
    for (size_t i = 0; i < capacity_; ++i) std::free(entries_[i].name);
    std::free(entries_);
}

size_t NameSet::find(const char* name, size_t hash) const {
    size_t at = hash & (capacity_ - 1);
    // Another hash is another name; the same spelling needs no folding.
    while (entries_[at].name != nullptr &&
           (entries_[at].hash != hash || (std::strcmp(entries_[at].name, name) != 0 &&
                                          !equalTextNoCase(entries_[at].name, name)))) {
        at = (at + 1) & (capacity_ - 1);
    }
    return at;
}

bool NameSet::grow() {
    const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
    Entry* entries = static_cast<Entry*>(std::calloc(capacity, sizeof(Entry)));
    if (entries == nullptr) return false;
    Entry* old = entries_;
    const size_t oldCapacity = capacity_;
    entries_ = entries;
    capacity_ = capacity;
    for (size_t i = 0; i < oldCapacity; ++i) {
        if (old[i].name != nullptr) entries_[find(old[i].name, old[i].hash)] = old[i];
    }
    std::free(old);
    return true;
}

bool NameSet::add(const char* name) {
    // At most half full, so that a search ends soon.
    if ((count_ + 1) * 2 > capacity_ && !grow()) return false;
    const size_t hash = hashName(name);
    const size_t at = find(name, hash);
    if (entries_[at].name != nullptr) return true;
    const size_t size = std::strlen(name) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy == nullptr) return false;
    std::memcpy(copy, name, size);
    entries_[at].name = copy;
    entries_[at].hash = hash;
    entries_[at].marked = false;
    ++count_;
    return true;
}

bool NameSet::contains(const char* name) const {
    return capacity_ != 0 && entries_[find(name, hashName(name))].name != nullptr;
}

bool NameSet::mark(const char* name) {
    if (capacity_ == 0) return false;
    Entry& entry = entries_[find(name, hashName(name))];
    if (entry.name == nullptr) return false;
    entry.marked = true;
    return true;
}

bool NameSet::marked(const char* name) const {
    if (capacity_ == 0) return false;
    const Entry& entry = entries_[find(name, hashName(name))];
    return entry.name != nullptr && entry.marked;
}

void NameSet::forEach(void (*visit)(const char* name, bool marked, void* context),
                      void* context) const {
    for (size_t i = 0; i < capacity_; ++i) {
        if (entries_[i].name != nullptr) visit(entries_[i].name, entries_[i].marked, context);
    }
}
