// The exact save: the base text with only the changes since it was read
// (the key lines, value lines and deletion lines they touch), and the
// rebase onto a saved text.
#include "winsim/src/regfile/patch.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/regfile.h"
#include "winsim/src/regfile/render.h"

namespace winsim {

namespace {

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

}  // namespace

std::string patchedText(const Registry& registry) { return Patcher(registry).run(); }

bool patchedText(const Registry& registry, const TextSink& sink) {
    return Patcher(registry).run(sink);
}

bool rebase(Registry& registry, std::string savedBytes) {
    Registry fresh;
    RegImport imported;
    std::string error;
    if (!importRegFile(BaseText(std::move(savedBytes)), "saved", registry.codePage, fresh,
                       &imported, &error, true)) {
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
    const std::vector<RegKey*> mine = roots(registry);
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
    for (const auto& e : registry.log()) {
        if (e.kind != Registry::LogKind::KeyDeleted || !e.child) continue;
        std::vector<const RegKey*> stack = {e.child.get()};
        while (!stack.empty()) {
            const RegKey* k = stack.back();
            stack.pop_back();
            k->values();
            for (const auto& sub : k->subkeys) stack.push_back(sub.get());
        }
    }
    registry.openTailKey = nullptr;
    for (auto& [m, t] : all) {
        m->blocks = std::move(t->blocks);
        m->subtreeEnd = t->subtreeEnd;
        for (auto& v : m->heldValues()) {
            RegValue& from = t->heldValues()[t->valueIndex(foldName(v.name))];
            v.line = from.line;
            v.earlier = std::move(from.earlier);
            v.changed = false;
        }
        if (fresh.openTailKey == t) registry.openTailKey = m;
    }
    registry.source = std::move(fresh.source);
    registry.hasSource = true;
    registry.utf16 = fresh.utf16;
    registry.sourceFormat = fresh.sourceFormat;
    registry.eol = fresh.eol;
    registry.deletionLines = std::move(fresh.deletionLines);
    registry.impliedEnds = std::move(fresh.impliedEnds);
    registry.openEnds = std::move(fresh.openEnds);
    registry.openTailBegin = fresh.openTailBegin;
    registry.textReader = fresh.textReader;
    registry.clearLog();
    return true;
}

}  // namespace winsim
