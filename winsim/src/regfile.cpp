#include "winsim/src/regfile.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "winsim/api/win32_registry.h"
#include "winsim/src/codepage.h"
#include "winsim/src/store.h"

namespace winsim {

namespace {

const char kHeader4[] = "REGEDIT4";
const char kHeader5[] = "Windows Registry Editor Version 5.00";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view skipBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    return s;
}

// Rest of a line after a value's data: blanks, then nothing or a ';' comment.
bool onlyCommentLeft(std::string_view s) {
    s = skipBlanks(s);
    return s.empty() || s.front() == ';';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1..8 hex digits at the front of `s`; advances past them.
bool parseHex32(std::string_view& s, uint32_t* out) {
    size_t n = 0;
    uint32_t v = 0;
    while (n < s.size() && hexDigit(s[n]) >= 0) {
        if (n == 8) return false;
        v = (v << 4) | static_cast<uint32_t>(hexDigit(s[n]));
        ++n;
    }
    if (n == 0) return false;
    s.remove_prefix(n);
    *out = v;
    return true;
}

// The end of the plain stretch of a quoted string at the front of `s`
// (which starts with '"'): the place of the first quote or backslash after
// the opening quote, or s.size().
size_t plainQuotedEnd(std::string_view s) {
    size_t end = 1;
    while (end < s.size() && s[end] != '"' && s[end] != '\\') ++end;
    return end;
}

// A quoted string at the front of `s` (which starts with '"'): unescapes
// \\ and \" and advances past the closing quote. \0 or no closing quote:
// false. A null `out`: the text is only checked.
bool parseQuoted(std::string_view& s, std::string* out) {
    if (out) out->clear();
    // The common case: no escapes before the closing quote.
    const size_t plainEnd = plainQuotedEnd(s);
    if (plainEnd < s.size() && s[plainEnd] == '"') {
        if (out) out->assign(s.data() + 1, plainEnd - 1);
        s.remove_prefix(plainEnd + 1);
        return true;
    }
    size_t i = 1;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\' && i + 1 < s.size()) {
            const char n = s[i + 1];
            if (n == '\\' || n == '"') {
                if (out) *out += n;
                i += 2;
                continue;
            }
            if (n == '0') return false;
        }
        if (out) *out += c;
        ++i;
    }
    return false;
}

enum class HexEnd { Done, Continues, Bad };

// Comma-separated two-digit hex bytes, then end, a ';' comment, or (right
// after a comma) a backslash announcing a continuation line. The bytes go
// into `bytes` unless it is null (the line only checked).
HexEnd parseHexBytes(std::string_view s, std::vector<uint8_t>* bytes) {
    bool afterComma = true;  // at the start a byte may come
    bool any = false;
    while (true) {
        // The common run first: "xx," without blanks, as an export writes.
        while (afterComma && s.size() >= 3 && s[2] == ',') {
            const int high = hexDigit(s[0]), low = hexDigit(s[1]);
            if (high < 0 || low < 0) break;
            if (bytes) bytes->push_back(static_cast<uint8_t>(high * 16 + low));
            any = true;
            s.remove_prefix(3);
        }
        s = skipBlanks(s);
        if (s.empty() || s.front() == ';') return HexEnd::Done;
        if (s.front() == '\\') {
            if (!(any && afterComma)) return HexEnd::Bad;
            s.remove_prefix(1);
            return onlyCommentLeft(s) ? HexEnd::Continues : HexEnd::Bad;
        }
        if (!afterComma) return HexEnd::Bad;
        if (s.size() < 2 || hexDigit(s[0]) < 0 || hexDigit(s[1]) < 0) return HexEnd::Bad;
        if (bytes) bytes->push_back(static_cast<uint8_t>(hexDigit(s[0]) * 16 + hexDigit(s[1])));
        any = true;
        s.remove_prefix(2);
        s = skipBlanks(s);
        afterComma = false;
        if (!s.empty() && s.front() == ',') {
            s.remove_prefix(1);
            afterComma = true;
        }
    }
}

// A header line, with the byte order mark a UTF-16 file appended to another
// brings along (U+FEFF in UTF-8).
bool isHeaderLine(std::string_view s) {
    if (s.substr(0, 3) == "\xEF\xBB\xBF") s.remove_prefix(3);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s == kHeader4 || s == kHeader5;
}

bool isAscii(std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// UTF-16 units of a UTF-8 text: the unit Windows counts name lengths in.
size_t utf16Length(std::string_view s) {
    size_t n = 0;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80) ++n;
        if (c >= 0xF0) ++n;
    }
    return n;
}

// One line of the raw text: content [begin, end), next line at `next`.
struct RawLine {
    size_t begin = 0, end = 0, next = 0;
};

// The first CR or LF in d[from, n) in one pass over the line, 16 bytes at a
// time (two memchr calls per line, one for each, cost more than the line's
// bytes): bytes, or UTF-16LE units when `Wide` (`from` even, as every unit
// starts). Without one: n, or for units the place past the last whole unit.
template <bool Wide>
size_t breakFrom(const char* d, size_t from, size_t n) {
    size_t q = from;
#if defined(__SSE2__)
    const __m128i cr = Wide ? _mm_set1_epi16(0x0D) : _mm_set1_epi8('\r');
    const __m128i lf = Wide ? _mm_set1_epi16(0x0A) : _mm_set1_epi8('\n');
    for (; q + 16 <= n; q += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + q));
        const __m128i hit = Wide ? _mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf))
                                 : _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (hits != 0) return q + static_cast<size_t>(__builtin_ctz(hits));
    }
#endif
    const size_t unit = Wide ? 2 : 1;
    for (; q + unit <= n; q += unit) {
        if ((d[q] == '\r' || d[q] == '\n') && (!Wide || d[q + 1] == 0)) return q;
    }
    return q;
}

// Splits the raw bytes of a file into lines at CR, LF or CR LF (in UTF-16
// units for a UTF-16 file). A last line without a line end counts when it
// is not empty.
class LineReader {
public:
    LineReader(std::string_view s, bool utf16) : s_(s), utf16_(utf16), pos_(utf16 ? 2 : 0) {}
    // From `from`, the start of a line.
    LineReader(std::string_view s, bool utf16, size_t from) : s_(s), utf16_(utf16), pos_(from) {}

    bool next(RawLine* line) {
        const size_t n = s_.size();
        const char* d = s_.data();
        if (pos_ >= n) return false;
        size_t p = pos_;
        line->begin = p;
        if (!utf16_) {
            p = breakFrom<false>(d, p, n);
            line->end = p;
            if (p < n) p += (d[p] == '\r' && p + 1 < n && d[p + 1] == '\n') ? 2 : 1;
        } else {
            auto unit = [&](size_t at) {
                return static_cast<unsigned>(static_cast<unsigned char>(d[at])) |
                       (static_cast<unsigned>(static_cast<unsigned char>(d[at + 1])) << 8);
            };
            p = breakFrom<true>(d, p, n);
            if (p + 1 >= n) {
                line->end = n;  // an odd byte left over stays with the last line
                p = n;
            } else {
                line->end = p;
                p += (unit(p) == 0x0D && p + 3 < n && unit(p + 2) == 0x0A) ? 4 : 2;
            }
        }
        line->next = p;
        pos_ = p;
        return true;
    }

private:
    std::string_view s_;
    bool utf16_;
    size_t pos_;
};

