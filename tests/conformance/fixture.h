// The private state every conformance run starts from, made by the fixture
// of each side: on the host a machine image (Windows XP) is written and
// loaded; on Windows (and under Wine) the same keys and files are created
// with the real API and removed again afterwards. Nothing else of the
// machine is touched.
//
//   HKLM\Software\QuConformance           created with subkeys in the order
//     Gamma (with a subkey Leaf), beta, Alpha
//     "Text"   REG_SZ        "hello world"
//     "Number" REG_DWORD     0x12345678
//     "Multi"  REG_MULTI_SZ  "a", "bc"
//     "Empty"  REG_SZ        ""
//   <Windows directory>\QuConf\           a folder with
//     plain.txt     "abc"
//     readonly.txt  "r", read-only
#pragma once

#include <cstddef>

namespace conformance {

constexpr char kKeyPath[] = "Software\\QuConformance";

// False, with a message in `error`, when the state cannot be made.
bool setUpFixture(char* error, std::size_t size);
void tearDownFixture();
// The fixture's folder, e.g. "C:\WINDOWS\QuConf" (no trailing backslash).
const char* fixtureDir();

void registryChecks();
void kernelChecks();

}  // namespace conformance
