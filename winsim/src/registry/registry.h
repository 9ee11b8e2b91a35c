// The in-memory registry of the simulated machine: keys with
// case-insensitive names, subkeys kept in enumeration order (upper-case
// alphabetical), typed values in creation order. Names and string data are
// UTF-8 inside; string-typed data keeps its terminating zeros as stored.
//
// A registry loaded from a .reg file remembers that file (its base): the
// raw bytes and, for every key and value, where in them it is written. Every
// change made since is recorded in the registry's change log, so that a save
// can patch the base text (regfile/) and a failed command can be undone
// (savepoint / rollback).
#pragma once

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "winsim/src/base/base_text.h"

namespace winsim {

constexpr size_t kNoOffset = static_cast<size_t>(-1);

// Windows' own limits, enforced when a .reg file or a hive file is read.
constexpr size_t kMaxKeyDepth = 512;          // key levels below a root
constexpr size_t kMaxKeyNameChars = 255;      // UTF-16 units
constexpr size_t kMaxValueNameChars = 16383;  // UTF-16 units

// A byte range [begin, end) of the registry's base text.
struct Span {
    size_t begin = kNoOffset;
    size_t end = kNoOffset;
    bool valid() const { return begin != kNoOffset; }
};

// A list that is one pointer wide while empty, as it nearly always is (a
// value set once in its file, a key no other name leads to).
template <class T>
class SmallList {
public:
    SmallList() = default;
    SmallList(const SmallList& o)
        : list_(o.list_ ? std::make_unique<std::vector<T>>(*o.list_) : nullptr) {}
    SmallList(SmallList&&) noexcept = default;
    SmallList& operator=(const SmallList& o) {
        if (this != &o) list_ = o.list_ ? std::make_unique<std::vector<T>>(*o.list_) : nullptr;
        return *this;
    }
    SmallList& operator=(SmallList&&) noexcept = default;

    void push_back(const T& s) {
        if (!list_) list_ = std::make_unique<std::vector<T>>();
        list_->push_back(s);
    }
    bool empty() const { return !list_ || list_->empty(); }
    size_t size() const { return list_ ? list_->size() : 0; }
    const T* begin() const { return list_ ? list_->data() : nullptr; }
    const T* end() const { return list_ ? list_->data() + list_->size() : nullptr; }
    T* begin() { return list_ ? list_->data() : nullptr; }
    T* end() { return list_ ? list_->data() + list_->size() : nullptr; }

private:
    std::unique_ptr<std::vector<T>> list_;
};

using SpanList = SmallList<Span>;

struct RegValue {
    std::string name;  // "" is the default value
    uint32_t type = 0;
    bool changed = false;  // data or type differ from what `line` says
    std::vector<uint8_t> data;
    // The line(s) of the base text that set this value last (with their
    // continuation lines and line end); invalid for a value created since.
    Span line;
    // Earlier lines of the base text that set the same value (a value
    // defined twice): they are overridden by `line` and go when it goes.
    SpanList earlier;
    // `data` (and nothing else) is still to be read from `line`. A value
    // reached through RegKey::findValue or RegKey::values() never is.
    bool encoded = false;
};

// One block of a key in the base text: its key line through the line
// before the next key line. `tail` is where a new value of the key goes:
// after its last value line in the block, or after the key line.
// Places in 32 bits: a key is held for every key line of a file, and a
// base text is at most kMaxBaseTextSize bytes.
struct KeyBlock {
    uint32_t begin = 0, end = 0, tail = 0;
};
constexpr size_t kMaxBaseTextSize = UINT32_MAX;

// A key's blocks: nearly always one, held in place (no allocation per key).
class KeyBlocks {
public:
    KeyBlocks() = default;
    KeyBlocks(const KeyBlocks&) = delete;
    KeyBlocks& operator=(const KeyBlocks&) = delete;
    KeyBlocks(KeyBlocks&& o) noexcept { *this = std::move(o); }
    KeyBlocks& operator=(KeyBlocks&& o) noexcept {
        one_ = o.one_;
        many_ = std::move(o.many_);
        o.one_ = KeyBlock{};
        return *this;
    }

