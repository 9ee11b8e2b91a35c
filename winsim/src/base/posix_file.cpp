#include "winsim/src/base/posix_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace winsim {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISDIR(mode)) return "a folder";
    return "not a regular file";
}

std::string sizeText(uint64_t bytes) {
    if (bytes >= (uint64_t{1} << 30)) return std::to_string(bytes >> 30) + " GiB";
    if (bytes >= (uint64_t{1} << 20)) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

bool writeAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

PieceWriter::~PieceWriter() = default;

bool PieceWriter::put(const char* data, size_t size) {
    if (failed_) return false;
    if (buffer_.size() + size > kBuffer || size >= kBuffer / 2) {
        if (!flush()) return false;
    }
    if (size >= kBuffer / 2) {
        // A long unchanged range goes straight from where it is.
        return writeAll(fd_, data, size) || fail();
    }
    if (buffer_.capacity() < kBuffer) buffer_.reserve(kBuffer);
    buffer_.append(data, size);
    return true;
}

bool PieceWriter::flush() {
    if (failed_) return false;
    if (!buffer_.empty() && !writeAll(fd_, buffer_.data(), buffer_.size())) return fail();
    buffer_.clear();
    return true;
}

bool PieceWriter::fail() {
    failed_ = true;
    error_ = errno;
    return false;
}

uint64_t contentHash(const char* data, size_t size) {
    ContentHasher h;
    h.update(data, size);
    return h.finish();
}

void settleHash(FileIdentity& identity, const BaseText& loaded) {
    if (loaded.lost()) identity.lost = true;
    if (!identity.hashPending) return;
    identity.hash = contentHash(loaded.data(), loaded.size());
    identity.hashPending = false;
}

bool hashWholeFile(int fd, uint64_t* size, uint64_t* hash, const std::atomic<bool>* stop) {
    ContentHasher hasher;
    std::vector<char> buffer(size_t{1} << 20);
    *size = 0;
    for (off_t at = 0;;) {
        if (stop && stop->load(std::memory_order_relaxed)) return false;
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        hasher.update(buffer.data(), static_cast<size_t>(n));
        at += n;
        *size += static_cast<uint64_t>(n);
    }
    *hash = hasher.finish();
    return true;
}

bool identifyFile(int dirFd, const std::string& name, FileIdentity* identity) {
    Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    uint64_t size = 0, hash = 0;
    if (!hashWholeFile(fd.get(), &size, &hash)) return false;
    identity->dev = st.st_dev;
    identity->ino = st.st_ino;
    identity->size = size;
    identity->hash = hash;
    identity->mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    identity->hashPending = identity->statOnly = false;
    return true;
}

bool identifyByStatus(int fd, FileIdentity* identity) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *identity = FileIdentity{};
    identity->dev = st.st_dev;
    identity->ino = st.st_ino;
    identity->size = static_cast<uint64_t>(st.st_size);
    identity->mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    identity->statOnly = true;
    return true;
}

void adviseHugePages(void* at, size_t size) {
    constexpr uintptr_t kHuge = 2u << 20;
    if (size < 2 * kHuge) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(at) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(at) + size) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

