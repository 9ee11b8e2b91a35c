// Damaged and hostile hive files of an installation (--windows), the
// program run on them as a process: it never dies, never hangs, and leaves
// the installation exactly as it was. Damage where the program reads
// refuses the installation when it is loaded (exit 2, naming the hive);
// damage that only a change brings to light refuses the change (exit 1); a
// hive that Windows did not close cleanly is used read-only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "tests/host/program_run.h"
#include "tests/support/creg_writer.h"
#include "tests/support/hive_damage.h"
#include "winsim/src/regfile/regfile.h"
#include "winsim/src/registry/registry.h"

namespace {

namespace fs = std::filesystem;
using program_run::readFile;

const fs::path kMachines = fs::path(QU_SOURCE_DIR) / "machines";
const std::string kCommands = "detect\nselect 0\nuninstall\n";
// A hang shows as exit status 124.
const std::string kTimeout = "timeout 60 ";

const std::string kXpUsb = "ControlSet001\\Enum\\USB";
const std::string kXpDevice = kXpUsb + "\\VID_F3A7&PID_0053";
const std::string kXpInstance = kXpDevice + "\\5&1f8d3a27&0&1";
const std::string kMeInstance = "Enum\\USB\\VID_F3A7&PID_0021\\5&2E1C7A4&0&1";

// Every file and folder below `root` with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        out[fs::relative(e.path(), root).string()] =
            e.is_regular_file() ? readFile(e.path()) : std::string("<dir>");
    }
    return out;
}

// A drive with an installation in a temporary folder: machines/xp-offline-
// drive, or machines/me's Windows folder with a SYSTEM.DAT made from its
// registry (the version added, as the installation itself keeps it).
class Drive {
public:
    explicit Drive(bool me) {
        root_ = temp_.path() / "drive";
        if (me) {
            fs::copy(kMachines / "me" / "drive_c", root_, fs::copy_options::recursive);
            hive_ = (root_ / "WINDOWS" / "SYSTEM.DAT").string();
            rebuild([](winsim::Registry&) {});
        } else {
            fs::copy(kMachines / "xp-offline-drive", root_, fs::copy_options::recursive);
            hive_ = (root_ / "WINDOWS" / "system32" / "config" / "system").string();
        }
    }
    const fs::path& root() const { return root_; }
    const std::string& hive() const { return hive_; }
    std::string bytes() const { return readFile(hive_); }
    void write(const std::string& bytes) const {
        std::ofstream(hive_, std::ios::binary | std::ios::trunc) << bytes;
    }
    // SYSTEM.DAT made again from the sample's registry after `change`.
    void rebuild(const std::function<void(winsim::Registry&)>& change) {
        winsim::Registry registry;
        winsim::RegImport imported;
        std::string error;
        const std::string reg =
            readFile(kMachines / "me" / "system.reg") +
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
            "\"VersionNumber\"=\"4.90.3000\"\r\n\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n\r\n";
        ASSERT_TRUE(winsim::importRegFile(reg, "me", 1252, registry, &imported, &error)) << error;
        change(registry);
        ASSERT_TRUE(qu_test::writeWin9xRegistry(registry, 1252, hive_, &error)) << error;
    }
    program_run::Result run(const std::string& commands) const {
        return program_run::runProgram("--windows '" + root_.string() + "'", commands, temp_, "",
                                       kTimeout);
    }
    const program_run::TempDir& temp() const { return temp_; }

private:
    program_run::TempDir temp_;
    fs::path root_;
    std::string hive_;
};

// The key cell at `path`, which the test needs.
uint32_t cellOf(const std::string& hive, const std::string& path) {
    const uint32_t cell = qu_test::ntKeyCell(hive, path);
    EXPECT_NE(cell, 0u) << path;
    return cell;
}

void nestBelow(winsim::Registry& r, const std::string& path, size_t levels) {
    winsim::RegKey* key = winsim::findKeyPath(r.localMachine.get(), path);
    for (size_t i = 0; key && i < levels; ++i) key = key->createSubkey("Deeper");
    ASSERT_NE(key, nullptr) << path;
}