    void push_back(const KeyBlock& b) {
        if (empty()) {
            one_ = b;
            return;
        }
        if (!many_) many_ = std::make_unique<std::vector<KeyBlock>>(1, one_);
        many_->push_back(b);
    }
    // A block's tail is past its key line, never 0: one_ is a block then.
    bool empty() const { return !many_ && one_.tail == 0; }
    size_t size() const { return many_ ? many_->size() : empty() ? 0 : 1; }
    const KeyBlock* begin() const { return many_ ? many_->data() : &one_; }
    const KeyBlock* end() const { return begin() + size(); }
    KeyBlock& back() { return many_ ? many_->back() : one_; }
    const KeyBlock& back() const { return many_ ? many_->back() : one_; }

private:
    KeyBlock one_;
    std::unique_ptr<std::vector<KeyBlock>> many_;  // all of them, once there are two
};

struct Registry;

enum class RegFormat {
    Regedit4,  // "REGEDIT4", ANSI
    V5Utf16,   // "Windows Registry Editor Version 5.00", UTF-16LE with BOM
    V5Ansi,    // "Windows Registry Editor Version 5.00", ANSI
};

struct RegKey;

// A count that moves on with every change to the keys of any registry (a
// key made or freed, a rollback, a load) and with every change to a value
// whose folded name is `valueFold` (and to some other values). A key's
// removal does not move it (it marks the key and its subtree deleted), nor
// does building keys or reading values that were in the base text, nor
// anything done to a key of no registry (a scratch key one value is read
// into): what is derived from a tree and such values stays valid while the
// count is the same and its keys are not deleted.
uint64_t registryChanges(std::string_view valueFold);
void noteRegistryChange();
// For a reader that keeps what it found of a tree while the count stays the
// same: a rollback that puts back a key removed before this call moves the
// count on; one that puts back a key removed since does not (the reader met
// that key, and keeps it deleted meanwhile).
void noteTreeRead();

// A name under which a key is also reached (the target lives elsewhere in
// the tree, and is never a deleted key: deleting it drops the link).
struct KeyLink {
    std::string fold;  // foldName of the link's name
    std::weak_ptr<RegKey> target;
};

// A value line of the base text and the place of its name in it.
struct NameLine {
    uint32_t line = 0;  // start of the line
    uint32_t name = 0;  // start of the name (past the quote)
    uint32_t size = 0;  // bytes of the name
};

// The key lines of a key's subtree that a base load left in the text: the
// block of every key line below the key, in file order. The subtree is
// built from them when it is first walked.
struct DeferredKeys {
    RegKey* owner = nullptr;
    uint32_t depth = 0;  // the owner's path components below its root
    std::vector<KeyBlock> blocks;
};

// A key's subkeys, sorted by fold. Reads it like a vector; a subtree the
// load left in the text is built by the first of them (what it gives is
// exactly what a load that built every key would have given).
class Subkeys {
public:
    using List = std::vector<std::shared_ptr<RegKey>>;

    const List& list() const {
        if (deferred_) build();
        return list_;
    }
    // The list to change (built first).
    List& edit() {
        if (deferred_) build();
        return list_;
    }
    // The keys built so far, for the loader and for freeing the tree.
    List& held() const { return list_; }
    // What is still to be built (nullptr: nothing).
    DeferredKeys* deferredKeys() const { return deferred_.get(); }
    DeferredKeys& defer(RegKey* owner, uint32_t depth) {
        if (!deferred_) {
            deferred_ = std::make_unique<DeferredKeys>();
            deferred_->owner = owner;
            deferred_->depth = depth;
        }
        return *deferred_;
    }

    List::const_iterator begin() const { return list().begin(); }
    List::const_iterator end() const { return list().end(); }
    List::const_reverse_iterator rbegin() const { return list().rbegin(); }
    List::const_reverse_iterator rend() const { return list().rend(); }
    size_t size() const { return list().size(); }
    bool empty() const { return list().empty(); }
    const std::shared_ptr<RegKey>& operator[](size_t i) const { return list()[i]; }

private:
    void build() const;  // registry.cpp

    mutable List list_;
    mutable std::unique_ptr<DeferredKeys> deferred_;
};

struct RegKey {
    std::string name;
    std::string fold;              // foldName(name): the lookup and ordering key
    RegKey* parent = nullptr;      // nullptr for a root and for a deleted key
    Registry* registry = nullptr;  // the owner whose change log records every mutation
    Subkeys subkeys;               // sorted by fold
    // The key's live blocks in the base text, in file order.
    KeyBlocks blocks;
    // End of the last block of the key's subtree in the base text (0: none).
    uint32_t subtreeEnd = 0;

