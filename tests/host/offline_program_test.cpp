// The program on what a technician holds of an XP installation: the image,
// a bare export of its offline registry, the drive with its hive files.
// All three give the same dialog and the same result; read-only use
// changes nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>

#include "tests/host/program_run.h"
#include "tests/support/creg_writer.h"
#include "tests/support/run_as_nobody.h"
#include "winsim/machine.h"
#include "winsim/offline.h"

namespace fs = std::filesystem;

namespace {

using program_run::factsOf;
using program_run::readFile;
using program_run::Result;
using program_run::TempDir;
using program_run::withoutFacts;

Result run(const std::string& args, const std::string& input, const TempDir& scratch) {
    return program_run::runProgram(args, input, scratch);
}

const fs::path kMachines = fs::path(QU_SOURCE_DIR) / "machines";

// Files of a drive, relative to it, with their contents.
std::map<std::string, std::string> driveFiles(const fs::path& drive) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(drive)) {
        const std::string rel = fs::relative(e.path(), drive).string();
        if (rel.find("system32/config") != std::string::npos) continue;  // the hives
        if (e.is_regular_file()) files[rel] = readFile(e.path());
    }
    return files;
}

// The keys below `path` of the current machine, recursively.
void keysBelow(const std::string& path, std::set<std::string>* out) {
    for (const auto& name : winsim::subkeyNames(path)) {
        out->insert(path + "\\" + name);
        keysBelow(path + "\\" + name, out);
    }
}

std::set<std::string> engineKeys(const std::string& source, bool installation) {
    winsim::LoadOptions options;
    options.installation = installation;
    options.readOnly = true;
    std::string error;
    testing::internal::CaptureStderr();
    const bool loaded = winsim::loadMachine(source, options, &error);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(loaded) << error;
    std::set<std::string> keys;
    for (const char* root : {"Enum", "Control\\Class", "Control\\DeviceClasses", "Services"}) {
        keysBelow(std::string("System\\CurrentControlSet\\") + root, &keys);
    }
    winsim::unloadMachine();
    return keys;
}

TEST(OfflineProgram, ImageExportAndHivesGiveTheSameDialogAndTheSameResult) {
    if (!fs::exists(kMachines / "xp-offline-drive")) GTEST_SKIP() << "no offline samples";
    TempDir dir;
    fs::copy(kMachines / "xp", dir.path() / "image", fs::copy_options::recursive);
    fs::copy(kMachines / "xp-offline", dir.path() / "export", fs::copy_options::recursive);
    fs::copy(kMachines / "xp-offline-drive", dir.path() / "drive", fs::copy_options::recursive);
    const std::string image = (dir.path() / "image").string();
    const std::string exported = (dir.path() / "export").string();
    const std::string drive = (dir.path() / "drive").string();
    const std::string commands = "detect\nstate\nselect 0\nuninstall\nstate\n";

    const Result fromImage = run("--machine " + image, commands, dir);
    const Result fromExport = run("--machine " + exported, commands, dir);
    const Result fromHives = run("--windows " + drive, commands, dir);
    EXPECT_EQ(fromImage.status, 0) << fromImage.err;
    EXPECT_EQ(fromExport.status, 0) << fromExport.err;
    EXPECT_EQ(fromHives.status, 0) << fromHives.err;
    EXPECT_NE(fromImage.out.find("were uninstalled successfully"), std::string::npos)
        << fromImage.out;
    EXPECT_EQ(withoutFacts(fromExport.out), withoutFacts(fromImage.out));
    EXPECT_EQ(withoutFacts(fromHives.out), withoutFacts(fromImage.out));
    // The same machine, each fact from where that kind of image keeps it.
    const std::string xp =
        R"({"platform": "nt", "version": "5.1.2600", "windows": "C:\\WINDOWS", "codepage": 1252, )";
    EXPECT_EQ(factsOf(fromImage.out),
              xp + R"("from": {"platform": "machine.ini", "version": "machine.ini", "windows": )"
                   R"("machine.ini", "codepage": "default"}})");
    EXPECT_EQ(factsOf(fromExport.out),
              xp + R"("from": {"platform": "registry", "version": "registry", "windows": )"
                   R"("registry", "codepage": "registry"}})");
    EXPECT_EQ(factsOf(fromHives.out), factsOf(fromExport.out));
    EXPECT_NE(fromHives.err.find("what this command deletes is saved in " + drive +
                                 "/WINDOWS/system32/config/backups/"),
              std::string::npos)
        << fromHives.err;
    // The export keeps its spelling of the control set.
    const std::string saved = readFile(dir.path() / "export" / "system.reg");
    EXPECT_EQ(saved.find("CurrentControlSet"), std::string::npos);

    // The same files went, and the same keys.
    EXPECT_EQ(driveFiles(dir.path() / "export" / "drive_c"),
              driveFiles(dir.path() / "image" / "drive_c"));
    EXPECT_EQ(driveFiles(drive), driveFiles(dir.path() / "image" / "drive_c"));
    const std::set<std::string> keys = engineKeys(image, false);
    EXPECT_FALSE(keys.empty());
    EXPECT_EQ(engineKeys(exported, false), keys);
    EXPECT_EQ(engineKeys(drive, true), keys);
}

