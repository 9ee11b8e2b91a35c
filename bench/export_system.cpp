// HKEY_LOCAL_MACHINE\SYSTEM of the generated export: two control sets of
// devices (enumeration instances, class keys, services) and Select.
#include <algorithm>
#include <cctype>

#include "bench/export_text.h"

namespace qu_bench {

namespace {

struct DeviceKind {
    const char* id;  // hardware ID without its last digits
    const char* description;
    const char* className;
    const char* classGuid;
    const char* service;  // empty: none
    const char* inf;
};

const DeviceKind kKinds[] = {
    {"USB\\VID_2C4E&PID_C0", "USB Input Device", "HIDClass",
     "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}", "HidUsb", "input.inf"},
    {"PCI\\VEN_1B3F&DEV_0", "PCI Device", "Display", "{4D36E968-E325-11CE-BFC1-08002BE10318}",
     "dispdrv", "display.inf"},
    {"ACPI\\PNP0", "System board device", "System", "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "",
     "machine.inf"},
    {"USB\\VID_3D51&PID_55", "USB Mass Storage Device", "USB",
     "{36FC9E60-C465-11CF-8056-444553540000}", "USBSTOR", "usbstor.inf"},
};

void classKey(Export& b, const std::string& set, const DeviceKind& kind, unsigned index) {
    Rng rng(index);
    Values v;
    v.sz("ProviderName", "(Standard system devices)");
    v.sz("DriverDate", "7-1-2001");
    v.binary("DriverDateData", rng, 8);
    v.sz("DriverVersion", "5.1.2600.0");
    v.sz("MatchingDeviceId", kind.id);
    v.sz("DriverDesc", kind.description);
    v.sz("InfPath", kind.inf);
    v.sz("InfSection", std::string(kind.className) + "_Inst");
    b.key(set + "\\Control\\Class\\" + kind.classGuid + "\\" + number(index, 4), v);
}

void otherDevice(Export& b, const std::string& set, unsigned index, unsigned perKind[4]) {
    const DeviceKind& kind = kKinds[index % 4];
    const std::string id = std::string(kind.id) + format("%03X", index / 4 % 4096).substr(1);
    const std::string instance =
        format("5&%07x&0&", index * 2654435761u % 0x10000000) + std::to_string(index % 8 + 1);
    const unsigned driver = perKind[index % 4]++;
    Values v;
    v.sz("DeviceDesc", kind.description);
    v.sz("LocationInformation", format("Port_#%04u.Hub_#0001", index % 16 + 1));
    v.dword("Capabilities", 0x84);
    v.multi("HardwareID", {id + "&REV_0001", id});
    v.multi("CompatibleIDs", {std::string(kind.id).substr(0, 3) + "\\Class_03", "USB\\Class_03"});
    if (*kind.service) v.sz("Service", kind.service);
    v.sz("Class", kind.className);
    v.sz("ClassGUID", kind.classGuid);
    v.sz("Driver", std::string(kind.classGuid) + "\\" + number(driver % 10000, 4));
    v.sz("Mfg", "(Standard system devices)");
    v.dword("ConfigFlags", 0);
    const std::string key = set + "\\Enum\\" + id + "\\" + instance;
    b.key(key, v);
    Values parameters;
    parameters.dword("SelectiveSuspendEnabled", 0);
    parameters.sz("SymbolicName", "\\??\\" + id + "#" + instance + "#" + kind.classGuid);
    b.key(key + "\\Device Parameters", parameters);
    b.key(key + "\\LogConf");
    if (driver < 10000) classKey(b, set, kind, driver);
}

// One network adapter: enumeration instance, class key (with the network
// configuration's Ndi subtree), service and event-log source.
void netDevice(Export& b, const std::string& set, unsigned index, bool supported) {
    const std::string id =
        supported ? std::string(kAdapterId) : format("PCI\\VEN_1B3F&DEV_%04X", 0x1000 + index);
    const std::string name =
        supported ? std::string(kAdapterName) : "Ethernet Adapter #" + std::to_string(index);
    const std::string service = supported ? "kestrelx" : "e" + std::to_string(index) + "nic";
    const std::string classIndex = number(index, 4);
    Values e;
    e.sz("DeviceDesc", name);
    e.multi("HardwareID", {id + "&REV_0100", id});
    e.sz("Service", service);
    e.sz("Class", "Net");
    e.sz("ClassGUID", kNetClass);
    e.sz("Driver", std::string(kNetClass) + "\\" + classIndex);
    e.sz("Mfg", "Quorvane");
    e.dword("ConfigFlags", 0);
    const std::string instance = "5&" + number(index * 7919u, 8) + "&0&1";
    b.key(set + "\\Enum\\" + id + "\\" + instance, e);
    b.key(set + "\\Enum\\" + id + "\\" + instance + "\\Device Parameters");

    const std::string cls = set + "\\Control\\Class\\" + kNetClass + "\\" + classIndex;
    Values c;
    c.sz("DriverDesc", name);
    c.sz("InfPath", "oem" + std::to_string(index) + ".inf");
    c.sz("InfSection", "Install.ndi");
    c.sz("MatchingDeviceId", id);
    c.dword("Characteristics", 0x84);
    Rng rng(index + 77);
    c.sz("NetCfgInstanceId", guid(rng));
    b.key(cls, c);
    Values ndi;
    ndi.sz("Service", service);
    ndi.sz("HelpText", "Connects the computer to a network.");
    b.key(cls + "\\Ndi", ndi);
    Values interfaces;
    interfaces.sz("UpperRange", "ndis5");
    interfaces.sz("LowerRange", "ethernet");
    b.key(cls + "\\Ndi\\Interfaces", interfaces);
    Values speed;
    speed.sz("ParamDesc", "Link Speed & Duplex");
    speed.sz("default", "0");
    speed.sz("type", "enum");
    b.key(cls + "\\Ndi\\params\\SpeedDuplex", speed);
    Values choices;
    for (unsigned i = 0; i < 5; ++i) choices.sz(std::to_string(i), format("Mode %u", i));
    b.key(cls + "\\Ndi\\params\\SpeedDuplex\\enum", choices);

    Values s;
    s.expand("ImagePath", "system32\\DRIVERS\\" + service + ".sys");
    s.sz("DisplayName", name + " Driver");
    s.sz("Group", "NDIS");
    s.dword("Type", 1);
    s.dword("Start", 3);
    s.dword("ErrorControl", 1);
    b.key(set + "\\Services\\" + service, s);
    Values enumValues;
    enumValues.sz("0", id + "\\" + instance);
    enumValues.dword("Count", 1);
    enumValues.dword("NextInstance", 1);
    b.key(set + "\\Services\\" + service + "\\Enum", enumValues);
    Values log;
    log.expand("EventMessageFile",
               "%SystemRoot%\\System32\\netevent.dll;%SystemRoot%\\System32\\drivers\\" + service +
                   ".sys");
    log.dword("TypesSupported", 7);
    b.key(set + "\\Services\\Eventlog\\System\\" + service, log);
}

// A service without a device: its keys, the legacy device the system made
// for it, and (for half of them) an event-log source.
void plainService(Export& b, const std::string& set, unsigned index) {
    Rng rng(index + 1000);
    const std::string name = "svc" + number(index, 4);
    Values s;
    s.expand("ImagePath", "system32\\drivers\\" + name + ".sys");
    s.sz("DisplayName", "System Service " + number(index, 4));
    s.sz("Group", index % 3 ? "Extended Base" : "Base");
    s.dword("Type", index % 2 ? 1 : 0x10);
    s.dword("Start", index % 5);
    s.dword("ErrorControl", 1);
    s.dword("Tag", index % 32);
    b.key(set + "\\Services\\" + name, s);
    Values security;
    security.binary("Security", rng, 140);
    b.key(set + "\\Services\\" + name + "\\Security", security);
    Values parameters;
    for (unsigned i = 0; i < 4; ++i) parameters.dword(format("Parameter%u", i), rng.below(1000));
    b.key(set + "\\Services\\" + name + "\\Parameters", parameters);
    std::string legacy = name;
    for (char& c : legacy) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Values enumValues;
    enumValues.sz("0", "Root\\LEGACY_" + legacy + "\\0000");
    enumValues.dword("Count", 1);
    enumValues.dword("NextInstance", 1);
    b.key(set + "\\Services\\" + name + "\\Enum", enumValues);
    Values device;
    device.sz("Service", name);
    device.dword("Legacy", 1);
    device.dword("ConfigFlags", 0);
    device.sz("Class", "LegacyDriver");
    device.sz("ClassGUID", "{8ECC055D-047F-11D1-A537-0000F8753ED1}");
    device.sz("DeviceDesc", "System Service " + number(index, 4));
    b.key(set + "\\Enum\\Root\\LEGACY_" + legacy + "\\0000", device);
    if (index % 2 == 0) {
        Values log;
        log.expand("EventMessageFile", "%SystemRoot%\\System32\\drivers\\" + name + ".sys");
        log.dword("TypesSupported", 7);
        b.key(set + "\\Services\\Eventlog\\System\\" + name, log);
    }
}

// The keys of a control set that every installation has.
void controlKeys(Export& b, const std::string& set) {
    Values codePage;
    codePage.sz("ACP", "1252");
    codePage.sz("OEMCP", "437");
    codePage.sz("MACCP", "10000");
    for (unsigned cp : {437u, 850u, 852u, 1250u, 1251u, 1252u, 1253u, 1254u, 10000u}) {
        codePage.sz(std::to_string(cp), format("c_%u.nls", cp));
    }
    b.key(set + "\\Control\\Nls\\CodePage", codePage);
    Values language;
    language.sz("Default", "0409");
    language.sz("InstallLanguage", "0409");
    b.key(set + "\\Control\\Nls\\Language", language);
    Values computer;
    computer.sz("ComputerName", "WORKSTATION");
    b.key(set + "\\Control\\ComputerName\\ComputerName", computer);
    Values environment;
    environment.expand("ComSpec", "%SystemRoot%\\system32\\cmd.exe");
    environment.expand("Path", "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem");
    environment.sz("OS", "Windows_NT");
    environment.sz("PROCESSOR_ARCHITECTURE", "x86");
    environment.sz("NUMBER_OF_PROCESSORS", "1");
    b.key(set + "\\Control\\Session Manager\\Environment", environment);
    Values memory;
    memory.multi("PagingFiles", {"C:\\pagefile.sys 1536 3072"});
    memory.dword("ClearPageFileAtShutdown", 0);
    b.key(set + "\\Control\\Session Manager\\Memory Management", memory);
    Values windows;
    windows.sz("CSDVersion", "");
    windows.expand("SystemDirectory", "%SystemRoot%\\system32");
    b.key(set + "\\Control\\Windows", windows);
    for (const DeviceKind& kind : kKinds) {
        Values v;
        v.sz("", kind.className);
        v.sz("Class", kind.className);
        v.sz("Icon", "-24");
        b.key(set + "\\Control\\Class\\" + kind.classGuid, v);
    }
    Values net;
    net.sz("", "Network adapters");
    net.sz("Class", "Net");
    net.sz("Icon", "-5");
    net.sz("Installer32", "NetCfgx.dll,NetClassInstaller");
    b.key(set + "\\Control\\Class\\" + kNetClass, net);
}

void controlSet(Export& b, const std::string& set, unsigned instances, unsigned netDevices) {
    controlKeys(b, set);
    // Network adapters spread evenly among the other devices, the supported
    // one the last made.
    const unsigned every = netDevices > 1 ? std::max(1u, instances / netDevices) : instances + 1;
    unsigned net = 0, perKind[4] = {};
    for (unsigned i = 1; i < instances; ++i) {
        if (i % every == 0 && net + 1 < netDevices) {
            netDevice(b, set, ++net, false);
        } else {
            otherDevice(b, set, i, perKind);
        }
    }
    netDevice(b, set, netDevices, true);
    for (unsigned i = 0; i < std::max(10u, instances / 20); ++i) plainService(b, set, i);
}

}  // namespace

void systemHive(Export& b, unsigned instances, unsigned netDevices) {
    // The current set and the last known good one: the same devices.
    controlSet(b, "SYSTEM\\ControlSet001", instances, netDevices);
    controlSet(b, "SYSTEM\\ControlSet002", instances, netDevices);
    Values select;
    select.dword("Current", 1);
    select.dword("Default", 1);
    select.dword("Failed", 0);
    select.dword("LastKnownGood", 2);
    b.key("SYSTEM\\Select", select);
    Values setup;
    setup.sz("CmdLine", "setup -newsetup");
    setup.dword("SystemSetupInProgress", 0);
    setup.sz("SystemPartition", "\\Device\\HarddiskVolume1");
    b.key("SYSTEM\\Setup", setup);
    Values mounted;
    Rng rng(5);
    for (const char* drive : {"\\DosDevices\\C:", "\\DosDevices\\D:", "\\DosDevices\\E:"}) {
        mounted.binary(drive, rng, 12);
    }
    for (unsigned i = 0; i < 3; ++i) {
        mounted.binary("\\??\\Volume" + guid(rng), rng, i == 2 ? 80 : 12);
    }
    b.key("SYSTEM\\MountedDevices", mounted);
}

}  // namespace qu_bench
