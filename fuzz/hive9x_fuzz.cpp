// An installation's 98/ME SYSTEM.DAT on arbitrary bytes (the input is the
// file), loaded as --windows loads it. No crash, no leak and no hang, in
// the program or in libcreg, and
// - a file that is refused is refused with a message;
// - a file that loads gives a read-only 98/ME machine whose keys can all be
//   listed, and a change to it is refused;
// - the file is never written.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz/scratch.h"
#include "winsim/machine.h"
#include "winsim/offline.h"

namespace fs = std::filesystem;

namespace {

fs::path g_root, g_file;

[[noreturn]] void fail(const std::string& what) { qu_fuzz::failIn("hive9x_fuzz", what); }

std::string readAll(const fs::path& path) { return qu_fuzz::readWhole(path); }

// Every key below `path`; the load bounds the nesting.
size_t countKeys(const std::string& path) {
    size_t count = 1;
    for (const auto& name : winsim::subkeyNames(path)) {
        count += countKeys(path.empty() ? name : path + "\\" + name);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = qu_fuzz::makeScratch("hive9x");
    if (g_root.empty()) fail("mkdtemp failed");
    fs::create_directories(g_root / "WINDOWS");
    g_file = g_root / "WINDOWS" / "SYSTEM.DAT";
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_root, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::ofstream(g_file, std::ios::binary | std::ios::trunc) << input;

    winsim::LoadOptions options;
    options.installation = true;
    std::string error;
    if (!winsim::loadMachine(g_root.string(), options, &error)) {
        if (error.empty()) fail("a SYSTEM.DAT was refused without a message");
    } else {
        if (winsim::platform() != winsim::Platform::Win9x) fail("not a 98/ME machine");
        if (!winsim::machineReadOnly()) fail("a 98/ME registry file is not read-only");
        countKeys("");
        if (winsim::deleteTree("Enum") && !winsim::lastSaveFailed(nullptr)) {
            fail("a change to a 98/ME machine was not refused");
        }
        winsim::unloadMachine();
    }
    if (readAll(g_file) != input) fail("SYSTEM.DAT changed");
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(g_root, ec)) {
        if (entry.path() != g_file && entry.path() != g_root / "WINDOWS") {
            fail("created " + entry.path().string());
        }
    }
    return 0;
}
