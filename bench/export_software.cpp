// HKEY_LOCAL_MACHINE\SOFTWARE of the generated export: classes, installer
// data, uninstall entries, and vendors' products whose settings go many
// levels deep with long lists of values.
#include "bench/export_text.h"

namespace qu_bench {

namespace {

const char* const kStems[] = {
    "InstallDir", "Version",    "Language", "LastUsed",  "WindowPlacement", "Flags",
    "Options",    "MRU",        "Path",     "Enabled",   "Timeout",         "CacheSize",
    "ServerName", "Port",       "UserName", "Theme",     "Toolbar",         "Recent",
    "Filter",     "Layout",     "Columns",  "SortOrder", "AutoSave",        "Interval",
    "DataFile",   "Extensions", "Level",    "Mode",      "Position",        "Scale",
};
const unsigned kStemCount = sizeof kStems / sizeof kStems[0];

const char* const kLevels[] = {
    "Components", "Core",    "Modules", "Settings", "Profiles", "Default", "Advanced", "Cache",
    "Handlers",   "Plugins", "Options", "Display",  "Network",  "Storage", "Import",   "Export",
    "Filters",    "Formats", "Recent",  "Windows",  "Toolbars", "Keys",    "Sessions", "Policies",
};
const unsigned kLevelCount = sizeof kLevels / sizeof kLevels[0];

// `count` values of mixed types, as an application keeps its settings.
Values settings(Rng& rng, unsigned count, const std::string& home) {
    Values v;
    const unsigned start = rng.below(kStemCount);
    for (unsigned j = 0; j < count; ++j) {
        const std::string n = std::string(kStems[(start + j) % kStemCount]) +
                              (j >= kStemCount ? std::to_string(j / kStemCount) : "");
        const unsigned kind = rng.below(100);
        if (kind < 45) {
            switch (rng.below(4)) {
                case 0:
                    v.sz(n, home + "\\Data\\file" + std::to_string(rng.below(1000)) + ".dat");
                    break;
                case 1:
                    v.sz(n, rng.below(2) ? "Enabled" : "Disabled");
                    break;
                case 2:
                    v.sz(n, std::to_string(rng.below(100000)));
                    break;
                default:
                    v.sz(n, "\"" + home +
                                "\\app.exe\" /open \"%1\" /mode:" + std::to_string(rng.below(9)));
            }
        } else if (kind < 75) {
            v.dword(n, rng.next());
        } else if (kind < 90) {
            v.binary(n, rng, rng.between(8, 120));
        } else if (kind < 95) {
            v.expand(n, "%ProgramFiles%\\" + home.substr(home.rfind('\\') + 1) + "\\cache");
        } else {
            v.multi(n, {"first", "second item", home, std::to_string(rng.below(100))});
        }
    }
    return v;
}

// A vendor's product: a version key and chains of settings keys many levels
// below it, the last level of each chain with several keys of long lists.
void vendorProduct(Export& b, unsigned unit) {
    Rng rng(unit * 31 + 7);
    const std::string vendor = "Vendor " + number(unit / 3, 4);
    const std::string product = "Product " + std::string(1, static_cast<char>('A' + unit % 3));
    const std::string home = "C:\\Program Files\\" + vendor + "\\" + product;
    const std::string root = "SOFTWARE\\" + vendor + "\\" + product;
    Values top;
    top.sz("InstallPath", home);
    top.sz("CurrentVersion", format("%u.0", rng.between(1, 12)));
    top.sz("Publisher", vendor + " Software, \xA9 2004");
    top.dword("Installed", 1);
    b.key(root, top);
    const std::string version = root + "\\" + format("%u.0", rng.between(1, 12));
    b.key(version, settings(rng, rng.between(6, 16), home));
    const unsigned chains = rng.between(2, 4);
    for (unsigned c = 0; c < chains; ++c) {
        std::string path = version;
        const unsigned depth = rng.between(5, 10);
        for (unsigned d = 0; d < depth; ++d) {
            path += "\\" + std::string(kLevels[rng.below(kLevelCount)]) + std::to_string(d);
            b.key(path, settings(rng, rng.between(3, 20), home));
        }
        const unsigned leaves = rng.between(2, 6);
        for (unsigned l = 0; l < leaves; ++l) {
            b.key(path + "\\Item" + number(l, 2), settings(rng, rng.between(8, 30), home));
        }
    }
}

void classUnit(Export& b, unsigned unit) {
    Rng rng(unit * 17 + 3);
    const std::string name = "Vendor" + number(unit / 12, 4) + ".Object" + number(unit % 12, 2);
    const std::string dll = "C:\\WINDOWS\\system32\\obj" + number(unit, 5) + ".dll";
    switch (unit % 12) {
        case 3: {
            for (unsigned i = 0; i < 3; ++i) {
                const std::string key = "SOFTWARE\\Classes\\Interface\\" + guid(rng);
                Values v;
                v.sz("", "I" + name.substr(name.find('.') + 1) + std::to_string(i));
                b.key(key, v);
                Values stub;
                stub.sz("", "{00020424-0000-0000-C000-000000000046}");
                b.key(key + "\\ProxyStubClsid32", stub);
                Values methods;
                methods.sz("", std::to_string(rng.between(3, 40)));
                b.key(key + "\\NumMethods", methods);
            }
            return;
        }
        case 4: {
            const std::string ext = ".x" + number(unit, 5);
            Values e;
            e.sz("", "x" + number(unit, 5) + "file");
            e.sz("Content Type", "application/x-" + ext.substr(1));
            b.key("SOFTWARE\\Classes\\" + ext, e);
            const std::string type = "SOFTWARE\\Classes\\x" + number(unit, 5) + "file";
            Values t;
            t.sz("", "X" + number(unit, 5) + " Document");
            t.dword("EditFlags", 0x10000);
            b.key(type, t);
            Values icon;
            icon.expand("", "%SystemRoot%\\system32\\shell32.dll,3");
            b.key(type + "\\DefaultIcon", icon);
            Values command;
            command.sz("", "\"C:\\Program Files\\Viewer\\view.exe\" \"%1\"");
            b.key(type + "\\shell\\open\\command", command);
            return;
        }
        default: {
            const std::string key = "SOFTWARE\\Classes\\CLSID\\" + guid(rng);
            Values v;
            v.sz("", name);
            b.key(key, v);
            Values server;
            server.sz("", dll);
            server.sz("ThreadingModel", rng.below(2) ? "Apartment" : "Both");
            b.key(key + "\\InprocServer32", server);
            Values progId;
            progId.sz("", name + ".1");
            b.key(key + "\\ProgID", progId);
            Values versionless;
            versionless.sz("", name);
            b.key(key + "\\VersionIndependentProgID", versionless);
            Values progClsid;
            progClsid.sz("", key.substr(key.rfind('\\') + 1));
            b.key("SOFTWARE\\Classes\\" + name + "\\CLSID", progClsid);
        }
    }
}

void installerUnit(Export& b, unsigned unit) {
    Rng rng(unit * 13 + 5);
    const std::string userData =
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18";
    const std::string home = "C:\\Program Files\\Vendor " + number(unit / 12, 4) + "\\";
    if (unit % 12 == 7) {
        const std::string code = packedCode(rng);
        Values p;
        p.sz("DisplayName", "Vendor " + number(unit / 12, 4) + " Runtime");
        p.sz("DisplayVersion", format("%u.0.2600", rng.between(1, 9)));
        p.sz("Publisher", "Vendor " + number(unit / 12, 4));
        p.sz("InstallLocation", home);
        p.sz("InstallSource", "D:\\Setup\\");
        p.sz("InstallDate", "20041018");
        p.sz("LocalPackage", "C:\\WINDOWS\\Installer\\" + format("%x.msi", rng.next()));
        p.expand("UninstallString", "MsiExec.exe /X" + guid(rng));
        p.expand("ModifyPath", "MsiExec.exe /I" + guid(rng));
        for (const char* n : {"Language", "Version", "VersionMajor", "VersionMinor",
                              "WindowsInstaller", "EstimatedSize", "NoModify", "NoRepair"}) {
            p.dword(n, rng.below(70000));
        }
        b.key(userData + "\\Products\\" + code + "\\InstallProperties", p);
        Values features;
        for (unsigned i = 0; i < 6; ++i) features.sz(format("Feature%u", i), packedCode(rng));
        b.key(userData + "\\Products\\" + code + "\\Features", features);
        return;
    }
    for (unsigned i = 0; i < 5; ++i) {
        Values c;
        const unsigned owners = rng.between(1, 2);
        for (unsigned o = 0; o < owners; ++o) {
            c.sz(packedCode(rng), home + "bin\\module" + std::to_string(rng.below(500)) + ".dll");
        }
        b.key(userData + "\\Components\\" + packedCode(rng), c);
    }
}

void uninstallEntry(Export& b, unsigned unit) {
    Rng rng(unit * 11 + 1);
    const std::string vendor = "Vendor " + number(unit / 12, 4);
    Values u;
    u.sz("DisplayName", vendor + " Tools " + std::to_string(unit % 7));
    u.sz("DisplayVersion", format("%u.2.1", rng.between(1, 9)));
    u.sz("Publisher", vendor);
    u.sz("Comments", "Copyright \xA9 2004 " + vendor);
    u.sz("Contact", "support");
    u.sz("HelpLink", "http://support.example/" + number(unit, 5));
    u.sz("URLInfoAbout", "http://www.example/" + number(unit, 5));
    u.sz("InstallLocation", "C:\\Program Files\\" + vendor + "\\");
    u.sz("InstallSource", "D:\\");
    u.sz("InstallDate", "20041018");
    u.expand("UninstallString", "\"C:\\Program Files\\" + vendor + "\\uninst.exe\" /remove");
    u.sz("DisplayIcon", "C:\\Program Files\\" + vendor + "\\app.exe,0");
    for (const char* n : {"EstimatedSize", "Language", "Version", "VersionMajor", "VersionMinor",
                          "NoModify", "NoRepair"}) {
        u.dword(n, rng.below(50000));
    }
    b.key("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + guid(rng), u);
}

}  // namespace

void softwareUnit(Export& b, unsigned unit) {
    switch (unit % 12) {
        case 5:
        case 6:
        case 7:
            installerUnit(b, unit);
            break;
        case 8:
            uninstallEntry(b, unit);
            break;
        case 11:
            // Every third cycle: a vendor's product; else classes.
            if (unit / 12 % 3 == 2) {
                vendorProduct(b, unit / 36);
                break;
            }
            [[fallthrough]];
        default:
            classUnit(b, unit);
    }
}

}  // namespace qu_bench
