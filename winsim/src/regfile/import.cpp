// Reading .reg files: the load of a base text, the import of a file into a
// registry, and the reader of values still in the base text that the load
// installs in the registry.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "winsim/api/win32_registry.h"
#include "winsim/src/base/base_text.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/importer.h"
#include "winsim/src/regfile/line_reader.h"
#include "winsim/src/regfile/regfile.h"

namespace winsim {

namespace {

const TextValueReader* textValues();

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
        registry.textReader = textValues();
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
    if (mode == Mode::Index) importer.deferAt(registry.builtDepth);
    // A large text: the lines from a key line near the middle of the work
    // checked on a second thread meanwhile.
    size_t cut = kNoOffset;
    if (mode == Mode::Index && registry.splitNear != kNoOffset) {
        cut = keyLineFrom(bytes, utf16, std::max(registry.splitNear, raw.next));
    } else if (mode == Mode::Index && registry.checkTwoFrom != 0 &&
               bytes.size() >= registry.checkTwoFrom) {
        cut = keyLineFrom(bytes, utf16, middleOfWork(bytes, utf16));
    }
    CheckedPart second;
    std::thread worker;
    // Joined before the text may go (a refusal clears the registry), and
    // on the way out of an exception.
    struct Joined {
        CheckedPart& part;
        std::thread& thread;
        void now() {
            part.stop = true;
            if (thread.joinable()) thread.join();
        }
        ~Joined() { now(); }
    } joined{second, worker};
    if (cut != kNoOffset) {
        try {
            worker = inBackground([&, cut] {
                try {
                    checkPart(bytes, utf16, cut, format, codePage, fileName, registry, &second);
                } catch (const std::bad_alloc&) {
                    second.failed = true;  // takeOver throws it again
                    second.end();
                }
            });
        } catch (const std::system_error&) {
            cut = kNoOffset;  // no thread: all of it here
        }
    }
    bool ok = true;
    bool atCut = false;
    while (ok && reader.next(&raw)) {
        if (raw.begin == cut) {
            atCut = true;
            break;
        }
        ++lineNo;
        ok = importer.line(raw, textOf(raw), lineNo);
    }
    if (ok && atCut) ok = importer.takeOver(second, raw, bytes, utf16, lineNo);
    joined.now();
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

void decodeValueFromText(const Registry& r, RegValue& value);

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

// The value of line `s` (a value line named `name` ending at `close`, the
// name's closing quote) when its data is a plain ASCII string; false when
// it is any other shape.
bool plainStringLine(std::string_view s, size_t close, std::string_view name, const RawLine& raw,
                     RegValue* found) {
    // "name" = "ASCII text" [; comment]; the text may have the escapes
    // \\ and \" (a driver key's "{class}\\0007").
    s = skipBlanks(s.substr(close + 1));
    if (s.empty() || s.front() != '=') return false;
    s = skipBlanks(s.substr(1));
    if (s.empty() || s.front() != '"') return false;
    // Unescaped straight into the value's data, one allocation: the text
    // and its zero take at most the quoted string's room (quotes included).
    std::vector<uint8_t> data(s.size());
    size_t used = 0;
    const bool quoted = readQuoted(s, [&](const char* p, size_t n) {
        std::memcpy(data.data() + used, p, n);
        used += n;
    });
    if (!quoted) return false;
    if (!isAscii(std::string_view(reinterpret_cast<const char*>(data.data()), used)) ||
        !onlyCommentLeft(s)) {
        return false;
    }
    data[used] = 0;
    data.resize(used + 1);
    found->name.assign(name);
    found->type = REG_SZ;
    found->data = std::move(data);
    found->line = Span{raw.begin, raw.next};
    found->changed = false;
    found->encoded = false;
    return true;
}

// Calls `line` with every line of `key`'s blocks that may set a value by a
// quoted name (its text from the quote, the name's closing quote or
// escape, the line), until it returns false.
template <class Visit>
void visitNamedLines(const Registry& r, const RegKey& key, std::string* decoded, Visit line) {
    for (const KeyBlock& block : key.blocks) {
        LineReader reader(r.source, r.utf16, block.begin);
        RawLine raw;
        bool first = true;
        while (reader.next(&raw) && raw.begin < block.end) {
            if (first) {
                first = false;  // the key line
                continue;
            }
            std::string_view s = skipBlanks(lineText(r.source, r.utf16, raw, decoded));
            if (s.empty()) continue;
            if (s.front() == '@') continue;  // the default value: never a wanted name
            if (s.front() != '"') continue;  // no value line starts otherwise
            const size_t close = plainQuotedEnd(s);
            if (close == s.size()) continue;  // no closing quote: the line is skipped
            if (!line(s, close, raw)) return;
        }
    }
}

QuickValue quickValueFromText(const RegKey& key, std::string_view wanted, RegValue* found) {
    const Registry& r = *key.registry;
    if (wanted.empty() || !isAscii(wanted)) return QuickValue::Unsure;
    std::string decoded;  // a line of a UTF-16 file, as the reader decodes it
    bool seen = false;
    bool unsure = false;
    visitNamedLines(r, key, &decoded, [&](std::string_view s, size_t close, const RawLine& raw) {
        // The name, when it is plain ASCII without escapes.
        const std::string_view name = s.substr(1, close - 1);
        unsure = s[close] == '\\' || !isAscii(name);
        if (unsure || !namesEqual(name, wanted)) return !unsure;
        // Set once, to a plain string.
        unsure = seen || !plainStringLine(s, close, name, raw, found);
        seen = true;
        return !unsure;
    });
    if (unsure) return QuickValue::Unsure;
    return seen ? QuickValue::Found : QuickValue::Absent;
}

bool nameLinesFromText(const RegKey& key, std::vector<NameLine>* out) {
    const Registry& r = *key.registry;
    if (r.utf16) return false;  // names of decoded lines have no place in the text
    bool plain = true;
    visitNamedLines(r, key, nullptr, [&](std::string_view s, size_t close, const RawLine& raw) {
        const std::string_view name = s.substr(1, close - 1);
        plain = s[close] != '\\' && isAscii(name);
        if (plain) {
            out->push_back(NameLine{static_cast<uint32_t>(raw.begin),
                                    static_cast<uint32_t>(name.data() - r.source.data()),
                                    static_cast<uint32_t>(name.size())});
        }
        return plain;
    });
    if (!plain) out->clear();
    return plain;
}

QuickValue quickValueInLines(const RegKey& key, const std::vector<NameLine>& lines,
                             std::string_view wanted, RegValue* found) {
    const Registry& r = *key.registry;
    if (wanted.empty() || !isAscii(wanted)) return QuickValue::Unsure;
    const NameLine* match = nullptr;
    for (const NameLine& line : lines) {
        if (line.size != wanted.size()) continue;
        if (!namesEqual(r.source.view().substr(line.name, line.size), wanted)) continue;
        if (match) return QuickValue::Unsure;  // set twice: the reader decides
        match = &line;
    }
    if (!match) return QuickValue::Absent;
    LineReader reader(r.source, false, match->line);
    RawLine raw;
    reader.next(&raw);
    const std::string_view s = skipBlanks(lineText(r.source, false, raw, nullptr));
    const size_t close =
        match->name + match->size - static_cast<size_t>(s.data() - r.source.data());
    return plainStringLine(s, close, s.substr(1, close - 1), raw, found) ? QuickValue::Found
                                                                         : QuickValue::Unsure;
}

// Subtrees left in the text are built again below this depth only when they
// are shallower: a line is read once more for each level it passes.
constexpr uint32_t kDeferAgainTo = 12;

void buildSubkeysFromText(const DeferredKeys& keys) {
    Registry& r = *keys.owner->registry;
    std::vector<std::string> ignored;  // the load gave the warnings
    const std::string noName;
    Importer importer(r, r.sourceFormat, r.codePage, noName, Mode::Index, ignored);
    importer.buildFor(keys);
    const uint32_t again = keys.depth + r.builtDepth;
    if (r.builtDepth && again <= kDeferAgainTo) importer.deferAt(again);
    std::string decoded;
    for (const KeyBlock& block : keys.blocks) {
        LineReader reader(r.source, r.utf16, block.begin);
        RawLine raw;
        reader.next(&raw);
        importer.keyLineOf(raw, lineText(r.source, r.utf16, raw, &decoded), block);
    }
    importer.finishSubtree();
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

// What the registry asks of the text through its reader (registry.h).
class TextValues final : public TextValueReader {
public:
    void readValues(RegKey& key) const override { readValuesFromText(key); }
    void decodeValue(const Registry& registry, RegValue& value) const override {
        decodeValueFromText(registry, value);
    }
    bool readValue(const RegKey& key, std::string_view wanted, RegValue* found) const override {
        return readValueFromText(key, wanted, found);
    }
    QuickValue quickValue(const RegKey& key, std::string_view wanted,
                          RegValue* found) const override {
        return quickValueFromText(key, wanted, found);
    }
    bool nameLines(const RegKey& key, std::vector<NameLine>* out) const override {
        return nameLinesFromText(key, out);
    }
    QuickValue quickValueIn(const RegKey& key, const std::vector<NameLine>& lines,
                            std::string_view wanted, RegValue* found) const override {
        return quickValueInLines(key, lines, wanted, found);
    }
    void copyValues(const RegKey& key, RegKey& into) const override {
        copyValuesFromText(key, into);
    }
    void buildSubkeys(const DeferredKeys& keys) const override { buildSubkeysFromText(keys); }
};

const TextValueReader* textValues() {
    static const TextValues reader;
    return &reader;
}

}  // namespace

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

}  // namespace winsim
