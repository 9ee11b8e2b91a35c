// The regf format of 2000/XP hive files, as the structure check reads it:
// the layout from the published descriptions of the format, a cell, a
// stored name, and a bitmap over the hive bins.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "winsim/src/base/codepage.h"

namespace winsim {
namespace regf {

// The layout, from the published descriptions of the format. Offsets in
// links count from the first hive bin; offsets in a cell count from its
// data, after the cell's 4-byte size (negative while the cell is in use).
constexpr size_t kBaseBlock = 0x1000;
constexpr size_t kBinHeader = 0x20;
constexpr uint32_t kNil = 0xFFFFFFFF;

// Base block.
constexpr size_t kSequence1 = 0x04, kSequence2 = 0x08, kMajor = 0x14, kFileType = 0x1C,
                 kFileFormat = 0x20, kRootCell = 0x24, kBinsSize = 0x28, kChecksum = 0x1FC;
// Key cell ("nk").
constexpr size_t kNkFlags = 0x02, kNkSubkeys = 0x14, kNkSubkeyList = 0x1C, kNkValues = 0x24,
                 kNkValueList = 0x28, kNkSecurity = 0x2C, kNkClass = 0x30, kNkNameLength = 0x48,
                 kNkClassLength = 0x4A, kNkName = 0x4C;
constexpr uint16_t kNkLatin1Name = 0x20;
// Value cell ("vk").
constexpr size_t kVkNameLength = 0x02, kVkDataLength = 0x04, kVkData = 0x08, kVkType = 0x0C,
                 kVkFlags = 0x10, kVkName = 0x14;
constexpr uint32_t kDword = 4;  // REG_DWORD
constexpr uint16_t kVkLatin1Name = 0x01;
constexpr uint32_t kVkInlineData = 0x80000000;
// Security cell ("sk").
constexpr size_t kSkNext = 0x04, kSkPrevious = 0x08, kSkReferences = 0x0C, kSkDescriptorSize = 0x10,
                 kSkDescriptor = 0x14;
// Data over this size lives in segments listed by a "db" cell (format 1.4 on).
constexpr uint32_t kSegmentSize = 16344;
// The smallest key cell, which bounds how many keys a hive can hold.
constexpr size_t kSmallestKey = 0x50;

// A name as stored: Latin-1 bytes or UTF-16LE units.
struct StoredName {
    std::string_view bytes;
    bool latin1 = false;

    size_t chars() const { return latin1 ? bytes.size() : (bytes.size() + 1) / 2; }
    // Whether it holds a NUL or (`backslash`) a backslash.
    bool holds(bool backslash) const {
        const size_t step = latin1 ? 1 : 2;
        for (size_t i = 0; i + step <= bytes.size(); i += step) {
            const unsigned unit = static_cast<uint8_t>(bytes[i]) |
                                  (latin1 ? 0u : static_cast<uint8_t>(bytes[i + 1]) << 8);
            if (unit == 0 || (backslash && unit == '\\')) return true;
        }
        return false;
    }
    std::string utf8() const {
        if (!latin1) return utf16leToUtf8(bytes);
        std::string out;
        for (const char c : bytes) {
            const auto b = static_cast<uint8_t>(c);
            if (b < 0x80) {
                out += c;
            } else {
                out += static_cast<char>(0xC0 | b >> 6);
                out += static_cast<char>(0x80 | (b & 0x3F));
            }
        }
        return out;
    }
};

struct Cell {
    const uint8_t* data = nullptr;
    size_t size = 0;  // bytes of data
    bool is(const char* signature) const {
        return size >= 2 && data[0] == signature[0] && data[1] == signature[1];
    }
};

// One bit per 8 bytes of the hive bins, in fresh zero pages of its own
// (calloc reuses heap memory, which it clears whole, once the process has
// freed a block as large): the pages no bit is set in cost nothing.
class Bits {
public:
    Bits() = default;
    ~Bits() { release(); }
    Bits(const Bits&) = delete;
    Bits& operator=(const Bits&) = delete;

    bool reset(size_t bytes) {
        release();
        size_ = (bytes / 8 / 64 + 1) * sizeof(uint64_t);
        void* p =
            ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        words_ = static_cast<uint64_t*>(p);
        return true;
    }
    bool test(uint32_t offset) const { return words_[offset / 8 / 64] >> (offset / 8 % 64) & 1; }
    void set(uint32_t offset) { words_[offset / 8 / 64] |= uint64_t{1} << (offset / 8 % 64); }

private:
    void release() {
        if (words_) ::munmap(words_, size_);
        words_ = nullptr;
    }
    uint64_t* words_ = nullptr;
    size_t size_ = 0;
};

}  // namespace regf
}  // namespace winsim
