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

struct MachineInfo {
    std::optional<Platform> platform;
    // major, minor, build (build 0 when the registry gives none)
    std::optional<uint32_t> major, minor, build;
    std::string csdVersion;  // "Service Pack 2", "" when none
    std::optional<std::string> windowsDir;
    std::optional<unsigned> codePage;  // ACP as found, supported or not
};

// Which [system] keys machine.ini or the command line (--fact) gave (the
// registry gives the others).
struct IniGiven {
    bool platform = false, version = false, windows = false, codePage = false;
};

// Fills what was not given from the registry: version and platform (a
// platform no source names follows from the version), the Windows
// directory (else the installation's folder name, else C:\WINDOWS), the
// code page (1252 when none), and records where each came from. False,
// with one message listing every item nothing gives (or gives in a form
// the simulation cannot use) and the --fact that would give it.
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
