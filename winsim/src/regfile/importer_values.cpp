// The value lines of a registry file: names, types and data, hex data
// continued over lines, and the value a key line or the end completes.
#include "winsim/src/regfile/importer.h"

#include <string>

#include "winsim/api/win32_registry.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/regfile.h"

namespace winsim {

void Importer::put(std::string_view name, uint32_t type, std::vector<uint8_t> data, Span span) {
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

void Importer::unset(std::string_view name, Span span) {
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

bool Importer::valueLine(std::string_view s) {
    // A view of the line when the name has no escapes, else of nameText_.
    std::string_view name;
    if (s.front() == '@') {
        s.remove_prefix(1);
    } else {
        const size_t plainEnd = plainQuotedEnd(s);
        if (plainEnd < s.size() && s[plainEnd] == '"') {
            name = s.substr(1, plainEnd - 1);
            s.remove_prefix(plainEnd + 1);
        } else if (!parseQuoted(s, &nameText_)) {
            warn(lineNo_, "bad value name; line skipped");
            return true;
        } else {
            name = nameText_;
        }
        if (format_ != RegFormat::V5Utf16 && !isAscii(name)) {
            nameText_ = fromAnsi(name);
            name = nameText_;
        }
        if (name.size() > kMaxValueNameChars && utf16Length(name) > kMaxValueNameChars) {
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
            {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
             static_cast<uint8_t>(v >> 24)},
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
    if (mode_ != Mode::Index) pendingName_ = name;  // Index notes the place alone
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

void Importer::continueHex(std::string_view s) {
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

void Importer::commitPending() {
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
    if (current_) put(pendingName_, pendingType_, std::move(data), {pendingBegin_, pendingEnd_});
}
}  // namespace winsim
