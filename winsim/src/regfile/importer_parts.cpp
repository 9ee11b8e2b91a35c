// A load in two parts: the lines from a key line on checked by another
// thread (checkPart), then taken over by the importer of the lines before
// (Importer::takeOver), which builds the tree from them as it would have.
#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/src/regfile/importer.h"
#include "winsim/src/regfile/line_reader.h"

namespace winsim {

// The start of the first key line at or after `near` (or after the line
// `near` falls in), kNoOffset when none comes. Any line whose first
// character past the blanks is '[' is a key line whatever came before it:
// it ends a hex value left open.
size_t keyLineFrom(std::string_view bytes, bool utf16, size_t near) {
    const size_t unit = utf16 ? 2 : 1;
    const size_t n = bytes.size();
    const char* d = bytes.data();
    if (utf16) near &= ~size_t{1};
    if (near < unit || near >= n) return kNoOffset;
    // The first line end from the unit before `near`: the line after it
    // starts at `near` or later.
    const size_t q = utf16 ? breakFrom<true>(d, near - unit, n) : breakFrom<false>(d, near - 1, n);
    if (q + unit > n) return kNoOffset;
    size_t start = q + unit;
    const bool crlf =
        d[q] == '\r' && start + unit <= n && d[start] == '\n' && (!utf16 || d[start + 1] == 0);
    if (crlf) start += unit;
    LineReader reader(bytes, utf16, start);
    RawLine raw;
    std::string decoded;
    while (reader.next(&raw)) {
        const std::string_view s = skipBlanks(lineText(bytes, utf16, raw, &decoded));
        if (!s.empty() && s.front() == '[') return raw.begin;
    }
    return kNoOffset;
}

size_t middleOfWork(std::string_view bytes, bool utf16) {
    // The work of a line, in the load's time: a value line 1, a key line
    // 4.5 (its path split and its key found or made), 120 bytes 1 (finding
    // the line ends). Counted in 64 samples of 4 KiB spread over the text.
    constexpr size_t kSamples = 64, kSample = 4096;
    const size_t n = bytes.size();
    const size_t unit = utf16 ? 2 : 1;
    double work[kSamples];
    double total = 0;
    for (size_t i = 0; i < kSamples; ++i) {
        const size_t from = (n / kSamples * i) & ~size_t{1};
        const size_t to = std::min(n, from + kSample);
        double lines = 0, keys = 0;
        for (size_t p = from; p + unit <= to; p += unit) {
            if (bytes[p] != '\n' || (utf16 && bytes[p + 1] != 0)) continue;
            lines += 1;
            if (p + unit < to && bytes[p + unit] == '[') keys += 1;
        }
        work[i] = lines + 3.5 * keys + static_cast<double>(to - from) / 120;
        total += work[i];
    }
    double sum = 0;
    for (size_t i = 0; i < kSamples; ++i) {
        if (sum + work[i] >= total / 2) {
            const double within = work[i] > 0 ? (total / 2 - sum) / work[i] : 0;
            return static_cast<size_t>((static_cast<double>(i) + within) * static_cast<double>(n) /
                                       kSamples);
        }
        sum += work[i];
    }
    return n / 2;
}

// Checks the lines of `bytes` from `from` into `part` (Importer::checkInto):
// the work of the second thread, which reads the registry's settings only.
void checkPart(std::string_view bytes, bool utf16, size_t from, RegFormat format, unsigned codePage,
               const std::string& fileName, Registry& registry, CheckedPart* part) {
    std::vector<std::string> unused;  // the warnings go into `part`
    Importer importer(registry, format, codePage, fileName, Mode::Index, unused);
    importer.checkInto(part);
    if (registry.lazyValues) importer.deferAt(registry.builtDepth);
    LineReader reader(bytes, utf16, from);
    RawLine raw;
    std::string decoded;
    int lineNo = 0;
    while (reader.next(&raw)) {
        ++lineNo;
        if (!importer.line(raw, lineText(bytes, utf16, raw, &decoded), lineNo)) break;
        // Now and then: has the taker given up (its own part refused)?
        if ((lineNo & 0xFFFF) == 0 && part->stop.load(std::memory_order_relaxed)) break;
    }
    part->lines = lineNo;
    importer.endCheck();
}

void CheckedPart::hand(Piece&& piece) {
    std::lock_guard<std::mutex> hold(lock_);
    pieces_.push_back(std::move(piece));
    handed_.notify_one();
}

void CheckedPart::end() {
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    handed_.notify_one();
}

bool CheckedPart::take(std::vector<Piece>* pieces) {
    pieces->clear();
    std::unique_lock<std::mutex> hold(lock_);
    handed_.wait(hold, [this] { return ended_ || !pieces_.empty(); });
    pieces->swap(pieces_);
    return !pieces->empty();
}

void Importer::nextBlockOfOwner(const RawLine& raw) {
    // What keyLine and placeKeyLine do with such a line, without reading
    // its path again: the path cache already holds it.
    raw_ = raw;
    closeBlock(raw.begin);
    endDeletionRegion(raw.begin);
    keyLine_ = Span{raw.begin, raw.next};
    DeferredKeys& deferred = current_->subkeys.defer(current_, deferAt_);
    deferred.blocks.push_back(
        KeyBlock{static_cast<uint32_t>(raw.begin), 0, static_cast<uint32_t>(raw.next)});
    deferredBlock_ = &deferred.blocks.back();
}

void Importer::endCheck() {
    checked_->hand(std::move(checked_->keyLines));
    checked_->codePageUsed = codePageUsed_;
    checked_->pending = pending_;
    checked_->pendingLine = pendingLine_;
    checked_->pendingType = pendingType_;
    checked_->pendingBegin = pendingBegin_;
    checked_->pendingEnd = pendingEnd_;
    checked_->end();
}

bool Importer::takeOver(CheckedPart& part, const RawLine& at, std::string_view bytes, bool utf16,
                        int base) {
    raw_ = at;
    if (pending_) endPending(at);
    // The key lines build the tree as they would have, as they come; the
    // value lines between them only move their block's tail. A line the
    // check refused is the last one given: it refuses here too.
    quiet_ = true;
    std::string decoded;
    std::vector<CheckedPart::Piece> pieces;
    bool building = true;
    while (part.take(&pieces)) {
        for (const CheckedPart::Piece& piece : pieces) {
            for (const CheckedPart::KeyLineNote& note : piece) {
                if (!building) break;
                // The line before was left in the text below the same key
                // (a deletion line builds every subtree and leaves none in
                // the text from then on: no open block is deferred then).
                if (note.sameOwner && deferredBlock_) {
                    nextBlockOfOwner(note.raw);
                } else {
                    building = line(note.raw, lineText(bytes, utf16, note.raw, &decoded), 0);
                }
                if (note.tail != 0 && current_) noteInText(Span{note.raw.begin, note.tail});
            }
        }
    }
    quiet_ = false;
    // The end has come: the rest of what the check found, in file order
    // after what the line at `at` ended.
    if (part.failed) throw std::bad_alloc();
    for (const auto& [lineNo, text] : part.warnings) warn(base + lineNo, text);
    codePageUsed_ = codePageUsed_ || part.codePageUsed;
    if (part.refused) {
        lineNo_ = base + part.lines;
        return refuse(part.refusal);
    }
    reg_.openEnds.insert(reg_.openEnds.end(), part.openEnds.begin(), part.openEnds.end());
    pending_ = part.pending;
    pendingLine_ = part.pendingLine;
    pendingType_ = part.pendingType;
    pendingBegin_ = part.pendingBegin;
    pendingEnd_ = part.pendingEnd;
    return true;
}

}  // namespace winsim
