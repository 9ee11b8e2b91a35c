// A generated registry export with the shape of a real one taken from a
// 2000/XP machine's hives: HKEY_LOCAL_MACHINE\SOFTWARE (most of the file:
// classes, installer data, uninstall entries and deep vendor trees with long
// value lists) and HKEY_LOCAL_MACHINE\SYSTEM with ControlSet001, its copy
// ControlSet002 and Select (CurrentControlSet is not in such an export: the
// program resolves it through Select). Keys come in the order an export
// writes them: every key after its parent, every parent written even when it
// has no values, siblings sorted by name without case.
#pragma once

#include <cstddef>
#include <string>

namespace qu_bench {

struct ExportStats {
    size_t keys = 0;
    size_t values = 0;
    size_t systemBytes = 0;    // the SYSTEM subtree, both control sets
    size_t softwareBytes = 0;  // the SOFTWARE subtree
    unsigned deepestKey = 0;   // levels below HKEY_LOCAL_MACHINE
};

// A REGEDIT4 text of about `bytes` bytes (whole keys; at most one unit of
// SOFTWARE keys, a few KB, over). Each control set holds `instances` device
// instances under Enum, every one with its driver's class key, `netDevices`
// of them network adapters with service and event-log keys; the supported
// USB 2.0 adapter is network adapter `netDevices` (INF oem<netDevices>.inf,
// service kestrelx). `stats` (when given) describes the text.
std::string exportImage(size_t bytes, unsigned instances, unsigned netDevices,
                        ExportStats* stats = nullptr);

// Writes the supported adapter's INF, precompiled INF and driver under the
// image's drive (`dir`/drive_c/WINDOWS), as an installation leaves them, so
// that an Uninstall has files to delete. `adapter` is the network adapter's
// number, which names its INF.
void writeAdapterFiles(const std::string& dir, unsigned adapter);

}  // namespace qu_bench