// The text of line `l` of `bytes` in UTF-8: a view of the bytes, or for a
// UTF-16 file the line decoded into `room`.
std::string_view lineText(std::string_view bytes, bool utf16, const RawLine& l, std::string* room) {
    const std::string_view raw = bytes.substr(l.begin, l.end - l.begin);
    if (!utf16) return raw;
    utf16leToUtf8(raw, room);
    return *room;
}

// A key during a base load, found by its parent and folded name. The name
// is a view of the child's own `fold`, which stays put while the key lives.
struct ChildName {
    const RegKey* parent;
    std::string_view fold;
    bool operator==(const ChildName& o) const { return parent == o.parent && fold == o.fold; }
};

struct ChildNameHash {
    size_t operator()(const ChildName& c) const {
        return std::hash<std::string_view>()(c.fold) ^
               (reinterpret_cast<uintptr_t>(c.parent) * 0x9E3779B97F4A7C15ull);
    }
};

// What the importer does with the lines it is given.
enum class Mode {
    Apply,  // a file imported into a registry: every change recorded
    Eager,  // the load of a base text, every value built and decoded
    Index,  // the load of a base text, values left in the text (the keys
            // marked so): lines checked and warned about, nothing built
    Names,  // one key's blocks read again: its values with their names,
            // types and places, the data left encoded
    Data,   // one value's lines read again: its type and data
};

class Importer {
public:
    Importer(Registry& registry, RegFormat format, unsigned codePage, const std::string& fileName,
             Mode mode, std::vector<std::string>& warnings)
        : reg_(registry),
          format_(format),
          codePage_(codePage),
          fileName_(fileName),
          mode_(mode),
          loading_(mode == Mode::Eager || mode == Mode::Index),
          warnings_(warnings) {}

    // Names and Data: the lines are read for `key`.
    void readFor(RegKey* key) { current_ = key; }
    // Names: only the value named `wanted` is read.
    void only(std::string_view wanted) {
        filtered_ = true;
        only_ = wanted;
    }

    // Names and Data, after the last line: a hex value still open is
    // complete when its lines ran to the end of the file (as at the end of
    // a load), and skipped when a key line ended it.
    void endReplay(bool atEndOfFile) {
        if (pending_ && atEndOfFile) commitPending();
        pending_ = false;
    }
    uint32_t dataType() const { return dataType_; }
    std::vector<uint8_t>& data() { return data_; }

    // False when the file breaks a limit (error() says where).
    bool line(const RawLine& raw, std::string_view text, int lineNo) {
        raw_ = raw;
        lineNo_ = lineNo;
        std::string_view s = skipBlanks(text);
        if (pending_) {
            if (s.empty() || s.front() == ';') return true;
            if (s.front() != '[' && s.front() != '@' && s.front() != '"') {
                continueHex(s);
                return true;
            }
            pending_ = false;
            warn(pendingLine_, "hex data continued by no line; value skipped");
            if (loading_ && current_)
                reg_.openEnds.push_back(Registry::OpenEnd{raw.begin, keyLine_});
        }
        if (s.empty() || s.front() == ';' || s.front() == '#') return true;
        if (isHeaderLine(s)) return true;  // the start of another export appended to this one
        if (s.front() == '[') return keyLine(s);
        if (s.front() == '@' || s.front() == '"') return valueLine(s);
        warn(lineNo_, "not a key, value or comment line; skipped");
        return true;
    }

    void finish(size_t end) {
        if (pending_) {
            commitPending();
            if (loading_ && current_) {
                reg_.openTailKey = current_;
                reg_.openTailBegin = pendingBegin_;
            }
        }
        closeBlock(end);
        endDeletionRegion(end);
        if (!loading_) return;
        // The map's room goes first, so that what comes next can reuse it.
        decltype(children_)().swap(children_);
        // Sibling lists were built in file order; put them in enumeration
        // order once (giving back what they grew by), then note where each
        // subtree ends in the text.
        std::vector<RegKey*> order;
        std::vector<RegKey*> stack = {reg_.localMachine.get()};
        for (auto& r : reg_.otherRoots) stack.push_back(r.get());
        while (!stack.empty()) {
            RegKey* k = stack.back();
            stack.pop_back();
            order.push_back(k);
            const Order* listed = orderOf(k);
            if (listed && *listed == Order::Descending) {
                std::reverse(k->subkeys.begin(), k->subkeys.end());
            } else if (listed) {
                std::sort(k->subkeys.begin(), k->subkeys.end(),
                          [](const std::shared_ptr<RegKey>& a, const std::shared_ptr<RegKey>& b) {
                              return a->fold < b->fold;
                          });
            }
            if (k->subkeys.capacity() > k->subkeys.size()) k->subkeys.shrink_to_fit();
            for (auto& sub : k->subkeys) stack.push_back(sub.get());
        }
        for (auto it = order.rbegin(); it != order.rend(); ++it) {
            RegKey* k = *it;
            if (!k->blocks.empty()) k->subtreeEnd = std::max(k->subtreeEnd, k->blocks.back().end);
            if (k->parent) k->parent->subtreeEnd = std::max(k->parent->subtreeEnd, k->subtreeEnd);
        }
        decltype(order_)().swap(order_);
        graveyard_.clear();
    }

    const std::string& error() const { return error_; }
    // Whether any text was decoded in the code page (a name or data outside
    // ASCII): read in another code page, the lines would give other text.
    bool codePageUsed() const { return codePageUsed_; }

private:
    void warn(int lineNo, const std::string& text) {
        warnings_.push_back(fileName_ + ":" + std::to_string(lineNo) + ": " + text);
    }

    std::string fromAnsi(std::string_view text) {
        codePageUsed_ = true;
        return ansiToUtf8(codePage_, text);
    }

    bool refuse(const std::string& text) {
        error_ = fileName_ + ":" + std::to_string(lineNo_) + ": " + text;
        return false;
    }

    void closeBlock(size_t at) {
        if (blockKey_) blockKey_->blocks.back().end = at;
        blockKey_ = nullptr;
    }

    // The key `parts` below `root` during a base load: siblings are
    // appended (sorted at the end) and found through a map.
    RegKey* baseKey(RegKey* root, const std::vector<std::string_view>& parts, bool create) {
        size_t k = 0;
        if (cacheRoot_ == root) {
            while (k < parts.size() && k < cacheLen_ && cache_[k].first == parts[k]) ++k;
        } else {
            cacheLen_ = 0;
            cacheRoot_ = root;
        }
        cacheLen_ = k;
        RegKey* key = k ? cache_[k - 1].second : root;
        for (; k < parts.size(); ++k) {
            std::string fold = foldName(parts[k]);
            RegKey* child = childOf(key, fold);
            if (!child) {
                if (!create) return nullptr;
                auto sub = newKey();
                sub->name = std::string(parts[k]);
                sub->fold = std::move(fold);
                sub->parent = key;
                sub->registry = &reg_;
                child = sub.get();
                addChild(key, std::move(sub));
            }
            // The entries past the valid ones keep their room for reuse.
            if (k < cache_.size()) {
                cache_[k].first.assign(parts[k]);
                cache_[k].second = child;
            } else {
                cache_.emplace_back(std::string(parts[k]), child);
            }
            cacheLen_ = k + 1;
            key = child;
        }
        return key;
    }

