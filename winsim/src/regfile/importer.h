// The .reg reader's line importer: fed a file's lines one by one, it builds
// or applies what they say (see Mode); import.cpp feeds it a whole file, or
// again a key's lines to read values still in the base text.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "winsim/src/regfile/line_reader.h"
#include "winsim/src/registry/registry.h"

namespace winsim {

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
            // marked so): lines checked and warned about, nothing built;
            // with deferAt, the keys deeper down too (see DeferredKeys)
    Names,  // one key's blocks read again: its values with their names,
            // types and places, the data left encoded
    Data,   // one value's lines read again: its type and data
};

// What the check of a text's second part (from a key line on) found, for
// the importer of the part before it to take over (Importer::takeOver).
// The key lines are handed over in pieces while the check runs, so that the
// taker can build the tree from them meanwhile; the rest is read after the
// end. Lines are counted from the part's first line (1).
struct CheckedPart {
    struct KeyLineNote {
        RawLine raw;
        uint32_t tail = 0;  // end of the last value line its key took, 0: none
        // A key line of HKEY_LOCAL_MACHINE deeper than the load's deferAt
        // whose path down to there has the same bytes as the key line
        // before, itself such a line: its key is left in the text with
        // that one's.
        bool sameOwner = false;
    };
    using Piece = std::vector<KeyLineNote>;

    // The checking thread: `piece` (key lines whose blocks are complete)
    // for the taker, and then the end.
    void hand(Piece&& piece);
    void end();
    // The taker: waits for the pieces handed since the last call, or for
    // the end; false when the end came and nothing is left.
    bool take(std::vector<Piece>* pieces);

    std::atomic<bool> stop{false};  // the taker gives up: the check may end
    Piece keyLines;                 // the piece being filled, in file order
    std::vector<std::pair<int, std::string>> warnings;
    std::vector<Registry::OpenEnd> openEnds;
    int lines = 0;
    bool failed = false;   // out of memory
    bool refused = false;  // at line `lines`, for `refusal`
    std::string refusal;
    bool codePageUsed = false;
    // A hex value still open at the end of the text.
    bool pending = false;
    int pendingLine = 0;
    uint32_t pendingType = 0;
    size_t pendingBegin = 0, pendingEnd = 0;

private:
    std::mutex lock_;
    std::condition_variable handed_;
    std::vector<Piece> pieces_;
    bool ended_ = false;
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
    // Index: the key lines below depth `depth` (0: none) go into their
    // ancestor at that depth, left in the text.
    void deferAt(uint32_t depth) { deferAt_ = depth; }
    // Index: the key lines of `keys` are given again (keyLineOf) to build
    // the subtree below its owner; finishSubtree when they are all in.
    void buildFor(const DeferredKeys& keys) { building_ = &keys; }
    void keyLineOf(const RawLine& raw, std::string_view text, const KeyBlock& block);
    void finishSubtree();
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
    bool line(const RawLine& raw, std::string_view text, int lineNo);

    // Index: the lines given check a text's second part into `part`,
    // touching nothing of the registry (another thread may build it
    // meanwhile); after the last one, endCheck().
    void checkInto(CheckedPart* part) {
        checked_ = part;
        checkedKey_ = std::make_unique<RegKey>();
    }
    void endCheck();
    // Index, after the lines before `at` (a key line): the registry made as
    // if this importer had read the part `part` checked, which starts there
    // (its key lines given again, their warnings and values taken from it);
    // then finish. False when the part was refused (error() says where).
    // `base`: the number of lines before `at`.
    bool takeOver(CheckedPart& part, const RawLine& at, std::string_view bytes, bool utf16,
                  int base);

    void finish(size_t end);

    const std::string& error() const { return error_; }
    // Whether any text was decoded in the code page (a name or data outside
    // ASCII): read in another code page, the lines would give other text.
    bool codePageUsed() const { return codePageUsed_; }

private:
    void warn(int lineNo, const std::string& text) {
        if (quiet_) return;
        if (checked_) {
            checked_->warnings.emplace_back(lineNo, text);
            return;
        }
        warnings_.push_back(fileName_ + ":" + std::to_string(lineNo) + ": " + text);
    }

    // A hex value open when a value or key line comes: skipped.
    void endPending(const RawLine& raw);

    std::string fromAnsi(std::string_view text) {
        codePageUsed_ = true;
        return ansiToUtf8(codePage_, text);
    }