    RegKey() = default;  // newKey() notes a key of a registry made
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    // Frees the subtree without recursion (a chain of 30,000 keys is fine).
    ~RegKey();
    // Other names for keys of the tree, as Windows makes CurrentControlSet
    // at boot: consulted when no real subkey has the wanted name, never
    // enumerated and never saved (see control_sets.h). Few keys have any.
    const SmallList<KeyLink>* links() const { return extra_ ? &extra_->links : nullptr; }
    SmallList<KeyLink>& links() { return extra().links; }

    RegKey* findSubkey(std::string_view wanted) const;
    RegKey* createSubkey(std::string_view wanted);  // existing (or linked) or new
    // Removes the subkey and its subtree, marking every key deleted. A link
    // name removes the key it names (from its real parent) and the link.
    bool removeSubkey(std::string_view wanted);

    // The values in creation order, every one decoded. Change them only
    // through the methods below (they keep the name index and the change
    // log). A key loaded from a base text reads its values from its blocks
    // on first use, and decodes a value's data only when it is asked for.
    const std::vector<RegValue>& values() const;
    bool hasValues() const { return readValues().size() > 0; }

    // Calls `visit` with every value, decoded, in creation order. Values
    // still in the text are read for the call and not kept: a search over
    // the whole registry does not build it.
    void visitValues(const std::function<void(const RegValue&)>& visit) const;

    // The value named `wanted`, decoded (no other value's data is).
    const RegValue* findValue(std::string_view wanted) const;
    // A value set to exactly what it holds is no change (nothing recorded).
    void setValue(std::string_view wanted, uint32_t type, std::vector<uint8_t> data);
    bool removeValue(std::string_view wanted);

    // Backslash-joined path below the root ("" for the root itself).
    std::string path() const;
    // The path with the root's name first ("HKEY_LOCAL_MACHINE\A\B"), as a
    // key line names it; for a deleted key only the part that is left.
    std::string fullPath() const;

    // For the .reg reader, which keeps the places of values itself: the
    // value named `wanted` (folded: `fold`), appended when new. Not recorded.
    RegValue& valueSlot(std::string_view wanted, const std::string& fold, bool* created);
    void eraseValueAt(size_t index);  // not recorded

    // Index of a value by folded name; kNoOffset when absent.
    size_t valueIndex(const std::string& fold) const;
    void dropValueIndex() {
        if (extra_) extra_->index.reset();
    }