    // The order a key's subkeys came in so far, during a base load: keys
    // not listed are in ascending order (an export's).
    enum class Order { Descending, Mixed };

    Order* orderOf(const RegKey* key) {
        auto it = order_.find(key);
        return it == order_.end() ? nullptr : &it->second;
    }
    const Order* orderOf(const RegKey* key) const {
        auto it = order_.find(key);
        return it == order_.end() ? nullptr : &it->second;
    }

    // A child of `key` during a base load. A key's subkeys are appended in
    // file order; while that order is ascending or descending a binary
    // search finds them, and only the subkeys of the other keys go into the
    // (parent, name) map.
    RegKey* childOf(const RegKey* key, const std::string& fold) const {
        const auto& subs = key->subkeys;
        if (subs.empty()) return nullptr;
        const Order* order = orderOf(key);
        if (!order) {
            if (subs.back()->fold < fold) return nullptr;
            auto it = std::lower_bound(
                subs.begin(), subs.end(), fold,
                [](const std::shared_ptr<RegKey>& k, const std::string& f) { return k->fold < f; });
            return it != subs.end() && (*it)->fold == fold ? it->get() : nullptr;
        }
        if (*order == Order::Descending) {
            if (fold < subs.back()->fold) return nullptr;
            auto it = std::lower_bound(
                subs.begin(), subs.end(), fold,
                [](const std::shared_ptr<RegKey>& k, const std::string& f) { return f < k->fold; });
            return it != subs.end() && (*it)->fold == fold ? it->get() : nullptr;
        }
        auto it = children_.find(ChildName{key, fold});
        return it == children_.end() ? nullptr : it->second;
    }

    void addChild(RegKey* key, std::shared_ptr<RegKey> child) {
        auto& subs = key->subkeys;
        Order* order = orderOf(key);
        if (!subs.empty() && (!order || *order == Order::Descending)) {
            const bool ascending = subs.back()->fold < child->fold;
            const bool descending = child->fold < subs.back()->fold;
            if (!order && !ascending && subs.size() == 1 && descending) {
                order_.emplace(key, Order::Descending);
            } else if ((!order && !ascending) || (order && !descending)) {
                order_[key] = Order::Mixed;
                for (const auto& sub : subs) {
                    children_.emplace(ChildName{key, sub->fold}, sub.get());
                }
            }
            order = orderOf(key);
        }
        if (order && *order == Order::Mixed) {
            children_.emplace(ChildName{key, child->fold}, child.get());
        }
        subs.push_back(std::move(child));
    }

    bool baseDelete(RegKey* root, const std::vector<std::string_view>& parts) {
        RegKey* key = baseKey(root, parts, false);
        cacheLen_ = 0;
        cacheRoot_ = nullptr;
        if (!key) return false;
        RegKey* parent = key->parent;
        const Order* listed = orderOf(parent);
        if (listed && *listed == Order::Mixed) children_.erase(ChildName{parent, key->fold});
        auto& subs = parent->subkeys;
        for (auto it = subs.begin(); it != subs.end(); ++it) {
            if (it->get() == key) {
                // Kept until the load ends: no new key may reuse its address
                // while the map could still name it.
                graveyard_.push_back(*it);
                subs.erase(it);
                break;
            }
        }
        markDeleted(key);
        return true;
    }

    // The lines after a deletion line end where the next key line starts.
    void endDeletionRegion(size_t at) {
        for (auto& [map, path] : afterDeletion_) {
            size_t& end = (*map)[path];
            end = std::max(end, at);
        }
        afterDeletion_.clear();
    }

    bool keyLine(std::string_view s) {
        closeBlock(raw_.begin);
        endDeletionRegion(raw_.begin);
        // A bad key line and the values after it belong to no key.
        current_ = nullptr;
        s.remove_prefix(1);
        bool remove = false;
        if (!s.empty() && s.front() == '-') {
            remove = true;
            s.remove_prefix(1);
        }
        if (s.empty() || isBlank(s.front())) {
            warn(lineNo_, "blank after '[': key line ignored");
            return true;
        }
        const size_t close = s.rfind(']');
        if (close == std::string_view::npos) {
            warn(lineNo_, "key line without ']': ignored");
            return true;
        }
        std::string_view full = s.substr(0, close);
        if (format_ != RegFormat::V5Utf16 && !isAscii(full)) {
            fullText_ = fromAnsi(full);
            full = fullText_;
        }
        const size_t slash = full.find('\\');
        const std::string_view root = Registry::canonicalRootName(full.substr(0, slash));
        if (root.empty()) {
            warn(lineNo_, "unknown root key '" + std::string(full.substr(0, slash)) + "': ignored");
            return true;
        }
        rootName_.assign(root);
        const std::string& rootName = rootName_;
        std::vector<std::string_view>& parts = parts_;
        parts.clear();
        if (slash != std::string_view::npos &&
            (!splitKeyPathViews(full.substr(slash + 1), &parts) || parts.empty())) {
            warn(lineNo_, "empty key name in path: ignored");
            return true;
        }
        if (parts.size() > kMaxKeyDepth) {
            return refuse("key nested " + std::to_string(parts.size()) +
                          " levels deep; Windows allows 512");
        }
        for (const auto& p : parts) {
            if (utf16Length(p) > kMaxKeyNameChars) {
                return refuse("key name of " + std::to_string(utf16Length(p)) +
                              " characters; Windows allows 255");
            }
        }
        if (rootName != "HKEY_LOCAL_MACHINE") {
            warn(lineNo_, "key under " + rootName + " is not part of this machine; ignored");
        }
        RegKey* key = reg_.root(rootName, true);
        if (remove) {
            if (parts.empty()) {
                warn(lineNo_, "a root key cannot be deleted; ignored");
                return true;
            }
            if (loading_) {
                std::string path = rootName;
                for (const auto& p : parts) path += "\\" + foldName(p);
                // Both places are the end of the lines that follow this one
                // up to the next key line: values there belong to no key,
                // and a key line put before them would take them.
                afterDeletion_.emplace_back(&reg_.deletionLines, path);
                if (baseDelete(key, parts)) {
                    // The deleted keys' lines still make every key above.
                    std::string above = rootName;
                    for (const auto& p : parts) {
                        above += "\\" + foldName(p);
                        afterDeletion_.emplace_back(&reg_.impliedEnds, above);
                    }
                }
                return true;
            }
            for (size_t i = 0; i + 1 < parts.size() && key; ++i) key = key->findSubkey(parts[i]);
            if (key) key->removeSubkey(parts.back());
            return true;
        }
        if (loading_) {
            key = baseKey(key, parts, true);
            key->blocks.push_back(
                KeyBlock{static_cast<uint32_t>(raw_.begin), 0, static_cast<uint32_t>(raw_.next)});
            blockKey_ = key;
            keyLine_ = Span{raw_.begin, raw_.next};
        } else {
            for (const auto& p : parts) key = key->createSubkey(p);
        }
        current_ = key;
        return true;
    }

    // Whether value lines are decoded into data (not in Index and Names).
    bool wantData() const {
        return mode_ == Mode::Apply || mode_ == Mode::Eager || mode_ == Mode::Data;
    }

