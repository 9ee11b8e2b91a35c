// What on the loaded machine still names a removed device: the report after
// an Uninstall, the same whichever kind of store the machine was read from.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "winsim/safety.h"
#include "winsim/src/base/base_text.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/registry/key_text.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/machine/trace_search.h"
#include "winsim/src/regfile/line_reader.h"
#include "winsim/src/storage/hive_store.h"

namespace winsim {

namespace {

bool containsAny(const std::string& fold, const std::vector<std::string>& terms) {
    for (const std::string& t : terms) {
        if (fold.find(t) != std::string::npos) return true;
    }
    return false;
}

// The search reads a key's values only when its text could name a term.
// A quoted string's data is its text with \\ and \" unescaped (then, in an
// ANSI file, converted from the code page, which keeps ASCII as it is): a
// stretch of a term with no backslash, quote or non-ASCII byte in it is in
// the text, in some case, wherever the term is in the data. Hex-encoded
// strings are decoded here as the reader decodes them and looked at whole.
class KeyText {
public:
    explicit KeyText(const std::vector<std::string>& terms) : terms_(terms) {
        for (const std::string& term : terms) {
            std::string piece, longest;
            for (const char c : term) {
                const auto b = static_cast<unsigned char>(c);
                if (b >= 0x20 && b < 0x7F && c != '\\' && c != '"') {
                    piece += c;
                } else {
                    piece.clear();
                }
                if (piece.size() > longest.size()) longest = piece;
            }
            // A term with nothing to look for in the text: read every key.
            if (longest.empty()) usable_ = false;
            pieces_.push_back(longest);
            // A character that non-ASCII data could end as is not asked for.
            std::string chars;
            for (const char c : longest) {
                if (c != '?' && chars.find(c) == std::string::npos) chars += c;
            }
            if (chars.empty()) hexUsable_ = false;
            hexChars_.push_back(chars);
        }
        // Views of the pieces, which stay where they are from here on. The
        // text is asked only whether it holds some piece: a piece that holds
        // another (or repeats one) is found wherever that one is.
        for (size_t i = 0; i < pieces_.size(); ++i) {
            bool holdsAnother = false;
            for (size_t j = 0; j < pieces_.size() && !holdsAnother; ++j) {
                const std::string& other = pieces_[j];
                holdsAnother = j != i && !other.empty() &&
                               (other.size() < pieces_[i].size() || j < i) &&
                               pieces_[i].find(other) != std::string::npos;
            }
            if (!holdsAnother) pieceViews_.emplace_back(pieces_[i]);
        }
        lookedFor_ = pieceViews_;
        lookedFor_.push_back("HEX(");
    }

    // Whether a value of `key`, whose values are still in the text, may
    // hold a term; false only when none does.
    bool mayName(const RegKey& key) {
        if (!usable_) return true;
        for (const KeyBlock& block : key.blocks) {
            if (blockMayName(*key.registry, block)) return true;
        }
        return false;
    }

    // The same look at blocks of `r`'s text given by their places.
    bool blocksMayName(const Registry& r, const KeyBlock* blocks, size_t count) {
        if (!usable_) return true;
        for (size_t i = 0; i < count; ++i) {
            if (blockMayName(r, blocks[i])) return true;
        }
        return false;
    }

    // Whether a key of a subtree the load left in the text (`keys`, none
    // of them built) may name a term, by its name or a value: false only
    // when none does. A key's name is written as it reads in its key line
    // (a key line has no escapes), so the same look at the lines serves.
    bool subtreeMayName(const Registry& r, const DeferredKeys& keys) {
        if (!usable_) return true;
        for (const KeyBlock& block : keys.blocks) {
            if (blockMayName(r, block)) return true;
        }
        return false;
    }

private:
    // One pass over the text for every piece and the first hex string; a
    // piece after that hex string, in a second pass from there.
    bool blockMayName(const Registry& r, const KeyBlock& block) {
        const std::string_view text = blockText(r, block, &decoded_);
        size_t which = 0;
        const size_t hex = findAnyNoCase(text, lookedFor_, 0, &which);
        if (hex == std::string_view::npos) return false;
        if (which < pieceViews_.size()) return true;
        if (findAnyNoCase(text, pieceViews_, hex + 1, &which) != std::string_view::npos) {
            return true;
        }
        return hexMayName(text, hex) && hexStringNames(r, block);
    }

