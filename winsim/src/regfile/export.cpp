// Writing .reg text: a value's lines, whole files of subtrees, and the
// save (the base text patched with the changes since, or the whole tree).
#include <cstdio>
#include <string>
#include <vector>

#include "winsim/api/win32_registry.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/line_reader.h"
#include "winsim/src/regfile/patch.h"
#include "winsim/src/regfile/regfile.h"
#include "winsim/src/regfile/render.h"

namespace winsim {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

std::string exportRegFile(const Registry& registry, RegFormat format, unsigned codePage) {
    if (registry.hasSource && format == registry.sourceFormat) {
        if (registry.log().empty()) return registry.source.str();
        return patchedText(registry);
    }
    std::vector<RegSubtree> roots = {{registry.localMachine->name, registry.localMachine.get()}};
    for (const auto& r : registry.otherRoots) roots.push_back({r->name, r.get()});
    return wholeText(roots, format, codePage, true);
}

bool exportRegFile(const Registry& registry, RegFormat format, unsigned codePage,
                   const TextSink& sink) {
    if (registry.hasSource && format == registry.sourceFormat) {
        if (registry.log().empty()) return sink(registry.source.data(), registry.source.size());
        return patchedText(registry, sink);
    }
    const std::string whole = exportRegFile(registry, format, codePage);
    return sink(whole.data(), whole.size());
}

std::string exportKeys(const std::vector<RegSubtree>& subtrees, RegFormat format,
                       unsigned codePage) {
    return wholeText(subtrees, format, codePage, false);
}

}  // namespace winsim
