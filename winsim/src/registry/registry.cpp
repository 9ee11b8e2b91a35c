#include "winsim/src/registry/registry.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <utility>

#include "winsim/api/win32_registry.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/registry/key_text.h"
#include "winsim/src/registry/change_counts.h"

namespace winsim {

namespace {

// Keys with more values than this get a name index.
constexpr size_t kIndexFrom = 16;

auto lowerBound(const std::vector<std::shared_ptr<RegKey>>& keys, const std::string& fold) {
    return std::lower_bound(
        keys.begin(), keys.end(), fold,
        [](const std::shared_ptr<RegKey>& k, const std::string& f) { return k->fold < f; });
}

// The live key a link of `links` named `fold` stands for, or nullptr.
RegKey* linkTarget(const SmallList<KeyLink>& links, const std::string& fold) {
    for (const auto& link : links) {
        if (link.fold != fold) continue;
        const auto target = link.target.lock();
        return target && !target->deleted ? target.get() : nullptr;
    }
    return nullptr;
}

// Whether `name` folds to `fold`, without building the folded text for the
// common ASCII case.
bool foldsTo(std::string_view name, const std::string& fold) {
    if (name.size() != fold.size()) {
        // Folding may change a character's length only outside ASCII.
        bool ascii = true;
        for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        if (ascii) return false;
        return foldName(name) == fold;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80) return foldName(name) == fold;
        const char up = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : static_cast<char>(c);
        if (up != fold[i]) return false;
    }
    return true;
}

bool recording(const RegKey* key) { return key->registry && key->registry->recording; }

// After a subtree comes back: every key live, each pointing at its parent.
void reattach(RegKey* top, RegKey* parent) {
    top->parent = parent;
    top->deleted = false;
    std::vector<RegKey*> stack = {top};
    while (!stack.empty()) {
        RegKey* k = stack.back();
        stack.pop_back();
        // Keys still in the text are built live when they are first walked.
        for (auto& sub : k->subkeys.held()) {
            sub->parent = k;
            sub->deleted = false;
            stack.push_back(sub.get());
        }
    }
}

}  // namespace

void Subkeys::build() const {
    const KeyChangesKept kept;  // keys that were in the text: the tree is the same
    const std::unique_ptr<DeferredKeys> keys = std::move(deferred_);
    const RegKey* owner = keys->owner;
    owner->registry->textReader->buildSubkeys(*keys);
    // Built below a key that has left the tree: deleted, as markDeleted
    // would have left them.
    if (owner->deleted) {
        for (auto& sub : list_) markDeleted(sub.get());
    }
}

RegKey::~RegKey() {
    if (registry) noteRegistryChange();
    // Children whose last owner is this key are taken apart here, one at a
    // time, so that freeing a deep chain never nests destructors.
    std::vector<std::shared_ptr<RegKey>> stack = std::move(subkeys.held());
    while (!stack.empty()) {
        std::shared_ptr<RegKey> k = std::move(stack.back());
        stack.pop_back();
        k->parent = nullptr;
        if (k.use_count() == 1) {
            for (auto& sub : k->subkeys.held()) stack.push_back(std::move(sub));
            k->subkeys.held().clear();
        } else {
            k->deleted = true;  // a handle keeps it; its tree is gone
        }
    }
}

RegKey* RegKey::findSubkey(std::string_view wanted) const {
    const std::string key = foldName(wanted);
    const auto& subs = subkeys.list();
    auto it = lowerBound(subs, key);
    if (it != subs.end() && (*it)->fold == key) return it->get();
    const SmallList<KeyLink>* other = links();
    return other && !other->empty() ? linkTarget(*other, key) : nullptr;
}

