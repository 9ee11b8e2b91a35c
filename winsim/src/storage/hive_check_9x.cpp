#include "winsim/src/storage/hive_check_9x.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "winsim/src/base/mapped_file.h"
#include "winsim/src/registry/registry.h"

namespace winsim {

namespace {

// The layout, from the published descriptions of the format: a file
// header, the key navigation record (RGKN: one 28-byte entry per key,
// linked to its parent, first subkey and next sibling by offsets from the
// record's start) and data blocks (RGDB) of entries holding each key's name
// and values, found by the key's number and block.
constexpr size_t kFileHeader = 0x20;
constexpr size_t kFirstBlock = 0x08, kBlockCount = 0x10;  // in the file header
constexpr size_t kRecordHeader = 0x20;                    // RGKN and RGDB
constexpr size_t kRecordSize = 0x04, kRootEntry = 0x08;
constexpr size_t kEntry = 28;
constexpr size_t kFirstChild = 0x10, kNextSibling = 0x14, kKeyNumber = 0x18, kKeyBlock = 0x1A;
// A key's data entry.
constexpr size_t kDataSize = 0x00, kDataKey = 0x04, kDataNameLength = 0x0C, kDataValues = 0x0E,
                 kDataName = 0x14;
// A value in it.
constexpr size_t kValueNameLength = 0x08, kValueDataLength = 0x0A, kValueName = 0x0C;
constexpr uint32_t kNone = 0xFFFFFFFF;
// Windows 98/ME allow value names of 255 characters, as key names.
constexpr size_t kMaxValueName = 255;

struct Entry {
    uint32_t offset = 0;  // in the navigation record
    uint32_t firstChild = kNone, next = kNone;
    uint16_t number = 0, block = 0;
    std::string name;  // ANSI, as stored
};

struct Walk {
    std::string file;
    size_t maxDepth = 0;
    MappedFile mapped;
    const uint8_t* nav = nullptr;  // the navigation record
    size_t navSize = 0;
    uint32_t root = 0;
    struct Block {
        size_t start = 0, end = 0;                     // in the file
        std::unordered_map<uint16_t, size_t> entries;  // key number -> its entry in the file
    };
    std::vector<Block> blocks;
    std::unordered_set<uint32_t> seen;  // keys reached
    std::vector<std::string> names;     // the key being walked, for messages
    std::string error;

    bool refuse(const std::string& what) {
        error = file + ": cannot be read as a Windows 98/ME registry file (" + what + ")";
        return false;
    }

    bool fail(const std::string& what) {
        std::string where = "its root key";
        for (size_t i = 0; i < names.size(); ++i) {
            where = (i == 0 ? "" : where + "\\") + names[i];
        }
        error = file + ": the registry file is damaged at " + where + ": " + what;
        return false;
    }

