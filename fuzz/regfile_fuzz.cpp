// The .reg reader and the exact save on arbitrary bytes: no crash, no leak,
// no hang, and
// - a file that loads saves back byte for byte when nothing changed;
// - after a few changes (chosen from the input's own bytes) the save reads
//   back as exactly the changed registry, and taking that text as the new
//   base works;
// - rolling the changes back gives the original registry and file again;
// - values read from the text on first use (the default), and keys built
//   when their subtree is first walked, are what a load that builds them
//   at once gives, places in the text included, whether looked up by name
//   first or listed.
//
// The input is the file itself. Its length picks the ANSI code page, so
// every code page the machine supports is exercised without a header byte
// that would make the sample images unusable as seeds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/reg_dump.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/regfile.h"

namespace {

using qu_test::placesDump;

const unsigned kCodePages[] = {1252, 1251, 850, 437};

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "regfile_fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

std::string dump(const winsim::Registry& r) {
    std::ostringstream out;
    std::vector<const winsim::RegKey*> stack = {r.localMachine.get()};
    for (const auto& root : r.otherRoots) {
        if (!root->subkeys.empty() || !root->values().empty()) stack.push_back(root.get());
    }
    while (!stack.empty()) {
        const winsim::RegKey* k = stack.back();
        stack.pop_back();
        // Names compare without case: a key keeps the spelling it was
        // created with, and a save may remove the line that created it.
        std::string path;
        for (const winsim::RegKey* p = k; p; p = p->parent) path = p->fold + "\\" + path;
        out << "[" << path << "]\n";
        for (const auto& v : k->values()) {
            out << winsim::foldName(v.name) << '=' << v.type << ':'
                << std::string(v.data.begin(), v.data.end()) << '\n';
        }
        for (auto it = k->subkeys.rbegin(); it != k->subkeys.rend(); ++it) {
            stack.push_back(it->get());
        }
    }
    return out.str();
}

// The default load against the eager one on the same bytes.
void checkLazyIsEager(const std::string& bytes, unsigned codePage) {
    winsim::Registry eager;
    eager.lazyValues = false;
    winsim::RegImport eagerImport;
    std::string eagerError;
    const bool ok =
        winsim::importRegFile(bytes, "input.reg", codePage, eager, &eagerImport, &eagerError);
    // The last two runs leave the keys below the first level in the text
    // too, each subtree built when first walked. The odd runs check the
    // lines from a key line at a place the input picks on a second thread.
    uint32_t place = 2166136261u;
    for (char c : bytes) place = (place ^ static_cast<uint8_t>(c)) * 16777619u;
    for (const int run : {0, 1, 2, 3}) {
        const bool lookupFirst = run % 2 == 1;
        winsim::Registry lazy;
        if (run >= 2) lazy.builtDepth = 1;
        if (run % 2 == 1) lazy.splitNear = place % (bytes.size() + 1);
        winsim::RegImport lazyImport;
        std::string lazyError;
        if (winsim::importRegFile(bytes, "input.reg", codePage, lazy, &lazyImport, &lazyError) !=
                ok ||
            lazyError != eagerError || lazyImport.warnings != eagerImport.warnings) {
            fail("the lazy load does not accept, refuse or warn as the eager one", bytes);
        }
        if (!ok) return;
        const winsim::Registry* twin = lookupFirst ? &eager : nullptr;
        if (placesDump(lazy, twin) != placesDump(eager, twin)) {
            fail("values read on first use differ from the eager load", bytes);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const unsigned codePage = kCodePages[size % 4];
    checkLazyIsEager(bytes, codePage);

    winsim::Registry registry;
    // Half the inputs change keys below subtrees not built yet.
    const bool unbuilt = (size / 4) % 2 == 1;
    if (unbuilt) registry.builtDepth = 1;
    // And half of them cut the load at a key line a third into the text.
    if (size % 2 == 1) registry.splitNear = size / 3;
    winsim::RegImport imported;
    std::string error;
    if (!winsim::importRegFile(bytes, "input.reg", codePage, registry, &imported, &error)) {
        if (error.empty()) fail("refused without a message", "");
        return 0;
    }
    if (winsim::exportRegFile(registry, imported.format, codePage) != bytes) {
        fail("load then save is not the identity", bytes);
    }
    winsim::Registry first;  // the registry as loaded, built by the dump
    winsim::RegImport firstImport;
    winsim::importRegFile(bytes, "input.reg", codePage, first, &firstImport, &error);
    const std::string original = dump(first);

    // Changes picked by the input's bytes.
    uint32_t seed = 2166136261u;
    for (char c : bytes) seed = (seed ^ static_cast<uint8_t>(c)) * 16777619u;
    auto next = [&seed]() {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    for (int step = 0; step < 4; ++step) {
        winsim::RegKey* k = registry.localMachine.get();
        if (unbuilt) {
            while (next() % 4 != 0 && !k->subkeys.empty()) {
                k = k->subkeys[next() % k->subkeys.size()].get();
            }
        } else {
            std::vector<winsim::RegKey*> keys = qu_test::allKeys(registry, true);
            k = keys[next() % keys.size()];
        }
        switch (next() % 5) {
            case 0:
                if (!k->subkeys.empty())
                    k->removeSubkey(k->subkeys[next() % k->subkeys.size()]->name);
                break;
            case 1:
                if (!k->values().empty())
                    k->removeValue(k->values()[next() % k->values().size()].name);
                break;
            case 2:
                if (!k->values().empty()) {
                    k->setValue(k->values()[next() % k->values().size()].name, 7,
                                {'a', 0, static_cast<uint8_t>('a' + next() % 26), 0, 0});
                }
                break;
            case 3:
                k->setValue("new" + std::to_string(next() % 3), 4, {1, 2, 3, 4});
                break;
            default:
                k->createSubkey("New" + std::to_string(next() % 3));
                break;
        }
    }
    const std::string changed = dump(registry);
    const std::string saved = winsim::exportRegFile(registry, imported.format, codePage);
    winsim::Registry back;
    winsim::RegImport reimported;
    if (!winsim::importRegFile(saved, "saved.reg", codePage, back, &reimported, &error)) {
        fail("a save is refused on loading", error + "\n" + saved);
    }
    if (dump(back) != changed) fail("a save does not read back as the changed registry", saved);

    winsim::Registry again;
    winsim::RegImport third;
    if (!winsim::importRegFile(bytes, "input.reg", codePage, again, &third, &error)) {
        fail("the input loads only once", error);
    }
    const size_t point = again.savepoint();
    for (winsim::RegKey* k : qu_test::allKeys(again, true)) k->setValue("x", 1, {'x', 0});
    again.rollback(point);
    if (dump(again) != original ||
        winsim::exportRegFile(again, imported.format, codePage) != bytes) {
        fail("rollback does not restore the registry", bytes);
    }
    if (!rebase(registry, saved)) fail("a save cannot become the new base", saved);
    if (winsim::exportRegFile(registry, imported.format, codePage) != saved) {
        fail("the new base does not save back as itself", saved);
    }
    return 0;
}