RegKey* RegKey::createSubkey(std::string_view wanted) {
    const std::string key = foldName(wanted);
    auto& subs = subkeys.edit();
    auto it = lowerBound(subs, key);
    if (it != subs.end() && (*it)->fold == key) return it->get();
    const SmallList<KeyLink>* other = std::as_const(*this).links();
    if (RegKey* linked = other && !other->empty() ? linkTarget(*other, key) : nullptr) {
        return linked;
    }
    auto sub = newKey();
    sub->name = std::string(wanted);
    sub->fold = key;
    sub->parent = this;
    sub->registry = registry;
    const size_t index = static_cast<size_t>(it - subs.begin());
    RegKey* made = subs.insert(it, sub)->get();
    if (recording(this)) {
        Registry::LogEntry e{Registry::LogKind::KeyCreated, this, sub, index, {}, {}, {}};
        e.path = made->fullPath();
        registry->record(std::move(e));
    }
    return made;
}

void markDeleted(RegKey* key) {
    // A handle may outlive its parent: no deleted key points upwards.
    std::vector<RegKey*> stack = {key};
    while (!stack.empty()) {
        RegKey* k = stack.back();
        stack.pop_back();
        k->deleted = true;
        k->parent = nullptr;
        // Keys still in the text are built deleted (Subkeys::build).
        for (auto& sub : k->subkeys.held()) stack.push_back(sub.get());
    }
}

bool RegKey::removeSubkey(std::string_view wanted) {
    const std::string key = foldName(wanted);
    auto& subs = subkeys.edit();
    auto it = lowerBound(subs, key);
    if (it == subs.end() || (*it)->fold != key) {
        const SmallList<KeyLink>* other = std::as_const(*this).links();
        RegKey* linked = other && !other->empty() ? linkTarget(*other, key) : nullptr;
        if (!linked || !linked->parent) return false;
        return linked->parent->removeSubkey(linked->name);
    }
    std::shared_ptr<RegKey> gone = *it;
    const size_t index = static_cast<size_t>(it - subs.begin());
    const uint64_t removal = noteKeyRemoval();
    std::string path = recording(this) ? gone->fullPath() : std::string();
    subs.erase(it);
    markDeleted(gone.get());
    if (recording(this)) {
        Registry::LogEntry e{Registry::LogKind::KeyDeleted, this, gone, index, {}, {}, {}};
        e.path = std::move(path);
        e.removal = removal;
        registry->record(std::move(e));
    }
    return true;
}

std::vector<RegValue>& RegKey::readValues() const {
    std::vector<RegValue>& all = extra().values;
    if (lazy_) {
        const KeyChangesKept kept;  // read, not changed
        extra_->names.reset();
        lazy_ = false;  // the reader adds through valueSlot, which comes here
        registry->textReader->readValues(*const_cast<RegKey*>(this));
    }
    return all;
}

RegValue& RegKey::decodedAt(size_t index) const {
    RegValue& v = readValues()[index];
    if (v.encoded) {
        registry->textReader->decodeValue(*registry, v);
        v.encoded = false;
    }
    return v;
}

void RegKey::visitValues(const std::function<void(const RegValue&)>& visit) const {
    if (!lazy_) {
        for (const RegValue& v : values()) visit(v);
        return;
    }
    RegKey scratch;
    registry->textReader->copyValues(*this, scratch);
    for (const RegValue& v : scratch.heldValues()) visit(v);
}

const std::vector<RegValue>& RegKey::values() const {
    std::vector<RegValue>& all = readValues();
    if (!decoded_) {
        for (size_t i = 0; i < all.size(); ++i) decodedAt(i);
        decoded_ = true;
    }
    return all;
}

size_t RegKey::valueIndex(const std::string& folded) const {
    const std::vector<RegValue>& values = readValues();
    if (values.size() < kIndexFrom) {
        for (size_t i = 0; i < values.size(); ++i) {
            if (foldsTo(values[i].name, folded)) return i;
        }
        return kNoOffset;
    }
    auto& index = extra_->index;
    if (!index) {
        index = std::make_unique<std::unordered_map<std::string, size_t>>();
        index->reserve(values.size() * 2);
        for (size_t i = 0; i < values.size(); ++i) index->emplace(foldName(values[i].name), i);
    }
    auto it = index->find(folded);
    return it == index->end() ? kNoOffset : it->second;
}

