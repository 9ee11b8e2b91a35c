#include "tests/support/creg_writer.h"

#include <cstdint>
#include <fstream>
#include <vector>

#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/regfile.h"
#include "winsim/src/registry/registry.h"

namespace qu_test {

namespace {

void put16(std::string& b, size_t at, uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr size_t kHeader = 0x20, kNavHeader = 0x20, kEntry = 28, kBlockHeader = 0x20;

// A key name hash: the upper-case name's character values below 0x80 summed.
uint32_t nameHash(const std::string& ansi) {
    uint32_t hash = 0;
    for (unsigned char c : ansi) {
        if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
        if (c < 0x80) hash += c;
    }
    return hash;
}

struct Flat {
    const winsim::RegKey* key;
    int parent, firstChild = -1, next = -1;
};

void flatten(const winsim::RegKey* key, int parent, std::vector<Flat>& out) {
    const int self = static_cast<int>(out.size());
    out.push_back({key, parent});
    int previous = -1;
    for (const auto& sub : key->subkeys) {
        const int child = static_cast<int>(out.size());
        flatten(sub.get(), self, out);
        if (previous < 0) {
            out[self].firstChild = child;
        } else {
            out[previous].next = child;
        }
        previous = child;
    }
}

}  // namespace

bool writeWin9xRegistryFromReg(const std::string& regText, unsigned codePage,
                               const std::string& path, std::string* error) {
    winsim::Registry registry;
    winsim::RegImport imported;
    if (!winsim::importRegFile(regText, "SYSTEM.DAT source", codePage, registry, &imported,
                               error)) {
        return false;
    }
    std::vector<Flat> keys;
    flatten(registry.localMachine.get(), -1, keys);
    auto ansi = [&](const std::string& utf8) { return winsim::utf8ToAnsi(codePage, utf8); };

    // The data block: one name entry per key, numbered as the keys.
    std::string block(kBlockHeader, '\0');
    for (size_t i = 0; i < keys.size(); ++i) {
        const winsim::RegKey& key = *keys[i].key;
        const std::string name = i == 0 ? std::string() : ansi(key.name);
        std::string entry(20, '\0');
        entry += name;
        for (const auto& v : key.values()) {
            const std::string vname = ansi(v.name);
            std::string data(v.data.begin(), v.data.end());
            if (winsim::isStringType(v.type)) data = ansi(data);
            std::string value(12, '\0');
            put32(value, 0, v.type);
            put16(value, 8, static_cast<uint32_t>(vname.size()));
            put16(value, 10, static_cast<uint32_t>(data.size()));
            entry += value + vname + data;
        }
        put32(entry, 0, static_cast<uint32_t>(entry.size()));
        put16(entry, 4, static_cast<uint32_t>(i));
        put16(entry, 6, 0);  // data block 0
        put32(entry, 8, static_cast<uint32_t>(entry.size()));
        put16(entry, 12, static_cast<uint32_t>(name.size()));
        put16(entry, 14, static_cast<uint32_t>(key.values().size()));
        block += entry;
    }
    block.replace(0, 4, "RGDB");
    put32(block, 4, static_cast<uint32_t>(block.size()));
    put32(block, 8, 0);   // unused
    put16(block, 14, 0);  // index
    put32(block, 16, static_cast<uint32_t>(block.size()));

    // The navigation record.
    // (Readers take the entries' area as the record's size less its header,
    // counted from the record's start: the record is padded by a header's
    // size so that the last entry lies inside.)
    std::string nav(kNavHeader + keys.size() * kEntry + kNavHeader, '\0');
    nav.replace(0, 4, "RGKN");
    put32(nav, 4, static_cast<uint32_t>(nav.size()));
    put32(nav, 8, static_cast<uint32_t>(kNavHeader));
    auto offsetOf = [&](int index) {
        return index < 0 ? kNone : static_cast<uint32_t>(kNavHeader + index * kEntry);
    };
    for (size_t i = 0; i < keys.size(); ++i) {
        const size_t at = kNavHeader + i * kEntry;
        put32(nav, at, 0);
        put32(nav, at + 4, i == 0 ? 0 : nameHash(ansi(keys[i].key->name)));
        put32(nav, at + 8, kNone);
        put32(nav, at + 12, offsetOf(keys[i].parent));
        put32(nav, at + 16, offsetOf(keys[i].firstChild));
        put32(nav, at + 20, offsetOf(keys[i].next));
        put16(nav, at + 24, static_cast<uint32_t>(i));
        put16(nav, at + 26, 0);
    }

    std::string file(kHeader, '\0');
    file.replace(0, 4, "CREG");
    put16(file, 4, 0);
    put16(file, 6, 1);
    put32(file, 8, static_cast<uint32_t>(kHeader + nav.size()));
    put16(file, 16, 1);  // one data block
    file += nav + block;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << file;
    if (!out) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace qu_test
