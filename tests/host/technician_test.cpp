// What a technician meets at the command line, through the real program in
// line mode: the machine's facts and where each came from (--fact over
// machine.ini over the registry), an export without the version keys, a
// version the utility was not made for, errors about the image that say
// what to do, one-line argument errors, and a standard error whose every
// line is the program's own.
#include "host/run_record.h"
#include "tests/host/program_run.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using program_run::factsOf;
using program_run::readFile;
using program_run::Result;
using program_run::TempDir;

const fs::path kMachines = fs::path(QU_SOURCE_DIR) / "machines";

Result run(const std::string& args, const std::string& input, const TempDir& scratch) {
    return program_run::runProgram(args, input, scratch);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The keys of an export under HKEY_LOCAL_MACHINE\SYSTEM only: what
// `reg export HKLM\System` gives (no version keys).
std::string systemOnly(const std::string& reg) {
    std::istringstream in(reg);
    std::string out, line;
    bool keep = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            keep = line.rfind("[HKEY_LOCAL_MACHINE\\SYSTEM", 0) == 0;
        }
        if (keep) out += line + "\n";
    }
    return out;
}

// The facts member as the program prints it.
std::string facts(const std::string& platform, const std::string& version,
                  const std::string& windows, int codePage, const std::string& platformFrom,
                  const std::string& versionFrom, const std::string& windowsFrom,
                  const std::string& codePageFrom) {
    return "{\"platform\": \"" + platform + "\", \"version\": \"" + version +
           "\", \"windows\": \"" + windows + "\", \"codepage\": " + std::to_string(codePage) +
           ", \"from\": {\"platform\": \"" + platformFrom + "\", \"version\": \"" + versionFrom +
           "\", \"windows\": \"" + windowsFrom + "\", \"codepage\": \"" + codePageFrom + "\"}}";
}

// A scratch folder with the samples the cases use: `xp` (machine.ini says
// everything), `export.reg` (the offline XP registry, with drive_c beside
// it), `system-only.reg` (its HKLM\System part) and `ini-over` (that
// registry as an image whose machine.ini gives the version).
struct Samples {
    TempDir dir;
    std::string xp, exported, systemOnly, iniOver;
    Samples() {
        xp = (dir.path() / "xp").string();
        fs::copy(kMachines / "xp", xp, fs::copy_options::recursive);
        const fs::path offline = dir.path() / "offline";
        fs::copy(kMachines / "xp-offline", offline, fs::copy_options::recursive);
        fs::rename(offline / "system.reg", offline / "export.reg");
        exported = (offline / "export.reg").string();
        const std::string reg = readFile(exported);
        fs::create_directory(dir.path() / "bare");
        systemOnly = (dir.path() / "bare" / "system-only.reg").string();
        writeFile(systemOnly, ::systemOnly(reg));
        iniOver = (dir.path() / "ini-over").string();
        fs::create_directory(iniOver);
        writeFile(fs::path(iniOver) / "system.reg", reg);
        writeFile(fs::path(iniOver) / "machine.ini", "[system]\nversion = 5.0.2195\n");
    }
};

}  // namespace

