// The .reg reader on arbitrary bytes: no crash, no leak, no hang, and
// import -> export -> import -> export gives the same text twice.
//
// The input is the file itself. Its length picks the ANSI code page, so
// every code page the machine supports is exercised without a header byte
// that would make the sample images unusable as seeds.
#include "winsim/src/regfile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const unsigned kCodePages[] = {1252, 1251, 850, 437};

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "regfile_fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
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
    // Keys under other roots are kept for the save and named on every load;
    // any other warning means the export wrote a line the reader skips.
    for (const auto& warning : reimported.warnings) {
        if (warning.find("is not part of this machine") == std::string::npos) {
            fail("an exported file imports with warnings", warning);
        }
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
