// The pieces the generated export (export_image.h) is written with: its
// value lines, its keys in the order an export lists them, and a
// reproducible source of variety. Internal to the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/export_image.h"

namespace qu_bench {

extern const char kNetClass[];     // the network class GUID
extern const char kAdapterId[];    // the supported adapter's hardware ID
extern const char kAdapterName[];  // its description

// xorshift64: the same text for the same arguments on every run.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull | 1) {}
    uint32_t next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 7;
        s_ ^= s_ << 17;
        return static_cast<uint32_t>(s_ >> 32);
    }
    unsigned below(unsigned n) { return next() % n; }
    unsigned between(unsigned low, unsigned high) { return low + below(high - low + 1); }

private:
    uint64_t s_;
};

// printf of one number.
std::string format(const char* pattern, unsigned value);
// `value` in `width` digits, zeros in front.
std::string number(unsigned value, int width);
// A registry GUID in braces, capitals.
std::string guid(Rng& rng);
// 32 hex digits: the packed form of a product or component code.
std::string packedCode(Rng& rng);

// The value lines of one key, as an export writes them (an empty name is
// the default value, @).
struct Values {
    std::string text;
    unsigned count = 0;

    void sz(const std::string& name, const std::string& data);
    void dword(const std::string& name, uint32_t data);
    // hex: (type < 0) or hex(type): bytes, wrapped where the registry
    // editor wraps them: after the comma that passes column 76.
    void hex(const std::string& name, int type, const std::string& bytes);
    void expand(const std::string& name, const std::string& data) { hex(name, 2, data + '\0'); }
    void multi(const std::string& name, std::initializer_list<std::string> strings);
    // `size` bytes from `rng`.
    void binary(const std::string& name, Rng& rng, unsigned size);

private:
    void start(const std::string& name);
};

// The keys of the export (paths below HKEY_LOCAL_MACHINE), written in the
// order an export lists them: every parent (made when missing) before its
// children, siblings by their names in capitals.
class Export {
public:
    Export();
    // Adds `values` to the key `path`.
    void key(const std::string& path, const Values& values);
    void key(const std::string& path) {
        if (!full()) add(path);
    }
    // From now on keys are dropped once the text has `bytes` bytes.
    void limit(size_t bytes) { limit_ = bytes; }
    bool full() const { return bytes_ >= limit_; }
    // The REGEDIT4 text.
    std::string text(ExportStats* stats) const;

private:
    struct Entry {
        std::string order;  // the path in capitals, levels split by \x01
        std::string path;
        std::string body;
    };
    size_t add(const std::string& path);

    std::vector<Entry> entries_;
    std::unordered_map<std::string, size_t> index_;
    size_t bytes_;
    size_t values_ = 0;
    size_t limit_ = SIZE_MAX;
};

// HKEY_LOCAL_MACHINE\SYSTEM: ControlSet001, its copy ControlSet002, Select
// and a few keys beside them.
void systemHive(Export& b, unsigned instances, unsigned netDevices);

// The `unit`th piece of HKEY_LOCAL_MACHINE\SOFTWARE, from a few hundred
// bytes (classes, installer components) to tens of KB (a vendor's product).
void softwareUnit(Export& b, unsigned unit);

}  // namespace qu_bench
