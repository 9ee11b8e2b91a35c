// The notes the program writes on standard error around an Uninstall (where
// its backup is, what remains of the device), for tests about other output.
#pragma once

#include <sstream>
#include <string>

namespace qu_test {

inline std::string withoutUninstallNotes(const std::string& err) {
    std::istringstream in(err);
    std::string out, line;
    while (std::getline(in, line)) {
        if (line.rfind("quorvane-uninstall: what this command deletes is saved in ", 0) == 0 ||
            line.rfind("quorvane-uninstall: still on the machine, naming ", 0) == 0 ||
            line.rfind("quorvane-uninstall: nothing on the machine names ", 0) == 0 ||
            line.rfind("  ", 0) == 0) {
            continue;
        }
        out += line + "\n";
    }
    return out;
}

}  // namespace qu_test
