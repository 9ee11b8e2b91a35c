#include "winsim/src/offline_load.h"

#include <string.h>

#include <cstring>
#include <optional>
#include <utility>

#include "winsim/src/codepage.h"
#include "winsim/src/control_sets.h"
#include "winsim/src/hive_store.h"
#include "winsim/src/machine_info.h"

namespace winsim {

namespace {

// The code page an ANSI export names for itself (its ACP), read from a
// first reading in 1252 (ASCII is the same in every supported code page).
// Only an export that has an "ACP" value at all is read twice.
std::optional<unsigned> ownCodePage(const std::string& bytes, const std::string& path,
                                    const std::string& hiveRoot) {
    // memmem, not std::string::find: the latter stops at every '"' of the
    // file (nearly every value line has several) and took a tenth of a load.
    const auto has = [&bytes](const char* text) {
        return ::memmem(bytes.data(), bytes.size(), text, std::strlen(text)) != nullptr;
    };
    if (!has("\"ACP\"") && !has("\"acp\"")) return std::nullopt;
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

bool readMachineRegistry(const ImageSource& src, std::string&& bytes, const std::string& hiveRoot,
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
        const std::optional<unsigned> acp = ownCodePage(bytes, src.regPath, hiveRoot);
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
