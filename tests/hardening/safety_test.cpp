// Preview, backup and undo, and the exit status, with the program as a
// process on copies of the sample images.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/hardening/image_run.h"

using qu_hardening::ImageRun;
using qu_hardening::planList;
using qu_hardening::RunResult;

namespace fs = std::filesystem;

namespace {

const char* const kSamples[] = {"xp", "me", "xp-empty"};
const std::string kXpInf = "C:\\WINDOWS\\Inf\\oem7.inf";
const std::string kXpDevice = "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053";

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

void expectUnchanged(const ImageRun& image) {
    EXPECT_TRUE(image.regFileKept);
    EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
    EXPECT_TRUE(image.changedFiles.empty()) << *image.changedFiles.begin();
    EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
}

}  // namespace

// On every sample: a plan changes nothing and shows nothing in the status
// pane; the Uninstall after it removes exactly what it listed (instances
// included), and a second plan (after the first was undone) is the same.
TEST(Safety, PlanIsWhatTheUninstallRemoves) {
    for (const char* sample : kSamples) {
        SCOPED_TRACE(sample);
        ImageRun image(sample);
        image.snapshot();
        const RunResult planned = image.run("plan\nplan\nstate\n");
        expectUnchanged(image);
        EXPECT_TRUE(image.backups.empty());
        const size_t first = planned.out.find("{\"plan\": ");
        ASSERT_NE(first, std::string::npos) << planned.out;
        const std::string line = planned.out.substr(first, planned.out.find('\n', first) - first);
        EXPECT_EQ(count(planned.out, line + "\n"), 2u) << planned.out;
        // The status pane (in the state line) holds only what start-up wrote.
        EXPECT_EQ(count(planned.out, "Uninstalling"), 0u);

        const RunResult r = image.run("plan\nuninstall\n");
        bool found = false;
        const std::set<std::string> keys = planList(r.out, "keys", &found);
        EXPECT_EQ(found, std::string(sample) != "xp-empty") << r.out;
        EXPECT_EQ(keys, image.removedKeys) << r.out;
        EXPECT_EQ(planList(r.out, "files", &found), image.removedFiles) << r.out;
        for (const std::string& instance : planList(r.out, "instances", &found)) {
            // Every instance listed is gone with a key the plan lists.
            bool covered = false;
            for (const std::string& key : keys) {
                covered = covered ||
                          ("System\\CurrentControlSet\\Enum\\" + instance).rfind(key, 0) == 0 ||
                          ("Enum\\" + instance).rfind(key, 0) == 0;
            }
            EXPECT_TRUE(covered) << instance;
        }
        // The plans of both runs agree: a plan leaves the engine as it found it.
        EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << r.out;
    }
}

// Uninstall, then --undo: system.reg has its bytes again and drive_c the
// same files with the same contents and modes (a read-only INF included);
// the backup moves to backups/undone/ and a second undo finds nothing.
TEST(Safety, UndoAfterUninstallIsIdentity) {
    for (const char* sample : kSamples) {
        SCOPED_TRACE(sample);
        ImageRun image(sample);
        if (std::string(sample) == "xp") image.writeDriveFile(kXpInf, "[Version]\r\n", true);
        image.snapshot();
        const RunResult removed = image.run("uninstall\n");
        const bool something = !image.removedFiles.empty() || !image.removedKeys.empty();
        EXPECT_EQ(something, std::string(sample) != "xp-empty");
        EXPECT_EQ(image.backups.size(), something ? 1u : 0u);
        const std::string name = something ? *image.backups.begin() : "";
        if (something) {
            const std::string folder = image.dir() + "/backups/" + name;
            EXPECT_NE(removed.err.find("saved in " + folder + "\n"), std::string::npos)
                << removed.err;
            for (const char* part : {"manifest", "deleted.reg", "system.reg.before", "files"}) {
                EXPECT_TRUE(fs::exists(folder + "/" + part)) << part;
            }
        }

        image.extraArgs = "--undo";
        const RunResult undone = image.run("");
        EXPECT_EQ(undone.status, something ? 0 : 1) << undone.err;
        expectUnchanged(image);
        EXPECT_TRUE(image.removedKeys.empty());
        EXPECT_TRUE(image.changedKeys.empty());
        if (something) {
            EXPECT_TRUE(fs::exists(image.dir() + "/backups/undone/" + name));
            EXPECT_FALSE(fs::exists(image.dir() + "/backups/" + name));
        }
        const RunResult again = image.run("");
        EXPECT_EQ(again.status, 1);
        EXPECT_NE(again.err.find("no backup to undo"), std::string::npos) << again.err;
        expectUnchanged(image);
    }
}