    bool refuse(const std::string& text) {
        if (checked_) {
            checked_->refused = true;
            checked_->refusal = text;
            return false;
        }
        error_ = fileName_ + ":" + std::to_string(lineNo_) + ": " + text;
        return false;
    }

    void closeBlock(size_t at) {
        if (blockKey_) blockKey_->blocks.back().end = static_cast<uint32_t>(at);
        blockKey_ = nullptr;
        if (deferredBlock_) deferredBlock_->end = static_cast<uint32_t>(at);
        deferredBlock_ = nullptr;
    }

    // The key of the first `n` of `parts` below `root` during a base load:
    // siblings are appended (sorted at the end) and found through a map.
    RegKey* baseKey(RegKey* root, const std::string_view* parts, size_t n, bool create);

    // The key line `block` of a key `parts` below `top`: built, or left in
    // the text with its ancestor at deferAt_.
    void placeKeyLine(RegKey* top, const std::string_view* parts, size_t n, const KeyBlock& block);

    // Every subtree left in the text so far built, and none left from now
    // on (a deletion line needs the keys it deletes).
    void buildDeferred();

    // takeOver: the key line `raw` whose note says it goes with the one
    // before into their ancestor at deferAt_ (current_).
    void nextBlockOfOwner(const RawLine& raw);

    // Sorts the sibling lists below `tops` and notes where each subtree ends.
    void finishTree(std::vector<RegKey*> tops);

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
    RegKey* childOf(const RegKey* key, const std::string& fold) const;

    void addChild(RegKey* key, std::shared_ptr<RegKey> child);

    bool baseDelete(RegKey* root, const std::vector<std::string_view>& parts);

    // The lines after a deletion line end where the next key line starts.
    void endDeletionRegion(size_t at);

    bool keyLine(std::string_view s);

    // Whether value lines are decoded into data (not in Index and Names).
    bool wantData() const {
        return mode_ == Mode::Apply || mode_ == Mode::Eager || mode_ == Mode::Data;
    }

    // Index: the current key has a value line (or deletion) at `span`, left
    // in the text.
    void noteInText(Span span) {
        if (checked_) {
            checked_->keyLines.back().tail = static_cast<uint32_t>(span.end);
            return;
        }
        if (deferredBlock_) {
            deferredBlock_->tail = static_cast<uint32_t>(span.end);
            return;
        }
        current_->setValuesInText();
        current_->blocks.back().tail = static_cast<uint32_t>(span.end);
    }

    void put(std::string_view name, uint32_t type, std::vector<uint8_t> data, Span span);

    // A value deletion line of the current key.
    void unset(std::string_view name, Span span);

    bool valueLine(std::string_view s);

    void continueHex(std::string_view s);

    void commitPending();

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
    // The open block when its key line was left in the text (current_ is
    // then its owner, standing in for the key).
    KeyBlock* deferredBlock_ = nullptr;
    uint32_t deferAt_ = 0;
    const DeferredKeys* building_ = nullptr;
    const KeyBlock* replay_ = nullptr;  // keyLineOf: the block given again
    Span keyLine_;
    bool pending_ = false;
    std::string pendingName_;
    uint32_t pendingType_ = 0;
    std::vector<uint8_t> pendingBytes_;
    std::string scratch_;   // a string value's unescaped text
    std::string nameText_;  // a value name unescaped or converted
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
    CheckedPart* checked_ = nullptr;      // checkInto
    bool quiet_ = false;                  // takeOver: the part gave the warnings
    std::unique_ptr<RegKey> checkedKey_;  // checkInto: current_ after a good key line
    std::string ownerPath_;               // checkInto: see KeyLineNote::sameOwner
};

// The start of the first key line at or after `near` (or after the line
// `near` falls in) of a text, kNoOffset when none comes.
size_t keyLineFrom(std::string_view bytes, bool utf16, size_t near);

// The place that parts a text into two of about the same work for a load,
// estimated from samples of it (lines, key lines, bytes).
size_t middleOfWork(std::string_view bytes, bool utf16);

// Checks the lines of `bytes` from `from` (a key line) into `part`: the
// work of the second thread of a load, which reads `registry`'s settings
// and nothing else of it.
void checkPart(std::string_view bytes, bool utf16, size_t from, RegFormat format, unsigned codePage,
               const std::string& fileName, Registry& registry, CheckedPart* part);

}  // namespace winsim
