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
//   one device of the private setup class kDeviceClass, enumerated as
//     Root\QUCONF\0000, DeviceDesc "Conformance device", HardwareID
//     "QUCONF_HW", "QUCONF_ANY"; no service, no driver
//   the dialog template 200 of conformance.rc
#pragma once

#include "platform/win32.h"

#include <cstddef>

namespace conformance {

constexpr char kKeyPath[] = "Software\\QuConformance";
// {5A2B6C1E-3D4F-4E8A-9B0C-1D2E3F405162}
constexpr GUID kDeviceClass = {
    0x5A2B6C1E, 0x3D4F, 0x4E8A, {0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};

// False, with a message in `error`, when the state cannot be made.
bool setUpFixture(char* error, std::size_t size);
void tearDownFixture();
// The fixture's folder, e.g. "C:\WINDOWS\QuConf" (no trailing backslash).
const char* fixtureDir();

void registryChecks();
void kernelChecks();
void setupApiChecks();
void windowChecks();

}  // namespace conformance
