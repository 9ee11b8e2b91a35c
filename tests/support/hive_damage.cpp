#include "tests/support/hive_damage.h"

#include <hivex.h>

#include <memory>
#include <vector>

namespace qu_test {

namespace {

uint16_t get16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1])
                                                                   << 8);
}

bool sameAscii(std::string a, std::string b) {
    for (auto* s : {&a, &b}) {
        for (char& c : *s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
    }
    return a == b;
}

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The key cells a subkey list names.
void listed(const std::string& hive, uint32_t list, std::vector<uint32_t>* out) {
    const size_t d = ntCellData(list);
    const std::string sig = hive.substr(d, 2);
    const size_t count = get16(hive, d + 2);
    const size_t step = sig == "lf" || sig == "lh" ? 8 : 4;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t entry = get32(hive, d + 4 + step * i);
        if (sig == "ri") {
            listed(hive, entry, out);
        } else {
            out->push_back(entry);
        }
    }
}

std::string keyName(const std::string& hive, uint32_t cell) {
    const size_t d = ntCellData(cell);
    const std::string raw = hive.substr(d + 0x4C, get16(hive, d + 0x48));
    if (get16(hive, d + 2) & 0x20) return raw;
    std::string ascii;
    for (size_t i = 0; i < raw.size(); i += 2) ascii += raw[i];
    return ascii;
}

using Hive = std::unique_ptr<hive_h, int (*)(hive_h*)>;

hive_node_h nodeAt(hive_h* h, const std::string& path) {
    hive_node_h node = hivex_root(h);
    for (const auto& name : split(path)) {
        if (node) node = hivex_node_get_child(h, node, name.c_str());
    }
    return node;
}

}  // namespace

uint32_t get32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

void put32(std::string* bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

size_t ntCellData(uint32_t offset) { return 0x1000 + size_t{offset} + 4; }

uint32_t ntKeyCell(const std::string& hive, const std::string& path) {
    uint32_t cell = get32(hive, 0x24);
    for (const auto& name : split(path)) {
        const size_t d = ntCellData(cell);
        if (get32(hive, d + 0x14) == 0) return 0;
        std::vector<uint32_t> children;
        listed(hive, get32(hive, d + kNtSubkeyList), &children);
        cell = 0;
        for (const uint32_t child : children) {
            if (!cell && sameAscii(keyName(hive, child), name)) cell = child;
        }
        if (!cell) return 0;
    }
    return cell;
}

size_t ntFirstSubkeyEntry(const std::string& hive, uint32_t keyCell) {
    return ntCellData(get32(hive, ntCellData(keyCell) + kNtSubkeyList)) + 4;
}

void ntSetSequenceNumbers(std::string* hive, uint32_t primary, uint32_t secondary) {
    put32(hive, 0x04, primary);
    put32(hive, 0x08, secondary);
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) sum ^= get32(*hive, i);
    if (sum == 0) sum = 1;
    if (sum == 0xFFFFFFFF) sum = 0xFFFFFFFE;
    put32(hive, 0x1FC, sum);
}

bool ntAddNestedKeys(const std::string& file, const std::string& path, size_t levels,
                     const std::string& name, std::string* error) {
    Hive h(hivex_open(file.c_str(), HIVEX_OPEN_WRITE), hivex_close);
    hive_node_h node = h ? nodeAt(h.get(), path) : 0;
    for (size_t i = 0; node && i < levels; ++i) {
        node = hivex_node_add_child(h.get(), node, name.c_str());
    }
    if (!node || hivex_commit(h.get(), nullptr, 0) != 0) {
        *error = file + ": cannot add keys below " + path;
        return false;
    }
    return true;
}

bool ntAddValue(const std::string& file, const std::string& path, const std::string& valueName,
                std::string* error) {
    Hive h(hivex_open(file.c_str(), HIVEX_OPEN_WRITE), hivex_close);
    const hive_node_h node = h ? nodeAt(h.get(), path) : 0;
    char data[4] = {1, 0, 0, 0};
    const hive_set_value value{const_cast<char*>(valueName.c_str()), hive_t_REG_DWORD, 4, data};
    if (!node || hivex_node_set_value(h.get(), node, &value, 0) != 0 ||
        hivex_commit(h.get(), nullptr, 0) != 0) {
        *error = file + ": cannot add a value below " + path;
        return false;
    }
    return true;
}

uint32_t creg9xKeyEntry(const std::string& file, const std::string& path) {
    const size_t nav = 0x20;
    const size_t blocks = get32(file, 0x08);
    // Key names by (block, key number): the data entries of every block.
    auto nameOf = [&](uint32_t entry) -> std::string {
        const uint16_t number = get16(file, nav + entry + 0x18);
        const uint16_t block = get16(file, nav + entry + 0x1A);
        size_t at = blocks;
        for (uint16_t b = 0; b < block; ++b) at += get32(file, at + 4);
        const size_t end = at + get32(file, at + 4);
        for (at += 0x20; at + 0x14 <= end && get32(file, at) >= 0x14; at += get32(file, at)) {
            if (get16(file, at + 4) == number)
                return file.substr(at + 0x14, get16(file, at + 0x0C));
        }
        return {};
    };
    uint32_t entry = get32(file, nav + 0x08);
    for (const auto& name : split(path)) {
        uint32_t child = get32(file, nav + entry + k9xFirstChild);
        while (child != 0xFFFFFFFF && !sameAscii(nameOf(child), name)) {
            child = get32(file, nav + child + k9xNextSibling);
        }
        if (child == 0xFFFFFFFF) return 0;
        entry = child;
    }
    return entry;
}

void creg9xSetLink(std::string* file, uint32_t entry, size_t field, uint32_t value) {
    put32(file, 0x20 + entry + field, value);
}

}  // namespace qu_test