const RegValue* RegKey::findValue(std::string_view wanted) const {
    if (lazy_) {
        // Only this value is read from the text: no other one is built.
        for (const auto& v : looked_) {
            if (!namesEqual(v.name, wanted)) continue;
            if (asked_ != kUnnamed) recentNameLines(*this, true);
            return &v;
        }
        RegValue found;
        const TextValueReader& reader = *registry->textReader;
        const std::vector<NameLine>* names = extra_ ? extra_->names.get() : nullptr;
        // A name asked right after another of this key: the names of its
        // lines, read once for the rest of the run of lookups.
        const std::vector<NameLine>* recent =
            names || asked_ == kUnnamed ? nullptr : recentNameLines(*this, false);
        if (recent) names = recent;
        // Most devices have no service and no filters: their lines say so
        // (unless the names are noted, which answer it below).
        if (!names && !linesMayName(*this, wanted)) return nullptr;
        if (!names && asked_ == 2) {
            // A third name asked for (the guard asks a device's service,
            // driver key and filters; detection asks at most two names of
            // most devices): the names of the key's lines are noted in one
            // reading, and every further name is looked up among them.
            auto lines = std::make_unique<std::vector<NameLine>>();
            if (reader.nameLines(*this, lines.get())) {
                names = (extra().names = std::move(lines)).get();
            } else {
                asked_ = kUnnamed;
            }
        }
        if (asked_ < 2 && !recent) ++asked_;
        const QuickValue quick = names ? reader.quickValueIn(*this, *names, wanted, &found)
                                       : reader.quickValue(*this, wanted, &found);
        if (quick == QuickValue::Absent) return nullptr;
        if (asked_ < 2 && recent) ++asked_;  // a name its lines hold, as above
        if (quick == QuickValue::Unsure) {
            found = RegValue{};
            if (!registry->textReader->readValue(*this, wanted, &found)) return nullptr;
            registry->textReader->decodeValue(*registry, found);
            found.encoded = false;
        }
        looked_.push_front(std::move(found));
        return &looked_.front();
    }
    const size_t i = valueIndex(foldName(wanted));
    return i == kNoOffset ? nullptr : &decodedAt(i);
}

RegValue& RegKey::valueSlot(std::string_view wanted, const std::string& folded, bool* created) {
    if (registry) noteRegistryChange();
    const size_t i = valueIndex(folded);
    *created = i == kNoOffset;
    std::vector<RegValue>& all = extra_->values;
    if (!*created) return all[i];
    all.push_back(RegValue{});
    all.back().name = std::string(wanted);
    if (extra_->index) extra_->index->emplace(folded, all.size() - 1);
    return all.back();
}

void RegKey::setValue(std::string_view wanted, uint32_t type, std::vector<uint8_t> data) {
    looked_.clear();
    const std::string folded = foldName(wanted);
    noteValueChange(folded);
    bool created = false;
    const size_t before = readValues().size();
    RegValue* slot = nullptr;
    {
        const KeyChangesKept kept;  // a value changes, no key
        slot = &valueSlot(wanted, folded, &created);
    }
    RegValue& v = created ? *slot : decodedAt(static_cast<size_t>(slot - extra_->values.data()));
    if (!created && v.type == type && v.data == data) return;
    std::optional<RegValue> old;
    if (!created) old = v;
    v.type = type;
    v.data = std::move(data);
    if (v.line.valid()) v.changed = true;
    if (recording(this)) {
        const size_t index = created ? before : static_cast<size_t>(&v - extra_->values.data());
        Registry::LogEntry e{
            Registry::LogKind::ValueSet, this, nullptr, index, std::move(old), v, {}};
        e.path = fullPath();
        registry->record(std::move(e));
    }
}