TEST(Facts, EachFactSaysWhereItCameFrom) {
    Samples s;
    const std::string winDir = "C:\\\\WINDOWS";
    struct Case {
        const char* what;
        std::string args;
        std::string expected;
    };
    const Case cases[] = {
        {"machine.ini", "--machine " + s.xp,
         facts("nt", "5.1.2600", winDir, 1252, "machine.ini", "machine.ini", "machine.ini",
               "default")},
        {"--fact over the registry",
         "--machine " + s.exported +
             " --fact version=5.0.2195 --fact windows='C:\\WINNT' --fact codepage=1251",
         facts("nt", "5.0.2195", "C:\\\\WINNT", 1251, "registry", "--fact", "--fact", "--fact")},
        {"--fact over machine.ini", "--machine " + s.xp + " --fact=version=5.0 --fact platform=nt",
         facts("nt", "5.0", winDir, 1252, "--fact", "--fact", "machine.ini", "default")},
        {"machine.ini over the registry", "--machine " + s.iniOver,
         facts("nt", "5.0.2195", winDir, 1252, "registry", "machine.ini", "registry", "registry")},
        {"--fact over machine.ini over the registry",
         "--machine " + s.iniOver + " --fact version=5.1.2600",
         facts("nt", "5.1.2600", winDir, 1252, "registry", "--fact", "registry", "registry")},
        {"an export of HKLM\\System: the family from the version",
         "--machine " + s.systemOnly + " --fact version=5.1.2600",
         facts("nt", "5.1.2600", winDir, 1252, "version", "--fact", "default", "registry")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Result r = run(c.args, "state\ndevices\n", s.dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Windows2000 / WindowsXP detected."), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("'Quorvane USB 2.0 Network Adapter' has been installed '2' times"),
                  std::string::npos)
            << r.out;
        // The state line and the devices line end with the same facts.
        EXPECT_EQ(factsOf(r.out), c.expected);
        const size_t devices = r.out.find("{\"devices\"");
        ASSERT_NE(devices, std::string::npos) << r.out;
        EXPECT_EQ(factsOf(r.out.substr(devices)), c.expected);
    }
}

// `reg export HKLM\System` has no version keys: the message names the flag
// that supplies one, and nothing changes.
TEST(Facts, AnExportWithoutTheVersionKeysNamesTheFlag) {
    Samples s;
    const std::string before = readFile(s.systemOnly);
    const Result r = run("--machine " + s.systemOnly, "state\n", s.dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("quorvane-uninstall: export " + s.systemOnly +
                              ": cannot tell what machine this is: missing version",
                          0),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("give it with --fact version=5.1.2600"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(s.systemOnly), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(s.systemOnly).parent_path()),
                            fs::directory_iterator()),
              1);
}

// Versions outside 98/ME (4.10 to 4.90) and 2000/XP (5.0, 5.1) of their
// family get one warning; the product's own messages stay as they are.
TEST(Facts, AVersionTheUtilityWasNotMadeForIsWarnedAbout) {
    Samples s;
    struct Case {
        const char* platform;
        const char* version;
        bool warned;
    };
    const Case cases[] = {
        {"nt", "6.1.7601", true},   {"nt", "5.2.3790", true}, {"nt", "5.1.2600", false},
        {"nt", "5.0.2195", false},  {"nt", "4.0.1381", true}, {"9x", "4.90.3000", false},
        {"9x", "4.10.2222", false}, {"9x", "4.0.950", true},  {"9x", "5.1.2600", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.platform) + " " + c.version);
        const Result r = run("--machine " + s.exported + " --fact platform=" + c.platform +
                                 " --fact version=" + c.version,
                             "", s.dir);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string family = std::string(c.platform) == "nt" ? "2000/XP" : "98/ME";
        const std::string warning =
            "quorvane-uninstall: version " + std::string(c.version) +
            " (from --fact) is not one of the Windows versions this utility was made for, "
            "98/ME (4.10 to 4.90) and 2000/XP (5.0, 5.1); it works on this machine as on " +
            family + " (platform=" + c.platform + " from --fact), and its messages say so\n";
        EXPECT_EQ(r.err, c.warned ? warning : "");
        EXPECT_EQ(r.out.rfind(std::string(c.platform) == "nt" ? "Windows2000 / WindowsXP detected."
                                                              : "Windows98 / WindowsME detected.",
                              0),
                  0u)
            << r.out;
    }
}

