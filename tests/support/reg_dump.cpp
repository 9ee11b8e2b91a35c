#include "tests/support/reg_dump.h"

#include <map>
#include <sstream>
#include <utility>
#include <vector>

namespace qu_test {

std::string placesDump(const winsim::Registry& r, const winsim::Registry* eager) {
    std::ostringstream out;
    auto spans = [&](const winsim::RegValue& v) {
        out << " @" << v.line.begin << "-" << v.line.end;
        for (const auto& e : v.earlier) out << " was " << e.begin << "-" << e.end;
    };
    auto value = [&](const winsim::RegValue& v) {
        out << "  \"" << v.name << "\" " << v.type << (v.changed ? " changed" : "") << ":";
        for (uint8_t b : v.data) out << ' ' << static_cast<int>(b);
        spans(v);
        out << "\n";
    };
    std::vector<std::pair<const winsim::RegKey*, const winsim::RegKey*>> stack;
    stack.emplace_back(r.localMachine.get(), eager ? eager->localMachine.get() : nullptr);
    for (size_t i = 0; i < r.otherRoots.size(); ++i) {
        stack.emplace_back(r.otherRoots[i].get(), eager && i < eager->otherRoots.size()
                                                      ? eager->otherRoots[i].get()
                                                      : nullptr);
    }
    while (!stack.empty()) {
        auto [k, e] = stack.back();
        stack.pop_back();
        out << "[" << k->fullPath() << "] end " << k->subtreeEnd;
        for (const auto& b : k->blocks) out << " " << b.begin << "-" << b.end << "/" << b.tail;
        out << "\n";
        if (e) {
            // Lookups first, in another case than written, and a name the
            // key does not have.
            for (const auto& ev : e->values()) {
                std::string other = ev.name;
                for (char& c : other) {
                    if (c >= 'a' && c <= 'z')
                        c = static_cast<char>(c - 32);
                    else if (c >= 'A' && c <= 'Z')
                        c = static_cast<char>(c + 32);
                }
                const winsim::RegValue* v = k->findValue(other);
                if (!v) {
                    out << "  lookup of \"" << other << "\" found nothing\n";
                    continue;
                }
                out << "  lookup";
                value(*v);
            }
            if (k->findValue("no such value \x01")) out << "  found a value never written\n";
        }
        for (const auto& v : k->values()) value(v);
        for (size_t i = k->subkeys.size(); i-- > 0;) {
            const winsim::RegKey* twin = e && i < e->subkeys.size() ? e->subkeys[i].get() : nullptr;
            stack.emplace_back(k->subkeys[i].get(), twin);
        }
    }
    for (const auto& o : r.openEnds) out << "open end " << o.at << " " << o.keyLine.begin << "\n";
    out << "open tail " << r.openTailBegin << " "
        << (r.openTailKey ? r.openTailKey->fullPath() : "") << "\n";
    std::map<std::string, size_t> ends(r.deletionLines.begin(), r.deletionLines.end());
    for (const auto& [path, at] : ends) out << "deleted " << path << " " << at << "\n";
    std::map<std::string, size_t> implied(r.impliedEnds.begin(), r.impliedEnds.end());
    for (const auto& [path, at] : implied) out << "implied " << path << " " << at << "\n";
    return out.str();
}

std::vector<winsim::RegKey*> allKeys(winsim::Registry& r, bool otherRoots) {
    std::vector<winsim::RegKey*> out;
    std::vector<winsim::RegKey*> stack = {r.localMachine.get()};
    if (otherRoots) {
        for (auto& root : r.otherRoots) stack.push_back(root.get());
    }
    while (!stack.empty()) {
        winsim::RegKey* k = stack.back();
        stack.pop_back();
        out.push_back(k);
        for (auto& s : k->subkeys) stack.push_back(s.get());
    }
    return out;
}

}  // namespace qu_test