void RegKey::eraseValueAt(size_t i) {
    if (registry) noteRegistryChange();
    std::vector<RegValue>& all = extra_->values;
    auto& index = extra_->index;
    all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
    if (index) {
        if (all.size() < kIndexFrom) {
            index.reset();
        } else {
            for (auto it = index->begin(); it != index->end();) {
                if (it->second == i) {
                    it = index->erase(it);
                } else {
                    if (it->second > i) --it->second;
                    ++it;
                }
            }
        }
    }
}

bool RegKey::removeValue(std::string_view wanted) {
    looked_.clear();
    const std::string folded = foldName(wanted);
    const size_t i = valueIndex(folded);
    if (i == kNoOffset) return false;
    noteValueChange(folded);
    const KeyChangesKept kept;  // a value changes, no key
    if (recording(this)) {
        Registry::LogEntry e{
            Registry::LogKind::ValueDeleted, this, nullptr, i, decodedAt(i), {}, {}};
        e.path = fullPath();
        registry->record(std::move(e));
    }
    eraseValueAt(i);
    return true;
}

std::vector<RegValue>& RegKey::restoredValues(std::string_view valueName) {
    noteValueChange(foldName(valueName));
    looked_.clear();
    const KeyChangesKept kept;  // a value changes, no key
    return readValues();
}

std::string RegKey::path() const {
    std::vector<const RegKey*> chain;
    for (const RegKey* k = this; k && k->parent; k = k->parent) chain.push_back(k);
    std::string out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!out.empty()) out += '\\';
        out += (*it)->name;
    }
    return out;
}

std::string RegKey::fullPath() const {
    std::vector<const RegKey*> chain;
    for (const RegKey* k = this; k; k = k->parent) chain.push_back(k);
    std::string out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!out.empty()) out += '\\';
        out += (*it)->name;
    }
    return out;
}

bool splitKeyPathViews(std::string_view path, std::vector<std::string_view>* parts) {
    parts->clear();
    if (path.empty()) return true;
    if (path.back() == '\\') path.remove_suffix(1);
    // One pass over the path (a load splits a path of fifteen names for
    // every key line); an empty name fails.
    size_t start = 0;
    auto cut = [&](size_t end) {
        if (end == start) return false;
        parts->push_back(path.substr(start, end - start));
        start = end + 1;
        return true;
    };
    const size_t n = path.size();
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i slash = _mm_set1_epi8('\\');
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(path.data() + i));
        auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, slash)));
        for (; hits != 0; hits &= hits - 1) {
            if (!cut(i + static_cast<size_t>(__builtin_ctz(hits)))) return false;
        }
    }
#endif
    for (; i < n; ++i) {
        if (path[i] == '\\' && !cut(i)) return false;
    }
    return cut(n);
}

bool splitKeyPath(std::string_view path, std::vector<std::string>* parts) {
    std::vector<std::string_view> views;
    const bool ok = splitKeyPathViews(path, &views);
    parts->assign(views.begin(), views.end());
    return ok;
}

RegKey* findKeyPath(RegKey* from, std::string_view path) {
    std::vector<std::string> parts;
    if (!splitKeyPath(path, &parts)) return nullptr;
    RegKey* key = from;
    for (const auto& part : parts) {
        key = key->findSubkey(part);
        if (!key) return nullptr;
    }
    return key;
}

bool isStringType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

namespace {

// A root key of `registry`, named by its canonical name.
std::shared_ptr<RegKey> newRoot(Registry* registry, const std::string& name) {
    auto r = newKey();
    r->name = name;
    r->fold = foldName(name);
    r->registry = registry;
    return r;
}

}  // namespace

Registry::Registry() { clear(); }

void Registry::clear() {
    noteRegistryChange();
    log_.clear();
    localMachine = newRoot(this, "HKEY_LOCAL_MACHINE");
    otherRoots.clear();
    source.clear();
    hasSource = false;
    utf16 = false;
    sourceFormat = RegFormat::Regedit4;
    codePage = 1252;
    eol = "\r\n";
    deletionLines.clear();
    impliedEnds.clear();
    openEnds.clear();
    openTailKey = nullptr;
    openTailBegin = kNoOffset;
}