TEST(OfflineProgram, ReadOnlyDetectsAndRefusesChangesWithOneLine) {
    if (!fs::exists(kMachines / "xp-offline-drive")) GTEST_SKIP() << "no offline samples";
    for (const std::string source :
         {"--machine xp", "--machine xp-offline", "--windows xp-offline-drive"}) {
        SCOPED_TRACE(source);
        TempDir dir;
        const std::string name = source.substr(source.find(' ') + 1);
        fs::copy(kMachines / name, dir.path() / name, fs::copy_options::recursive);
        std::set<std::string> before;
        for (const auto& e : fs::recursive_directory_iterator(dir.path() / name)) {
            before.insert(e.path().string() + "\n" +
                          (e.is_regular_file() ? readFile(e.path()) : ""));
        }
        const Result r = run(
            source.substr(0, source.find(' ') + 1) + (dir.path() / name).string() + " --read-only",
            "detect\nuninstall\nrestart\nstate\nabout\n", dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("has been installed '2' times"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Uninstalling"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("{\"caption\""), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("quorvane-uninstall: Uninstall refused: the machine is read-only "
                             "(--read-only was given)\n"),
                  std::string::npos)
            << r.err;
        std::set<std::string> after;
        for (const auto& e : fs::recursive_directory_iterator(dir.path() / name)) {
            after.insert(e.path().string() + "\n" +
                         (e.is_regular_file() ? readFile(e.path()) : ""));
        }
        EXPECT_EQ(after, before);
    }
}

TEST(OfflineProgram, BadOfflineOptionsAreRefused) {
    TempDir dir;
    struct Case {
        std::string args;
        const char* says;
    };
    const Case cases[] = {
        {"--windows", "--windows needs an argument"},
        {"--hive-root", "--hive-root needs an argument"},
        {"--windows " + dir.path().string(), "no Windows installation here"},
        {"--windows /nonexistent", "no such folder"},
        {"--windows " + dir.path().string() + " --machine " + dir.path().string(),
         "--windows and --machine name two machines"},
        {"--machine " + (kMachines / "xp").string() + " --hive-root HKLM\\\\NOPE",
         "--hive-root HKLM\\NOPE: no such key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Result r = run(c.args, "", dir);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

}  // namespace

namespace {

// A 98/ME drive: SYSTEM.DAT made from the me sample's registry (with the
// version where 98/ME keeps it) and the sample's files.
TEST(OfflineProgram, A98RegistryFileDetectsLikeTheImageAndRefusesUninstall) {
    TempDir dir;
    fs::copy(kMachines / "me", dir.path() / "image", fs::copy_options::recursive);
    const fs::path drive = dir.path() / "drive";
    fs::copy(kMachines / "me" / "drive_c", drive, fs::copy_options::recursive);
    const std::string reg = readFile(kMachines / "me" / "system.reg") +
                            "\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]"
                            "\r\n\"VersionNumber\"=\"4.90.3000\"\r\n";
    std::string error;
    ASSERT_TRUE(qu_test::writeWin9xRegistryFromReg(
        reg, 1252, (drive / "WINDOWS" / "SYSTEM.DAT").string(), &error))
        << error;
    const std::string dat = readFile(drive / "WINDOWS" / "SYSTEM.DAT");
    const std::string detect = "detect\nstate\n";
    const Result fromImage = run("--machine " + (dir.path() / "image").string(), detect, dir);
    const Result fromDat = run("--windows " + drive.string(), detect, dir);
    EXPECT_EQ(fromDat.status, 0) << fromDat.err;
    EXPECT_NE(fromImage.out.find("has been installed"), std::string::npos) << fromImage.out;
    EXPECT_EQ(withoutFacts(fromDat.out), withoutFacts(fromImage.out));
    // The Windows directory is named after the installation's folder.
    EXPECT_EQ(factsOf(fromDat.out),
              R"({"platform": "9x", "version": "4.90.3000", "windows": "C:\\WINDOWS", )"
              R"("codepage": 1252, "from": {"platform": "registry", "version": "registry", )"
              R"("windows": "installation", "codepage": "default"}})");

    const std::map<std::string, std::string> files = driveFiles(drive);
    const Result refused = run("--windows " + drive.string(), "detect\nuninstall\nstate\n", dir);
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_EQ(refused.out.find("Uninstalling"), std::string::npos) << refused.out;
    const std::string line = "quorvane-uninstall: Uninstall refused: the machine is read-only (" +
                             (drive / "WINDOWS" / "SYSTEM.DAT").string() +
                             " is a Windows 98/ME registry, which this program only reads; to "
                             "uninstall, use an export made with regedit /e (see the README))\n";
    EXPECT_NE(refused.err.find(line), std::string::npos) << refused.err;
    EXPECT_EQ(readFile(drive / "WINDOWS" / "SYSTEM.DAT"), dat);
    EXPECT_EQ(driveFiles(drive), files);
}

}  // namespace

namespace {

// Hive files the program cannot write (a read-only mount, another owner):
// used read-only without being asked; Detect works, Uninstall is refused
// with exit status 1, and nothing is created or changed. Run as an
// unprivileged user when the tests run as root.
TEST(OfflineProgram, UnwritableHivesAreUsedReadOnly) {
    if (!fs::exists(kMachines / "xp-offline-drive")) GTEST_SKIP() << "no offline samples";
    TempDir dir;
    const fs::path drive = dir.path() / "drive";
    fs::copy(kMachines / "xp-offline-drive", drive, fs::copy_options::recursive);
    fs::permissions(dir.path(), fs::perms::all, fs::perm_options::add);
    const fs::path config = drive / "WINDOWS" / "system32" / "config";
    std::string prefix;
    if (::geteuid() == 0) {
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
            if (::chown(e.path().c_str(), qu_test::kNobody, qu_test::kNobody) != 0)
                GTEST_SKIP() << "cannot chown";
        }
        if (::chown(dir.path().c_str(), qu_test::kNobody, qu_test::kNobody) != 0)
            GTEST_SKIP() << "cannot chown";
        prefix = "--reuid=65534 --regid=65534 --clear-groups";
    }
    fs::permissions(config / "system",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = readFile(config / "system");
    const std::string program =
        prefix.empty() ? std::string("'" QU_PROGRAM "'")
                       : "setpriv " + prefix + " '" + qu_test::programForNobody(QU_PROGRAM) + "'";
    const fs::path out = dir.path() / "out.txt";
    const fs::path err = dir.path() / "err.txt";
    const std::string command = "printf 'detect\\nuninstall\\n' | env -i PATH=/usr/bin:/bin " +
                                program + " --windows '" + drive.string() + "' >'" + out.string() +
                                "' 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    const std::string said = readFile(err);
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1) << said;
    EXPECT_NE(readFile(out).find("has been installed '2' times"), std::string::npos);
    EXPECT_NE(said.find("Uninstall refused: the machine is read-only (" + config.string() +
                        ": the machine image cannot be saved (cannot write " +
                        (config / "system").string() + ": Permission denied)"),
              std::string::npos)
        << said;
    EXPECT_EQ(readFile(config / "system"), before);
    EXPECT_FALSE(fs::exists(config / "backups"));
    EXPECT_TRUE(fs::exists(drive / "WINDOWS" / "Inf" / "oem7.inf"));
}

}  // namespace
