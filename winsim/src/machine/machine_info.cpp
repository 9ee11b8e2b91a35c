#include "winsim/src/machine/machine_info.h"

#include <cstdint>

#include "winsim/src/base/codepage.h"

namespace winsim {

namespace {

const char kNtVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char k9xVersion[] = "Software\\Microsoft\\Windows\\CurrentVersion";
const char kCodePage[] = "System\\CurrentControlSet\\Control\\Nls\\CodePage";

// A string value without its terminating zero(s); nullopt when absent or
// not a string.
std::optional<std::string> text(const RegKey* key, const char* name) {
    const RegValue* v = key ? key->findValue(name) : nullptr;
    if (!v || (v->type != 1 && v->type != 2)) return std::nullopt;
    std::string s(v->data.begin(), v->data.end());
    s = s.substr(0, s.find('\0'));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

}  // namespace

bool parseUnsigned(const std::string& s, uint32_t max, uint32_t* out) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool parseVersionText(const std::string& raw, uint32_t* major, uint32_t* minor, uint32_t* build) {
    std::string s = raw.substr(0, raw.find_first_of(" \t"));
    std::string parts[3];
    size_t n = 0, start = 0;
    while (true) {
        if (n == 3) return false;
        const size_t dot = s.find('.', start);
        parts[n++] = s.substr(start, dot - start);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    *build = 0;
    return n >= 2 && parseUnsigned(parts[0], 255, major) && parseUnsigned(parts[1], 255, minor) &&
           (n == 2 || parseUnsigned(parts[2], 65535, build));
}

std::optional<unsigned> codePageFromRegistry(const RegKey& hklm) {
    RegKey* root = const_cast<RegKey*>(&hklm);
    const std::optional<std::string> acp = text(findKeyPath(root, kCodePage), "ACP");
    uint32_t cp = 0;
    if (!acp || !parseUnsigned(*acp, 65535, &cp)) return std::nullopt;
    return cp;
}

MachineInfo machineInfoFromRegistry(const RegKey& hklm) {
    RegKey* root = const_cast<RegKey*>(&hklm);
    MachineInfo info;
    const RegKey* nt = findKeyPath(root, kNtVersion);
    const RegKey* w9x = findKeyPath(root, k9xVersion);
    uint32_t major = 0, minor = 0, build = 0;
    const std::optional<std::string> ntVersion = text(nt, "CurrentVersion");
    const std::optional<std::string> version9x = text(w9x, "VersionNumber");
    if (ntVersion && parseVersionText(*ntVersion, &major, &minor, &build)) {
        info.platform = Platform::Nt;
        const std::optional<std::string> buildText = text(nt, "CurrentBuildNumber");
        uint32_t b = 0;
        if (buildText && parseUnsigned(*buildText, 65535, &b)) build = b;
        info.major = major;
        info.minor = minor;
        info.build = build;
        info.csdVersion = text(nt, "CSDVersion").value_or("");
        info.windowsDir = text(nt, "SystemRoot");
    } else if (version9x && parseVersionText(*version9x, &major, &minor, &build)) {
        info.platform = Platform::Win9x;
        info.major = major;
        info.minor = minor;
        info.build = build;
        info.windowsDir = text(w9x, "SystemRoot");
    }
    if (info.windowsDir && info.windowsDir->empty()) info.windowsDir.reset();
    info.codePage = codePageFromRegistry(hklm);
    return info;
}

}  // namespace winsim

namespace winsim {

bool completeMachineInfo(const RegKey& hklm, const IniGiven& given, const std::string& source,
                         MachineFacts* facts, std::string* error) {
    MachineFacts& m = *facts;
    const MachineInfo info = machineInfoFromRegistry(hklm);
    std::vector<std::string> missing;
    if (!given.version) {
        if (info.major) {
            m.major = *info.major;
            m.minor = *info.minor;
            m.build = *info.build;
            m.versionFrom = FactSource::Registry;
        } else {
            missing.push_back(
                "version (the registry has neither HKLM\\SOFTWARE\\Microsoft\\Windows "
                "NT\\CurrentVersion CurrentVersion, for 2000/XP, nor "
                "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion VersionNumber, for 98/ME); "
                "give it with --fact version=5.1.2600 (XP; 2000 is 5.0.2195, ME 4.90.3000, 98 "
                "4.10.2222), or as version in machine.ini [system]");
        }
    }
    if (!given.platform && info.platform) {
        m.platform = *info.platform;
        m.platformFrom = FactSource::Registry;
    } else if (!given.platform && missing.empty()) {
        // 98 and ME are 4.10 and 4.90; NT 4.0 and every later version are NT.
        m.platform = m.major == 4 && m.minor >= 10 ? Platform::Win9x : Platform::Nt;
        m.platformFrom = FactSource::Version;
    }
    if (info.platform && *info.platform == m.platform) m.csdVersion = info.csdVersion;
    if (!given.windows) {
        if (info.windowsDir) {
            m.windowsDir = *info.windowsDir;
            m.windowsFrom = FactSource::Registry;
        } else if (!m.windowsDir.empty()) {
            m.windowsFrom = FactSource::Installation;  // named after the installation's folder
        } else {
            m.windowsDir = "C:\\WINDOWS";
        }
    }
    if (!given.codePage && info.codePage) {
        if (codePageSupported(*info.codePage)) {
            m.codePage = *info.codePage;
            m.codePageFrom = FactSource::Registry;
        } else {
            missing.push_back("a code page the simulation supports (the registry's ACP is " +
                              std::to_string(*info.codePage) +
                              "); give one with --fact codepage=1252 (or 1251, 850, 437), or as "
                              "codepage in machine.ini [system]");
        }
    }
    if (missing.empty()) return true;
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) list += (i == 0 ? "" : " and ") + missing[i];
    *error = source + ": cannot tell what machine this is: missing " + list;
    return false;
}

}  // namespace winsim
