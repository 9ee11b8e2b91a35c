#include "winsim/src/offline_load.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "winsim/src/codepage.h"
#include "winsim/src/control_sets.h"
#include "winsim/src/hive_store.h"
#include "winsim/src/machine_info.h"

namespace winsim {

namespace {

// Whether `text` holds `needle` (a quote, a name, a quote). std::string::find
// stops at every quote of the file (nearly every value line has several);
// the name's last letter is far rarer, and memchr finds it at memory speed.
bool holds(std::string_view text, std::string_view needle) {
    const size_t key = needle.size() - 2;  // the last letter
    const char* d = text.data();
    const size_t n = text.size();
    for (size_t from = key; from + 1 < n;) {
        const void* hit = std::memchr(d + from, needle[key], n - 1 - from);
        if (!hit) return false;
        const auto at = static_cast<size_t>(static_cast<const char*>(hit) - d);
        if (std::memcmp(d + at - key, needle.data(), needle.size()) == 0) return true;
        from = at + 1;
    }
    return false;
}

// The code page an ANSI export names for itself (its ACP), read from a
// first reading in 1252 (ASCII is the same in every supported code page).
// Only an export that has an "ACP" value at all is read twice.
std::optional<unsigned> ownCodePage(std::string_view bytes, const std::string& path,
                                    const std::string& hiveRoot) {
    if (!holds(bytes, "\"ACP\"") && !holds(bytes, "\"acp\"")) return std::nullopt;
    Registry probe;
    RegImport imported;
    std::string error;
    std::vector<std::string> notes;
    if (!importRegFile(bytes, path, 1252, probe, &imported, &error, false) ||
        !linkControlSets(probe, hiveRoot, &notes, &error)) {
        return std::nullopt;
    }
    return codePageFromRegistry(*probe.localMachine);
}

}  // namespace

bool readMachineRegistry(const ImageSource& src, BaseText&& bytes, const std::string& hiveRoot,
                         bool codePageGiven, Machine& m, std::vector<std::string>& warnings,
                         std::vector<std::string>& notes, std::string* error) {
    if (src.hives != HiveKind::None) {
        m.hives = HiveStore::open(src, m, notes, error);
        if (!m.hives) return false;
        return linkControlSets(m.registry, hiveRoot, &notes, error);
    }
    unsigned codePage = codePageGiven ? m.codePage : 1252;
    const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE;
    if (!codePageGiven && !utf16) {
        const std::optional<unsigned> acp = ownCodePage(bytes.view(), src.regPath, hiveRoot);
        if (acp && codePageSupported(*acp)) codePage = m.codePage = *acp;
    }
    RegImport imported;
    if (!importRegFile(std::move(bytes), src.regPath, codePage, m.registry, &imported, error) ||
        !linkControlSets(m.registry, hiveRoot, &notes, error)) {
        return false;
    }
    m.format = imported.format;
    warnings.insert(warnings.end(), imported.warnings.begin(), imported.warnings.end());
    return true;
}

}  // namespace winsim
