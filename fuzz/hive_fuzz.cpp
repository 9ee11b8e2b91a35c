// An installation's 2000/XP system hive on arbitrary bytes (the input is
// the hive file; the software hive is the sample's): loaded as --windows
// loads it, then changed as an Uninstall changes it. No crash, no leak and
// no hang, in the program or in hivex, and
// - a hive that is refused is refused with a message, and left as it was;
// - each change is saved or refused; a refused save leaves the hive as it
//   was before it, and a read-only machine saves nothing;
// - a hive the program saved loads again, with the changes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "fuzz/scratch.h"
#include "winsim/machine.h"
#include "winsim/offline.h"

namespace fs = std::filesystem;

namespace {

const char kDevices[] = "System\\CurrentControlSet\\Enum\\USB";
const char kService[] = "System\\CurrentControlSet\\Services\\kestrelx";

fs::path g_root, g_config;
std::string g_software;

[[noreturn]] void fail(const std::string& what) { qu_fuzz::failIn("hive_fuzz", what); }

std::string readAll(const fs::path& path) { return qu_fuzz::readWhole(path); }

void writeAll(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool load(std::string* error) {
    winsim::LoadOptions options;
    options.installation = true;
    return winsim::loadMachine(g_root.string(), options, error);
}

// One change through the test API, which saves it at once; `saved` is the
// hive as it is on disk before and after. Whether the change was saved.
bool change(const std::function<void()>& apply, bool readOnly, std::string* saved) {
    apply();
    const std::string now = readAll(g_config / "system");
    const bool refused = winsim::lastSaveFailed(nullptr);
    if (readOnly && !refused) fail("a read-only machine saved a change");
    if (refused && now != *saved) fail("a refused save changed the hive");
    *saved = now;
    return !refused;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = qu_fuzz::makeScratch("hive");
    if (g_root.empty()) fail("mkdtemp failed");
    g_config = g_root / "WINDOWS" / "system32" / "config";
    fs::create_directories(g_config);
    g_software = readAll(fs::path(QU_SOURCE_DIR) /
                         "machines/xp-offline-drive/WINDOWS/system32/config/software");
    if (g_software.empty()) fail("no sample software hive");
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_root, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::error_code ec;
    fs::remove_all(g_config, ec);
    fs::create_directories(g_config);
    writeAll(g_config / "system", input);
    writeAll(g_config / "software", g_software);

    std::string error;
    if (!load(&error)) {
        if (error.empty()) fail("a hive was refused without a message");
        if (readAll(g_config / "system") != input) fail("a refused hive changed");
        return 0;
    }
    // Changes inside what was loaded, as an Uninstall makes them.
    const bool readOnly = winsim::machineReadOnly();
    std::string saved = input;
    const bool deleted = winsim::keyExists(kDevices) &&
                         change([] { winsim::deleteTree(kDevices); }, readOnly, &saved);
    const bool set =
        winsim::keyExists(kService) &&
        change([] { winsim::setStringValue(kService, "ImagePath", "fuzz.sys"); }, readOnly, &saved);
    winsim::unloadMachine();
    if (!deleted && !set) return 0;

    if (!load(&error)) fail("a hive the program saved does not load again: " + error);
    if (deleted && winsim::keyExists(kDevices)) fail("a saved deletion is back");
    if (set && winsim::stringValue(kService, "ImagePath") != "fuzz.sys") {
        fail("a saved value is lost");
    }
    winsim::unloadMachine();
    return 0;
}