    // Before a block's hex strings are decoded: a term is in one only when
    // every character of its piece is a byte of the data (in an ANSI file,
    // where a byte outside ASCII never becomes an ASCII character) or the
    // low byte of a UTF-16 unit of it, in one case or the other. Each byte
    // is two hex digits with no hex digit before them, on the lines from a
    // "hex(" through the first line that neither continues (no backslash)
    // nor is blank or a comment. False only when no term can be there.
    bool hexMayName(std::string_view text, size_t at) const {
        if (!hexUsable_) return true;
        uint64_t seen[2] = {};  // the ASCII bytes found
        hexStringBytes(text, at, seen);
        auto has = [&](unsigned b) { return (seen[b >> 6] >> (b & 63)) & 1; };
        for (const std::string& chars : hexChars_) {
            bool all = true;
            for (const char c : chars) {
                const auto b = static_cast<unsigned char>(c);
                if (!has(b) && !(b >= 'A' && b <= 'Z' && has(b | 0x20u))) {
                    all = false;
                    break;
                }
            }
            if (all) return true;
        }
        return false;
    }

    // The string values written as hex in `block` (hex(1), hex(2), hex(7)),
    // read line by line as the .reg reader reads them: whether the data of
    // one of them holds a term.
    bool hexStringNames(const Registry& r, const KeyBlock& block) {
        LineReader reader(r.source.view(), r.utf16, block.begin);
        RawLine raw;
        std::string room;
        bool first = true;
        bool pending = false;  // a hex string continued on the next line
        std::vector<uint8_t>& bytes = bytes_;
        while (reader.next(&raw) && raw.begin < block.end) {
            if (first) {
                first = false;  // the key line
                continue;
            }
            std::string_view s = skipBlanks(lineText(r.source.view(), r.utf16, raw, &room));
            if (pending) {
                if (s.empty() || s.front() == ';') continue;
                if (s.front() != '[' && s.front() != '@' && s.front() != '"') {
                    const HexEnd end = s.front() == ',' ? HexEnd::Bad : parseHexBytes(s, &bytes);
                    if (end != HexEnd::Continues) pending = false;
                    if (end == HexEnd::Done && dataNames(r, bytes)) return true;
                    continue;
                }
                pending = false;  // the value is skipped
            }
            if (s.empty() || (s.front() != '@' && s.front() != '"')) continue;
            if (s.front() == '@') {
                s.remove_prefix(1);
            } else if (!parseQuoted(s, nullptr)) {
                continue;
            }
            s = skipBlanks(s);
            if (s.empty() || s.front() != '=') continue;
            s = skipBlanks(s.substr(1));
            uint32_t type = 0;
            if (s.substr(0, 4) != "hex(") continue;
            s.remove_prefix(4);
            if (!parseHex32(s, &type) || s.substr(0, 2) != "):" || !isStringType(type)) continue;
            s.remove_prefix(2);
            bytes.clear();
            const HexEnd end = parseHexBytes(s, &bytes);
            if (end == HexEnd::Continues) pending = true;
            if (end == HexEnd::Done && dataNames(r, bytes)) return true;
        }
        // Continued into the block's end: looked at as far as it goes.
        return pending && dataNames(r, bytes);
    }

