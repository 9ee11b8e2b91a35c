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

int setSystemKey(const std::string& key, const std::string& value, Machine& m, FactSource from,
                 std::string* expected) {
    const std::string lv = lower(value);
    if (key == "platform") {
        if (lv == "nt") {
            m.platform = Platform::Nt;
        } else if (lv == "9x") {
            m.platform = Platform::Win9x;
        } else {
            *expected = "nt or 9x";
            return -1;
        }
        m.platformFrom = from;
    } else if (key == "version") {
        if (!parseVersion(value, m)) {
            *expected = "major.minor.build (e.g. 5.1.2600)";
            return -1;
        }
        m.versionFrom = from;
    } else if (key == "windows") {
        if (value.empty()) {
            *expected = "a directory such as C:\\WINDOWS";
            return -1;
        }
        m.windowsDir = value;
        m.windowsFrom = from;
    } else if (key == "codepage") {
        uint32_t cp = 0;
        if (!parseUnsigned(value, 65535, &cp) || !codePageSupported(cp)) {
            *expected = "one of 1252, 1251, 850, 437";
            return -1;
        }
        m.codePage = cp;
        m.codePageFrom = from;
    } else {
        return 0;
    }
    return 1;
}

bool applyFacts(const std::vector<std::string>& facts, Machine& m, std::string* error) {
    for (const std::string& fact : facts) {
        const size_t eq = fact.find('=');
        if (eq == std::string::npos) {
            *error = "--fact needs NAME=VALUE (e.g. --fact version=5.1.2600), not '" + fact + "'";
            return false;
        }
        const std::string key = lower(trim(fact.substr(0, eq)));
        const std::string value = trim(fact.substr(eq + 1));
        std::string expected;
        const int taken = setSystemKey(key, value, m, FactSource::CommandLine, &expected);
        if (taken == 0) {
            *error = "--fact " + fact +
                     ": no such fact (the facts are platform, version, windows and codepage)";
            return false;
        }
        if (taken < 0) {
            *error =
                "--fact " + fact + ": " + key + " must be " + expected + ", not '" + value + "'";
            return false;
        }
    }
    return true;
}

IniGiven givenFacts(const Machine& m) {
    const auto given = [](FactSource from) {
        return from == FactSource::MachineIni || from == FactSource::CommandLine;
    };
    IniGiven g;
    g.platform = given(m.platformFrom);
    g.version = given(m.versionFrom);
    g.windows = given(m.windowsFrom);
    g.codePage = given(m.codePageFrom);
    return g;
}

bool parseIni(const std::string& text, const std::string& path, Machine& m,
              std::vector<std::string>& warnings, std::string* error, IniGiven* given) {
    std::string section;
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
            std::string expected;
            const int taken = setSystemKey(key, value, m, FactSource::MachineIni, &expected);
            if (taken < 0) return bad(expected);
            if (taken == 0) warnings.push_back(where + "unknown key '" + key + "' ignored");
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
        *given = givenFacts(m);
        return true;
    }
    const char* missing = m.platformFrom != FactSource::MachineIni  ? "platform"
                          : m.versionFrom != FactSource::MachineIni ? "version"
                          : m.windowsFrom != FactSource::MachineIni ? "windows"
                                                                    : nullptr;
    if (missing) {
        *error = path + ": [system] has no '" + missing + "' key";
        return false;
    }
    return true;
}

}  // namespace winsim
