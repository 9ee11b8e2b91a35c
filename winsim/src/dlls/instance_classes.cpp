#include "winsim/src/dlls/instance_classes.h"

#include <cstring>

namespace winsim {
namespace {

// Value of the hex digit `c`, or -1.
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char kClassGuid[] = "CLASSGUID";  // folded

struct Remembered {
    uint64_t changes = 0;
    RegKey* root = nullptr;
    bool made = false;
    std::vector<InstanceClass> instances;
};

}  // namespace

// Every instance of a set has one: a scanf per instance was most of a set's
// cost.
bool parseGuid(std::string_view s, GUID* g) {
    if (s.size() != 38 || s[0] != '{' || s[37] != '}') return false;
    uint8_t bytes[16];
    size_t at = 1;
    for (int i = 0; i < 16; ++i) {
        if (at == 9 || at == 14 || at == 19 || at == 24) {
            if (s[at] != '-') return false;
            ++at;
        }
        const int high = hexDigit(s[at]), low = hexDigit(s[at + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
        at += 2;
    }
    g->Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    g->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    g->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(g->Data4, bytes + 8, 8);
    return true;
}

std::vector<InstanceClass>& instanceClasses(RegKey* root) {
    static Remembered remembered;
    Remembered& r = remembered;
    // A key of the registry freed or made, a ClassGUID changed, a rollback
    // that puts back a key removed before this walk: the count moves on.
    // Reading the tree (building keys that were in the text, reading
    // values) leaves it as it was.
    if (r.made && r.root == root && r.changes == registryChanges(kClassGuid)) return r.instances;
    r.instances.clear();
    noteTreeRead();
    for (const auto& busKey : root->subkeys) {
        for (const auto& deviceKey : busKey->subkeys) {
            uint32_t place = 0;
            for (const auto& instance : deviceKey->subkeys) {
                InstanceClass c;
                c.key = instance.get();
                c.place = place++;
                std::string_view text;
                const RegValue* v = instance->findValue("ClassGUID");
                if (v && isStringType(v->type)) {
                    text = std::string_view(reinterpret_cast<const char*>(v->data.data()),
                                            v->data.size());
                    text = text.substr(0, text.find('\0'));
                }
                c.parsed = parseGuid(text, &c.guid);
                for (const char ch : text) {
                    if (static_cast<unsigned char>(ch) >= 0x80) c.ascii = false;
                }
                r.instances.push_back(c);
            }
        }
    }
    r.root = root;
    r.made = true;
    r.changes = registryChanges(kClassGuid);
    return r.instances;
}

}  // namespace winsim