    // Index: the current key has a value line (or deletion) at `span`, left
    // in the text.
    void noteInText(Span span) {
        current_->setValuesInText();
        current_->blocks.back().tail = span.end;
    }

    void put(const std::string& name, uint32_t type, std::vector<uint8_t> data, Span span) {
        switch (mode_) {
            case Mode::Apply:
                current_->setValue(name, type, std::move(data));
                return;
            case Mode::Index:
                noteInText(span);
                return;
            case Mode::Data:
                dataType_ = type;
                data_ = std::move(data);
                return;
            case Mode::Eager:
            case Mode::Names:
                break;
        }
        bool created = false;
        RegValue& v = current_->valueSlot(name, foldName(name), &created);
        if (!created && v.line.valid()) v.earlier.push_back(v.line);
        v.type = type;
        v.data = std::move(data);
        v.line = span;
        v.changed = false;
        v.encoded = mode_ == Mode::Names;
        if (mode_ == Mode::Eager) current_->blocks.back().tail = span.end;
    }

    // A value deletion line of the current key.
    void unset(const std::string& name, Span span) {
        switch (mode_) {
            case Mode::Apply:
                current_->removeValue(name);
                return;
            case Mode::Index:
                noteInText(span);
                return;
            case Mode::Data:
                return;
            case Mode::Eager:
            case Mode::Names:
                break;
        }
        // Not recorded: the value was never there as far as the log goes.
        const size_t at = current_->valueIndex(foldName(name));
        if (at != kNoOffset) current_->eraseValueAt(at);
        if (mode_ == Mode::Eager) current_->blocks.back().tail = span.end;
    }

    bool valueLine(std::string_view s) {
        std::string name;
        if (s.front() == '@') {
            s.remove_prefix(1);
        } else if (!parseQuoted(s, &name)) {
            warn(lineNo_, "bad value name; line skipped");
            return true;
        } else {
            if (format_ != RegFormat::V5Utf16 && !isAscii(name)) {
                name = fromAnsi(name);
            }
            if (utf16Length(name) > kMaxValueNameChars) {
                return refuse("value name of " + std::to_string(utf16Length(name)) +
                              " characters; Windows allows 16,383");
            }
        }
        if (filtered_ && !namesEqual(name, only_)) return true;
        s = skipBlanks(s);
        if (s.empty() || s.front() != '=') {
            warn(lineNo_, "no '=' after the value name; line skipped");
            return true;
        }
        s = skipBlanks(s.substr(1));
        if (!current_) {
            warn(lineNo_, "value without a valid key; skipped");
            return true;
        }
        const Span here{raw_.begin, raw_.next};
        if (!s.empty() && s.front() == '"') {
            std::string& data = scratch_;
            if (!parseQuoted(s, wantData() ? &data : nullptr) || !onlyCommentLeft(s)) {
                warn(lineNo_, "bad string data; line skipped");
                return true;
            }
            if (!wantData()) {
                put(name, REG_SZ, {}, here);
                return true;
            }
            std::string converted;
            if (format_ != RegFormat::V5Utf16 && !isAscii(data)) {
                converted = fromAnsi(data);
            }
            const std::string& text = converted.empty() ? data : converted;
            std::vector<uint8_t> bytes;
            bytes.reserve(text.size() + 1);
            bytes.assign(text.begin(), text.end());
            bytes.push_back(0);
            put(name, REG_SZ, std::move(bytes), here);
            return true;
        }
        if (!s.empty() && s.front() == '-') {
            if (!onlyCommentLeft(s.substr(1))) {
                warn(lineNo_, "bad value deletion; line skipped");
                return true;
            }
            unset(name, here);
            return true;
        }
        if (s.substr(0, 6) == "dword:") {
            s.remove_prefix(6);
            uint32_t v = 0;
            if (!parseHex32(s, &v) || !onlyCommentLeft(s)) {
                warn(lineNo_, "bad dword data; line skipped");
                return true;
            }
            if (!wantData()) {
                put(name, REG_DWORD, {}, here);
                return true;
            }
            put(name, REG_DWORD,
                {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                 static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)},
                here);
            return true;
        }
        uint32_t type = REG_BINARY;
        if (s.substr(0, 4) == "hex:") {
            s.remove_prefix(4);
        } else if (s.substr(0, 4) == "hex(") {
            s.remove_prefix(4);
            if (!parseHex32(s, &type) || s.substr(0, 2) != "):") {
                warn(lineNo_, "bad hex type; line skipped");
                return true;
            }
            s.remove_prefix(2);
        } else {
            warn(lineNo_, "unknown value data; line skipped");
            return true;
        }
        pendingName_ = name;
        pendingType_ = type;
        pendingBytes_.clear();
        pendingLine_ = lineNo_;
        pendingBegin_ = raw_.begin;
        pendingEnd_ = raw_.next;
        const HexEnd end = parseHexBytes(s, wantData() ? &pendingBytes_ : nullptr);
        if (end == HexEnd::Bad) {
            warn(lineNo_, "bad hex data; line skipped");
        } else if (end == HexEnd::Continues) {
            pending_ = true;
        } else {
            commitPending();
        }
        return true;
    }

    void continueHex(std::string_view s) {
        pendingEnd_ = raw_.next;
        if (s.front() == ',') {
            pending_ = false;
            warn(lineNo_, "continuation line starts with a comma; value skipped");
            return;
        }
        const HexEnd end = parseHexBytes(s, wantData() ? &pendingBytes_ : nullptr);
        if (end == HexEnd::Bad) {
            pending_ = false;
            warn(lineNo_, "bad hex data in continuation; value skipped");
        } else if (end == HexEnd::Done) {
            pending_ = false;
            commitPending();
        }
    }

    void commitPending() {
        pending_ = false;
        // pendingBytes_ keeps its room for the next value; the value gets a
        // vector of its own size.
        std::vector<uint8_t> data;
        if (!wantData()) {
            // Checked, not kept.
        } else if (isStringType(pendingType_)) {
            const std::string_view raw(reinterpret_cast<const char*>(pendingBytes_.data()),
                                       pendingBytes_.size());
            const bool ascii = format_ == RegFormat::Regedit4 && isAscii(raw);
            const std::string text = ascii                            ? std::string()
                                     : format_ == RegFormat::Regedit4 ? fromAnsi(raw)
                                                                      : utf16leToUtf8(raw);
            const std::string_view utf = ascii ? raw : std::string_view(text);
            const bool addZero = pendingType_ != 1 && (utf.empty() || utf.back() != 0);
            data.reserve(utf.size() + (addZero ? 1 : 0));
            data.assign(utf.begin(), utf.end());
            if (addZero) data.push_back(0);
        } else {
            data.assign(pendingBytes_.begin(), pendingBytes_.end());
        }
        pendingBytes_.clear();
        if (current_)
            put(pendingName_, pendingType_, std::move(data), {pendingBegin_, pendingEnd_});
    }

    Registry& reg_;
    RegFormat format_;
    unsigned codePage_;
    bool codePageUsed_ = false;
    const std::string& fileName_;
    Mode mode_;
    bool loading_;  // Eager or Index: key lines come, places are noted
    std::vector<std::string>& warnings_;
    bool filtered_ = false;  // Names: only the value named only_
    std::string_view only_;
    uint32_t dataType_ = 0;      // Data: what the value's lines say
    std::vector<uint8_t> data_;  // Data
    std::string error_;
    RawLine raw_;
    int lineNo_ = 0;
    RegKey* current_ = nullptr;
    RegKey* blockKey_ = nullptr;  // key of the open block (base load)
    Span keyLine_;
    bool pending_ = false;
    std::string pendingName_;
    uint32_t pendingType_ = 0;
    std::vector<uint8_t> pendingBytes_;
    std::string scratch_;  // a string value's unescaped text
    int pendingLine_ = 0;
    size_t pendingBegin_ = 0, pendingEnd_ = 0;  // the value's lines so far
    // Base load: (parent, folded name) -> key, and the last key line's path.
    std::unordered_map<ChildName, RegKey*, ChildNameHash> children_;
    std::unordered_map<const RegKey*, Order> order_;  // Mixed: the subkeys are in children_
    RegKey* cacheRoot_ = nullptr;
    std::vector<std::pair<std::string, RegKey*>> cache_;  // the first cacheLen_ are valid
    size_t cacheLen_ = 0;
    std::string fullText_;                 // a converted key path
    std::string rootName_;                 // canonical root of the key line
    std::vector<std::string_view> parts_;  // the key line's path below the root
    std::vector<std::shared_ptr<RegKey>> graveyard_;
    std::vector<std::pair<std::unordered_map<std::string, size_t>*, std::string>> afterDeletion_;
};

