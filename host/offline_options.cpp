#include "host/offline_options.h"

#include "dialog/resource.h"
#include "winsim/user.h"

const char kOfflineUsage[] =
    "  --machine FILE.reg  a bare registry export (no machine.ini needed)\n"
    "  --windows DIR    the Windows directory of a mounted 2000/XP or 98/ME installation,\n"
    "                   or the root of its drive: its hive files are used (98/ME: read only)\n"
    "  --hive-root KEY  where a system hive was loaded in the export, e.g.\n"
    "                   HKEY_LOCAL_MACHINE\\OFFLINE (found on its own when only one key holds\n"
    "                   control sets)\n"
    "  --fact NAME=VALUE  a fact of the machine, as machine.ini's [system] would say\n"
    "                   it: platform=nt|9x, version=5.1.2600, windows=C:\\WINDOWS,\n"
    "                   codepage=1252; wins over machine.ini, which wins over the\n"
    "                   registry (for an export without the version keys)\n"
    "  --read-only      change nothing: Uninstall and Restart are refused; the image\n"
    "                   is not locked, so this runs beside a program that changes it\n";

int parseOfflineOption(int argc, char** argv, int* i, OfflineOptions* options, std::string* error) {
    const std::string arg = argv[*i];
    auto value = [&](const char* name, std::string* out) {
        const std::string prefix = std::string(name) + "=";
        if (arg.rfind(prefix, 0) == 0 && arg.size() > prefix.size()) {
            *out = arg.substr(prefix.size());
            return 1;
        }
        if (arg != name) return 0;
        if (*i + 1 >= argc || argv[*i + 1][0] == '\0') {
            *error = std::string(name) + " needs an argument";
            return -1;
        }
        *out = argv[++*i];
        return 1;
    };
    if (arg == "--read-only") {
        options->load.readOnly = true;
        return 1;
    }
    std::string fact;
    if (const int r = value("--fact", &fact)) {
        if (r < 0) {
            *error = "--fact needs NAME=VALUE, e.g. --fact version=5.1.2600";
            return -1;
        }
        if (!winsim::checkFact(fact, error)) return -1;
        options->load.facts.push_back(fact);
        return r;
    }
    if (const int r = value("--windows", &options->windows)) {
        options->load.installation = true;
        return r;
    }
    return value("--hive-root", &options->load.hiveRoot);
}

ReadOnlyGuard::ReadOnlyGuard(std::ostream& err) : err_(err) {
    winsim::ui::setClickFilter([this](HWND dialog, int id) {
        std::string reason;
        if ((id != IDOK && id != IDC_RESTART) || GetDlgItem(dialog, IDC_DETECT) == nullptr ||
            !winsim::machineReadOnly(&reason)) {
            return true;
        }
        err_ << "quorvane-uninstall: " << (id == IDOK ? "Uninstall" : "Restart")
             << " refused: the machine is read-only (" << reason << ")\n";
        err_.flush();
        if (!winsim::readOnlyRequested()) refusedUnasked_ = true;
        return false;
    });
}

ReadOnlyGuard::~ReadOnlyGuard() { winsim::ui::setClickFilter(nullptr); }
