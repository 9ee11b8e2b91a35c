// Generated registries of realistic shape for the benchmarks: device
// enumeration keys with multi-string hardware IDs, class and service keys,
// device-interface keys and software keys with binary values long enough to
// wrap, all in REGEDIT4 form.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace qu_bench {

// An NT-family registry with `netDevices` network adapters (the supported
// USB 2.0 adapter, PID_0053, enumerated last so the probe walks past every
// other one) and filler keys up to about `totalKeys` keys in all.
std::string ntRegistry(unsigned netDevices, unsigned totalKeys);

// An NT-family registry text of about `bytes` bytes (whole key blocks).
std::string ntRegistryOfSize(size_t bytes);

// A 9x-family registry with the supported adapter (PID_0021) and
// `classKeys` subkeys under Services\Class\Net, every tenth of which
// belongs to that adapter (by MatchingDeviceId or DriverDesc), as do as
// many device-interface keys.
std::string win9xRegistry(unsigned classKeys);

// One key holding `values` values, and one key whose `subkeys` subkeys
// are listed in reverse order (each with one value).
std::string manyValues(unsigned values);
std::string reverseSubkeys(unsigned subkeys);

// An NT-family registry text of about `bytes` bytes shaped like a large
// installation: `instances` device instances under Enum (USB, PCI and ACPI
// devices with the usual values), `netDevices` of them network adapters
// with class, service and event-log keys (the supported USB 2.0 adapter
// last), the code page key every export has, and software keys filling the
// rest.
std::string realisticImage(size_t bytes, unsigned instances, unsigned netDevices);

// An NT-family registry with `others` unrelated USB device instances
// (input devices and mass storage, the usual values each) and the supported
// USB 2.0 adapter last.
std::string usbInstances(unsigned others);

// An NT-family registry with `instances` instances of the supported USB 2.0
// adapter (each with its class key; one service, INF oem2.inf) among a few
// software keys.
std::string adapterInstances(unsigned instances);

// The same registry as a version 5 export (UTF-16LE with its byte order
// mark, string data of hex(2) and hex(7) values in UTF-16), from an ASCII
// REGEDIT4 text as the functions above make it.
std::string toVersion5(const std::string& regedit4);

// Writes machine.ini, system.reg and drive_c/WINDOWS into `dir`
// (created). `platform` is "nt" or "9x".
void writeImage(const std::string& dir, const std::string& platform, const std::string& reg);

// A scratch directory of the process's own under /tmp, made on first use
// and removed with everything in it when the process exits.
const std::filesystem::path& scratchDir();

// Number of "[" key lines in a .reg text.
size_t keyCount(const std::string& reg);

}  // namespace qu_bench
