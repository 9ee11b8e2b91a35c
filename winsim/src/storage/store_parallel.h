// What a commit does beside its own thread: syncing several files at once,
// and hashing a loaded text while the new file is written. Every thread
// started here keeps the lease signal blocked: the guards of base_text.h
// are read by the thread that holds that signal off meanwhile, so it must
// never be taken elsewhere.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "winsim/src/base/base_text.h"
#include "winsim/src/base/posix_file.h"

namespace winsim {

// A thread running `work`, with the lease signal blocked.
std::thread inBackground(std::function<void()> work);

// fsyncs every descriptor of `fds` (files and folders) at the same time:
// the write-out of each file is started first, then the fsyncs run side by
// side, so that the file system commits its journal and flushes the disk's
// cache for them together instead of once for each. A folder whose file
// system cannot sync one (EINVAL) counts as synced. Returns the index of
// the first that failed, with its errno in `err`, or -1 when all are
// durable.
int syncTogether(const std::vector<int>& fds, int* err);

// Starts the write-out of a new file while it is still being written, on
// a second thread that follows its size: the disk writes the first parts
// while the writer makes the rest, and the fsync after the writer is done
// waits for little more than the last. Only a start: nothing is made
// durable here, and a file written any other way is written out all the same.
class WriteOutAhead {
public:
    explicit WriteOutAhead(int fd);
    ~WriteOutAhead() { stop(); }
    WriteOutAhead(const WriteOutAhead&) = delete;
    WriteOutAhead& operator=(const WriteOutAhead&) = delete;
    // Called once the writer is done.
    void stop();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

// The content hash of a loaded text, taken on a second thread; joined by
// result() or when it goes.
class HashInBackground {
public:
    HashInBackground() = default;
    HashInBackground(const HashInBackground&) = delete;
    HashInBackground& operator=(const HashInBackground&) = delete;
    ~HashInBackground() { join(); }
    void start(const BaseText* text);
    bool started() const { return thread_.joinable(); }
    uint64_t result() {
        join();
        return hash_;
    }

private:
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    std::thread thread_;
    uint64_t hash_ = 0;
};

// The content hash of a text given in pieces, taken on a second thread
// while the caller writes them: a piece inside `stable` (memory that stays
// as it is until finish(), such as a loaded base text) is hashed where it
// lies, any other is copied first. Without a thread it hashes in place.
class PieceHasher {
public:
    explicit PieceHasher(const BaseText* stable);
    ~PieceHasher() { finish(); }
    PieceHasher(const PieceHasher&) = delete;
    PieceHasher& operator=(const PieceHasher&) = delete;
    void add(const char* data, size_t size);
    uint64_t finish();

private:
    struct Piece {
        const char* data;
        size_t size;
        std::string copy;
    };
    void hand(Piece piece);
    void handCopies();

    const char* stableBegin_ = nullptr;
    const char* stableEnd_ = nullptr;
    std::string copies_;  // pieces not yet handed over
    ContentHasher hasher_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Piece> queue_;
    bool closed_ = false;
    std::thread thread_;
};

}  // namespace winsim