    bool openFile(const std::string& path);
    bool entry(uint32_t offset, Entry* out);
    const uint8_t* dataEntry(const Entry& key, size_t* size);
    bool values(const Entry& key);
    bool children(const Entry& key, std::vector<Entry>* out);
    bool tree(const Entry& key, size_t depth);
};

bool Walk::openFile(const std::string& path) {
    file = path;
    std::string why;
    if (!mapped.open(path, &why)) return refuse(why);
    const uint8_t* bytes = mapped.data();
    const size_t size = mapped.size();
    if (size < kFileHeader + kRecordHeader || std::memcmp(bytes, "CREG", 4) != 0) {
        return refuse("no CREG header");
    }
    nav = bytes + kFileHeader;
    navSize = get32(nav + kRecordSize);
    if (std::memcmp(nav, "RGKN", 4) != 0 || navSize < kRecordHeader ||
        navSize > size - kFileHeader) {
        return refuse("damaged key navigation record");
    }
    root = get32(nav + kRootEntry);
    size_t at = get32(bytes + kFirstBlock);
    for (size_t i = 0, count = get16(bytes + kBlockCount); i < count; ++i) {
        if (at < kFileHeader + navSize || at > size || size - at < kRecordHeader ||
            std::memcmp(bytes + at, "RGDB", 4) != 0 || get32(bytes + at + kRecordSize) < 0x20 ||
            get32(bytes + at + kRecordSize) > size - at) {
            return refuse("damaged data block " + std::to_string(i));
        }
        Block block;
        block.start = at;
        block.end = at + get32(bytes + at + kRecordSize);
        // Entries follow one another to the end of the block (libcreg reads
        // them all); less than an entry's header may be left over.
        size_t entry = block.start + kRecordHeader;
        for (; block.end - entry >= kDataName; entry += get32(bytes + entry + kDataSize)) {
            const size_t length = get32(bytes + entry + kDataSize);
            if (length < kDataName || length > block.end - entry) break;
            block.entries.emplace(get16(bytes + entry + kDataKey), entry);
        }
        if (block.end - entry >= kDataName) {
            return refuse("damaged data block " + std::to_string(i) + " at " +
                          hex(static_cast<uint32_t>(entry)));
        }
        blocks.push_back(std::move(block));
        at = blocks.back().end;
    }
    return true;
}

// The navigation entry at `offset` (a key's own name is read with its data).
bool Walk::entry(uint32_t offset, Entry* out) {
    if (offset < kRecordHeader || offset > navSize || navSize - offset < kEntry) {
        return fail("key entry " + hex(offset) + " lies outside the navigation record");
    }
    const uint8_t* e = nav + offset;
    out->offset = offset;
    out->firstChild = get32(e + kFirstChild);
    out->next = get32(e + kNextSibling);
    out->number = get16(e + kKeyNumber);
    out->block = get16(e + kKeyBlock);
    size_t size = 0;
    const uint8_t* data = dataEntry(*out, &size);
    if (!data) {
        if (offset == root) return true;  // the root needs no name
        return fail("the data of key entry " + hex(offset) + " is missing");
    }
    const size_t length = get16(data + kDataNameLength);
    if (size - kDataName < length) {
        return fail("the name of key entry " + hex(offset) + " runs past its data");
    }
    out->name.assign(reinterpret_cast<const char*>(data + kDataName), length);
    if (length > kMaxKeyNameChars) {
        return fail("a key name of " + std::to_string(length) + " characters; Windows allows 255");
    }
    if (offset != root &&
        (length == 0 || out->name.find_first_of(std::string("\\\0", 2)) != std::string::npos)) {
        return fail("key entry " + hex(offset) + " has an empty name or one with a NUL or a " +
                    "backslash");
    }
    return true;
}

// The data entry of `key` in its block, and its size; nullptr when none.
const uint8_t* Walk::dataEntry(const Entry& key, size_t* size) {
    if (key.block >= blocks.size()) return nullptr;
    const Block& block = blocks[key.block];
    const uint8_t* bytes = mapped.data();
    const auto found = block.entries.find(key.number);
    if (found == block.entries.end()) return nullptr;
    *size = get32(bytes + found->second + kDataSize);
    return bytes + found->second;
}

bool Walk::values(const Entry& key) {
    size_t size = 0;
    const uint8_t* data = dataEntry(key, &size);
    if (!data) return true;  // the root without data has no values
    size_t at = kDataName + get16(data + kDataNameLength);
    for (size_t i = 0, count = get16(data + kDataValues); i < count; ++i) {
        if (size < at || size - at < kValueName) {
            return fail("its values run past its data entry");
        }
        const size_t nameLength = get16(data + at + kValueNameLength);
        const size_t dataLength = get16(data + at + kValueDataLength);
        if (nameLength > kMaxValueName) {
            return fail("a value name of " + std::to_string(nameLength) +
                        " characters; Windows allows 255");
        }
        at += kValueName + nameLength + dataLength;
    }
    return at <= size || fail("its values run past its data entry");
}

// The chain of the key's subkeys, each entry read.
bool Walk::children(const Entry& key, std::vector<Entry>* out) {
    out->clear();
    std::unordered_set<uint32_t> chain;
    for (uint32_t at = key.firstChild; at != kNone;) {
        if (!chain.insert(at).second) {
            return fail("its chain of subkeys returns to entry " + hex(at));
        }
        Entry child;
        if (!entry(at, &child)) return false;
        out->push_back(child);
        at = child.next;
    }
    return true;
}

bool Walk::tree(const Entry& key, size_t depth) {
    if (depth > maxDepth) {
        return fail("keys nested more than " + std::to_string(maxDepth) + " levels deep");
    }
    if (!seen.insert(key.offset).second) {
        return fail("key entry " + hex(key.offset) +
                    " is reached a second time (a link back to an ancestor, or a key listed "
                    "twice)");
    }
    if (depth > 0) names.push_back(key.name);  // the root is "its root key"
    std::vector<Entry> subkeys;
    if (!values(key) || !children(key, &subkeys)) return false;
    for (const Entry& sub : subkeys) {
        if (!tree(sub, depth + 1)) return false;
    }
    if (depth > 0) names.pop_back();
    return true;
}

}  // namespace

bool checkWin9xRegistry(const std::string& file, size_t maxDepth, std::string* error) {
    Walk w;
    w.maxDepth = maxDepth;
    Entry root;
    if (!w.openFile(file) || !w.entry(w.root, &root) || !w.tree(root, 0)) {
        *error = w.error;
        return false;
    }
    return true;
}

}  // namespace winsim
