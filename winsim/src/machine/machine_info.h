// What a machine image's machine.ini says, taken from the registry as
// Windows keeps it, for images that come without one (a bare export, the
// hive files of an installation).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/src/registry/registry.h"

namespace winsim {

// What machine it is: the [system] settings of machine.ini, completed from
// the registry.
struct MachineFacts {
    Platform platform = Platform::Nt;
    uint32_t major = 0, minor = 0, build = 0;
    std::string windowsDir;  // UTF-8
    unsigned codePage = 1252;
    std::string csdVersion;
};

struct MachineInfo {
    std::optional<Platform> platform;
    // major, minor, build (build 0 when the registry gives none)
    std::optional<uint32_t> major, minor, build;
    std::string csdVersion;  // "Service Pack 2", "" when none
    std::optional<std::string> windowsDir;
    std::optional<unsigned> codePage;  // ACP as found, supported or not
};

// Which [system] keys machine.ini gave (the registry gives the others).
struct IniGiven {
    bool platform = false, version = false, windows = false, codePage = false;
};

// Fills what machine.ini did not give from the registry: platform and
// version, the Windows directory (C:\WINDOWS when the registry has none),
// the code page (1252 when none), read from `hklm` into `facts`. False, with
// one message naming `source` and listing every item neither gives (or
// gives in a form the simulation cannot use).
bool completeMachineInfo(const RegKey& hklm, const IniGiven& given, const std::string& source,
                         MachineFacts* facts, std::string* error);

// Reads, below `hklm`:
//   SOFTWARE\Microsoft\Windows NT\CurrentVersion  CurrentVersion ("5.1"),
//       CurrentBuildNumber ("2600"), CSDVersion, SystemRoot  -> platform nt
//   Software\Microsoft\Windows\CurrentVersion  VersionNumber ("4.10.2222"),
//       SystemRoot  -> platform 9x
//   System\CurrentControlSet\Control\Nls\CodePage  ACP ("1252")
// (NT first: a 2000/XP registry may carry the 9x key as well.) Whatever is
// absent or unreadable stays empty.
MachineInfo machineInfoFromRegistry(const RegKey& hklm);

// Only the ANSI code page (for decoding an ANSI export before the rest of
// it is read).
std::optional<unsigned> codePageFromRegistry(const RegKey& hklm);

// "5.1.2600" -> parts; false when not two or three dot-separated numbers
// (major, minor up to 255, build up to 65535). Trailing text after a blank
// is ignored ("4.90.3000 " or "4.10.2222 A").
bool parseVersionText(const std::string& text, uint32_t* major, uint32_t* minor, uint32_t* build);

// A decimal number of at most `max` (digits only, no sign or spaces).
bool parseUnsigned(const std::string& s, uint32_t max, uint32_t* out);

}  // namespace winsim
