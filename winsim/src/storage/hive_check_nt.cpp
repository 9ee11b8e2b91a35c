#include "winsim/src/storage/hive_check_nt.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "winsim/src/base/codepage.h"
#include "winsim/src/base/mapped_file.h"
#include "winsim/src/registry/registry.h"
#include "winsim/src/storage/hive_regf.h"

namespace winsim {

namespace {

using namespace regf;

struct Key {
    uint32_t offset = 0;
    uint32_t subkeys = 0, subkeyList = kNil, values = 0, valueList = kNil, security = kNil,
             className = kNil;
    uint16_t classLength = 0;
    std::string name;  // UTF-8
};

}  // namespace

struct NtHiveCheck::Walk {
    std::string file;
    size_t maxDepth = 0;
    bool stringsOnly = false;  // values loaded without their data unless strings
    MappedFile mapped;
    const uint8_t* map = nullptr;
    size_t binsEnd = 0;  // file offset where the hive bins end
    uint32_t root = 0;
    bool clean = true;
    // The hive bins (offsets from the first), each tiled by its cells when
    // a link first leads into it: the cells of the bins no part reaches
    // are never read.
    std::vector<uint32_t> bins;
    std::vector<bool> tiled;
    std::string tileError;                            // a bin whose cells do not tile it
    Bits cells;                                       // the starts of the cells in use (tiled bins)
    Bits seen;                                        // cells a part reached
    std::unordered_map<uint32_t, uint32_t> skCounts;  // security cell -> its reference count
    std::unordered_map<uint32_t, uint32_t> skUses;    // -> keys of the parts that use it
    std::unordered_set<uint32_t> pathKeys;            // keys checked on the way to a part
    std::vector<std::string> names;                   // the key being walked, for messages
    std::string error;

    bool refuse(const std::string& what) {
        error = file + ": cannot be read as a registry hive (" + what + ")";
        return false;
    }

    bool fail(const std::string& what) {
        if (!tileError.empty()) {
            // A link led into a damaged bin: that is the damage to name.
            error = tileError;
            return false;
        }
        std::string where = "its root key";
        for (size_t i = 0; i < names.size(); ++i) {
            where = (i == 0 ? "" : where + "\\") + names[i];
        }
        error = file + ": the hive is damaged at " + where + ": " + what;
        return false;
    }

    size_t binsSize() const { return binsEnd - kBaseBlock; }

    // The cell in use at `offset` with at least `min` bytes of data.
    bool cell(uint32_t offset, size_t min, Cell* out) {
        if (offset % 8 != 0 || offset >= binsSize() || !tileBinOf(offset) || !cells.test(offset)) {
            return false;
        }
        const uint8_t* p = map + kBaseBlock + offset;
        out->data = p + 4;
        out->size = static_cast<size_t>(-static_cast<int64_t>(static_cast<int32_t>(get32(p)))) - 4;
        return out->size >= min;
    }

    // Marks a cell as reached by a part; a second time is damage.
    bool reach(uint32_t offset, const char* what) {
        if (seen.test(offset)) {
            return fail(std::string(what) + " cell " + hex(offset) +
                        " is reached a second time (a loop, or one cell linked from two places)");
        }
        seen.set(offset);
        return true;
    }