TEST(CommandLine, ABadArgumentIsOneLineThenSeeHelp) {
    TempDir scratch;
    const std::string xp = (kMachines / "xp").string();
    struct Case {
        std::string args;
        const char* problem;
    };
    const Case cases[] = {
        {"--frob", "unknown argument: --frob"},
        {"--machine", "--machine needs a machine image folder or a FILE.reg export"},
        {"--log", "--log needs a file"},
        {"--fact", "--fact needs NAME=VALUE, e.g. --fact version=5.1.2600"},
        {"--fact codepage=65001",
         "--fact codepage=65001: codepage must be one of 1252, 1251, 850, 437, not '65001'"},
        {"--machine " + xp + " --windows " + xp, "--windows and --machine name two machines"},
        {"--undo --read-only --machine " + xp,
         "--undo changes the image, which --read-only keeps as it is; give one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Result r = run(c.args, "", scratch);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        const std::string head = std::string("quorvane-uninstall: ") + c.problem;
        EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
        EXPECT_EQ(r.err.size() - r.err.find("; see --help\n"), 13u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

// An image the option does not take: the message says what is there and
// which option takes it.
TEST(ImageErrors, TheySayWhatIsThereAndWhichOptionTakesIt) {
    TempDir scratch;
    const fs::path root = scratch.path();
    fs::copy(kMachines / "xp", root / "image", fs::copy_options::recursive);
    fs::create_directories(root / "exports");
    fs::copy_file(kMachines / "xp-offline" / "system.reg", root / "exports" / "xp.reg");
    fs::create_directories(root / "empty");
    fs::copy(kMachines / "xp-offline-drive", root / "drive", fs::copy_options::recursive);
    const std::string image = (root / "image").string();
    const std::string exports = (root / "exports").string();
    const std::string drive = (root / "drive").string();
    struct Case {
        std::string args;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {"--windows " + image,
         {image + ": no Windows installation here",
          "it holds system.reg, machine.ini and drive_c: --machine " + image +
              " takes a machine image or a registry export"}},
        {"--windows " + exports + "/xp.reg",
         {"a file, not a folder", "--machine " + exports + "/xp.reg takes a registry export"}},
        {"--windows " + exports, {"--machine " + exports + "/xp.reg takes a registry export"}},
        {"--machine " + (root / "missing").string(),
         {"no such file or directory (--machine takes a machine image folder or a FILE.reg "
          "export)"}},
        {"--machine " + (root / "empty").string(),
         {"no machine image here (no system.reg or machine.ini)",
          "--machine takes a machine image folder (system.reg, machine.ini, drive_c) or a "
          "FILE.reg export"}},
        {"--machine " + exports, {"--machine " + exports + "/xp.reg takes a registry export"}},
        {"--machine " + drive,
         {"it holds a Windows installation (WINDOWS): --windows " + drive +
          " takes its hive files"}},
        {"--machine " + drive + "/WINDOWS",
         {"it is the Windows directory of an installation: --windows " + drive +
          "/WINDOWS takes its hive files"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Result r = run(c.args, "", scratch);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        for (const std::string& part : c.says) {
            EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
        }
    }
    EXPECT_FALSE(fs::exists(root / "empty" / "machine.ini"));
}

// Whatever the program has to say on standard error, every line starts
// with its name, or continues the message above it indented.
TEST(StandardError, EveryLineIsTheProgramsOwn) {
    TempDir scratch;
    const fs::path root = scratch.path();
    fs::copy(kMachines / "xp", root / "xp", fs::copy_options::recursive);
    fs::copy(kMachines / "xp", root / "odd", fs::copy_options::recursive);
    std::ofstream(root / "odd" / "machine.ini", std::ios::app)
        << "shade = blue\n[extras]\n[faults]\nsurprise = yes\n";
    std::ofstream(root / "odd" / "system.reg", std::ios::app | std::ios::binary)
        << "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Odd]\r\n\"N\"=dword:123456789\r\nnoise\r\n";
    fs::create_directories(root / "bare");
    fs::copy_file(kMachines / "xp-offline" / "system.reg", root / "bare" / "system.reg");
    fs::copy(kMachines / "xp-offline-drive", root / "drive", fs::copy_options::recursive);
    fs::copy(kMachines / "me", root / "me", fs::copy_options::recursive);
    const std::string xp = (root / "xp").string();
    struct Case {
        std::string args;
        std::string input;
    };
    const Case cases[] = {
        {"--machine " + (root / "odd").string(), "state\n"},           // ini and .reg warnings
        {"--machine " + (root / "bare" / "system.reg").string(), ""},  // an empty drive
        {"--machine " + xp, "uninstall\nuninstall\nbogus\nselect 9\n"},
        {"--machine " + xp + " --undo", ""},
        {"--machine " + xp + " --undo", ""},                        // nothing left to undo
        {"--windows " + (root / "drive").string(), "uninstall\n"},  // hive backups
        {"--machine " + (root / "me").string() + " --read-only", "uninstall\nrestart\n"},
        {"--machine " + (root / "me").string() + " --fact version=4.0.950 --log /dev/null", ""},
        {"--machine " + (root / "missing").string(), ""},
        {"--nonsense", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Result r = run(c.args, c.input, scratch);
        EXPECT_NE(r.err, "") << "each case has something to say";
        for (const std::string& line : splitLines(r.err)) {
            EXPECT_TRUE(line.rfind("quorvane-uninstall: ", 0) == 0 || line.rfind("  ", 0) == 0)
                << line;
        }
    }
}
