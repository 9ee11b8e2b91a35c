#include "winsim/src/offline_load.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "winsim/src/codepage.h"
#include "winsim/src/control_sets.h"
#include "winsim/src/hive_store.h"
#include "winsim/src/machine_info.h"

namespace winsim {

namespace {

bool readWhole(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return !in.bad();
}

bool importExport(const std::string& bytes, const std::string& path, unsigned codePage,
                  const std::string& hiveRoot, Machine& m, RegImport* imported,
                  std::vector<std::string>& notes, std::string* error) {
    m.registry = Registry();
    *imported = RegImport{};
    notes.clear();
    return importRegFile(bytes, path, codePage, m.registry, imported, error) &&
           linkControlSets(m.registry, hiveRoot, &notes, error);
}

}  // namespace

bool readMachineRegistry(const ImageSource& src, const std::string& hiveRoot, bool codePageGiven,
                         Machine& m, std::vector<std::string>& warnings,
                         std::vector<std::string>& notes, std::string* error) {
    if (src.hives != HiveKind::None) {
        m.hives = HiveStore::open(src, m, notes, error);
        if (!m.hives) return false;
        return linkControlSets(m.registry, hiveRoot, &notes, error);
    }
    std::string bytes;
    if (!readWhole(src.regPath, &bytes)) {
        *error = src.regPath + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    const unsigned first = codePageGiven ? m.codePage : 1252;
    RegImport imported;
    if (!importExport(bytes, src.regPath, first, hiveRoot, m, &imported, notes, error)) {
        return false;
    }
    if (!codePageGiven && imported.format != RegFormat::V5Utf16) {
        // The file names its own code page; read it again in that one.
        const std::optional<unsigned> acp = codePageFromRegistry(*m.registry.localMachine);
        if (acp && *acp != first && codePageSupported(*acp)) {
            if (!importExport(bytes, src.regPath, *acp, hiveRoot, m, &imported, notes, error)) {
                return false;
            }
            m.codePage = *acp;
        }
    }
    m.format = imported.format;
    warnings.insert(warnings.end(), imported.warnings.begin(), imported.warnings.end());
    return true;
}

}  // namespace winsim