// ---- writing values ----

std::string escapeName(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

void appendHex(std::string& out, std::string line, const std::vector<uint8_t>& bytes,
               const std::string& eol) {
    static const char kDigits[] = "0123456789abcdef";
    constexpr size_t kMaxLine = 80;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const bool last = i + 1 == bytes.size();
        // Room for "xx," and, if the line must break after it, the "\".
        if (i > 0 && line.size() + 3 + 1 > kMaxLine) {
            out += line + "\\" + eol;
            line = "  ";
        }
        line += kDigits[bytes[i] >> 4];
        line += kDigits[bytes[i] & 15];
        if (!last) line += ',';
    }
    out += line + eol;
}

bool plainString(const RegValue& v) {
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < v.data.size(); ++i) {
        const uint8_t c = v.data[i];
        if (c == 0 || c == '\r' || c == '\n') return false;
    }
    return true;
}

// A value's line(s) in UTF-8, each ended by `eol`.
std::string renderValue(const RegValue& v, RegFormat format, unsigned codePage,
                        const std::string& eol) {
    std::string out;
    std::string line = v.name.empty() ? "@=" : "\"" + escapeName(v.name) + "\"=";
    if (plainString(v)) {
        return line + "\"" + escapeName(std::string(v.data.begin(), v.data.end() - 1)) + "\"" + eol;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        const uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                           (static_cast<uint32_t>(v.data[3]) << 24);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        return line + buf + eol;
    }
    std::vector<uint8_t> bytes = v.data;
    if (isStringType(v.type)) {
        const std::string text(v.data.begin(), v.data.end());
        const std::string enc =
            format == RegFormat::Regedit4 ? utf8ToAnsi(codePage, text) : utf8ToUtf16le(text);
        bytes.assign(enc.begin(), enc.end());
    }
    if (v.type == REG_BINARY) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        line += buf;
    }
    appendHex(out, line, bytes, eol);
    return out;
}

std::string encodeText(const std::string& utf8, RegFormat format, unsigned codePage) {
    return format == RegFormat::V5Utf16 ? utf8ToUtf16le(utf8) : utf8ToAnsi(codePage, utf8);
}

// Every key of the subtrees, each with its own key line (roots only when
// they hold values), in enumeration order; no recursion.
std::string wholeText(const std::vector<RegSubtree>& subtrees, RegFormat format, unsigned codePage,
                      bool rootsAreRoots) {
    std::string text = format == RegFormat::Regedit4 ? kHeader4 : kHeader5;
    text += "\r\n\r\n";
    for (const auto& top : subtrees) {
        std::vector<std::pair<const RegKey*, std::string>> stack = {{top.key, top.path}};
        while (!stack.empty()) {
            auto [key, path] = std::move(stack.back());
            stack.pop_back();
            const bool isRoot = rootsAreRoots && key == top.key;
            if (!isRoot || !key->values().empty()) {
                text += "[" + path + "]\r\n";
                for (const auto& v : key->values())
                    text += renderValue(v, format, codePage, "\r\n");
                text += "\r\n";
            }
            for (auto it = key->subkeys.rbegin(); it != key->subkeys.rend(); ++it) {
                stack.emplace_back(it->get(), path + "\\" + (*it)->name);
            }
        }
    }
    if (format == RegFormat::V5Utf16) return "\xFF\xFE" + utf8ToUtf16le(text);
    return utf8ToAnsi(codePage, text);
}

// ---- patching the base text ----

struct Edit {
    size_t at;         // where it applies in the base text
    size_t end;        // removal / replacement: end of the replaced range
    int order;         // at one place: restored key lines, new values, new keys, removals
    size_t seq;        // then in the order made
    std::string text;  // encoded
};

class Patcher {
public:
    explicit Patcher(const Registry& r) : r_(r), unit_(r.utf16 ? 2 : 1) {}

    std::string run() {
        std::string out;
        out.reserve(r_.source.size() + 4096);
        adviseHugePages(out.data(), out.capacity());
        run([&out](const char* data, size_t size) {
            out.append(data, size);
            return true;
        });
        return out;
    }

    // The patched text in pieces, in order; false when `sink` refused one.
    bool run(const TextSink& sink) {
        collect();
        std::sort(removed_.begin(), removed_.end(),
                  [](const Span& a, const Span& b) { return a.begin < b.begin; });
        std::vector<Span> merged;
        for (const Span& s : removed_) {
            if (!merged.empty() && s.begin <= merged.back().end) {
                merged.back().end = std::max(merged.back().end, s.end);
            } else {
                merged.push_back(s);
            }
        }
        for (const Span& s : merged) edits_.push_back(Edit{s.begin, s.end, 3, seq_++, {}});
        // A key line that ended an open hex value goes: its block's own key
        // line takes its place (unless that block goes too).
        for (const auto& open : r_.openEnds) {
            if (inside(merged, open.at) && !inside(merged, open.keyLine.begin)) {
                edits_.push_back(
                    Edit{open.at, open.at, 0, seq_++,
                         std::string(r_.source.view().substr(
                             open.keyLine.begin, open.keyLine.end - open.keyLine.begin))});
            }
        }
        // Text written after a value the end of the file completed (only
        // blank and comment lines follow it) would end it instead: that
        // value is written out whole.
        if (r_.openTailKey && !r_.openTailKey->deleted) {
            for (const auto& v : r_.openTailKey->values()) {
                if (v.line.begin == r_.openTailBegin && !v.changed && lastInsert_ != kNoOffset &&
                    lastInsert_ >= v.line.end) {
                    replace(v);
                }
            }
        }
        std::sort(edits_.begin(), edits_.end(), [](const Edit& a, const Edit& b) {
            if (a.at != b.at) return a.at < b.at;
            if (a.order != b.order) return a.order < b.order;
            return a.seq < b.seq;
        });
        written_ = 0;
        const std::string eol = encodedEol();
        auto put = [&](const char* data, size_t size) {
            if (size == 0) return true;
            // The last two bytes written, for endsWithLineEnd.
            if (size >= 2) {
                last_[0] = data[size - 2];
                last_[1] = data[size - 1];
            } else {
                last_[0] = last_[1];
                last_[1] = data[0];
            }
            written_ += size;
            return sink(data, size);
        };
        size_t cursor = 0;
        for (const Edit& e : edits_) {
            if (e.at > cursor) {
                if (!put(r_.source.data() + cursor, e.at - cursor)) return false;
                cursor = e.at;
            }
            if (e.order < 3) {
                if (!endsWithLineEnd() && !put(eol.data(), eol.size())) return false;
                if (!put(e.text.data(), e.text.size())) return false;
            } else {
                if (!put(e.text.data(), e.text.size())) return false;
                cursor = std::max(cursor, e.end);
            }
        }
        if (cursor < r_.source.size()) {
            return put(r_.source.data() + cursor, r_.source.size() - cursor);
        }
        return true;
    }

private:
    static bool inside(const std::vector<Span>& ranges, size_t at) {
        auto it = std::upper_bound(ranges.begin(), ranges.end(), at,
                                   [](size_t v, const Span& s) { return v < s.begin; });
        if (it == ranges.begin()) return false;
        --it;
        return at >= it->begin && at < it->end;
    }

