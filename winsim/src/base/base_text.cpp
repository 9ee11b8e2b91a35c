#include "winsim/src/base/base_text.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace winsim {
namespace {

// A guarded mapping. Written by the main flow with the lease signal blocked,
// read (and given up) by the signal handler.
struct Guard {
    char* at = nullptr;
    size_t size = 0;
    int fd = -1;  // holds the lease; -1 once the bytes are a private copy
    // The file's modification time when the lease was taken: a write, a
    // truncation shows here (a change of owner or mode does not).
    struct timespec mtime {};
    // The lease ended (after the kernel's break time, the process stopped)
    // before the copy was made: the file may have changed under the
    // mapping, whose bytes are now zeros.
    bool lost = false;
};

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the file open on `g.fd` is still as it was when the lease was
// taken. Only async-signal-safe calls.
bool unchanged(const Guard& g) {
    struct stat st;
    return ::fstat(g.fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == g.size &&
           sameTime(st.st_mtim, g.mtime);
}

// A process holds one base text per loaded image, and briefly a second
// one while a load replaces it; the rest are read as before.
constexpr int kGuards = 8;
Guard g_guards[kGuards];

// Puts a private copy of `g`'s bytes at the mapping's own address and gives
// the lease up, so that the process the kernel holds can go on. Only
// async-signal-safe calls. When no memory can be had the lease stays, and
// the kernel ends it after its break time (/proc/sys/fs/lease-break-time).
void privatize(Guard& g) {
    // A lease the kernel ended while the process could not answer (stopped
    // past the break time) let a writer in: what the mapping shows may
    // have changed, or be cut (reading it would fault). It is not copied;
    // zeros take its place and the text counts as lost.
    if (!unchanged(g)) {
        ::mmap(g.at, g.size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        g.lost = true;
        ::close(g.fd);
        g.fd = -1;
        return;
    }
    void* copy =
        ::mmap(nullptr, g.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED) return;
    std::memcpy(copy, g.at, g.size);
    // A change made during the copy (only possible once the lease is gone)
    // shows as well.
    g.lost = !unchanged(g);
    if (g.lost) std::memset(copy, 0, g.size);
    ::mprotect(copy, g.size, PROT_READ);
    if (::mremap(copy, g.size, g.size, MREMAP_MAYMOVE | MREMAP_FIXED, g.at) == MAP_FAILED) {
        ::munmap(copy, g.size);
        return;
    }
    ::fcntl(g.fd, F_SETLEASE, F_UNLCK);
    ::close(g.fd);
    g.fd = -1;
}

// A lease being broken reads as unlocked: every such guard is given up (two
// breaks may arrive as one signal).
void onLeaseBreak(int, siginfo_t*, void*) {
    const int saved = errno;
    for (Guard& g : g_guards) {
        if (g.fd >= 0 && ::fcntl(g.fd, F_GETLEASE) != F_RDLCK) privatize(g);
    }
    errno = saved;
}

}  // namespace

bool leaseSignalHandled() {
    static const bool installed = [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = onLeaseBreak;
        sa.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&sa.sa_mask);
        return ::sigaction(SIGIO, &sa, nullptr) == 0;
    }();
    return installed;
}

namespace {

// The lease signal held off while the table changes.
class SignalHold {
public:
    SignalHold() {
        sigset_t io;
        sigemptyset(&io);
        sigaddset(&io, SIGIO);
        ::pthread_sigmask(SIG_BLOCK, &io, &old_);
    }
    ~SignalHold() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

private:
    sigset_t old_;
};

}  // namespace

std::thread inBackground(std::function<void()> work) {
    const SignalHold held;  // inherited by the new thread
    return std::thread(std::move(work));
}

BaseText& BaseText::operator=(BaseText&& o) noexcept {
    if (this == &o) return *this;
    release();
    owned_ = std::move(o.owned_);
    map_ = o.map_;
    mapSize_ = o.mapSize_;
    slot_ = o.slot_;
    o.map_ = nullptr;
    o.mapSize_ = 0;
    o.slot_ = -1;
    return *this;
}

bool BaseText::mapGuarded(int fd, size_t size) {
    if (size == 0 || !leaseSignalHandled()) return false;
    void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (at == MAP_FAILED) return false;
    int slot = -1;
    {
        // The lease is taken and checked with its signal held off: a break
        // that comes meanwhile is handled once the guard is complete (or
        // finds no guard when the file is given up here).
        SignalHold hold;
        for (int i = 0; i < kGuards && slot < 0; ++i) {
            if (!g_guards[i].at) slot = i;
        }
        // A writer that has the file open already makes the lease fail.
        if (slot >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
            // Nothing writes the file from here on; it must still be as
            // long as it was when it was measured (a writer may have come
            // in before the lease).
            struct stat st;
            if (::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == size) {
                g_guards[slot] = Guard{static_cast<char*>(at), size, fd, st.st_mtim};
            } else {
                ::fcntl(fd, F_SETLEASE, F_UNLCK);
                slot = -1;
            }
        } else {
            slot = -1;
        }
    }
    if (slot < 0) {
        ::munmap(at, size);
        return false;
    }
    release();
    owned_.clear();
    owned_.shrink_to_fit();
    map_ = static_cast<const char*>(at);
    mapSize_ = size;
    slot_ = slot;
    return true;
}

bool BaseText::mappedFromFile() const {
    if (!map_) return false;
    SignalHold hold;
    return g_guards[slot_].fd >= 0;
}

bool BaseText::lost() const {
    if (!map_) return false;
    SignalHold hold;
    return g_guards[slot_].lost;
}

bool BaseText::guardsFile(dev_t dev, ino_t ino) const {
    if (!map_) return false;
    SignalHold hold;
    const Guard& g = g_guards[slot_];
    struct stat st;
    return g.fd >= 0 && ::fcntl(g.fd, F_GETLEASE) == F_RDLCK && ::fstat(g.fd, &st) == 0 &&
           st.st_dev == dev && st.st_ino == ino && unchanged(g);
}

void BaseText::release() {
    if (!map_) return;
    int fd = -1;
    {
        SignalHold hold;
        fd = g_guards[slot_].fd;
        g_guards[slot_] = Guard{};
    }
    if (fd >= 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        ::close(fd);
    }
    ::munmap(const_cast<char*>(map_), mapSize_);
    map_ = nullptr;
    mapSize_ = 0;
    slot_ = -1;
}

}  // namespace winsim
