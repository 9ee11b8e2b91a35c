// The .reg reader on arbitrary bytes: no crash, no leak, no hang, and
// import -> export -> import -> export gives the same text twice. The lines
// the reader skips are written back: the export keeps every one of them
// where it was kept, and reading it skips exactly those again, with the
// same messages.
//
// The input is the file itself. Its length picks the ANSI code page, so
// every code page the machine supports is exercised without a header byte
// that would make the sample images unusable as seeds.
#include "winsim/src/regfile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

const unsigned kCodePages[] = {1252, 1251, 850, 437};

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "regfile_fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// Every kept skipped text with its owner ("" for the preamble).
std::vector<std::string> keptTexts(const winsim::Registry& registry) {
    std::vector<std::string> out;
    auto add = [&out](const std::string& owner, const winsim::SkippedText& kept) {
        std::string text = owner + (kept.open ? " (open)" : "") + ":";
        for (const auto& line : kept.lines) text += "\n" + line;
        out.push_back(text);
    };
    for (const auto& kept : registry.preamble) add("", kept);
    std::vector<const winsim::RegKey*> stack = {registry.localMachine.get()};
    for (const auto& root : registry.otherRoots) stack.push_back(root.get());
    while (!stack.empty()) {
        const winsim::RegKey* key = stack.back();
        stack.pop_back();
        const std::string path = key->parent ? key->path() : key->name;
        for (const auto& kept : key->skipped) add(path, kept);
        for (const auto& sub : key->subkeys) stack.push_back(sub.get());
    }
    return out;
}

// Warning texts without "file:line: ", counted; notes on keys under other
// roots (kept for the save and named on every load) left out.
std::map<std::string, int> skipMessages(const std::vector<std::string>& warnings) {
    std::map<std::string, int> out;
    for (const auto& warning : warnings) {
        const size_t colon = warning.find(": ");
        const std::string message =
            colon == std::string::npos ? warning : warning.substr(colon + 2);
        if (message.rfind("key under ", 0) == 0) continue;
        ++out[message];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const unsigned codePage = kCodePages[size % 4];

    winsim::Registry first;
    winsim::RegImport imported;
    std::string error;
    if (!winsim::importRegFile(bytes, "input.reg", codePage, first, &imported, &error)) {
        if (error.empty()) fail("refused without a message", "");
        return 0;
    }

    const std::string exported = winsim::exportRegFile(first, imported.format, codePage);

    winsim::Registry second;
    winsim::RegImport reimported;
    if (!winsim::importRegFile(exported, "export.reg", codePage, second, &reimported, &error)) {
        fail("an exported file is refused on import", error + "\n" + exported);
    }
    // The kept lines come back where they were, each skipped again for a
    // reason it was skipped for the first time; nothing else is skipped.
    const std::vector<std::string> kept = keptTexts(first);
    if (keptTexts(second) != kept) fail("the export moved or changed skipped lines", exported);
    const std::map<std::string, int> before = skipMessages(imported.warnings);
    const std::map<std::string, int> after = skipMessages(reimported.warnings);
    int count = 0;
    for (const auto& [message, n] : after) {
        count += n;
        const auto was = before.find(message);
        if (was == before.end() || was->second < n) {
            fail("an exported file imports with a new warning", message + "\n" + exported);
        }
    }
    if (count != static_cast<int>(kept.size())) {
        fail("kept lines and warnings on reading them back differ", exported);
    }
    if (reimported.format != imported.format) {
        fail("export changed the file format", exported);
    }
    const std::string again = winsim::exportRegFile(second, reimported.format, codePage);
    if (again != exported) {
        fail("export -> import -> export is not stable", exported + "\n----\n" + again);
    }
    return 0;
}