    std::string encode(const std::string& utf8) const {
        return encodeText(utf8, r_.sourceFormat, r_.codePage);
    }
    std::string encodedEol() const { return encode(r_.eol); }

    // Whether what run() has written so far ends with a line end.
    bool endsWithLineEnd() const {
        if (written_ <= (r_.utf16 ? 2u : 0u)) return true;
        const char c = unit_ == 2 ? last_[0] : last_[1];
        if (unit_ == 2 && last_[1] != 0) return false;
        return c == '\n' || c == '\r';
    }

    // The line end a span of the text ends with ("" for none), in UTF-8.
    std::string lineEndOf(const Span& s) const {
        std::string out;
        size_t at = s.end;
        for (int i = 0; i < 2 && at >= s.begin + unit_; ++i) {
            at -= unit_;
            if (unit_ == 2 && r_.source[at + 1] != 0) break;
            const char c = r_.source[at];
            if (c != '\n' && c != '\r') break;
            if (!out.empty() && !(c == '\r' && out == "\n")) break;
            out.insert(out.begin(), c);
        }
        return out;
    }

    // A changed value's line(s) in place, ended as the old ones were.
    void replace(const RegValue& v) {
        const std::string end = lineEndOf(v.line);
        std::string text = renderValue(v, r_.sourceFormat, r_.codePage, end.empty() ? r_.eol : end);
        if (end.empty()) text.resize(text.size() - r_.eol.size());
        edits_.push_back(Edit{v.line.begin, v.line.end, 3, seq_++, encode(text)});
    }

    void insert(size_t at, int order, const std::string& utf8) {
        // A UTF-16 file of odd length ends in half a unit: new text goes
        // before it, where the units line up.
        if (r_.utf16 && at % 2 == 1) --at;
        lastInsert_ = lastInsert_ == kNoOffset ? at : std::max(lastInsert_, at);
        edits_.push_back(Edit{at, at, order, seq_++, encode(utf8)});
    }

    // Where a new key's block goes: after the last block of the nearest
    // ancestor's subtree that has one, and after any line deleting the key
    // or one of its ancestors.
    size_t anchor(const RegKey* key) const {
        size_t at = r_.source.size();
        for (const RegKey* p = key->parent; p; p = p->parent) {
            if (p->subtreeEnd > 0) {
                at = p->subtreeEnd;
                break;
            }
        }
        if (!r_.deletionLines.empty() || !r_.impliedEnds.empty()) {
            std::vector<const RegKey*> chain;
            for (const RegKey* k = key; k; k = k->parent) chain.push_back(k);
            std::string path;
            for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
                if (it == chain.rbegin()) {
                    path = (*it)->name;
                    continue;
                }
                path += "\\" + (*it)->fold;
                auto found = r_.deletionLines.find(path);
                if (found != r_.deletionLines.end()) at = std::max(at, found->second);
                found = r_.impliedEnds.find(path);
                if (found != r_.impliedEnds.end()) at = std::max(at, found->second);
            }
        }
        return at;
    }

    void collect() {
        std::unordered_set<const RegKey*> seen;
        std::vector<const RegKey*> touched;
        auto touch = [&](const RegKey* k) {
            if (k && !k->deleted && seen.insert(k).second) touched.push_back(k);
        };
        for (const auto& e : r_.log()) {
            switch (e.kind) {
                case Registry::LogKind::KeyCreated:
                    touch(e.child.get());
                    break;
                case Registry::LogKind::KeyDeleted: {
                    touch(e.key);
                    // Lines of keys deleted in the text still make this
                    // one: a deletion line after them takes it away.
                    if (!r_.impliedEnds.empty()) {
                        std::vector<std::string> parts;
                        splitKeyPath(e.path, &parts);
                        std::string folded;
                        for (const auto& part : parts) {
                            folded += folded.empty() ? part : "\\" + foldName(part);
                        }
                        auto found = r_.impliedEnds.find(folded);
                        if (found != r_.impliedEnds.end()) {
                            insert(found->second, 2, "[-" + e.path + "]" + r_.eol);
                        }
                    }
                    std::vector<const RegKey*> stack = {e.child.get()};
                    while (!stack.empty()) {
                        const RegKey* k = stack.back();
                        stack.pop_back();
                        for (const auto& b : k->blocks) removed_.push_back(Span{b.begin, b.end});
                        for (const auto& sub : k->subkeys) stack.push_back(sub.get());
                    }
                    break;
                }
                case Registry::LogKind::ValueSet:
                    touch(e.key);
                    break;
                case Registry::LogKind::ValueDeleted:
                    if (e.before && e.before->line.valid()) {
                        removed_.push_back(e.before->line);
                        for (const auto& s : e.before->earlier) removed_.push_back(s);
                    }
                    break;
            }
        }
        // Parents before children, so that new keys at one place come in
        // tree order.
        std::vector<std::pair<std::string, const RegKey*>> order;
        for (const RegKey* k : touched) {
            std::vector<const RegKey*> chain;
            for (const RegKey* p = k; p; p = p->parent) chain.push_back(p);
            std::string path;
            for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += (*it)->fold + "\\";
            order.emplace_back(std::move(path), k);
        }
        std::sort(order.begin(), order.end());
        for (const auto& [path, key] : order) {
            if (!key->blocks.empty()) {
                const size_t tail = key->blocks.back().tail;
                for (const auto& v : key->values()) {
                    if (!v.line.valid()) {
                        insert(tail, 1, renderValue(v, r_.sourceFormat, r_.codePage, r_.eol));
                    } else if (v.changed) {
                        replace(v);
                    }
                }
                continue;
            }
            const bool isRoot = key->parent == nullptr;
            if (key->values().empty() && (isRoot || !key->subkeys.empty())) continue;
            std::string text = "[" + key->fullPath() + "]" + r_.eol;
            for (const auto& v : key->values()) {
                text += renderValue(v, r_.sourceFormat, r_.codePage, r_.eol);
            }
            text += r_.eol;
            insert(anchor(key), 2, text);
        }
    }

    const Registry& r_;
    size_t unit_;
    std::vector<Span> removed_;
    std::vector<Edit> edits_;
    size_t seq_ = 0;
    size_t lastInsert_ = kNoOffset;
    size_t written_ = 0;     // bytes run() gave its sink
    char last_[2] = {0, 0};  // the last two of them
};

