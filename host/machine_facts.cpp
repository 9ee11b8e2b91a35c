#include "host/machine_facts.h"

#include "protocol/state_json.h"

namespace {

using winsim::FactSource;
using winsim::MachineFacts;
using winsim::Platform;

const char* sourceWord(FactSource from) {
    switch (from) {
        case FactSource::CommandLine:
            return "--fact";
        case FactSource::MachineIni:
            return "machine.ini";
        case FactSource::Registry:
            return "registry";
        case FactSource::Version:
            return "version";
        case FactSource::Installation:
            return "installation";
        case FactSource::Default:
            break;
    }
    return "default";
}

const char* sourceText(FactSource from) {
    switch (from) {
        case FactSource::CommandLine:
            return "from --fact";
        case FactSource::MachineIni:
            return "from machine.ini";
        case FactSource::Registry:
            return "from the registry";
        case FactSource::Version:
            return "from the version";
        case FactSource::Installation:
            return "from the installation's folder name";
        case FactSource::Default:
            break;
    }
    return "by default";
}

const char* platformWord(Platform platform) { return platform == Platform::Nt ? "nt" : "9x"; }

const char* familyName(Platform platform) { return platform == Platform::Nt ? "2000/XP" : "98/ME"; }

}  // namespace

std::string versionText(const MachineFacts& facts) {
    std::string text = std::to_string(facts.major) + "." + std::to_string(facts.minor);
    if (facts.build != 0) text += "." + std::to_string(facts.build);
    return text;
}

std::string factsLine(const MachineFacts& facts) {
    std::string version = versionText(facts);
    // The service pack belongs to the registry's version only.
    if (!facts.csdVersion.empty() && facts.versionFrom == FactSource::Registry) {
        version += " (" + facts.csdVersion + ")";
    }
    return std::string("Machine facts: platform=") + platformWord(facts.platform) + " (" +
           familyName(facts.platform) + ") " + sourceText(facts.platformFrom) +
           ", version=" + version + " " + sourceText(facts.versionFrom) +
           ", windows=" + facts.windowsDir + " " + sourceText(facts.windowsFrom) +
           ", codepage=" + std::to_string(facts.codePage) + " " + sourceText(facts.codePageFrom);
}

std::string factsJson(const MachineFacts& facts) {
    using statejson::jsonString;
    return std::string("{\"platform\": \"") + platformWord(facts.platform) +
           "\", \"version\": " + jsonString(versionText(facts)) +
           ", \"windows\": " + jsonString(facts.windowsDir) +
           ", \"codepage\": " + std::to_string(facts.codePage) + ", \"from\": {\"platform\": \"" +
           sourceWord(facts.platformFrom) + "\", \"version\": \"" + sourceWord(facts.versionFrom) +
           "\", \"windows\": \"" + sourceWord(facts.windowsFrom) + "\", \"codepage\": \"" +
           sourceWord(facts.codePageFrom) + "\"}}";
}

std::string withFacts(const std::string& jsonLine, const MachineFacts& facts) {
    if (jsonLine.empty() || jsonLine.back() != '}') return jsonLine;
    return jsonLine.substr(0, jsonLine.size() - 1) + ", \"machine\": " + factsJson(facts) + "}";
}

std::string versionWarning(const MachineFacts& facts) {
    const bool made = facts.platform == Platform::Nt
                          ? facts.major == 5 && facts.minor <= 1
                          : facts.major == 4 && facts.minor >= 10 && facts.minor <= 90;
    if (made) return {};
    return "version " + versionText(facts) + " (" + sourceText(facts.versionFrom) +
           ") is not one of the Windows versions this utility was made for, 98/ME (4.10 to 4.90) "
           "and 2000/XP (5.0, 5.1); it works on this machine as on " +
           familyName(facts.platform) + " (platform=" + platformWord(facts.platform) + " " +
           sourceText(facts.platformFrom) + "), and its messages say so";
}
