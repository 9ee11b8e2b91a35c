#include "winsim/src/machine/machine_ini.h"

#include <sstream>

#include "winsim/src/base/codepage.h"

namespace winsim {

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

std::string lower(std::string s) {
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// "major.minor[.build]"
bool parseVersion(const std::string& s, Machine& m) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t dot = s.find('.', start);
        parts.push_back(s.substr(start, dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) return false;
    m.build = 0;
    return parseUnsigned(parts[0], 255, &m.major) && parseUnsigned(parts[1], 255, &m.minor) &&
           (parts.size() == 2 || parseUnsigned(parts[2], 65535, &m.build));
}

}  // namespace

bool parseIni(const std::string& text, const std::string& path, Machine& m,
              std::vector<std::string>& warnings, std::string* error, IniGiven* given) {
    std::string section;
    bool havePlatform = false, haveVersion = false, haveWindows = false;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string where = path + ":" + std::to_string(lineNo) + ": ";
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::string line = trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos || !trim(line.substr(close + 1)).empty()) {
                *error = where + "bad section line '" + line + "'";
                return false;
            }
            section = lower(trim(line.substr(1, close - 1)));
            if (section != "system" && section != "faults") {
                warnings.push_back(where + "unknown section [" + section + "] ignored");
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            *error = where + "expected 'key = value', got '" + line + "'";
            return false;
        }
        const std::string key = lower(trim(line.substr(0, eq)));
        std::string value = line.substr(eq + 1);
        const size_t semi = value.find(';');
        if (semi != std::string::npos) value.erase(semi);
        value = trim(value);
        const std::string lv = lower(value);
        auto bad = [&](const std::string& expected) {
            *error = where + key + " must be " + expected + ", not '" + value + "'";
            return false;
        };
        if (section == "system") {
            if (key == "platform") {
                if (lv == "nt") {
                    m.platform = Platform::Nt;
                } else if (lv == "9x") {
                    m.platform = Platform::Win9x;
                } else {
                    return bad("nt or 9x");
                }
                havePlatform = true;
            } else if (key == "version") {
                if (!parseVersion(value, m)) return bad("major.minor.build (e.g. 5.1.2600)");
                haveVersion = true;
            } else if (key == "windows") {
                if (value.empty()) return bad("a directory such as C:\\WINDOWS");
                m.windowsDir = value;
                haveWindows = true;
            } else if (key == "codepage") {
                uint32_t cp = 0;
                if (!parseUnsigned(value, 65535, &cp) || !codePageSupported(cp)) {
                    return bad("one of 1252, 1251, 850, 437");
                }
                m.codePage = cp;
                if (given) given->codePage = true;
            } else {
                warnings.push_back(where + "unknown key '" + key + "' ignored");
            }
        } else if (section == "faults") {
            struct FaultKey {
                const char* name;
                const char* word;
                bool Faults::*flag;
            };
            static const FaultKey kFaults[] = {
                {"version", "fail", &Faults::versionFails},
                {"windows", "fail", &Faults::windowsDirFails},
                {"propertychange", "refuse", &Faults::refusePropertyChange},
                {"remove", "fail", &Faults::removeFails},
                {"deletekey", "refuse", &Faults::refuseDeleteKey},
            };
            bool known = false;
            for (const auto& f : kFaults) {
                if (key != f.name) continue;
                known = true;
                if (lv == f.word) {
                    m.faults.*f.flag = true;
                } else if (lv == "none") {
                    m.faults.*f.flag = false;
                } else {
                    return bad(std::string(f.word) + " or none");
                }
            }
            if (!known) warnings.push_back(where + "unknown fault '" + key + "' ignored");
        } else if (section.empty()) {
            *error = where + "key '" + key + "' outside any section";
            return false;
        }
    }
    if (given) {
        given->platform = havePlatform;
        given->version = haveVersion;
        given->windows = haveWindows;
        return true;
    }
    const char* missing = !havePlatform  ? "platform"
                          : !haveVersion ? "version"
                          : !haveWindows ? "windows"
                                         : nullptr;
    if (missing) {
        *error = path + ": [system] has no '" + missing + "' key";
        return false;
    }
    return true;
}

}  // namespace winsim
