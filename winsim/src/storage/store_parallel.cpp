#include "winsim/src/storage/store_parallel.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "winsim/src/base/posix_file.h"

namespace winsim {

std::thread inBackground(std::function<void()> work) {
    sigset_t io, old;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    ::pthread_sigmask(SIG_BLOCK, &io, &old);  // inherited by the new thread
    std::thread thread(std::move(work));
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return thread;
}

int syncTogether(const std::vector<int>& fds, int* err) {
    for (int fd : fds) {
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        }
    }
    std::vector<int> errors(fds.size(), 0);
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < fds.size();) {
            if (::fsync(fds[i]) != 0 && errno != EINVAL) errors[i] = errno;
        }
    };
    std::vector<std::thread> helpers;
    const size_t wanted = std::min<size_t>(fds.size(), 16);
    for (size_t i = 1; i < wanted; ++i) {
        try {
            helpers.push_back(inBackground(work));
        } catch (...) {
            break;  // fewer helpers: the rest are synced here
        }
    }
    work();
    for (std::thread& t : helpers) t.join();
    for (size_t i = 0; i < fds.size(); ++i) {
        if (errors[i] != 0) {
            *err = errors[i];
            return static_cast<int>(i);
        }
    }
    return -1;
}

WriteOutAhead::WriteOutAhead(int fd) {
    try {
        thread_ = inBackground([this, fd] {
            // Whole pieces of 4 MiB, once written, every 2 ms.
            constexpr off_t kPiece = off_t{4} << 20;
            off_t started = 0;
            std::unique_lock<std::mutex> lock(mutex_);
            while (
                !changed_.wait_for(lock, std::chrono::milliseconds(2), [this] { return done_; })) {
                struct stat st;
                if (::fstat(fd, &st) != 0) return;
                const off_t whole = st.st_size / kPiece * kPiece;
                if (whole > started) {
                    ::sync_file_range(fd, started, whole - started, SYNC_FILE_RANGE_WRITE);
                    started = whole;
                }
            }
        });
    } catch (const std::system_error&) {
        // No thread: the fsync writes it all out.
    }
}

void WriteOutAhead::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    changed_.notify_one();
    thread_.join();
}

PieceHasher::PieceHasher(const BaseText* stable) {
    if (stable && !stable->empty()) {
        stableBegin_ = stable->data();
        stableEnd_ = stable->data() + stable->size();
    }
    try {
        thread_ = inBackground([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            while (true) {
                changed_.wait(lock, [this] { return closed_ || !queue_.empty(); });
                if (queue_.empty()) return;
                Piece piece = std::move(queue_.front());
                queue_.pop_front();
                lock.unlock();
                if (piece.data) {
                    hasher_.update(piece.data, piece.size);
                } else {
                    hasher_.update(piece.copy.data(), piece.copy.size());
                }
                lock.lock();
            }
        });
    } catch (...) {
        // No second thread: hashed in place below.
    }
}

void PieceHasher::hand(Piece piece) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(piece));
    }
    changed_.notify_one();
}

void PieceHasher::handCopies() {
    if (copies_.empty()) return;
    hand({nullptr, 0, std::move(copies_)});
    copies_ = std::string();
}

void PieceHasher::add(const char* data, size_t size) {
    if (!thread_.joinable()) {
        hasher_.update(data, size);
    } else if (data >= stableBegin_ && data + size <= stableEnd_ && stableBegin_) {
        handCopies();
        hand({data, size, std::string()});
    } else {
        copies_.append(data, size);
        if (copies_.size() >= (size_t{1} << 20)) handCopies();
    }
}

uint64_t PieceHasher::finish() {
    if (thread_.joinable()) {
        handCopies();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        changed_.notify_one();
        thread_.join();
    }
    return hasher_.finish();
}

void HashInBackground::start(const BaseText* text) {
    thread_ = inBackground([this, text] { hash_ = contentHash(text->data(), text->size()); });
}

}  // namespace winsim