Registry::~Registry() {
    log_.clear();
    localMachine.reset();
    otherRoots.clear();
}

std::string Registry::canonicalRoot(std::string_view wanted) {
    return std::string(canonicalRootName(wanted));
}

std::string_view Registry::canonicalRootName(std::string_view wanted) {
    static const char* const kRoots[] = {"HKEY_LOCAL_MACHINE",  "HKEY_CURRENT_USER",
                                         "HKEY_CLASSES_ROOT",   "HKEY_USERS",
                                         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
    if (wanted == kRoots[0]) return kRoots[0];  // as exports spell it
    for (const char* root : kRoots) {
        if (namesEqual(wanted, root)) return root;
    }
    return {};
}

RegKey* Registry::root(const std::string& canonicalName, bool create) {
    if (canonicalName == "HKEY_LOCAL_MACHINE") return localMachine.get();
    for (auto& r : otherRoots) {
        if (r->name == canonicalName) return r.get();
    }
    if (!create) return nullptr;
    otherRoots.push_back(newRoot(this, canonicalName));
    return otherRoots.back().get();
}

void Registry::record(LogEntry entry) {
    if (recording) log_.push_back(std::move(entry));
}

void Registry::rollback(size_t point) {
    // What is undone moves the counts as it did when done: a key made is
    // deleted again (and freed with its entry when nothing else holds it),
    // a value's name moves its own count.
    const bool was = recording;
    recording = false;
    while (log_.size() > point) {
        LogEntry e = std::move(log_.back());
        log_.pop_back();
        RegKey* key = e.key;
        switch (e.kind) {
            case LogKind::KeyCreated: {
                auto& subs = key->subkeys.edit();
                auto it = std::find(subs.begin(), subs.end(), e.child);
                if (it != subs.end()) subs.erase(it);
                markDeleted(e.child.get());
                break;
            }
            case LogKind::KeyDeleted: {
                auto& subs = key->subkeys.edit();
                const size_t at = std::min(e.index, subs.size());
                subs.insert(subs.begin() + static_cast<std::ptrdiff_t>(at), e.child);
                reattach(e.child.get(), key);
                noteKeyPutBack(e.removal);
                break;
            }
            case LogKind::ValueSet: {
                std::vector<RegValue>& values =
                    key->restoredValues(e.before ? e.before->name : e.after->name);
                if (e.before) {
                    values[e.index] = std::move(*e.before);
                } else {
                    values.erase(values.begin() + static_cast<std::ptrdiff_t>(e.index));
                }
                key->dropValueIndex();
                break;
            }
            case LogKind::ValueDeleted: {
                std::vector<RegValue>& values = key->restoredValues(e.before->name);
                values.insert(values.begin() + static_cast<std::ptrdiff_t>(e.index),
                              std::move(*e.before));
                key->dropValueIndex();
                break;
            }
        }
    }
    recording = was;
}

std::vector<RegChange> Registry::changesSince(size_t point) const {
    std::vector<RegChange> out;
    for (size_t i = point; i < log_.size(); ++i) {
        const LogEntry& e = log_[i];
        RegChange c;
        c.path = e.path;
        switch (e.kind) {
            case LogKind::KeyCreated:
                c.kind = RegChangeKind::KeyCreated;
                break;
            case LogKind::KeyDeleted:
                c.kind = RegChangeKind::KeyDeleted;
                c.subtree = e.child;
                break;
            case LogKind::ValueSet:
                c.kind = RegChangeKind::ValueSet;
                c.valueName = e.after ? e.after->name : std::string();
                c.before = e.before;
                c.after = e.after;
                break;
            case LogKind::ValueDeleted:
                c.kind = RegChangeKind::ValueDeleted;
                c.valueName = e.before ? e.before->name : std::string();
                c.before = e.before;
                break;
        }
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace winsim