    // Whether hex string data, decoded as the reader decodes it, holds a
    // term (an ANSI string that is not ASCII is not decoded here: true).
    bool dataNames(const Registry& r, const std::vector<uint8_t>& bytes) {
        const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        std::string& data = data_;
        if (r.sourceFormat == RegFormat::Regedit4) {
            for (const char c : raw) {
                if (static_cast<unsigned char>(c) >= 0x80) return true;
            }
            data.assign(raw);
        } else {
            utf16leToUtf8(raw, &data);
        }
        data += '\0';
        // Folding keeps a run of ASCII as it is, upper-cased: a term of
        // printable ASCII (its own piece) is looked for without a copy.
        for (size_t i = 0; i < terms_.size(); ++i) {
            if (pieces_[i].size() == terms_[i].size()
                    ? holdsNoCase(data, terms_[i])
                    : foldName(data).find(terms_[i]) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    const std::vector<std::string>& terms_;
    std::vector<std::string> pieces_;
    std::vector<std::string_view> pieceViews_;  // the pieces, none holding another
    std::vector<std::string_view> lookedFor_;   // the pieces, then "HEX("
    bool usable_ = true;
    // Per term, the characters of its piece, each once; hexUsable_ when
    // every term has one.
    std::vector<std::string> hexChars_;
    bool hexUsable_ = true;
    std::string decoded_, data_;
    std::vector<uint8_t> bytes_;
};

// A folder the walk leaves out (the store's backups/ when it lies on the
// drive, as an installation's does).
struct Skipped {
    dev_t dev = 0;
    ino_t ino = 0;
    bool any = false;
};

void walkDrive(int dirFd, const std::string& windowsDir, const std::vector<std::string>& terms,
               size_t limit, int depth, const Skipped& skipped, std::vector<std::string>* out) {
    Fd own(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* d = ::fdopendir(own.release());
    if (!d) return;
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (skipped.any && st.st_dev == skipped.dev && st.st_ino == skipped.ino) continue;
        entries.push_back({name, S_ISDIR(st.st_mode)});
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        if (out->size() >= limit) break;
        const std::string path = windowsDir + "\\" + entry.first;
        if (containsAny(foldName(entry.first), terms)) out->push_back(path);
        if (entry.second && depth < 64) {
            Fd sub(::openat(::dirfd(d), entry.first.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.valid()) walkDrive(sub.get(), path, terms, limit, depth + 1, skipped, out);
        }
    }
    ::closedir(d);
}

// The look at the text a search needs, taken ahead on a second thread
// (startTraceSearch): for each key the walk reaches without building
// anything, whether its values may name a term, and for each subtree still
// in the text, whether it may. Only the base text is read there, which stays
// as it is while the registry holds it (a commit writes a new file and
// keeps it), at the places of the blocks copied here; the walk takes an
// answer only for a key whose blocks are still at those places.
struct TextLook {
    const RegKey* key;
    bool subtree;  // the subtree still in the text; otherwise the key's values
    const Registry* registry;
    size_t first, count;  // its blocks in LookAhead::blocks
    bool mayName = true;
};

struct LookAhead {
    std::vector<std::string> terms;  // folded
    const RegKey* top = nullptr;
    std::vector<TextLook> looks;
    std::vector<KeyBlock> blocks;
    std::thread thread;

    ~LookAhead() { wait(); }
    void wait() {
        if (thread.joinable()) thread.join();
    }
    void drop() {
        wait();
        looks.clear();
        blocks.clear();
        terms.clear();
        top = nullptr;
    }
    template <typename Blocks>
    void add(const RegKey* key, bool subtree, const Blocks& keyBlocks) {
        const size_t first = blocks.size();
        for (const KeyBlock& block : keyBlocks) blocks.push_back(block);
        looks.push_back({key, subtree, key->registry, first, blocks.size() - first});
    }
    // Whether `keyBlocks` are the blocks `look` was taken at.
    template <typename Blocks>
    bool same(const TextLook& look, const Blocks& keyBlocks) const {
        size_t i = 0;
        for (const KeyBlock& block : keyBlocks) {
            if (i == look.count) return false;
            const KeyBlock& copied = blocks[look.first + i];
            if (block.begin != copied.begin || block.end != copied.end) return false;
            ++i;
        }
        return i == look.count;
    }
};

LookAhead& lookAhead() {
    static LookAhead ahead;
    return ahead;
}

// The answers of the look taken ahead, by key.
class LookedAt {
public:
    LookedAt(const std::vector<std::string>& terms, const RegKey* top) {
        LookAhead& ahead = lookAhead();
        if (ahead.top == nullptr) return;
        ahead.wait();
        if (ahead.terms == terms && ahead.top == top) {
            values_.reserve(ahead.looks.size());
            for (const TextLook& look : ahead.looks) {
                (look.subtree ? subtrees_ : values_).emplace(look.key, &look);
            }
        } else {
            ahead.drop();
        }
    }
    ~LookedAt() { lookAhead().drop(); }
    LookedAt(const LookedAt&) = delete;
    LookedAt& operator=(const LookedAt&) = delete;

    // The answer for `key`'s values when it was looked at in the blocks it
    // has now; -1 when it was not.
    int values(const RegKey& key) const {
        const auto it = values_.find(&key);
        if (it == values_.end() || !lookAhead().same(*it->second, key.blocks)) return -1;
        return it->second->mayName ? 1 : 0;
    }
    int subtree(const RegKey& key, const DeferredKeys& keys) const {
        const auto it = subtrees_.find(&key);
        if (it == subtrees_.end() || !lookAhead().same(*it->second, keys.blocks)) return -1;
        return it->second->mayName ? 1 : 0;
    }

private:
    std::unordered_map<const RegKey*, const TextLook*> values_, subtrees_;
};

std::vector<std::string> foldedTerms(const std::vector<std::string>& wanted) {
    std::vector<std::string> terms;
    for (const std::string& t : wanted) {
        if (!t.empty()) terms.push_back(foldName(t));
    }
    return terms;
}

}  // namespace

void endTraceSearch() { lookAhead().drop(); }

void startTraceSearch(const std::vector<std::string>& wanted) {
    LookAhead& ahead = lookAhead();
    ahead.drop();
    Machine* m = currentMachine();
    std::vector<std::string> terms = foldedTerms(wanted);
    // An installation's hives are read whole by the search itself.
    if (!m || terms.empty() || m->hives) return;
    const RegKey* top = m->registry.localMachine.get();
    // The keys as the walk reaches them, with nothing built here.
    std::vector<const RegKey*> stack = {top};
    while (!stack.empty()) {
        const RegKey* key = stack.back();
        stack.pop_back();
        if (key->valuesInText()) {
            ahead.add(key, false, key->blocks);
        }
        const DeferredKeys* deferred = key->subkeys.deferredKeys();
        const Subkeys::List& held = key->subkeys.held();
        if (deferred && held.empty()) {
            ahead.add(key, true, deferred->blocks);
            continue;
        }
        for (const auto& sub : held) stack.push_back(sub.get());
    }
    ahead.terms = terms;
    ahead.top = top;
    try {
        ahead.thread = inBackground([&ahead, terms] {
            KeyText keyText(terms);
            for (TextLook& look : ahead.looks) {
                look.mayName = keyText.blocksMayName(*look.registry,
                                                     ahead.blocks.data() + look.first, look.count);
            }
        });
    } catch (const std::system_error&) {
        ahead.drop();  // the search looks for itself
    }
}

std::vector<std::string> findTraces(const std::vector<std::string>& wanted, size_t limit) {
    std::vector<std::string> out;
    Machine* m = currentMachine();
    const std::vector<std::string> terms = foldedTerms(wanted);
    if (!m || terms.empty()) {
        endTraceSearch();
        return out;
    }
    // Everything the installation holds, whichever kind it was read from:
    // hives are read whole for this (the machine holds only what the
    // simulated API reads).
    Registry whole;
    const RegKey* top = m->registry.localMachine.get();
    if (m->hives && !m->hives->win9x()) {
        std::string why;
        if (m->hives->loadWhole(whole, &why)) {
            top = whole.localMachine.get();
        } else {
            tell(why);
        }
    }
    // Depth first in the order of names (as an export lists them, whatever
    // order the source keeps), without recursion: the tree may be deep. The
    // path is one buffer cut back to the parent's length and extended by the
    // key's name, so that a key costs its own name, not its depth.
    KeyText keyText(terms);
    const LookedAt lookedAt(terms, top);
    auto byName = [](const RegKey* a, const RegKey* b) { return a->fold < b->fold; };
    std::vector<std::pair<const RegKey*, size_t>> stack = {{top, 0}};  // key, parent's length
    std::string path;
    std::vector<const RegKey*> children;
    while (!stack.empty() && out.size() < limit) {
        const auto [key, parentLength] = stack.back();
        stack.pop_back();
        path.resize(parentLength);
        if (parentLength > 0) path += '\\';
        path += key->name;
        if (key->parent && containsAny(key->fold, terms)) out.push_back(path);
        // Values still in the text are read for the search, not kept, and
        // only when the key's text could name a term.
        std::vector<std::string> named;
        auto visit = [&](const RegValue& v) {
            if (!isStringType(v.type)) return;
            const std::string data(v.data.begin(), v.data.end());
            if (containsAny(foldName(data), terms)) {
                named.push_back(path + " : " + (v.name.empty() ? "(Default)" : v.name));
            }
        };
        if (key->valuesInText()) {
            const int looked = lookedAt.values(*key);
            if (looked == 1 || (looked < 0 && keyText.mayName(*key))) key->visitValues(visit);
        } else {
            key->visitValues(visit);
        }
        std::sort(named.begin(), named.end(), [](const std::string& a, const std::string& b) {
            return foldName(a) < foldName(b);
        });
        for (size_t i = 0; i < named.size() && out.size() < limit; ++i) out.push_back(named[i]);
        children.clear();
        // A subtree still in the text that names no term is not built.
        const DeferredKeys* deferred = key->subkeys.deferredKeys();
        if (deferred && key->subkeys.held().empty()) {
            const int looked = lookedAt.subtree(*key, *deferred);
            if (looked == 0 || (looked < 0 && !keyText.subtreeMayName(*key->registry, *deferred))) {
                continue;
            }
        }
        for (const auto& sub : key->subkeys) children.push_back(sub.get());
        if (!std::is_sorted(children.begin(), children.end(), byName)) {
            std::sort(children.begin(), children.end(), byName);
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            stack.push_back({*it, path.size()});
        }
    }
    Skipped skipped;
    struct stat st;
    if (::fstatat(m->lock.get(), "backups", &st, AT_SYMLINK_NOFOLLOW) == 0) {
        skipped = Skipped{st.st_dev, st.st_ino, true};
    }
    Fd drive(::open(m->driveDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (drive.valid() && out.size() < limit) {
        walkDrive(drive.get(), "C:", terms, limit, 0, skipped, &out);
    }
    return out;
}

}  // namespace winsim