namespace {

bool openRegular(int dirFd, const std::string& name, const std::string& shown, uint64_t cap,
                 Fd* out, std::string* error, struct stat* status, bool followLink) {
    struct stat own;
    struct stat& st = status ? *status : own;
    // Looked at before it is opened: a pipe or device is never opened.
    if (::fstatat(dirFd, name.c_str(), &st, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        *error = shown + ": cannot be read (" + errnoText(errno) + ")";
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        *error = shown + ": is a link, not a file";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = shown + ": is " + kindOf(st.st_mode) + ", not a file";
        return false;
    }
    Fd fd(::openat(dirFd, name.c_str(),
                   O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
    if (!fd.valid()) {
        *error = shown + ": cannot be read (" + errnoText(errno) + ")";
        return false;
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = shown + ": is " + kindOf(st.st_mode) + ", not a file";
        return false;
    }
    const auto tooLarge = [&] {
        *error = shown + ": larger than " + sizeText(cap) + "; not read";
        return false;
    };
    if (static_cast<uint64_t>(st.st_size) > cap) return tooLarge();
    *out = std::move(fd);
    return true;
}

}  // namespace

bool openRegularFile(int dirFd, const std::string& name, const std::string& shown, uint64_t cap,
                     Fd* out, std::string* error, struct stat* status) {
    return openRegular(dirFd, name, shown, cap, out, error, status, true);
}

Fd openParentNoFollow(int dirFd, const std::string& relative, std::string* name) {
    Fd dir(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    size_t start = 0;
    while (dir.valid()) {
        const size_t slash = relative.find('/', start);
        const std::string part =
            relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..") {
            errno = EINVAL;
            return Fd();
        }
        if (slash == std::string::npos) {
            *name = part;
            return dir;
        }
        dir =
            Fd(::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        start = slash + 1;
    }
    return Fd();
}

namespace {

// Reads the file open on `fd` (fstat gave `st`) to its end, within `cap`.
bool readOpenFile(const Fd& fd, const struct stat& st, const std::string& shown, uint64_t cap,
                  std::string* out, FileIdentity* identity, std::string* error) {
    const auto tooLarge = [&] {
        *error = shown + ": larger than " + sizeText(cap) + "; not read";
        return false;
    };
    out->clear();
    // Room for the probe below as well: growing the string then would copy
    // the whole file once more.
    out->reserve(
        static_cast<size_t>(std::min<uint64_t>(cap, static_cast<uint64_t>(st.st_size) + 65536)));
    adviseHugePages(out->data(), out->capacity());
    out->resize(static_cast<size_t>(st.st_size));
    size_t have = 0;
    while (true) {
        if (have == out->size()) {
            // The file may have grown since fstat: read on, within the cap.
            if (have >= cap) {
                char probe;
                const ssize_t n = ::read(fd.get(), &probe, 1);
                if (n > 0) return tooLarge();
                if (n == 0) break;
                if (errno == EINTR) continue;
                *error = shown + ": cannot be read (" + errnoText(errno) + ")";
                return false;
            }
            out->resize(static_cast<size_t>(std::min<uint64_t>(cap, have + 65536)));
        }
        const ssize_t n = ::read(fd.get(), &(*out)[have], out->size() - have);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = shown + ": cannot be read (" + errnoText(errno) + ")";
            return false;
        }
        have += static_cast<size_t>(n);
    }
    out->resize(have);
    if (identity) {
        identity->dev = st.st_dev;
        identity->ino = st.st_ino;
        identity->size = have;
        identity->hash = contentHash(*out);
    }
    return true;
}

}  // namespace

bool readRegularFile(int dirFd, const std::string& name, const std::string& shown, uint64_t cap,
                     std::string* out, FileIdentity* identity, std::string* error) {
    struct stat st;
    Fd fd;
    return openRegularFile(dirFd, name, shown, cap, &fd, error, &st) &&
           readOpenFile(fd, st, shown, cap, out, identity, error);
}

bool readFileBelow(int dirFd, const std::string& relative, const std::string& shown, uint64_t cap,
                   std::string* out, std::string* error) {
    std::string name;
    Fd dir = openParentNoFollow(dirFd, relative, &name);
    if (!dir.valid()) {
        *error = shown + ": cannot be read (" + errnoText(errno) + ")";
        return false;
    }
    struct stat st;
    Fd fd;
    return openRegular(dir.get(), name, shown, cap, &fd, error, &st, false) &&
           readOpenFile(fd, st, shown, cap, out, nullptr, error);
}

bool readRegistryText(int dirFd, const std::string& name, const std::string& shown, uint64_t cap,
                      BaseText* out, FileIdentity* identity, std::string* error) {
    struct stat st;
    Fd fd;
    if (!openRegularFile(dirFd, name, shown, cap, &fd, error, &st)) return false;
    BaseText mapped;
    if (mapped.mapGuarded(fd.get(), static_cast<size_t>(st.st_size))) {
        fd.release();  // the mapping's guard holds it now
        if (identity) {
            identity->dev = st.st_dev;
            identity->ino = st.st_ino;
            identity->size = mapped.size();
            identity->hashPending = true;
        }
        *out = std::move(mapped);
        return true;
    }
    std::string bytes;
    if (!readOpenFile(fd, st, shown, cap, &bytes, identity, error)) return false;
    *out = std::move(bytes);
    return true;
}

}  // namespace winsim
