#include "winsim/src/regfile/importer.h"

#include <algorithm>
#include <string>

#include "winsim/api/win32_registry.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/regfile.h"

namespace winsim {

namespace {

// Key lines a checking thread hands over at a time.
constexpr size_t kHandEvery = 4096;

}  // namespace

bool Importer::line(const RawLine& raw, std::string_view text, int lineNo) {
    raw_ = raw;
    lineNo_ = lineNo;
    std::string_view s = skipBlanks(text);
    if (pending_) {
        if (s.empty() || s.front() == ';') return true;
        if (s.front() != '[' && s.front() != '@' && s.front() != '"') {
            continueHex(s);
            return true;
        }
        endPending(raw);
    }
    if (s.empty() || s.front() == ';' || s.front() == '#') return true;
    // The start of another export appended to this one (R, W or a byte
    // order mark first).
    const char first = s.front();
    if ((first == 'R' || first == 'W' || first == '\xEF') && isHeaderLine(s)) return true;
    if (s.front() == '[') return keyLine(s);
    if (s.front() == '@' || s.front() == '"') return valueLine(s);
    warn(lineNo_, "not a key, value or comment line; skipped");
    return true;
}

void Importer::endPending(const RawLine& raw) {
    pending_ = false;
    warn(pendingLine_, "hex data continued by no line; value skipped");
    if (loading_ && current_) {
        const Registry::OpenEnd openEnd{raw.begin, keyLine_};
        if (checked_) {
            checked_->openEnds.push_back(openEnd);
        } else {
            reg_.openEnds.push_back(openEnd);
        }
    }
}

void Importer::finish(size_t end) {
    const bool openTail = pending_;
    if (pending_) commitPending();
    const uint32_t tailLine = deferredBlock_ ? deferredBlock_->begin : 0;
    RegKey* tailOwner = deferredBlock_ ? current_ : nullptr;
    closeBlock(end);
    endDeletionRegion(end);
    if (openTail && loading_ && current_) {
        RegKey* key = current_;
        if (tailOwner) {
            // The value's key is still in the text: built now, to be named.
            std::vector<const RegKey*> stack = {tailOwner};
            while (!stack.empty()) {
                const RegKey* k = stack.back();
                stack.pop_back();
                if (!k->blocks.empty() && k->blocks.back().begin == tailLine) {
                    key = const_cast<RegKey*>(k);
                    break;
                }
                for (const auto& sub : k->subkeys) stack.push_back(sub.get());
            }
        }
        reg_.openTailKey = key;
        reg_.openTailBegin = pendingBegin_;
    }
    if (!loading_) return;
    // The map's room goes first, so that what comes next can reuse it.
    decltype(children_)().swap(children_);
    std::vector<RegKey*> tops = {reg_.localMachine.get()};
    for (auto& r : reg_.otherRoots) tops.push_back(r.get());
    finishTree(std::move(tops));
    graveyard_.clear();
}

void Importer::finishSubtree() {
    decltype(children_)().swap(children_);
    finishTree({const_cast<RegKey*>(building_->owner)});
}

void Importer::finishTree(std::vector<RegKey*> tops) {
    // Sibling lists were built in file order; put them in enumeration
    // order once (giving back what they grew by), then note where each
    // subtree ends in the text. Subtrees left in the text stay there.
    const RegKey* top = tops.size() == 1 ? tops.front() : nullptr;
    std::vector<RegKey*> order;
    std::vector<RegKey*>& stack = tops;
    while (!stack.empty()) {
        RegKey* k = stack.back();
        stack.pop_back();
        order.push_back(k);
        auto& subs = k->subkeys.held();
        const Order* listed = orderOf(k);
        if (listed && *listed == Order::Descending) {
            std::reverse(subs.begin(), subs.end());
        } else if (listed) {
            std::sort(subs.begin(), subs.end(),
                      [](const std::shared_ptr<RegKey>& a, const std::shared_ptr<RegKey>& b) {
                          return a->fold < b->fold;
                      });
        }
        if (subs.capacity() > subs.size()) subs.shrink_to_fit();
        for (auto& sub : subs) stack.push_back(sub.get());
    }
    // From the keys as they are now (a deletion line may have taken some):
    // the keys left in the text end where their last line does.
    for (RegKey* k : order) {
        k->subtreeEnd = 0;
        if (const DeferredKeys* deferred = k->subkeys.deferredKeys()) {
            for (const KeyBlock& b : deferred->blocks)
                k->subtreeEnd = std::max(k->subtreeEnd, b.end);
        }
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        RegKey* k = *it;
        if (!k->blocks.empty()) k->subtreeEnd = std::max(k->subtreeEnd, k->blocks.back().end);
        if (k->parent && k != top) {
            k->parent->subtreeEnd = std::max(k->parent->subtreeEnd, k->subtreeEnd);
        }
    }
    decltype(order_)().swap(order_);
}

void Importer::keyLineOf(const RawLine& raw, std::string_view text, const KeyBlock& block) {
    raw_ = raw;
    replay_ = &block;
    keyLine(skipBlanks(text));
    replay_ = nullptr;
}

void Importer::placeKeyLine(RegKey* top, const std::string_view* parts, size_t n,
                            const KeyBlock& block) {
    const size_t depth = building_ ? building_->depth : 0;
    if (deferAt_ && depth + n > deferAt_) {
        RegKey* owner = baseKey(top, parts, deferAt_ - depth, true);
        DeferredKeys& deferred = owner->subkeys.defer(owner, deferAt_);
        deferred.blocks.push_back(block);
        if (!replay_) deferredBlock_ = &deferred.blocks.back();
        current_ = owner;
        return;
    }
    RegKey* key = baseKey(top, parts, n, true);
    key->blocks.push_back(block);
    if (!replay_) {
        blockKey_ = key;
    } else if (block.tail != raw_.next) {
        key->setValuesInText();  // a value line (or deletion) came after the key line
    }
    current_ = key;
}

void Importer::buildDeferred() {
    deferAt_ = 0;
    cacheLen_ = 0;
    cacheRoot_ = nullptr;
    std::vector<RegKey*> stack = {reg_.localMachine.get()};
    for (auto& r : reg_.otherRoots) stack.push_back(r.get());
    while (!stack.empty()) {
        RegKey* k = stack.back();
        stack.pop_back();
        // Built in file order as far as the file has come: each list is
        // sorted, which is the order the load assumes of a key not listed.
        for (auto& sub : k->subkeys.list()) stack.push_back(sub.get());
    }
}

RegKey* Importer::baseKey(RegKey* root, const std::string_view* parts, size_t n, bool create) {
    size_t k = 0;
    if (cacheRoot_ == root) {
        while (k < n && k < cacheLen_ && cache_[k].first == parts[k]) ++k;
    } else {
        cacheLen_ = 0;
        cacheRoot_ = root;
    }
    cacheLen_ = k;
    RegKey* key = k ? cache_[k - 1].second : root;
    for (; k < n; ++k) {
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

RegKey* Importer::childOf(const RegKey* key, const std::string& fold) const {
    const auto& subs = key->subkeys.held();
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
    if (subs.size() <= 8) {
        // A few siblings in mixed order (the buses of Enum): compared in
        // place, cheaper than hashing the name.
        for (const auto& sub : subs) {
            if (sub->fold == fold) return sub.get();
        }
        return nullptr;
    }
    auto it = children_.find(ChildName{key, fold});
    return it == children_.end() ? nullptr : it->second;
}

void Importer::addChild(RegKey* key, std::shared_ptr<RegKey> child) {
    auto& subs = key->subkeys.held();
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

bool Importer::baseDelete(RegKey* root, const std::vector<std::string_view>& parts) {
    RegKey* key = baseKey(root, parts.data(), parts.size(), false);
    cacheLen_ = 0;
    cacheRoot_ = nullptr;
    if (!key) return false;
    RegKey* parent = key->parent;
    const Order* listed = orderOf(parent);
    if (listed && *listed == Order::Mixed) children_.erase(ChildName{parent, key->fold});
    auto& subs = parent->subkeys.held();
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

void Importer::endDeletionRegion(size_t at) {
    for (auto& [map, path] : afterDeletion_) {
        size_t& end = (*map)[path];
        end = std::max(end, at);
    }
    afterDeletion_.clear();
}

bool Importer::keyLine(std::string_view s) {
    if (checked_) {
        // The blocks of the key lines so far are complete.
        if (checked_->keyLines.size() == kHandEvery) {
            checked_->hand(std::move(checked_->keyLines));
            checked_->keyLines.clear();
            checked_->keyLines.reserve(kHandEvery);
        }
        checked_->keyLines.push_back(CheckedPart::KeyLineNote{raw_, 0});
    }
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
    const bool ascii = isAscii(full);
    if (format_ != RegFormat::V5Utf16 && !ascii) {
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
        // An ASCII name has as many units as bytes.
        if (p.size() > kMaxKeyNameChars && (ascii || utf16Length(p) > kMaxKeyNameChars)) {
            return refuse("key name of " + std::to_string(utf16Length(p)) +
                          " characters; Windows allows 255");
        }
    }
    const bool localMachine = root == "HKEY_LOCAL_MACHINE";
    if (!localMachine) {
        warn(lineNo_, "key under " + rootName + " is not part of this machine; ignored");
    }
    static const std::string rootDeletion = "a root key cannot be deleted; ignored";
    if (checked_) {
        // Checked only: takeOver gives the line again to build the tree.
        if (remove && parts.empty()) warn(lineNo_, rootDeletion);
        if (!remove) keyLine_ = Span{raw_.begin, raw_.next};
        current_ = remove ? nullptr : checkedKey_.get();
        std::string_view owner;
        if (!remove && localMachine && ascii && deferAt_ != 0 && parts.size() > deferAt_) {
            const std::string_view last = parts[deferAt_ - 1];
            owner = std::string_view(
                parts[0].data(), static_cast<size_t>(last.data() + last.size() - parts[0].data()));
        }
        checked_->keyLines.back().sameOwner = !owner.empty() && owner == ownerPath_;
        ownerPath_.assign(owner);
        return true;
    }
    RegKey* key = localMachine ? reg_.localMachine.get() : reg_.root(rootName, true);
    if (remove) {
        if (parts.empty()) {
            warn(lineNo_, rootDeletion);
            return true;
        }
        if (loading_) {
            if (deferAt_) buildDeferred();
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
        keyLine_ = Span{raw_.begin, raw_.next};
        if (replay_) {
            const size_t skip = building_->depth;
            placeKeyLine(building_->owner, parts.data() + skip, parts.size() - skip, *replay_);
        } else {
            placeKeyLine(
                key, parts.data(), parts.size(),
                KeyBlock{static_cast<uint32_t>(raw_.begin), 0, static_cast<uint32_t>(raw_.next)});
        }
        return true;
    }
    for (const auto& p : parts) key = key->createSubkey(p);
    current_ = key;
    return true;
}

}  // namespace winsim
