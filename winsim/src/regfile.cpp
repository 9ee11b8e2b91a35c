#include "winsim/src/regfile.h"

#include <cstdio>
#include <string_view>

#include "winsim/src/codepage.h"

namespace winsim {

namespace {

const char kHeader4[] = "REGEDIT4";
const char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr size_t kMaxKeyName = 255;

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

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(cur);
            cur.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

// A quoted string at the front of `s` (which starts with '"'): unescapes
// \\ and \" and advances past the closing quote. \0 or no closing quote:
// false.
bool parseQuoted(std::string_view& s, std::string* out) {
    out->clear();
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
                *out += n;
                i += 2;
                continue;
            }
            if (n == '0') return false;
        }
        *out += c;
        ++i;
    }
    return false;
}

enum class HexEnd { Done, Continues, Bad };

// Comma-separated two-digit hex bytes, then end, a ';' comment, or (right
// after a comma) a backslash announcing a continuation line.
HexEnd parseHexBytes(std::string_view s, std::vector<uint8_t>& bytes) {
    bool afterComma = true;  // at the start a byte may come
    bool any = false;
    while (true) {
        s = skipBlanks(s);
        if (s.empty() || s.front() == ';') return HexEnd::Done;
        if (s.front() == '\\') {
            if (!(any && afterComma)) return HexEnd::Bad;
            s.remove_prefix(1);
            return onlyCommentLeft(s) ? HexEnd::Continues : HexEnd::Bad;
        }
        if (!afterComma) return HexEnd::Bad;
        if (s.size() < 2 || hexDigit(s[0]) < 0 || hexDigit(s[1]) < 0) return HexEnd::Bad;
        bytes.push_back(static_cast<uint8_t>(hexDigit(s[0]) * 16 + hexDigit(s[1])));
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

class Importer {
public:
    Importer(Registry& registry, RegFormat format, unsigned codePage, const std::string& fileName,
             const std::vector<std::string>& lines, bool keepSkipped,
             std::vector<std::string>& warnings)
        : registry_(registry),
          format_(format),
          codePage_(codePage),
          fileName_(fileName),
          lines_(lines),
          keep_(keepSkipped),
          warnings_(warnings) {}

    void line(size_t index) {
        index_ = index;
        const int lineNo = static_cast<int>(index + 1);
        std::string_view s = skipBlanks(lines_[index]);
        if (pending_) {
            if (s.empty() || s.front() == ';') return;
            if (s.front() != '[' && s.front() != '@' && s.front() != '"') {
                continueHex(s, lineNo);
                return;
            }
            pending_ = false;
            skip(current_, pendingLine_, "hex data continued by no line; value skipped",
                 pendingFirst_, pendingLast_, true);
        }
        if (s.empty() || s.front() == ';' || s.front() == '#') return;
        if (isHeaderLine(s)) return;  // the start of another export appended to this one
        if (s.front() == '[') {
            keyLine(s, lineNo);
        } else if (s.front() == '@' || s.front() == '"') {
            valueLine(s, lineNo);
        } else {
            skipLine(current_, lineNo, "not a key, value or comment line; skipped");
        }
    }

    void finish() {
        if (pending_) commitPending();
    }

private:
    void warn(int lineNo, const std::string& text) {
        warnings_.push_back(fileName_ + ":" + std::to_string(lineNo) + ": " + text);
    }

    // Warns, and keeps lines first..last with `owner` (the key the reader
    // was in; nullptr: the preamble) so that a save writes them back.
    void skip(RegKey* owner, int lineNo, const std::string& text, size_t first, size_t last,
              bool open) {
        warn(lineNo, text);
        if (!keep_) return;
        SkippedText kept;
        kept.lines.assign(lines_.begin() + static_cast<std::ptrdiff_t>(first),
                          lines_.begin() + static_cast<std::ptrdiff_t>(last) + 1);
        kept.open = open;
        (owner ? owner->skipped : registry_.preamble).push_back(std::move(kept));
    }

    void skipLine(RegKey* owner, int lineNo, const std::string& text) {
        skip(owner, lineNo, text, index_, index_, false);
    }

    void keyLine(std::string_view s, int lineNo) {
        // A bad key line and the values after it belong to no key: they are
        // kept in the preamble.
        current_ = nullptr;
        s.remove_prefix(1);
        bool remove = false;
        if (!s.empty() && s.front() == '-') {
            remove = true;
            s.remove_prefix(1);
        }
        if (s.empty() || isBlank(s.front())) {
            skipLine(nullptr, lineNo, "blank after '[': key line ignored");
            return;
        }
        const size_t close = s.rfind(']');
        if (close == std::string_view::npos) {
            skipLine(nullptr, lineNo, "key line without ']': ignored");
            return;
        }
        const std::string_view full = s.substr(0, close);
        const size_t slash = full.find('\\');
        const std::string rootName = Registry::canonicalRoot(full.substr(0, slash));
        if (rootName.empty()) {
            skipLine(nullptr, lineNo,
                     "unknown root key '" + std::string(full.substr(0, slash)) + "': ignored");
            return;
        }
        std::vector<std::string> parts;
        if (slash != std::string_view::npos &&
            (!splitKeyPath(full.substr(slash + 1), &parts) || parts.empty())) {
            skipLine(nullptr, lineNo, "empty key name in path: ignored");
            return;
        }
        for (const auto& p : parts) {
            if (p.size() > kMaxKeyName) {
                skipLine(nullptr, lineNo, "key name longer than 255 characters: ignored");
                return;
            }
        }
        if (rootName != "HKEY_LOCAL_MACHINE") {
            warn(lineNo, "key under " + rootName + " is not part of this machine; ignored");
        }
        RegKey* key = registry_.root(rootName, true);
        if (remove) {
            if (parts.empty()) {
                skipLine(nullptr, lineNo, "a root key cannot be deleted; ignored");
                return;
            }
            for (size_t i = 0; i + 1 < parts.size() && key; ++i) key = key->findSubkey(parts[i]);
            if (key) key->removeSubkey(parts.back());
            return;
        }
        for (const auto& p : parts) key = key->createSubkey(p);
        current_ = key;
    }

    void valueLine(std::string_view s, int lineNo) {
        std::string name;
        if (s.front() == '@') {
            s.remove_prefix(1);
        } else if (!parseQuoted(s, &name)) {
            skipLine(current_, lineNo, "bad value name; line skipped");
            return;
        }
        s = skipBlanks(s);
        if (s.empty() || s.front() != '=') {
            skipLine(current_, lineNo, "no '=' after the value name; line skipped");
            return;
        }
        s = skipBlanks(s.substr(1));
        if (!current_) {
            skipLine(current_, lineNo, "value without a valid key; skipped");
            return;
        }
        if (!s.empty() && s.front() == '"') {
            std::string data;
            if (!parseQuoted(s, &data) || !onlyCommentLeft(s)) {
                skipLine(current_, lineNo, "bad string data; line skipped");
                return;
            }
            std::vector<uint8_t> bytes(data.begin(), data.end());
            bytes.push_back(0);
            current_->setValue(name, 1, std::move(bytes));
            return;
        }
        if (!s.empty() && s.front() == '-') {
            if (!onlyCommentLeft(s.substr(1))) {
                skipLine(current_, lineNo, "bad value deletion; line skipped");
                return;
            }
            current_->removeValue(name);
            return;
        }
        if (s.substr(0, 6) == "dword:") {
            s.remove_prefix(6);
            uint32_t v = 0;
            if (!parseHex32(s, &v) || !onlyCommentLeft(s)) {
                skipLine(current_, lineNo, "bad dword data; line skipped");
                return;
            }
            current_->setValue(name, 4,
                               {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
            return;
        }
        uint32_t type = 3;
        if (s.substr(0, 4) == "hex:") {
            s.remove_prefix(4);
        } else if (s.substr(0, 4) == "hex(") {
            s.remove_prefix(4);
            if (!parseHex32(s, &type) || s.substr(0, 2) != "):") {
                skipLine(current_, lineNo, "bad hex type; line skipped");
                return;
            }
            s.remove_prefix(2);
        } else {
            skipLine(current_, lineNo, "unknown value data; line skipped");
            return;
        }
        pendingName_ = name;
        pendingType_ = type;
        pendingBytes_.clear();
        pendingLine_ = lineNo;
        pendingFirst_ = pendingLast_ = index_;
        const HexEnd end = parseHexBytes(s, pendingBytes_);
        if (end == HexEnd::Bad) {
            skipLine(current_, lineNo, "bad hex data; line skipped");
        } else if (end == HexEnd::Continues) {
            pending_ = true;
        } else {
            commitPending();
        }
    }

    void continueHex(std::string_view s, int lineNo) {
        pendingLast_ = index_;
        if (s.front() == ',') {
            pending_ = false;
            skip(current_, lineNo, "continuation line starts with a comma; value skipped",
                 pendingFirst_, pendingLast_, false);
            return;
        }
        const HexEnd end = parseHexBytes(s, pendingBytes_);
        if (end == HexEnd::Bad) {
            pending_ = false;
            skip(current_, lineNo, "bad hex data in continuation; value skipped", pendingFirst_,
                 pendingLast_, false);
        } else if (end == HexEnd::Done) {
            pending_ = false;
            commitPending();
        }
    }

    void commitPending() {
        pending_ = false;
        std::vector<uint8_t> data = std::move(pendingBytes_);
        pendingBytes_.clear();
        if (isStringType(pendingType_)) {
            const std::string raw(data.begin(), data.end());
            const std::string text =
                format_ == RegFormat::Regedit4 ? ansiToUtf8(codePage_, raw) : utf16leToUtf8(raw);
            data.assign(text.begin(), text.end());
            if (pendingType_ != 1 && (data.empty() || data.back() != 0)) data.push_back(0);
        }
        if (current_) current_->setValue(pendingName_, pendingType_, std::move(data));
    }

    Registry& registry_;
    RegFormat format_;
    unsigned codePage_;
    const std::string& fileName_;
    const std::vector<std::string>& lines_;
    bool keep_;
    std::vector<std::string>& warnings_;
    size_t index_ = 0;  // of the line being read
    RegKey* current_ = nullptr;
    bool pending_ = false;
    std::string pendingName_;
    uint32_t pendingType_ = 0;
    std::vector<uint8_t> pendingBytes_;
    int pendingLine_ = 0;
    size_t pendingFirst_ = 0, pendingLast_ = 0;  // the value's lines so far
};

// ---- export ----

std::string escapeName(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

void appendHex(std::string& out, std::string line, const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    constexpr size_t kMaxLine = 80;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const bool last = i + 1 == bytes.size();
        // Room for "xx," and, if the line must break after it, the "\".
        if (i > 0 && line.size() + 3 + 1 > kMaxLine) {
            out += line + "\\\r\n";
            line = "  ";
        }
        line += kDigits[bytes[i] >> 4];
        line += kDigits[bytes[i] & 15];
        if (!last) line += ',';
    }
    out += line + "\r\n";
}

bool plainString(const RegValue& v) {
    if (v.type != 1 || v.data.empty() || v.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < v.data.size(); ++i) {
        const uint8_t c = v.data[i];
        if (c == 0 || c == '\r' || c == '\n') return false;
    }
    return true;
}

void exportValue(std::string& out, const RegValue& v, RegFormat format, unsigned codePage) {
    std::string line = v.name.empty() ? "@=" : "\"" + escapeName(v.name) + "\"=";
    if (plainString(v)) {
        out += line + "\"" + escapeName(std::string(v.data.begin(), v.data.end() - 1)) + "\"\r\n";
        return;
    }
    if (v.type == 4 && v.data.size() == 4) {
        const uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                           (static_cast<uint32_t>(v.data[3]) << 24);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out += line + buf + "\r\n";
        return;
    }
    std::vector<uint8_t> bytes = v.data;
    if (isStringType(v.type)) {
        const std::string text(v.data.begin(), v.data.end());
        const std::string enc =
            format == RegFormat::Regedit4 ? utf8ToAnsi(codePage, text) : utf8ToUtf16le(text);
        bytes.assign(enc.begin(), enc.end());
    }
    if (v.type == 3) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        line += buf;
    }
    appendHex(out, line, bytes);
}

void exportSkipped(std::string& out, const SkippedText& kept) {
    for (const auto& line : kept.lines) out += line + "\r\n";
}

void exportKey(std::string& out, const RegKey& key, const std::string& path, RegFormat format,
               unsigned codePage, bool isRoot) {
    if (!isRoot || !key.values.empty() || !key.skipped.empty()) {
        const std::string header = "[" + path + "]\r\n";
        out += header;
        for (const auto& v : key.values) exportValue(out, v, format, codePage);
        // Skipped lines follow the values. An open hex value gets the key's
        // own line after it: that ends it as its first reading was ended,
        // whatever is written next (or the end of the file, which would
        // complete it instead).
        for (const auto& kept : key.skipped) {
            exportSkipped(out, kept);
            if (kept.open) out += header;
        }
        out += "\r\n";
    }
    for (const auto& sub : key.subkeys) {
        exportKey(out, *sub, path + "\\" + sub->name, format, codePage, false);
    }
}

}  // namespace

bool importRegFile(const std::string& bytes, const std::string& fileName, unsigned codePage,
                   Registry& registry, RegImport* result, std::string* error, bool keepSkipped) {
    std::string text;
    const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE;
    if (utf16) {
        text = utf16leToUtf8(std::string_view(bytes).substr(2));
    } else {
        text = ansiToUtf8(codePage, bytes);
    }
    const std::vector<std::string> lines = splitLines(text);
    size_t first = 0;
    while (first < lines.size() && skipBlanks(lines[first]).empty()) ++first;
    const std::string_view header =
        first < lines.size() ? skipBlanks(lines[first]) : std::string_view();
    RegFormat format;
    if (header == kHeader5) {
        format = utf16 ? RegFormat::V5Utf16 : RegFormat::V5Ansi;
    } else if (header == kHeader4 && !utf16) {
        format = RegFormat::Regedit4;
    } else {
        *error = fileName + ": not a registry file (the first line must be \"" + kHeader4 +
                 "\" or \"" + kHeader5 + "\")";
        return false;
    }
    result->format = format;
    Importer importer(registry, format, codePage, fileName, lines, keepSkipped, result->warnings);
    for (size_t i = first + 1; i < lines.size(); ++i) importer.line(i);
    importer.finish();
    return true;
}

std::string exportRegFile(const Registry& registry, RegFormat format, unsigned codePage) {
    std::string text = format == RegFormat::Regedit4 ? kHeader4 : kHeader5;
    text += "\r\n\r\n";
    if (!registry.preamble.empty()) {
        for (const auto& kept : registry.preamble) exportSkipped(text, kept);
        text += "\r\n";
    }
    exportKey(text, *registry.localMachine, "HKEY_LOCAL_MACHINE", format, codePage, true);
    for (const auto& root : registry.otherRoots) {
        exportKey(text, *root, root->name, format, codePage, true);
    }
    if (format == RegFormat::V5Utf16) return "\xFF\xFE" + utf8ToUtf16le(text);
    return utf8ToAnsi(codePage, text);
}

}  // namespace winsim