    bool openFile(const std::string& path);
    bool tileBinOf(uint32_t offset);
    bool readKey(uint32_t offset, Key* key);
    bool security(const Key& key, bool used);
    bool className(const Key& key, bool mark);
    bool subkeyList(uint32_t offset, const Key& key, bool index, bool mark,
                    std::vector<uint32_t>* out);
    bool subkeys(const Key& key, bool mark, std::vector<uint32_t>* out);
    bool values(const Key& key, RegKey* into);
    bool valueData(const Cell& vk, const std::string& name, std::string* out);
    bool pathKey(const Key& key, std::vector<Key>* children);
    bool find(const std::vector<std::string>& parts, Key* key, bool* found);
    bool tree(uint32_t offset, size_t depth, std::string* folded, RegKey* into, bool below);
};

bool NtHiveCheck::Walk::openFile(const std::string& path) {
    file = path;
    std::string why;
    if (!mapped.open(path, &why)) return refuse(why);
    map = mapped.data();
    if (mapped.size() < kBaseBlock) {
        return refuse("no base block: the file has " + std::to_string(mapped.size()) + " bytes");
    }

    // The base block.
    if (std::memcmp(map, "regf", 4) != 0) return refuse("no regf signature");
    uint32_t sum = 0;
    for (size_t i = 0; i < kChecksum; i += 4) sum ^= get32(map + i);
    if (sum == 0) sum = 1;
    if (sum == 0xFFFFFFFF) sum = 0xFFFFFFFE;
    if (sum != get32(map + kChecksum)) return refuse("the base block's checksum does not match");
    if (get32(map + kMajor) != 1 || get32(map + kFileType) != 0 || get32(map + kFileFormat) != 1) {
        return refuse("not a primary hive file of format 1");
    }
    clean = get32(map + kSequence1) == get32(map + kSequence2);
    const uint32_t binBytes = get32(map + kBinsSize);
    if (binBytes == 0 || binBytes % 0x1000 != 0) {
        return refuse("hive bins of " + hex(binBytes) + " bytes");
    }
    binsEnd = kBaseBlock + binBytes;
    if (binsEnd > mapped.size()) {
        return refuse("cut short: its hive bins end at byte " + std::to_string(binsEnd) +
                      ", the file at byte " + std::to_string(mapped.size()));
    }
    root = get32(map + kRootCell);

    // The bins follow each other to the end of the hive bins.
    if (!cells.reset(binBytes) || !seen.reset(binBytes)) return refuse("out of memory");
    for (size_t bin = kBaseBlock; bin < binsEnd;) {
        const uint8_t* b = map + bin;
        const size_t size = binsEnd - bin >= kBinHeader ? get32(b + 8) : 0;
        if (std::memcmp(b, "hbin", 4) != 0 || get32(b + 4) != bin - kBaseBlock || size == 0 ||
            size % 0x1000 != 0 || size > binsEnd - bin) {
            return refuse("damaged hive bin at " + hex(static_cast<uint32_t>(bin - kBaseBlock)));
        }
        bins.push_back(static_cast<uint32_t>(bin - kBaseBlock));
        bin += size;
    }
    tiled.assign(bins.size(), false);
    return true;
}

// The cells of the bin that holds `offset`, which must tile it; marked in
// `cells` the first time. False (with tileError) when they do not.
bool NtHiveCheck::Walk::tileBinOf(uint32_t offset) {
    const size_t index =
        static_cast<size_t>(std::upper_bound(bins.begin(), bins.end(), offset) - bins.begin()) - 1;
    if (tiled[index]) return true;
    const size_t bin = kBaseBlock + bins[index];
    const size_t end = index + 1 < bins.size() ? kBaseBlock + bins[index + 1] : binsEnd;
    for (size_t at = bin + kBinHeader; at < end;) {
        const int64_t raw = static_cast<int32_t>(get32(map + at));
        const size_t length = static_cast<size_t>(raw < 0 ? -raw : raw);
        if (length < 8 || length % 8 != 0 || length > end - at) {
            if (tileError.empty()) {
                refuse("damaged cell at " + hex(static_cast<uint32_t>(at - kBaseBlock)));
                tileError = error;
            }
            return false;
        }
        if (raw < 0) cells.set(static_cast<uint32_t>(at - kBaseBlock));
        at += length;
    }
    tiled[index] = true;
    return true;
}

bool NtHiveCheck::Walk::readKey(uint32_t offset, Key* key) {
    Cell c;
    if (!cell(offset, kNkName, &c) || !c.is("nk")) {
        return fail("key cell " + hex(offset) + " is not a key");
    }
    StoredName name{std::string_view(reinterpret_cast<const char*>(c.data + kNkName),
                                     get16(c.data + kNkNameLength)),
                    (get16(c.data + kNkFlags) & kNkLatin1Name) != 0};
    if (c.size < kNkName + name.bytes.size()) {
        return fail("the name of key cell " + hex(offset) + " runs past its cell");
    }
    if (name.chars() > kMaxKeyNameChars) {
        return fail("a key name of " + std::to_string(name.chars()) +
                    " characters; Windows allows 255");
    }
    if (offset != root && (name.bytes.empty() || name.holds(true))) {
        return fail("key cell " + hex(offset) + " has an empty name or one with a NUL or a " +
                    "backslash");
    }
    key->offset = offset;
    key->name = name.utf8();
    key->subkeys = get32(c.data + kNkSubkeys);
    key->subkeyList = get32(c.data + kNkSubkeyList);
    key->values = get32(c.data + kNkValues);
    key->valueList = get32(c.data + kNkValueList);
    key->security = get32(c.data + kNkSecurity);
    key->className = get32(c.data + kNkClass);
    key->classLength = get16(c.data + kNkClassLength);
    return true;
}

// The key's security cell and its neighbours in the list of security cells
// (hivex unlinks a cell no key uses any more). `used`: the key belongs to a
// part, which a change may delete: the cell must count it.
bool NtHiveCheck::Walk::security(const Key& key, bool used) {
    auto counted = skCounts.find(key.security);
    if (counted == skCounts.end()) {
        Cell c, next, previous;
        if (!cell(key.security, kSkDescriptor, &c) || !c.is("sk")) {
            return fail("its security cell " + hex(key.security) + " is not one");
        }
        if (c.size - kSkDescriptor < get32(c.data + kSkDescriptorSize)) {
            return fail("security cell " + hex(key.security) + " runs past its cell");
        }
        if (!cell(get32(c.data + kSkNext), kSkDescriptor, &next) || !next.is("sk") ||
            !cell(get32(c.data + kSkPrevious), kSkDescriptor, &previous) || !previous.is("sk")) {
            return fail("the list of security cells is broken at " + hex(key.security));
        }
        counted = skCounts.emplace(key.security, get32(c.data + kSkReferences)).first;
    }
    if (used && ++skUses[key.security] > counted->second) {
        return fail("security cell " + hex(key.security) + " is used by more keys than it counts");
    }
    return true;
}

bool NtHiveCheck::Walk::className(const Key& key, bool mark) {
    if (key.className == kNil) return true;
    Cell c;
    if (!cell(key.className, key.classLength, &c)) {
        return fail("its class name " + hex(key.className) + " is not a cell of its size");
    }
    return !mark || reach(key.className, "class name");
}

// Appends the cells a subkey list (lf, lh, li, or an ri of those) names.
bool NtHiveCheck::Walk::subkeyList(uint32_t offset, const Key& key, bool index, bool mark,
                                   std::vector<uint32_t>* out) {
    Cell c;
    if (!cell(offset, 4, &c)) return fail("its subkey list " + hex(offset) + " is not a cell");
    if (mark && !reach(offset, "subkey list")) return false;
    const size_t count = get16(c.data + 2);
    const bool ri = c.is("ri");
    size_t step = 4;
    if (c.is("lf") || c.is("lh")) {
        step = 8;
    } else if (!c.is("li") && !(ri && index)) {
        return fail("cell " + hex(offset) + " is not a subkey list");
    }
    if (c.size - 4 < step * count)
        return fail("subkey list " + hex(offset) + " runs past its cell");
    for (size_t i = 0; i < count; ++i) {
        const uint32_t entry = get32(c.data + 4 + step * i);
        if (ri) {
            if (!subkeyList(entry, key, false, mark, out)) return false;
        } else if (out->size() == key.subkeys) {
            return fail("it lists more subkeys than the " + std::to_string(key.subkeys) +
                        " its key cell counts");
        } else {
            out->push_back(entry);
        }
    }
    return true;
}

bool NtHiveCheck::Walk::subkeys(const Key& key, bool mark, std::vector<uint32_t>* out) {
    out->clear();
    if (key.subkeys == 0) {
        Cell c;
        if (key.subkeyList == kNil) return true;
        if (!cell(key.subkeyList, 0, &c)) {
            return fail("its subkey list " + hex(key.subkeyList) + " is not a cell");
        }
        return !mark || reach(key.subkeyList, "subkey list");
    }
    if (key.subkeys > binsSize() / kSmallestKey) {
        return fail("it counts " + std::to_string(key.subkeys) + " subkeys");
    }
    if (!subkeyList(key.subkeyList, key, true, mark, out)) return false;
    if (out->size() != key.subkeys) {
        return fail("it lists " + std::to_string(out->size()) + " subkeys, its key cell counts " +
                    std::to_string(key.subkeys));
    }
    return true;
}

// The data of the value cell `vk`, checked; `out` (when given) gets its
// bytes as stored.
bool NtHiveCheck::Walk::valueData(const Cell& vk, const std::string& name, std::string* out) {
    const uint32_t length = get32(vk.data + kVkDataLength);
    const uint32_t offset = get32(vk.data + kVkData);
    const auto bytes = [](const uint8_t* p) { return reinterpret_cast<const char*>(p); };
    if (length & kVkInlineData) {
        if ((length & ~kVkInlineData) > 4) {
            return fail("the data of value \"" + name + "\" is too long to be inline");
        }
        if (out) out->assign(bytes(vk.data + kVkData), length & ~kVkInlineData);
        return true;
    }
    Cell data;
    if (length == 0 && offset == kNil) return true;
    const std::string which = "the data of value \"" + name + "\"";
    if (!cell(offset, 0, &data)) return fail(which + " is not a cell");
    if (!reach(offset, "value data")) return false;
    if (data.size >= length) {
        if (out) out->assign(bytes(data.data), length);
        return true;
    }
    // Big data: a "db" cell, a list of segments, the segments.
    Cell list;
    if (length <= kSegmentSize || !data.is("db") || data.size < 8 ||
        !cell(get32(data.data + 4), 4 * size_t{get16(data.data + 2)}, &list)) {
        return fail(which + " runs past its cell");
    }
    if (!reach(get32(data.data + 4), "segment list")) return false;
    size_t total = 0;
    for (size_t i = 0; i < get16(data.data + 2); ++i) {
        Cell segment;
        const uint32_t at = get32(list.data + 4 * i);
        if (!cell(at, 0, &segment)) return fail(which + " has a segment that is not a cell");
        if (!reach(at, "data segment")) return false;
        const size_t part = std::min<size_t>(segment.size, kSegmentSize);
        if (out) out->append(bytes(segment.data), std::min<size_t>(part, length - out->size()));
        total += part;
    }
    return total >= length || fail(which + " runs past its segments");
}

// The values of `key`, checked; set in `into` when given.
bool NtHiveCheck::Walk::values(const Key& key, RegKey* into) {
    Cell list;
    if (key.values == 0) {
        if (key.valueList == kNil) return true;
        if (!cell(key.valueList, 0, &list)) return fail("its value list is not a cell");
        return reach(key.valueList, "value list");
    }
    if (key.values > binsSize() / 8 || !cell(key.valueList, 4 * size_t{key.values}, &list)) {
        return fail("its list of " + std::to_string(key.values) + " values is not a cell");
    }
    if (!reach(key.valueList, "value list")) return false;
    std::vector<std::string> folded;
    for (size_t i = 0; i < key.values; ++i) {
        const uint32_t at = get32(list.data + 4 * i);
        Cell vk;
        if (!cell(at, kVkName, &vk) || !vk.is("vk")) {
            return fail("value cell " + hex(at) + " is not a value");
        }
        if (!reach(at, "value")) return false;
        const StoredName name{std::string_view(reinterpret_cast<const char*>(vk.data + kVkName),
                                               get16(vk.data + kVkNameLength)),
                              (get16(vk.data + kVkFlags) & kVkLatin1Name) != 0};
        if (vk.size < kVkName + name.bytes.size()) {
            return fail("the name of value cell " + hex(at) + " runs past its cell");
        }
        if (name.chars() > kMaxValueNameChars) {
            return fail("a value name of " + std::to_string(name.chars()) +
                        " characters; Windows allows 16383");
        }
        if (name.holds(false)) return fail("value cell " + hex(at) + " has a NUL in its name");
        const std::string utf8 = name.utf8();
        const uint32_t type = get32(vk.data + kVkType);
        std::string data;
        const bool read = into && (!stringsOnly || isStringType(type));
        if (!valueData(vk, utf8, read ? &data : nullptr)) return false;
        folded.push_back(foldName(utf8));
        if (into) {
            if (isStringType(type)) data = utf16leToUtf8(data);
            into->setValue(utf8, type, std::vector<uint8_t>(data.begin(), data.end()));
        }
    }
    std::sort(folded.begin(), folded.end());
    const auto twice = std::adjacent_find(folded.begin(), folded.end());
    return twice == folded.end() || fail("two values are named \"" + *twice + "\"");
}

// A key on the way to a part: itself, its security and class cells, and
// the key cells its subkey list names (a change may add a subkey to it).
bool NtHiveCheck::Walk::pathKey(const Key& key, std::vector<Key>* children) {
    std::vector<uint32_t> offsets;
    const bool checked = pathKeys.count(key.offset) != 0;
    if (!checked && (!security(key, false) || !className(key, false))) return false;
    if (!subkeys(key, false, &offsets)) return false;
    children->assign(offsets.size(), Key{});
    for (size_t i = 0; i < offsets.size(); ++i) {
        if (!readKey(offsets[i], &(*children)[i])) return false;
    }
    pathKeys.insert(key.offset);
    return true;
}

// The key at `parts` below the root, each key on the way checked as a
// path key; `names` is left naming it.
bool NtHiveCheck::Walk::find(const std::vector<std::string>& parts, Key* key, bool* found) {
    names.clear();
    *found = false;
    if (!readKey(root, key)) return false;
    for (const auto& part : parts) {
        std::vector<Key> children;
        if (!pathKey(*key, &children)) return false;
        const auto child = std::find_if(children.begin(), children.end(),
                                        [&](const Key& k) { return namesEqual(k.name, part); });
        if (child == children.end()) return true;  // not in the hive
        *key = *child;
        names.push_back(key->name);
    }
    *found = true;
    return true;
}

// A key of a part with everything below it; `folded`: its folded name.
// With `into`, the key is loaded: as `into` itself, or (`below`) as its
// subkey.
bool NtHiveCheck::Walk::tree(uint32_t offset, size_t depth, std::string* folded, RegKey* into,
                             bool below) {
    if (depth > maxDepth) {
        return fail("keys nested more than " + std::to_string(maxDepth) +
                    " levels below the hive's root");
    }
    Key key;
    if (!readKey(offset, &key) || !reach(offset, "key")) return false;
    if (offset != root) names.push_back(key.name);  // the root is "its root key"
    RegKey* self = into && below ? into->createSubkey(key.name) : into;
    std::vector<uint32_t> children;
    if (!security(key, true) || !className(key, true) || !values(key, self) ||
        !subkeys(key, true, &children)) {
        return false;
    }
    std::vector<std::string> childNames(children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        if (!tree(children[i], depth + 1, &childNames[i], self, true)) return false;
    }
    std::sort(childNames.begin(), childNames.end());
    const auto twice = std::adjacent_find(childNames.begin(), childNames.end());
    if (twice != childNames.end()) return fail("two subkeys are named \"" + *twice + "\"");
    if (offset != root) names.pop_back();
    *folded = foldName(key.name);
    return true;
}

NtHiveCheck::NtHiveCheck() = default;
NtHiveCheck::~NtHiveCheck() = default;

bool NtHiveCheck::open(const std::string& file, size_t maxDepth, std::string* error) {
    walk_ = std::make_unique<Walk>();
    walk_->maxDepth = maxDepth;
    if (walk_->openFile(file)) return true;
    *error = walk_->error;
    walk_.reset();
    return false;
}

bool NtHiveCheck::clean() const { return walk_ && walk_->clean; }

bool NtHiveCheck::checkPart(const std::string& path, bool full, std::string* error, RegKey* into,
                            Data data) {
    if (!walk_) {
        *error = "no hive was opened";
        return false;
    }
    Walk& w = *walk_;
    w.stringsOnly = data == Data::StringsOnly;
    std::vector<std::string> parts;
    splitKeyPath(path, &parts);
    Key key;
    bool found = false;
    bool ok = w.find(parts, &key, &found);
    if (ok && found) {
        // Loaded below the path as `path` spells it.
        for (size_t i = 0; into && i < parts.size(); ++i) into = into->createSubkey(parts[i]);
        if (full) {
            if (!w.names.empty()) w.names.pop_back();
            std::string folded;
            ok = w.tree(key.offset, parts.size(), &folded, into, false);
        } else {
            ok = w.reach(key.offset, "key") && w.security(key, false) && w.className(key, true) &&
                 w.values(key, into);
        }
    }
    if (!ok) *error = w.error;
    return ok;
}

std::optional<uint32_t> NtHiveCheck::dwordValue(const std::string& path, const std::string& name) {
    if (!walk_) return std::nullopt;
    Walk& w = *walk_;
    std::vector<std::string> parts;
    splitKeyPath(path, &parts);
    Key key;
    bool found = false;
    Cell list;
    if (!w.find(parts, &key, &found) || !found || !w.seen.test(key.offset) || key.values == 0 ||
        !w.cell(key.valueList, 4 * size_t{key.values}, &list)) {
        return std::nullopt;
    }
    for (size_t i = 0; i < key.values; ++i) {
        Cell vk, data;
        if (!w.cell(get32(list.data + 4 * i), kVkName, &vk)) return std::nullopt;
        const StoredName stored{std::string_view(reinterpret_cast<const char*>(vk.data + kVkName),
                                                 get16(vk.data + kVkNameLength)),
                                (get16(vk.data + kVkFlags) & kVkLatin1Name) != 0};
        if (!namesEqual(stored.utf8(), name)) continue;
        const uint32_t length = get32(vk.data + kVkDataLength);
        if (get32(vk.data + kVkType) != kDword) return std::nullopt;
        if (length == (kVkInlineData | 4)) return get32(vk.data + kVkData);
        if (length == 4 && w.cell(get32(vk.data + kVkData), 4, &data)) return get32(data.data);
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace winsim
