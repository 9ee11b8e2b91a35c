// A regular file mapped read-only, for the hive checks (hive_check_nt.h,
// hive_check_9x.h): they look at a few bytes here and there of files that
// can be large, so the pages they touch are all they cost.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>

namespace winsim {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() {
        if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // False with `error` (a few words) when `path` is no regular file or
    // cannot be mapped. An empty file maps to no bytes.
    bool open(const std::string& path, std::string* error) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            *error = std::strerror(errno);
            return false;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            *error = "not a regular file";
            return false;
        }
        size_ = static_cast<size_t>(st.st_size);
        void* at = size_ ? ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
        ::close(fd);
        if (at == MAP_FAILED) {
            *error = std::strerror(errno);
            size_ = 0;
            return false;
        }
        data_ = static_cast<const uint8_t*>(at);
        return true;
    }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Little-endian fields of a mapped file, and offsets for messages.
inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

}  // namespace winsim