bool isEmpty(const Registry& r) {
    return !r.hasSource && r.localMachine->subkeys.empty() && r.localMachine->values().empty() &&
           r.otherRoots.empty();
}

// Reads `bytes` into `registry`; see importRegFile.
bool readRegFile(std::string_view given, BaseText* movable, const std::string& fileName,
                 unsigned codePage, Registry& registry, RegImport* result, std::string* error,
                 bool asBase) {
    if (given.size() > kMaxBaseTextSize) {
        // Key blocks hold their places in 32 bits (the machine loader reads
        // at most 1 GiB anyway).
        *error = fileName + ": larger than 4 GiB; not read";
        return false;
    }
    const bool base = asBase && isEmpty(registry);
    if (base) {
        // The spans index the registry's own copy of the text.
        if (movable) {
            registry.source = std::move(*movable);
        } else {
            registry.source = std::string(given);
        }
    }
    const std::string_view bytes = base ? registry.source.view() : given;
    auto forget = [&registry, base] {
        if (!base) return;
        registry.source.clear();
        registry.hasSource = false;
    };
    const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE;
    LineReader reader(bytes, utf16);
    RawLine raw;
    std::string decoded;
    auto textOf = [&](const RawLine& l) { return lineText(bytes, utf16, l, &decoded); };
    int lineNo = 0;
    std::string_view header;
    bool any = false;
    while (reader.next(&raw)) {
        ++lineNo;
        header = skipBlanks(textOf(raw));
        if (!header.empty()) {
            any = true;
            break;
        }
    }
    RegFormat format;
    if (any && header == kHeader5) {
        format = utf16 ? RegFormat::V5Utf16 : RegFormat::V5Ansi;
    } else if (any && header == kHeader4 && !utf16) {
        format = RegFormat::Regedit4;
    } else {
        *error = fileName + ": not a registry file (the first line must be \"" + kHeader4 +
                 "\" or \"" + kHeader5 + "\")";
        forget();
        return false;
    }
    result->format = format;
    const size_t point = registry.savepoint();
    const bool wasRecording = registry.recording;
    if (base) {
        registry.recording = false;
        registry.hasSource = true;
        registry.utf16 = utf16;
        registry.sourceFormat = format;
        registry.codePage = codePage;
        // The file's own line end: the first one it uses.
        registry.eol = "\r\n";
        const size_t unit = utf16 ? 2 : 1;
        for (size_t p = utf16 ? 2 : 0; p + unit <= bytes.size(); p += unit) {
            if (utf16 && bytes[p + 1] != 0) continue;
            if (bytes[p] == '\n') {
                registry.eol = "\n";
                break;
            }
            if (bytes[p] == '\r') {
                const bool lf = p + 2 * unit <= bytes.size() && bytes[p + unit] == '\n' &&
                                (!utf16 || bytes[p + unit + 1] == 0);
                registry.eol = lf ? "\r\n" : "\r";
                break;
            }
        }
    }
    const Mode mode = !base ? Mode::Apply : registry.lazyValues ? Mode::Index : Mode::Eager;
    Importer importer(registry, format, codePage, fileName, mode, result->warnings);
    bool ok = true;
    while (ok && reader.next(&raw)) {
        ++lineNo;
        ok = importer.line(raw, textOf(raw), lineNo);
    }
    if (ok) importer.finish(bytes.size());
    result->codePageUsed = importer.codePageUsed();
    registry.recording = wasRecording;
    if (!ok) {
        *error = importer.error();
        if (base) {
            // Start again empty: nothing of the refused file stays.
            registry.clear();
        } else {
            registry.rollback(point);
        }
        return false;
    }
    return true;
}

// Feeds the lines of the base text in [from, to) to `importer`, the first
// one left out when `skipFirst` (a key line).
void replayLines(const Registry& r, size_t from, size_t to, bool skipFirst, Importer& importer) {
    LineReader reader(r.source, r.utf16, from);
    RawLine raw;
    std::string decoded;
    bool first = true;
    while (reader.next(&raw) && raw.begin < to) {
        if (first && skipFirst) {
            first = false;
            continue;
        }
        first = false;
        importer.line(raw, lineText(r.source, r.utf16, raw, &decoded), 0);
    }
}

// Reads the value lines of `key`'s blocks into `into`: names, types and
// places, the data left encoded.
void replayValueLines(const RegKey& key, RegKey& into) {
    const Registry& r = *key.registry;
    std::vector<std::string> ignored;  // the load gave the warnings
    const std::string noName;
    for (const KeyBlock& block : key.blocks) {
        Importer importer(const_cast<Registry&>(r), r.sourceFormat, r.codePage, noName, Mode::Names,
                          ignored);
        importer.readFor(&into);
        replayLines(r, block.begin, block.end, true, importer);
        importer.endReplay(block.end >= r.source.size());
    }
}

}  // namespace

void readValuesFromText(RegKey& key) { replayValueLines(key, key); }

void copyValuesFromText(const RegKey& key, RegKey& into) {
    const Registry& r = *key.registry;
    replayValueLines(key, into);
    for (RegValue& v : into.heldValues()) {
        decodeValueFromText(r, v);
        v.encoded = false;
    }
}

bool readValueFromText(const RegKey& key, std::string_view wanted, RegValue* found) {
    const Registry& r = *key.registry;
    std::vector<std::string> ignored;
    const std::string noName;
    RegKey scratch;  // gets the named value the way the key would
    for (const KeyBlock& block : key.blocks) {
        Importer importer(const_cast<Registry&>(r), r.sourceFormat, r.codePage, noName, Mode::Names,
                          ignored);
        importer.readFor(&scratch);
        importer.only(wanted);
        replayLines(r, block.begin, block.end, true, importer);
        importer.endReplay(block.end >= r.source.size());
    }
    std::vector<RegValue>& held = scratch.heldValues();
    if (held.empty()) return false;
    *found = std::move(held.front());
    return true;
}

