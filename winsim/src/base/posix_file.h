// POSIX file helpers every floor above uses: owned descriptors, bounded
// reads of regular files, content hashes and the piece writer.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "winsim/src/base/base_text.h"

namespace winsim {

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// What identifies the content of a registry file as loaded or committed.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t size = 0;
    uint64_t hash = 0;
    int64_t mtimeNs = 0;  // the last change of its content, in nanoseconds
    // The hash is still to be taken from the text as loaded (a mapped file
    // is not read whole at load): see settleHash.
    bool hashPending = false;
    // The file changed under the text as loaded before a copy was made
    // (BaseText::lost): a commit is refused.
    bool lost = false;
    // Known by its file status only (a hive, which is not read whole at
    // load): the same file, size and modification time.
    bool statOnly = false;
};

// The identity of the open file `fd` by its status only (statOnly).
bool identifyByStatus(int fd, FileIdentity* identity);

// Fills a pending hash of `identity` from `loaded`, the bytes it was read
// as, and marks it lost when those bytes were.
void settleHash(FileIdentity& identity, const BaseText& loaded);

// Four independent multiply-xorshift lanes over 8-byte words, folded at
// the end: fast enough to check a large system.reg at every commit, and
// computed in pieces so that a file need not be held to be checked.
class ContentHasher {
public:
    void update(const char* data, size_t size) {
        total_ += size;
        if (pending_ > 0) {
            const size_t take = std::min(size, sizeof block_ - pending_);
            std::memcpy(block_ + pending_, data, take);
            pending_ += take;
            data += take;
            size -= take;
            if (pending_ < sizeof block_) return;
            blocks(block_, sizeof block_);
            pending_ = 0;
        }
        const size_t whole = size - size % sizeof block_;
        blocks(data, whole);
        std::memcpy(block_, data + whole, size - whole);
        pending_ = size - whole;
    }
    uint64_t finish() {
        size_t i = 0;
        for (; i + 8 <= pending_; i += 8) {
            uint64_t w;
            std::memcpy(&w, block_ + i, 8);
            mix(lane_[0], w);
        }
        uint64_t tail = 0;
        std::memcpy(&tail, block_ + i, pending_ - i);
        mix(lane_[1], tail ^ (static_cast<uint64_t>(pending_ - i) << 56));
        uint64_t h = total_;
        for (uint64_t l : lane_) mix(h, l);
        mix(h, h >> 17);
        return h;
    }

private:
    static void mix(uint64_t& h, uint64_t w) {
        h ^= w;
        h *= 0x9E3779B97F4A7C15ull;
        h ^= h >> 31;
    }
    void blocks(const char* data, size_t size) {
        for (size_t i = 0; i + 32 <= size; i += 32) {
            for (int k = 0; k < 4; ++k) {
                uint64_t w;
                std::memcpy(&w, data + i + 8 * k, 8);
                mix(lane_[k], w);
            }
        }
    }

    uint64_t lane_[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                         0x082EFA98EC4E6C89ull};
    char block_[32] = {};
    size_t pending_ = 0;
    uint64_t total_ = 0;
};

uint64_t contentHash(const char* data, size_t size);
inline uint64_t contentHash(const std::string& s) { return contentHash(s.data(), s.size()); }

// The size and content hash of the regular file open at `fd`, read from its
// start to its end in pieces. False when a read fails (errno tells why) or
// when `stop` is set before the end.
bool hashWholeFile(int fd, uint64_t* size, uint64_t* hash, const std::atomic<bool>* stop = nullptr);

// The identity of the regular file `name` of the folder `dirFd`, read in
// pieces (a link to a regular file is followed); false when it is missing
// or not a regular file.
bool identifyFile(int dirFd, const std::string& name, FileIdentity* identity);

// Asks for huge pages on the whole 2 MiB pages of a large buffer that has
// not been touched yet: filling 100 MB through 4 KiB page faults costs more
// than reading it. Only a hint; nothing changes where it is not granted.
void adviseHugePages(void* at, size_t size);

// Largest system.reg and machine.ini the loader reads.
constexpr uint64_t kMaxRegistryFileSize = uint64_t{1} << 30;
constexpr uint64_t kMaxIniFileSize = uint64_t{1} << 20;

// Reads the regular file `name` of the folder `dirFd` (a link to a regular
// file is followed) without blocking and without reading more than `cap`
// bytes: a FIFO, socket, device, folder or a link to one is refused before
// it is read. `shown` names the file in messages.
bool readRegularFile(int dirFd, const std::string& name, const std::string& shown, uint64_t cap,
                     std::string* out, FileIdentity* identity, std::string* error);

// The same for the .reg file of an image, kept as its base text: mapped and
// guarded where the file allows it (base_text.h), read otherwise.
bool readRegistryText(int dirFd, const std::string& name, const std::string& shown, uint64_t cap,
                      BaseText* out, FileIdentity* identity, std::string* error);

// Opens that file for reading in pieces, with the same checks (its size
// at most `cap` when opened); `status` (when given) gets its fstat.
bool openRegularFile(int dirFd, const std::string& name, const std::string& shown, uint64_t cap,
                     Fd* out, std::string* error, struct stat* status = nullptr);

// The folder holding the last component of `relative` ("/"-separated,
// below the folder `dirFd`), reached one folder at a time without following
// a link; `name` gets the last component. Invalid, errno set, when a
// component is empty, "." or "..", missing, a link or not a folder.
Fd openParentNoFollow(int dirFd, const std::string& relative, std::string* name);

// readRegularFile for `relative` below `dirFd` reached as openParentNoFollow
// reaches it; a link, even as the last component, is refused.
bool readFileBelow(int dirFd, const std::string& relative, const std::string& shown, uint64_t cap,
                   std::string* out, std::string* error);

// Writes all of `size` bytes to `fd`, retrying interrupted writes; false
// (errno set) when a write fails.
bool writeAll(int fd, const char* data, size_t size);

// Text given in pieces: a sink takes each piece in order (false: refused,
// stop); a source calls its sink with each piece and returns false as soon
// as the sink does, so that the whole text need not be held.
using TextSink = std::function<bool(const char* data, size_t size)>;
using TextSource = std::function<bool(const TextSink& sink)>;
// Writes pieces of any size to a file through a buffer of 1 MiB (large
// pieces straight); error() is the errno of the write that failed.
class PieceWriter {
public:
    explicit PieceWriter(int fd) : fd_(fd) {}
    ~PieceWriter();
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;
    bool put(const char* data, size_t size);
    bool flush();
    int error() const { return error_; }

private:
    bool fail();
    static constexpr size_t kBuffer = size_t{1} << 20;
    int fd_;
    std::string buffer_;
    bool failed_ = false;
    int error_ = 0;
};

}  // namespace winsim
