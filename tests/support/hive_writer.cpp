#include "tests/support/hive_writer.h"

#include <hivex.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/regfile.h"
#include "winsim/src/registry/registry.h"

namespace qu_test {

namespace {

void put16(std::string& b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

void put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t get32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}

bool fill(hive_h* h, hive_node_h node, const winsim::RegKey& key, std::string* error) {
    std::vector<std::string> data;
    std::vector<hive_set_value> values;
    for (const auto& v : key.values()) {
        const std::string bytes(v.data.begin(), v.data.end());
        data.push_back(winsim::isStringType(v.type) ? winsim::utf8ToUtf16le(bytes) : bytes);
    }
    for (size_t i = 0; i < key.values().size(); ++i) {
        values.push_back(hive_set_value{const_cast<char*>(key.values()[i].name.c_str()),
                                        static_cast<hive_type>(key.values()[i].type),
                                        data[i].size(), data[i].data()});
    }
    if (!values.empty() && hivex_node_set_values(h, node, values.size(), values.data(), 0) != 0) {
        *error = "cannot set the values of " + key.path();
        return false;
    }
    for (const auto& sub : key.subkeys) {
        const hive_node_h child = hivex_node_add_child(h, node, sub->name.c_str());
        if (!child) {
            *error = "cannot add " + sub->path();
            return false;
        }
        if (!fill(h, child, *sub, error)) return false;
    }
    return true;
}

}  // namespace

std::string emptyHive(const std::string& rootName) {
    constexpr size_t kBase = 0x1000, kBin = 0x1000;
    std::string b(kBase + kBin, '\0');
    // Base block.
    b.replace(0, 4, "regf");
    put32(b, 0x04, 1);  // sequence numbers: equal, so the hive is clean
    put32(b, 0x08, 1);
    put32(b, 0x14, 1);  // format 1.3
    put32(b, 0x18, 3);
    put32(b, 0x1C, 0);     // primary file
    put32(b, 0x20, 1);     // direct memory load
    put32(b, 0x24, 0x20);  // root key cell
    put32(b, 0x28, kBin);  // size of the hive bins
    put32(b, 0x2C, 1);     // clustering factor
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) sum ^= get32(b, i);
    if (sum == 0) sum = 1;
    if (sum == 0xFFFFFFFF) sum = 0xFFFFFFFE;
    put32(b, 0x1FC, sum);
    // One hive bin.
    const size_t bin = kBase;
    b.replace(bin, 4, "hbin");
    put32(b, bin + 0x04, 0);
    put32(b, bin + 0x08, kBin);
    // The root key (nk), offsets relative to the first bin.
    const size_t nkOff = 0x20;
    const size_t nkSize = (0x50 + rootName.size() + 7) & ~size_t{7};
    const size_t skOff = nkOff + nkSize;
    const size_t nk = bin + nkOff;
    put32(b, nk, static_cast<uint32_t>(-static_cast<int32_t>(nkSize)));
    b.replace(nk + 4, 2, "nk");
    put16(b, nk + 0x06, 0x2C);        // hive entry, cannot be deleted, ASCII name
    put32(b, nk + 0x14, 0xFFFFFFFF);  // parent: none
    put32(b, nk + 0x20, 0xFFFFFFFF);  // subkey lists: none
    put32(b, nk + 0x24, 0xFFFFFFFF);
    put32(b, nk + 0x2C, 0xFFFFFFFF);  // value list: none
    put32(b, nk + 0x30, static_cast<uint32_t>(skOff));
    put32(b, nk + 0x34, 0xFFFFFFFF);  // class name: none
    put16(b, nk + 0x4C, static_cast<uint16_t>(rootName.size()));
    b.replace(nk + 0x50, rootName.size(), rootName);
    // Its security cell (sk): a list of one, an empty self-relative
    // descriptor.
    const size_t skSize = (0x18 + 20 + 7) & ~size_t{7};
    const size_t sk = bin + skOff;
    put32(b, sk, static_cast<uint32_t>(-static_cast<int32_t>(skSize)));
    b.replace(sk + 4, 2, "sk");
    put32(b, sk + 0x08, static_cast<uint32_t>(skOff));
    put32(b, sk + 0x0C, static_cast<uint32_t>(skOff));
    put32(b, sk + 0x10, 1);       // reference count
    put32(b, sk + 0x14, 20);      // descriptor size
    b[sk + 0x18] = 1;             // revision
    put16(b, sk + 0x1A, 0x8000);  // self-relative
    // The rest of the bin is one free cell.
    const size_t freeOff = skOff + skSize;
    put32(b, bin + freeOff, static_cast<uint32_t>(kBin - freeOff));
    return b;
}

bool writeHiveFromReg(const std::string& regText, const std::string& keyPath,
                      const std::string& path, std::string* error) {
    winsim::Registry registry;
    winsim::RegImport imported;
    if (!winsim::importRegFile(regText, "hive source", 1252, registry, &imported, error)) {
        return false;
    }
    const size_t slash = keyPath.find('\\');
    winsim::RegKey* root =
        registry.root(winsim::Registry::canonicalRoot(keyPath.substr(0, slash)), false);
    winsim::RegKey* key = root && slash != std::string::npos
                              ? winsim::findKeyPath(root, keyPath.substr(slash + 1))
                              : root;
    if (!key) {
        *error = keyPath + ": not in the .reg text";
        return false;
    }
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << emptyHive();
        if (!out) {
            *error = "cannot write " + path;
            return false;
        }
    }
    std::unique_ptr<hive_h, int (*)(hive_h*)> h(hivex_open(path.c_str(), HIVEX_OPEN_WRITE),
                                                hivex_close);
    if (!h) {
        *error = path + ": hivex cannot open the empty hive";
        return false;
    }
    if (!fill(h.get(), hivex_root(h.get()), *key, error)) return false;
    if (hivex_commit(h.get(), nullptr, 0) != 0) {
        *error = "cannot commit " + path;
        return false;
    }
    return true;
}

}  // namespace qu_test