struct Row {
    const char* name;
    bool me;  // a 98/ME SYSTEM.DAT, else an XP system hive
    std::function<void(Drive&)> damage;
    int status;
    const char* says;  // on standard error, with the hive's path
};

TEST(HostileHive, NeitherCrashesNorHangsAndChangesNothing) {
    using namespace qu_test;
    const Row rows[] = {
        {"a subkey list under Enum\\USB leads back to Enum", false,
         [](Drive& d) {
             std::string h = d.bytes();
             put32(&h, ntFirstSubkeyEntry(h, cellOf(h, kXpUsb)), cellOf(h, "ControlSet001\\Enum"));
             d.write(h);
         },
         2, "is reached a second time"},
        {"a key listed under two parents", false,
         [](Drive& d) {
             std::string h = d.bytes();
             const uint32_t acpi = cellOf(h, "ControlSet001\\Enum\\ACPI");
             put32(&h, ntFirstSubkeyEntry(h, acpi), cellOf(h, kXpDevice));
             d.write(h);
         },
         2, "is reached a second time"},
        {"keys nested 512 levels below the hive's root (513 below HKLM)", false,
         [](Drive& d) {
             std::string error;
             ASSERT_TRUE(
                 ntAddNestedKeys(d.hive(), "ControlSet001\\Enum\\ACPI", 509, "Deeper", &error))
                 << error;
         },
         2, "keys nested more than 511 levels below the hive's root"},
        {"a key name of 256 characters", false,
         [](Drive& d) {
             std::string error;
             ASSERT_TRUE(ntAddNestedKeys(d.hive(), kXpUsb, 1, std::string(256, 'k'), &error))
                 << error;
         },
         2, "a key name of 256 characters; Windows allows 255"},
        {"a value name of 16384 characters", false,
         [](Drive& d) {
             std::string error;
             ASSERT_TRUE(ntAddValue(d.hive(), kXpInstance, std::string(16384, 'v'), &error))
                 << error;
         },
         2, "a value name of 16384 characters; Windows allows 16383"},
        // A bin's cells are checked when a loaded key first leads into it.
        {"a cell of a bin that a loaded key lies in runs past the bin's end", false,
         [](Drive& d) {
             std::string h = d.bytes();
             put32(&h, ntCellData(cellOf(h, kXpInstance)) - 4, 0xFFF00000);
             d.write(h);
         },
         2, "damaged cell at"},
        {"the hive cut at a bin boundary", false,
         [](Drive& d) { d.write(d.bytes().substr(0, 0x4000)); }, 2, "cut short"},
        // hivex frees a deleted key's class name without looking.
        {"the class name of a key an Uninstall deletes points into another cell", false,
         [](Drive& d) {
             std::string h = d.bytes();
             const uint32_t cell = cellOf(h, kXpInstance);
             put32(&h, ntCellData(cell) + kNtClassName, cell + 8);
             d.write(h);
         },
         2, "its class name"},
        {"a security cell that counts fewer keys than use it", false,
         [](Drive& d) {
             std::string h = d.bytes();
             const uint32_t sk = get32(h, ntCellData(cellOf(h, kXpInstance)) + kNtSecurity);
             put32(&h, ntCellData(sk) + 0x0C, 1);
             d.write(h);
         },
         2, "is used by more keys than it counts"},
        // Changes wait in system.LOG: writing would drop them.
        {"a hive Windows did not close cleanly", false,
         [](Drive& d) {
             std::string h = d.bytes();
             ntSetSequenceNumbers(&h, 8, 7);
             d.write(h);
         },
         1, "was not closed cleanly by Windows (changes still wait in its .LOG file)"},
        {"a SYSTEM.DAT key links back to an ancestor", true,
         [](Drive& d) {
             std::string f = d.bytes();
             creg9xSetLink(&f, creg9xKeyEntry(f, kMeInstance), k9xFirstChild,
                           creg9xKeyEntry(f, "Enum"));
             d.write(f);
         },
         2, "is reached a second time"},
        {"a SYSTEM.DAT sibling chain returns to itself", true,
         [](Drive& d) {
             std::string f = d.bytes();
             const uint32_t usb = creg9xKeyEntry(f, "Enum\\USB");
             creg9xSetLink(&f, usb, k9xNextSibling, usb);
             d.write(f);
         },
         2, "its chain of subkeys returns to entry"},
        {"SYSTEM.DAT keys nested 513 levels deep", true,
         [](Drive& d) { d.rebuild([](winsim::Registry& r) { nestBelow(r, "Enum\\BIOS", 511); }); },
         2, "keys nested more than 512 levels deep"},
        {"a SYSTEM.DAT key name of 256 characters", true,
         [](Drive& d) {
             d.rebuild([](winsim::Registry& r) {
                 winsim::findKeyPath(r.localMachine.get(), "Enum\\USB")
                     ->createSubkey(std::string(256, 'k'));
             });
         },
         2, "a key name of 256 characters; Windows allows 255"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Drive drive(row.me);
        row.damage(drive);
        const auto before = snapshot(drive.root());
        const program_run::Result r = drive.run(kCommands);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(drive.hive()), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
        EXPECT_TRUE(snapshot(drive.root()) == before) << "the installation changed";
    }
}

// A loop of keys where the program loads nothing: the Uninstall goes ahead;
// the report of what remains, which reads the hive whole, names the damage
// and covers what was loaded.
TEST(HostileHive, DamageOutsideWhatIsLoadedOnlyNarrowsTheReport) {
    Drive drive(false);
    std::string error;
    ASSERT_TRUE(qu_test::ntAddNestedKeys(drive.hive(), "", 3, "Other", &error)) << error;
    std::string h = drive.bytes();
    qu_test::put32(&h, qu_test::ntFirstSubkeyEntry(h, cellOf(h, "Other\\Other")),
                   cellOf(h, "Other"));
    drive.write(h);
    const program_run::Result r = drive.run(kCommands);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("were uninstalled successfully"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(drive.hive() + ": the hive is damaged at Other\\Other"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("still on the machine"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
}

// Damage that appears while the program runs, after the hive was loaded:
// it comes to light when the Uninstall's changes are written, which are
// refused with nothing changed.
TEST(HostileHive, DamageFoundWhileChangingRefusesTheChange) {
    Drive drive(false);
    const fs::path io = drive.temp().path();
    const std::string fifo = (io / "commands").string();
    const std::string status = (io / "status").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string command = "(env -i PATH=/usr/bin:/bin " + kTimeout +
                                "'" QU_PROGRAM "' --windows '" + drive.root().string() + "' <'" +
                                fifo + "' >'" + (io / "out").string() + "' 2>'" +
                                (io / "err").string() + "'; echo $? >'" + status + "') &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const int fd = ::open(fifo.c_str(), O_WRONLY);  // waits for the program
    ASSERT_GE(fd, 0);
    auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 3000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return done();
    };
    const std::string detect = "detect\nstate\n";
    ASSERT_EQ(::write(fd, detect.data(), detect.size()), static_cast<ssize_t>(detect.size()));
    ASSERT_TRUE(
        waitFor([&] { return readFile(io / "out").find("\"devices\"") != std::string::npos; }));

    std::string h = drive.bytes();
    qu_test::put32(&h, qu_test::ntFirstSubkeyEntry(h, cellOf(h, kXpUsb)),
                   cellOf(h, "ControlSet001\\Enum"));
    drive.write(h);
    const auto before = snapshot(drive.root());
    const std::string uninstall = "select 0\nuninstall\n";
    ASSERT_EQ(::write(fd, uninstall.data(), uninstall.size()),
              static_cast<ssize_t>(uninstall.size()));
    ::close(fd);
    ASSERT_TRUE(waitFor([&] { return !readFile(status).empty(); }));
    const std::string err = readFile(io / "err");
    EXPECT_EQ(std::atoi(readFile(status).c_str()), 1) << err;
    EXPECT_NE(err.find(drive.hive() + ": the hive is damaged at"), std::string::npos) << err;
    EXPECT_NE(err.find("nothing was changed"), std::string::npos) << err;
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_TRUE(snapshot(drive.root()) == before) << "the installation changed";
}

}  // namespace
