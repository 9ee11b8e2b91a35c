// Where keys are made: newKey() (registry.h).
#include "winsim/src/registry/registry.h"

#include <sys/mman.h>

#include <cstdint>
#include <memory>
#include <new>

namespace winsim {

namespace {

// Keys come by the hundred thousand with a load, each of them in one
// block of the same size (the key and its shared count). On this kind of
// machine every fresh 4 KiB page costs a fault, and the allocator's heap
// gets no huge pages: so keys are cut from chunks that ask for huge pages,
// and a freed key's block is kept for the next one. The chunks stay for the
// process's life. The simulation is single-threaded. Under a sanitizer
// every key is an allocation of its own, so that its checks see each.
#if defined(__SANITIZE_ADDRESS__)
#define QU_KEY_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QU_KEY_POOL 0
#endif
#endif
#ifndef QU_KEY_POOL
#define QU_KEY_POOL 1
#endif

class BlockPool {
public:
    explicit BlockPool(size_t size) : size_((size + 15) & ~size_t{15}) {}

    void* take() {
        if (free_) {
            Free* f = free_;
            free_ = f->next;
            return f;
        }
        if (end_ - next_ < size_) grow();
        void* p = next_;
        next_ += size_;
        return p;
    }
    void give(void* p) { free_ = new (p) Free{free_}; }

private:
    struct Free {
        Free* next;
    };
    static constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    static constexpr size_t kChunk = size_t{8} << 20;

    void grow() {
        // A chunk on a huge-page boundary: map one huge page more, cut.
        void* raw = ::mmap(nullptr, kChunk + kHuge, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto from = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t at = (from + kHuge - 1) & ~(kHuge - 1);
        if (at > from) ::munmap(raw, at - from);
        if (from + kHuge > at) ::munmap(reinterpret_cast<void*>(at + kChunk), from + kHuge - at);
        ::madvise(reinterpret_cast<void*>(at), kChunk, MADV_HUGEPAGE);
        next_ = reinterpret_cast<char*>(at);
        end_ = next_ + kChunk;
    }

    const ptrdiff_t size_;
    char* next_ = nullptr;
    char* end_ = nullptr;
    Free* free_ = nullptr;
};

template <class T>
struct KeyAllocator {
    using value_type = T;
    KeyAllocator() = default;
    template <class U>
    KeyAllocator(const KeyAllocator<U>&) {}

    static BlockPool& pool() {
        static_assert(alignof(T) <= 16);
        static BlockPool* const pool = new BlockPool(sizeof(T));  // outlives every key
        return *pool;
    }
    T* allocate(size_t n) {
        if (!QU_KEY_POOL || n != 1) return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(pool().take());
    }
    void deallocate(T* p, size_t n) {
        if (!QU_KEY_POOL || n != 1) {
            ::operator delete(p);
            return;
        }
        pool().give(p);
    }
    template <class U>
    bool operator==(const KeyAllocator<U>&) const {
        return true;
    }
    template <class U>
    bool operator!=(const KeyAllocator<U>&) const {
        return false;
    }
};

}  // namespace

std::shared_ptr<RegKey> newKey() {
    noteRegistryChange();
    return std::allocate_shared<RegKey>(KeyAllocator<RegKey>());
}

}  // namespace winsim
