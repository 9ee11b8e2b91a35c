#include "bench/export_text.h"

#include <algorithm>
#include <cstdio>

namespace qu_bench {

const char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char kAdapterId[] = "USB\\VID_F3A7&PID_0053";
const char kAdapterName[] = "Quorvane USB 2.0 Network Adapter";

namespace {

const char kHeader[] = "REGEDIT4\r\n\r\n";

std::string escaped(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 8);
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

std::string format(const char* pattern, unsigned value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string number(unsigned value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*u", width, value);
    return text;
}

std::string guid(Rng& rng) {
    char text[48];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%04X%08X}", rng.next(),
                  rng.below(0x10000), rng.below(0x10000), rng.below(0x10000), rng.below(0x10000),
                  rng.next());
    return text;
}

std::string packedCode(Rng& rng) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X%08X%08X%08X", rng.next(), rng.next(), rng.next(),
                  rng.next());
    return text;
}

void Values::start(const std::string& name) {
    text += name.empty() ? std::string("@") : "\"" + escaped(name) + "\"";
    text += '=';
    ++count;
}

void Values::sz(const std::string& name, const std::string& data) {
    start(name);
    text += "\"" + escaped(data) + "\"\r\n";
}

void Values::dword(const std::string& name, uint32_t data) {
    start(name);
    char line[24];
    std::snprintf(line, sizeof line, "dword:%08x\r\n", data);
    text += line;
}

void Values::hex(const std::string& name, int type, const std::string& bytes) {
    const size_t lineStart = text.size();
    start(name);
    text += type < 0 ? std::string("hex:") : format("hex(%x):", static_cast<unsigned>(type));
    size_t column = text.size() - lineStart;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(bytes[i]));
        text += byte;
        column += 2;
        if (i + 1 < bytes.size()) {
            text += ',';
            if (++column > 76) {
                text += "\\\r\n  ";
                column = 2;
            }
        }
    }
    text += "\r\n";
}

void Values::multi(const std::string& name, std::initializer_list<std::string> strings) {
    std::string bytes;
    for (const auto& s : strings) bytes += s + '\0';
    hex(name, 7, bytes + '\0');
}

void Values::binary(const std::string& name, Rng& rng, unsigned size) {
    std::string bytes;
    for (unsigned i = 0; i < size; ++i) bytes += static_cast<char>(rng.below(256));
    hex(name, -1, bytes);
}

Export::Export() : bytes_(sizeof kHeader - 1) {}

void Export::key(const std::string& path, const Values& values) {
    if (full()) return;
    Entry& entry = entries_[add(path)];
    entry.body += values.text;
    bytes_ += values.text.size();
    values_ += values.count;
}

size_t Export::add(const std::string& path) {
    std::string order = path;
    for (char& c : order) {
        if (c == '\\') c = '\x01';
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    auto it = index_.find(order);
    if (it != index_.end()) return it->second;
    const size_t cut = path.rfind('\\');
    if (cut != std::string::npos) add(path.substr(0, cut));
    entries_.push_back(Entry{order, path, {}});
    index_.emplace(std::move(order), entries_.size() - 1);
    bytes_ += std::char_traits<char>::length("[HKEY_LOCAL_MACHINE\\]\r\n\r\n") + path.size();
    return entries_.size() - 1;
}

std::string Export::text(ExportStats* stats) const {
    std::vector<const Entry*> order;
    order.reserve(entries_.size());
    for (const Entry& e : entries_) order.push_back(&e);
    std::sort(order.begin(), order.end(),
              [](const Entry* a, const Entry* b) { return a->order < b->order; });
    std::string out = kHeader;
    out.reserve(bytes_);
    ExportStats s;
    for (const Entry* e : order) {
        const size_t before = out.size();
        out += "[HKEY_LOCAL_MACHINE\\" + e->path + "]\r\n";
        out += e->body;
        out += "\r\n";
        const bool system = e->order.compare(0, 6, "SYSTEM") == 0;
        (system ? s.systemBytes : s.softwareBytes) += out.size() - before;
        s.deepestKey =
            std::max(s.deepestKey,
                     static_cast<unsigned>(std::count(e->path.begin(), e->path.end(), '\\') + 1));
    }
    s.keys = entries_.size();
    s.values = values_;
    if (stats) *stats = s;
    return out;
}

}  // namespace qu_bench
