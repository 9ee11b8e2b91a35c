#include "winsim/src/machine/offline_load.h"

#include <optional>
#include <utility>

#include "winsim/offline.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/registry/control_sets.h"
#include "winsim/src/storage/hive_store.h"
#include "winsim/src/machine/machine_info.h"

namespace winsim {

bool readMachineRegistry(const ImageSource& src, BaseText&& bytes, const std::string& hiveRoot,
                         bool codePageGiven, Machine& m, std::vector<std::string>& warnings,
                         std::vector<std::string>& notes, std::string* error) {
    if (src.hives != HiveKind::None) {
        if (m.windowsDir.empty()) {
            // The Windows directory as the drive names it, unless the
            // registry (or machine.ini) says otherwise.
            m.windowsDir = "C:\\" + src.windowsDir.substr(src.windowsDir.find_last_of('/') + 1);
        }
        HiveFacts facts;
        m.hives = HiveStore::open(src, m.registry, &facts, notes, error);
        if (!m.hives) return false;
        // The backup of deleted keys keeps every character a hive can hold.
        m.format = RegFormat::V5Utf16;
        if (facts.codePage) {
            // A 98/ME hive's strings are read in its own code page (1252 when
            // it names none), whatever machine.ini or --fact says.
            m.codePage = *facts.codePage;
            m.codePageFrom = codePageFromRegistry(*m.registry.localMachine) == facts.codePage
                                 ? FactSource::Registry
                                 : FactSource::Default;
        }
        if (!facts.readOnlyReason.empty()) {
            m.readOnly = true;
            m.readOnlyReason = facts.readOnlyReason;
        }
        return linkControlSets(m.registry, hiveRoot, &notes, error);
    }
    const unsigned given = codePageGiven ? m.codePage : 1252;
    const size_t notesBefore = notes.size();
    RegImport imported;
    if (!importRegFile(std::move(bytes), src.regPath, given, m.registry, &imported, error) ||
        !linkControlSets(m.registry, hiveRoot, &notes, error)) {
        return false;
    }
    if (!codePageGiven && !m.registry.utf16) {
        // An ANSI export names its own code page (its ACP), found through
        // ASCII names and digits, which read the same in every code page.
        const std::optional<unsigned> acp = codePageFromRegistry(*m.registry.localMachine);
        if (acp && codePageSupported(*acp)) {
            m.codePage = *acp;
            if (*acp != given && !imported.codePageUsed) {
                // Nothing outside ASCII was decoded by the load: every value
                // is decoded in the export's own code page when it is read.
                m.registry.codePage = *acp;
            } else if (*acp != given) {
                // A name outside ASCII was read in the wrong code page: the
                // file is read again in its own (only such exports are read
                // twice).
                BaseText again = std::move(m.registry.source);
                m.registry.clear();
                notes.resize(notesBefore);
                imported = RegImport{};
                if (!importRegFile(std::move(again), src.regPath, *acp, m.registry, &imported,
                                   error) ||
                    !linkControlSets(m.registry, hiveRoot, &notes, error)) {
                    return false;
                }
            }
        }
    }
    m.format = imported.format;
    warnings.insert(warnings.end(), imported.warnings.begin(), imported.warnings.end());
    return true;
}

std::vector<std::string> imagePlaces(const std::string& source, bool installation) {
    return imagePlacesOf(source, installation);
}

}  // namespace winsim