// An undo refuses, changing nothing, when a file or a key it would restore
// exists again; once that is gone it restores. A system.reg changed since
// the Uninstall gets the deleted keys imported again, as they were before
// the Uninstall (the removal enables a device before it removes it).
TEST(Safety, UndoRefusesWhatExistsAgainAndImportsIntoAChangedRegistry) {
    ImageRun image("xp");
    image.setRaw(kXpDevice + "\\5&1f8d3a27&0&1", "ConfigFlags", 4, {1, 0, 0, 0});  // disabled
    image.snapshot();
    image.run("uninstall\n");
    const std::string name = *image.backups.begin();
    image.extraArgs = "--undo";

    image.writeDriveFile(kXpInf, "new");
    const std::string regBefore = image.readImageFile("system.reg");
    RunResult r = image.run("");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not undone, nothing changed: these exist again:\n  " + kXpInf),
              std::string::npos)
        << r.err;
    EXPECT_EQ(image.readImageFile("system.reg"), regBefore);
    image.removeDriveFile(kXpInf);

    image.setString(kXpDevice, "Back", "1");
    r = image.run("");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("these exist again:\n  HKEY_LOCAL_MACHINE\\" + kXpDevice),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::exists(image.dir() + "/backups/" + name + "/manifest"));
    image.deleteKey(kXpDevice);

    // system.reg is no longer what the Uninstall wrote.
    image.setString("SOFTWARE\\Other", "Kept", "yes");
    r = image.run("");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("the deleted keys imported"), std::string::npos) << r.err;
    // Against the image before the Uninstall: only the new key differs.
    EXPECT_EQ(image.createdKeys, std::set<std::string>{"SOFTWARE\\Other"});
    EXPECT_TRUE(image.removedKeys.empty()) << *image.removedKeys.begin();
    EXPECT_TRUE(image.changedKeys.empty()) << *image.changedKeys.begin();
    EXPECT_TRUE(image.removedFiles.empty()) << *image.removedFiles.begin();
    EXPECT_TRUE(image.changedFiles.empty()) << *image.changedFiles.begin();
    EXPECT_TRUE(image.createdFiles.empty()) << *image.createdFiles.begin();
    EXPECT_TRUE(fs::exists(image.dir() + "/backups/undone/" + name));
}

// What remains after an Uninstall is named on standard error.
TEST(Safety, WhatRemainsIsNamed) {
    ImageRun image("xp");
    const RunResult r = image.run("uninstall\n");
    EXPECT_NE(r.err.find("still on the machine, naming the device's pattern, service, INF or "
                         "driver file:\n"),
              std::string::npos)
        << r.err;
    // The service's own driver is not the device's to delete.
    EXPECT_NE(r.err.find("  C:\\WINDOWS\\system32\\DRIVERS\\kestrelx.sys\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("  HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\kestrelx\n"),
              std::string::npos)
        << r.err;
}

// clang-format off

// The exit status of a run, by how its Uninstalls ended.
TEST(Safety, ExitStatus) {
    struct Case {
        const char* name;
        const char* sample;
        std::string setup;  // appended to machine.ini
        std::string commands;
        std::string args;
        int status;
        std::string errorSays;
    } cases[] = {
        {"no Uninstall", "xp", "", "detect\nstate\n", "", 0, ""},
        {"NT Uninstall succeeds (message 120)", "xp", "", "uninstall\n", "", 0, ""},
        {"9x Uninstall succeeds (108), no Restart", "me", "", "uninstall\n", "", 4, ""},
        {"9x Uninstall succeeds, then Restart", "me", "", "uninstall\nrestart\n", "", 0, ""},
        {"removal fails (110)", "xp", "[faults]\r\nremove = fail\r\n", "uninstall\n", "", 1, ""},
        {"removal fails once, then succeeds", "xp", "[faults]\r\nremove = fail\r\n",
         "uninstall\nuninstall\n", "", 1, ""},
        {"Uninstall aimed at a disabled button", "xp-empty", "", "uninstall\n", "", 0,
         "quorvane-uninstall: uninstall: the button is disabled; nothing done\n"},
        {"Restart aimed at a disabled button on NT", "xp", "", "restart\n", "", 0,
         "quorvane-uninstall: restart: the button is disabled; nothing done\n"},
        {"bad argument", "xp", "", "", "--nonsense", 2, "unknown argument: --nonsense"},
        {"undo without a backup", "xp", "", "", "--undo", 1, "no backup to undo"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageRun image(c.sample);
        if (!c.setup.empty()) image.appendIni(c.setup);
        image.extraArgs = c.args;
        const RunResult r = image.runOnly(c.commands);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (!c.errorSays.empty()) {
            EXPECT_EQ(count(r.err, c.errorSays), 1u) << r.err;
        }
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    }
}

// clang-format on