    // For the .reg reader: the values are written in the key's blocks of
    // the base text and read from there on first use.
    void setValuesInText() {
        noteRegistryChange();
        lazy_ = true;
        decoded_ = false;
    }
    bool valuesInText() const { return lazy_; }
    // For the registry's change log and rebase: the values as they are
    // held (data possibly still encoded), to change in place.
    std::vector<RegValue>& heldValues() {
        if (registry) noteRegistryChange();
        looked_.clear();
        return readValues();
    }
    // The same, for the change log's rollback to put back the value named
    // `valueName`: moves the count of that name only.
    std::vector<RegValue>& restoredValues(std::string_view valueName);
    // Decodes the data of the value at `index` (read from the text).
    RegValue& decodedAt(size_t index) const;

private:
    std::vector<RegValue>& readValues() const;

public:
    bool deleted = false;  // set when the key left the tree; handles then see ERROR_KEY_DELETED

private:
    mutable bool lazy_ = false;  // the values still to be read from the blocks
    // Names findValue read from the text (0 to 2), or kUnnamed: the names
    // of the key's lines cannot be noted. One byte beside the flags above,
    // so that a key is no larger for it.
    static constexpr uint8_t kUnnamed = 3;
    mutable uint8_t asked_ = 0;
    mutable bool decoded_ = true;  // no value held is encoded
    // What most keys of an image never need, in one allocation made with
    // the first of them (a key is 16 bytes smaller for it: there are
    // hundreds of thousands of keys).
    struct Extra {
        std::vector<RegValue> values;
        std::unique_ptr<std::unordered_map<std::string, size_t>> index;  // by folded name
        SmallList<KeyLink> links;
        // While the values are in the text, from the third name looked up:
        // the names of the value lines (see TextValueReader::nameLines).
        std::unique_ptr<std::vector<NameLine>> names;
    };
    Extra& extra() const {
        if (!extra_) extra_ = std::make_unique<Extra>();
        return *extra_;
    }
    mutable std::unique_ptr<Extra> extra_;
    // Values looked up by name while the values were still to be read, each
    // read alone from the text; kept until the key's values change, so
    // that what findValue gave stays valid as long as it did before.
    mutable std::forward_list<RegValue> looked_;
};

// A new key, not yet in any tree (every key of a registry is made here).
std::shared_ptr<RegKey> newKey();

// Reads what a key whose values are still in the base text holds. The
// registry has no parser of its own: the .reg reader installs one with
// every base load (Registry::textReader), and a key consults it.
enum class QuickValue { Found, Absent, Unsure };
class TextValueReader {
public:
    // The key's values as the load would have read them from its blocks
    // (names, types, places; data encoded).
    virtual void readValues(RegKey& key) const = 0;
    // One value's data, read from its lines.
    virtual void decodeValue(const Registry& registry, RegValue& value) const = 0;
    // The one value of `key` named `wanted` (data encoded), as the key's
    // values would hold it, without reading the others; false when there
    // is none.
    virtual bool readValue(const RegKey& key, std::string_view wanted, RegValue* found) const = 0;
    // The same for the common shape of a lookup, without the line reader:
    // an ASCII name set once in the key's lines, to an ASCII string (escapes
    // \\ and \" allowed; data decoded); Absent when no line of the key names
    // it. Unsure for
    // every other shape, which readValue then reads.
    virtual QuickValue quickValue(const RegKey& key, std::string_view wanted,
                                  RegValue* found) const = 0;
    // Every line quickValue would look at, with its name, read once so that
    // further names are looked up without reading the key's lines again;
    // false (nothing noted) when a line's name is not plain ASCII or the
    // file is UTF-16 (quickValue is then unsure of every name).
    virtual bool nameLines(const RegKey& key, std::vector<NameLine>* out) const = 0;
    // quickValue through those lines: the same answer.
    virtual QuickValue quickValueIn(const RegKey& key, const std::vector<NameLine>& lines,
                                    std::string_view wanted, RegValue* found) const = 0;
    // Every value of `key` as readValues reads them, decoded, into `into`
    // (a key of no registry), the key itself unchanged.
    virtual void copyValues(const RegKey& key, RegKey& into) const = 0;
    // Builds the subtree the load left in the text below `keys.owner`.
    virtual void buildSubkeys(const DeferredKeys& keys) const = 0;

protected:
    ~TextValueReader() = default;
};

// Splits "A\B\C" into components. Returns false for empty components (a
// doubled backslash or a leading one); one trailing backslash is tolerated.
bool splitKeyPath(std::string_view path, std::vector<std::string>* parts);
// The same, as views into `path`.
bool splitKeyPathViews(std::string_view path, std::vector<std::string_view>* parts);

// Walks `path` below `from`; nullptr when any component is missing.
RegKey* findKeyPath(RegKey* from, std::string_view path);

bool isStringType(uint32_t type);

// Marks `key` and its subtree deleted (no recursion).
void markDeleted(RegKey* key);

enum class RegChangeKind {
    KeyCreated,    // path: the new key
    KeyDeleted,    // path: the key; subtree: the key as it was, detached
    ValueSet,      // before: absent for a new value
    ValueDeleted,  // before: the value as it was
};

// One change since a savepoint, as changesSince lists it.
struct RegChange {
    RegChangeKind kind = RegChangeKind::ValueSet;
    std::string path;       // full key path, root name first
    std::string valueName;  // ValueSet / ValueDeleted
    std::optional<RegValue> before, after;
    std::shared_ptr<const RegKey> subtree;  // KeyDeleted
};

// The hives a .reg file may name. Only HKEY_LOCAL_MACHINE is visible to the
// API; keys under the other roots are kept so that a save does not drop them.
struct Registry {
    std::shared_ptr<RegKey> localMachine;             // made by the constructor (see clear)
    std::vector<std::shared_ptr<RegKey>> otherRoots;  // name = canonical root name

