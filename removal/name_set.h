// A set of names on the heap, compared as the platform compares names
// (equal ignoring case in the system's code page), each with a mark. It
// lives for one operator command.
#pragma once

#include <cstddef>

class NameSet {
public:
    NameSet() = default;
    ~NameSet();
    NameSet(const NameSet&) = delete;
    NameSet& operator=(const NameSet&) = delete;

    // Adds `name` (a copy) unless it is there. False when memory ran out:
    // the set then lacks it.
    bool add(const char* name);
    bool contains(const char* name) const;
    // Marks the entry `name`; false when there is none.
    bool mark(const char* name);
    bool marked(const char* name) const;

    // Calls `visit` with every name and its mark, in no set order. `visit`
    // must not add to this set.
    void forEach(void (*visit)(const char* name, bool marked, void* context), void* context) const;

private:
    struct Entry {
        char* name;
        size_t hash;  // of the name folded: names equal ignoring case hash alike
        bool marked;
    };
    // The entry of `name` (whose hash is `hash`), or the free entry where it
    // would go.
    size_t find(const char* name, size_t hash) const;
    bool grow();

    Entry* entries_ = nullptr;
    size_t capacity_ = 0;  // a power of two, or 0
    size_t count_ = 0;
};