QuickValue quickValueFromText(const RegKey& key, std::string_view wanted, RegValue* found) {
    const Registry& r = *key.registry;
    if (wanted.empty() || !isAscii(wanted)) return QuickValue::Unsure;
    std::string decoded;  // a line of a UTF-16 file, as the reader decodes it
    bool seen = false;
    for (const KeyBlock& block : key.blocks) {
        LineReader reader(r.source, r.utf16, block.begin);
        RawLine raw;
        bool first = true;
        while (reader.next(&raw) && raw.begin < block.end) {
            if (first) {
                first = false;  // the key line
                continue;
            }
            std::string_view s = skipBlanks(lineText(r.source, r.utf16, raw, &decoded));
            if (s.empty()) continue;
            if (s.front() == '@') continue;  // the default value: not `wanted`
            if (s.front() != '"') continue;  // no value line starts otherwise
            // The name, when it is plain ASCII without escapes.
            const size_t close = plainQuotedEnd(s);
            if (close == s.size()) continue;  // no closing quote: the line is skipped
            if (s[close] == '\\') return QuickValue::Unsure;
            const std::string_view name = s.substr(1, close - 1);
            if (!isAscii(name)) return QuickValue::Unsure;
            if (!namesEqual(name, wanted)) continue;
            // "name" = "ASCII text" [; comment], set once; the text may have
            // the escapes \\ and \" (a driver key's "{class}\\0007").
            if (seen) return QuickValue::Unsure;
            seen = true;
            s = skipBlanks(s.substr(close + 1));
            if (s.empty() || s.front() != '=') return QuickValue::Unsure;
            s = skipBlanks(s.substr(1));
            if (s.empty() || s.front() != '"') return QuickValue::Unsure;
            std::string data;
            if (!parseQuoted(s, &data) || !isAscii(data) || !onlyCommentLeft(s)) {
                return QuickValue::Unsure;
            }
            found->name.assign(name);
            found->type = REG_SZ;
            found->data.reserve(data.size() + 1);
            found->data.assign(data.begin(), data.end());
            found->data.push_back(0);
            found->line = Span{raw.begin, raw.next};
            found->changed = false;
            found->encoded = false;
        }
    }
    return seen ? QuickValue::Found : QuickValue::Absent;
}

void decodeValueFromText(const Registry& r, RegValue& value) {
    std::vector<std::string> ignored;
    const std::string noName;
    RegKey scratch;
    Importer importer(const_cast<Registry&>(r), r.sourceFormat, r.codePage, noName, Mode::Data,
                      ignored);
    importer.readFor(&scratch);
    replayLines(r, value.line.begin, value.line.end, false, importer);
    importer.endReplay(true);
    value.type = importer.dataType();
    value.data = std::move(importer.data());
}

bool importRegFile(std::string_view bytes, const std::string& fileName, unsigned codePage,
                   Registry& registry, RegImport* result, std::string* error, bool asBase) {
    return readRegFile(bytes, nullptr, fileName, codePage, registry, result, error, asBase);
}

bool importRegFile(std::string&& bytes, const std::string& fileName, unsigned codePage,
                   Registry& registry, RegImport* result, std::string* error, bool asBase) {
    BaseText text(std::move(bytes));
    return readRegFile(text.view(), &text, fileName, codePage, registry, result, error, asBase);
}

bool importRegFile(BaseText&& bytes, const std::string& fileName, unsigned codePage,
                   Registry& registry, RegImport* result, std::string* error, bool asBase) {
    return readRegFile(bytes.view(), &bytes, fileName, codePage, registry, result, error, asBase);
}

std::string exportRegFile(const Registry& registry, RegFormat format, unsigned codePage) {
    if (registry.hasSource && format == registry.sourceFormat) {
        if (registry.log().empty()) return registry.source.str();
        return Patcher(registry).run();
    }
    std::vector<RegSubtree> roots = {{registry.localMachine->name, registry.localMachine.get()}};
    for (const auto& r : registry.otherRoots) roots.push_back({r->name, r.get()});
    return wholeText(roots, format, codePage, true);
}

bool exportRegFile(const Registry& registry, RegFormat format, unsigned codePage,
                   const TextSink& sink) {
    if (registry.hasSource && format == registry.sourceFormat) {
        if (registry.log().empty()) return sink(registry.source.data(), registry.source.size());
        return Patcher(registry).run(sink);
    }
    const std::string whole = exportRegFile(registry, format, codePage);
    return sink(whole.data(), whole.size());
}

std::string exportKeys(const std::vector<RegSubtree>& subtrees, RegFormat format,
                       unsigned codePage) {
    return wholeText(subtrees, format, codePage, false);
}

bool Registry::rebase(std::string savedBytes) {
    Registry fresh;
    RegImport imported;
    std::string error;
    BaseText text(std::move(savedBytes));
    if (!readRegFile(text.view(), &text, "saved", codePage, fresh, &imported, &error, true)) {
        return false;
    }
    // The text must read back to this very tree: check everything first,
    // then move the places over.
    std::vector<std::pair<RegKey*, RegKey*>> pairs;
    auto roots = [&](Registry& r) {
        std::vector<RegKey*> out = {r.localMachine.get()};
        for (auto& k : r.otherRoots) out.push_back(k.get());
        return out;
    };
    const std::vector<RegKey*> mine = roots(*this);
    const std::vector<RegKey*> theirs = roots(fresh);
    RegKey empty;
    for (RegKey* m : mine) {
        RegKey* match = &empty;
        for (RegKey* t : theirs) {
            if (t->name == m->name) match = t;
        }
        pairs.emplace_back(m, match);
    }
    for (RegKey* t : theirs) {
        bool found = false;
        for (RegKey* m : mine) found = found || m->name == t->name;
        if (!found && (!t->subkeys.empty() || !t->values().empty())) return false;
    }
    std::vector<std::pair<RegKey*, RegKey*>> all;
    for (size_t i = 0; i < pairs.size(); ++i) {
        std::vector<std::pair<RegKey*, RegKey*>> stack = {pairs[i]};
        while (!stack.empty()) {
            auto [m, t] = stack.back();
            stack.pop_back();
            all.emplace_back(m, t);
            if (m->subkeys.size() != t->subkeys.size() ||
                m->values().size() != t->values().size()) {
                return false;
            }
            for (const auto& v : m->values()) {
                const size_t at = t->valueIndex(foldName(v.name));
                if (at == kNoOffset || t->values()[at].type != v.type ||
                    t->values()[at].data != v.data) {
                    return false;
                }
            }
            for (size_t k = 0; k < m->subkeys.size(); ++k) {
                if (m->subkeys[k]->fold != t->subkeys[k]->fold) return false;
                stack.emplace_back(m->subkeys[k].get(), t->subkeys[k].get());
            }
        }
    }
    // Keys that left the tree still read their values from the old text:
    // read them now, before it goes.
    for (const auto& e : log_) {
        if (e.kind != LogKind::KeyDeleted || !e.child) continue;
        std::vector<const RegKey*> stack = {e.child.get()};
        while (!stack.empty()) {
            const RegKey* k = stack.back();
            stack.pop_back();
            k->values();
            for (const auto& sub : k->subkeys) stack.push_back(sub.get());
        }
    }
    openTailKey = nullptr;
    for (auto& [m, t] : all) {
        m->blocks = std::move(t->blocks);
        m->subtreeEnd = t->subtreeEnd;
        for (auto& v : m->heldValues()) {
            RegValue& from = t->heldValues()[t->valueIndex(foldName(v.name))];
            v.line = from.line;
            v.earlier = std::move(from.earlier);
            v.changed = false;
        }
        if (fresh.openTailKey == t) openTailKey = m;
    }
    source = std::move(fresh.source);
    hasSource = true;
    utf16 = fresh.utf16;
    sourceFormat = fresh.sourceFormat;
    eol = fresh.eol;
    deletionLines = std::move(fresh.deletionLines);
    impliedEnds = std::move(fresh.impliedEnds);
    openEnds = std::move(fresh.openEnds);
    openTailBegin = fresh.openTailBegin;
    log_.clear();
    return true;
}

}  // namespace winsim