    // ---- The base text (set by a .reg load, see regfile.h) ----
    BaseText source;         // raw bytes of the file as read (BOM included)
    bool hasSource = false;  // false: nothing loaded, a save writes the whole tree
    bool utf16 = false;      // UTF-16LE with BOM; otherwise ANSI in `codePage`
    RegFormat sourceFormat = RegFormat::Regedit4;
    unsigned codePage = 1252;
    // Reads the values still in `source`; installed by the load.
    const TextValueReader* textReader = nullptr;
    std::string eol = "\r\n";  // the file's own line end (UTF-8 form)
    // Folded full path of a key -> end of the last "[-path]" line for it
    // (with the lines after it up to the next key line): a new key block
    // must come after it.
    std::unordered_map<std::string, size_t> deletionLines;
    // Folded full path of a key -> end of the last "[-path]" line (and the
    // lines after it, as above) that deleted keys below it (or itself): the
    // key lines before it still make
    // the key. A key deleted since the load gets a deletion line there.
    std::unordered_map<std::string, size_t> impliedEnds;
    // A hex value left open by a continuation that never came ends where
    // the next value or key line starts. Should that line go, the key line
    // of the value's block is written there instead so that the value is
    // ended exactly as before.
    struct OpenEnd {
        size_t at;     // start of the line that ended it
        Span keyLine;  // key line of the block the value was in
    };
    std::vector<OpenEnd> openEnds;
    // A hex value whose continuation ran into the end of the file is
    // completed by it: text appended after it must not take it over.
    RegKey* openTailKey = nullptr;
    size_t openTailBegin = kNoOffset;

    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    // Back to an empty registry with no base text and no change log (the
    // settings below, lazyValues and recording, stay).
    void clear();

    // Canonical long root name ("HKEY_LOCAL_MACHINE") for a root spelled in
    // any case, or "" when the name is not a root regedit accepts.
    static std::string canonicalRoot(std::string_view wanted);
    // The same without building a string (a view of a static name).
    static std::string_view canonicalRootName(std::string_view wanted);
    RegKey* root(const std::string& canonicalName, bool create);

    // ---- Change log ----
    // A point in the change log; rollback(savepoint()) undoes nothing.
    size_t savepoint() const { return log_.size(); }
    // Undoes every change made after `point`: the tree is exactly as it
    // was (subkeys, values and their order, deleted flags, parents); a
    // handle to a key that comes back sees it live again.
    void rollback(size_t point);
    // The changes since `point`, oldest first.
    std::vector<RegChange> changesSince(size_t point) const;
    // Forgets the change log (the base text now holds every change: see
    // rebase in regfile.h).
    void clearLog() { log_.clear(); }

    // A base load leaves each key's values in the text, read on first use,
    // and the keys more than `builtDepth` levels below a root in the text
    // too, each subtree built when it is first walked (false: every key and
    // value built and decoded by the load itself, as tests compare).
    bool lazyValues = true;
    uint32_t builtDepth = 3;
    // A base load that leaves values in the text, of a text of at least
    // `checkTwoFrom` bytes (0: none), checks the lines from a key line near
    // the middle on a second thread while it reads the ones before: the
    // same warnings, refusals, tree and places. Tests set `splitNear` to
    // have the second thread start at the first key line from there, on a
    // text of any size.
    size_t checkTwoFrom = size_t{4} << 20;
    size_t splitNear = kNoOffset;

    // Mutations are recorded only while this is true (a base load turns
    // it off).
    bool recording = true;

    // ---- Used by RegKey and the .reg writer ----
    enum class LogKind { KeyCreated, KeyDeleted, ValueSet, ValueDeleted };
    struct LogEntry {
        LogKind kind;
        RegKey* key;                    // the changed key, or the parent of a created/deleted one
        std::shared_ptr<RegKey> child;  // KeyCreated / KeyDeleted
        size_t index = 0;               // value or subkey position
        std::optional<RegValue> before, after;
        std::string path;      // full path of the key (the child for Key*), at change time
        uint64_t removal = 0;  // KeyDeleted: which removal it was, counted over the process
    };
    void record(LogEntry entry);
    const std::vector<LogEntry>& log() const { return log_; }

private:
    std::vector<LogEntry> log_;
};

}  // namespace winsim
