// quorvane-uninstall in a real terminal (tmux_terminal.h): start-up, keys,
// mouse, resizing, colours, and what it leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tui/tmux_terminal.h"

namespace fs = std::filesystem;
using qu_test::haveTmux;
using qu_test::Launch;
using qu_test::readHostFile;
using qu_test::Terminal;

namespace {

const char kName[] = "Quorvane USB 2.0 Network Adapter";

TEST(ProgramInTmux, StartUpDetectAndUninstallToCompletion) {
    START_TERMINAL(t, "");
    std::string screen = t.last();
    EXPECT_NE(screen.find("[-] Quorvane USB Miniport Driver Uninstall Utility"), std::string::npos)
        << screen;
    EXPECT_NE(screen.find(std::string("Device:    ") + kName), std::string::npos) << screen;
    EXPECT_NE(screen.find("│Windows2000 / WindowsXP detected."), std::string::npos) << screen;
    EXPECT_NE(screen.find("[  Detect  ]"), std::string::npos);
    EXPECT_EQ(screen.find("Dummy"), std::string::npos);
    // Colours and half blocks for the pictures.
    const std::string escapes = t.screen(true);
    EXPECT_NE(escapes.find("\x1b[38;5;"), std::string::npos);
    EXPECT_NE(escapes.find("▀"), std::string::npos);

    // Alt+D and Esc then d both press Detect: the log grows twice.
    t.keys({"M-d"});
    const std::string installed = "│installed '2' times on this system.";
    ASSERT_TRUE(t.waitForCount(installed, 2)) << t.last();
    t.keys({"Escape", "d"});
    ASSERT_TRUE(t.waitForCount(installed, 3)) << t.last();
    EXPECT_TRUE(fs::exists(t.machine() / "drive_c/WINDOWS/Inf/oem7.inf"));

    // Alt+V puts the focus on the list, where Enter is the default button:
    // Uninstall.
    t.keys({"M-v"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│successfully!")) << t.last();
    screen = t.last();
    EXPECT_NE(screen.find("│Uninstalling 'Quorvane USB 2.0 Network"), std::string::npos) << screen;
    EXPECT_NE(screen.find("│All '2' instances of 'Quorvane USB 2.0"), std::string::npos) << screen;
    // Uninstall is disabled now: Enter on the list does nothing.
    t.keys({"Enter"});
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    // The notes of the Uninstall come once the terminal is the shell's again.
    EXPECT_NE(t.rawErrors().find("what this command deletes is saved in "), std::string::npos);
    EXPECT_EQ(t.errors(), "");
    EXPECT_FALSE(fs::exists(t.machine() / "drive_c/WINDOWS/Inf/oem7.inf"));
    EXPECT_NE(readHostFile(t.machine() / "system.reg").find("kestrelx"), std::string::npos)
        << "only the device's own keys are gone";
    EXPECT_EQ(t.last().find("Uninstalling", t.last().find("successfully!")), std::string::npos)
        << "a second Uninstall ran";
}

TEST(ProgramInTmux, AboutBoxFromTheSystemMenu) {
    START_TERMINAL(t, "");
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor("│ About QuorvaneUninstall...")) << t.last();
    EXPECT_NE(t.last().find("│ Close                        Alt+F4 │"), std::string::npos)
        << t.last();
    // Move shows disabled (the window stays centred): its mnemonic does
    // nothing and the menu stays open.
    t.keys({"m"});
    t.keys({"Escape"});  // closes the menu, not the dialog
    ASSERT_TRUE(t.waitFor("│ About QuorvaneUninstall...", false)) << t.last();

    // Menu item by its mnemonic; Esc closes the about box.
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor("│ Move")) << t.last();
    t.keys({"a"});
    ASSERT_TRUE(t.waitFor("v1.1.1.0")) << t.last();
    EXPECT_NE(t.last().find("[-] About QuorvaneUninstall"), std::string::npos);
    EXPECT_NE(t.last().find("[    OK    ]"), std::string::npos);
    EXPECT_NE(t.last().find("Copyright (C) Quorvane"), std::string::npos);
    {
        // The product line keeps clear of the OK button on its row.
        const std::string product = "Quorvane USB Miniport Driver Uninstall";
        const size_t ok = t.last().find("[    OK    ]");
        ASSERT_NE(ok, std::string::npos) << t.last();
        const size_t row = t.last().rfind('\n', ok) + 1;
        const size_t at = t.last().find(product, row);
        ASSERT_LT(at, ok) << "on the same row: " << t.last();
        EXPECT_GE(ok - (at + product.size()), 3u) << t.last();
    }
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor("v1.1.1.0", false)) << t.last();
    ASSERT_TRUE(t.waitFor("[-] Quorvane USB Miniport")) << t.last();

    // Arrows and Enter in the menu (from Close, past the separator); OK
    // (Enter) closes the about box.
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor("│ Move")) << t.last();
    t.keys({"Down", "Enter"});
    ASSERT_TRUE(t.waitFor("v1.1.1.0")) << t.last();
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("v1.1.1.0", false)) << t.last();

    // Close from the system menu ends the program.
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor("│ Move")) << t.last();
    t.keys({"c"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, ResizeBelowTheDialogAndBack) {
    START_TERMINAL(t, "");
    t.resize(60, 20);
    ASSERT_TRUE(t.waitFor("too small")) << t.last();
    EXPECT_NE(t.last().find("this one has 60 x 20"), std::string::npos) << t.last();
    EXPECT_EQ(t.last().find("Quorvane"), std::string::npos) << "no remains of the dialog";
    t.keys({"M-d"});  // ignored while the dialog cannot be seen
    // One row short of the whole frame is too small too.
    t.resize(80, 24);
    ASSERT_TRUE(t.waitForAll({"needs 68 x 25 characters", "one has 80 x 24"})) << t.last();
    t.resize(80, 25);
    ASSERT_TRUE(t.waitForAll({"[  Detect  ]", "└──────"})) << t.last();
    EXPECT_EQ(t.last().find("too small"), std::string::npos);
    t.resize(100, 30);
    ASSERT_TRUE(t.waitForAll({"[  Detect  ]", "└──────"})) << t.last();
    // Still one detection run in the log.
    EXPECT_EQ(t.last().find("│Windows2000 / WindowsXP detected."),
              t.last().rfind("│Windows2000 / WindowsXP detected."));
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0);
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, MouseAndDropDownList) {
    START_TERMINAL(t, "");
    // Click [  Detect  ] (row 7, columns 60-71): a second detection run.
    t.click(65, 7);
    ASSERT_TRUE(t.waitForCount("│installed '2' times on this system.", 2)) << t.last();
    // F4 on the focused list opens it; Esc closes it.
    t.keys({"M-v"});
    t.keys({"F4"});
    ASSERT_TRUE(t.waitFor(std::string("│") + kName)) << t.last();
    EXPECT_EQ(t.last().find("Status / Instructions:"), std::string::npos) << "under the list";
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor(std::string("│") + kName, false)) << t.last();
    // A click on the list opens it, a click on its item chooses it.
    t.click(30, 3);
    ASSERT_TRUE(t.waitFor(std::string("│") + kName)) << t.last();
    t.click(30, 5);
    ASSERT_TRUE(t.waitFor(std::string("│") + kName, false)) << t.last();
    // The close box ends the program.
    t.click(71, 0);
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, TabStopsEnterAndAltF4) {
    START_TERMINAL(t, "");
    const std::string installed = "│installed '2' times on this system.";
    // The focus starts on Uninstall (the dialog manager looks the first tab
    // stop up after WM_INITDIALOG, which enabled it); Tab moves it to Close,
    // then Detect, where Enter presses Detect rather than the default button.
    t.keys({"Tab", "Tab"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitForCount(installed, 2)) << t.last();
    // Space presses the focused button too.
    t.keys({"Space"});
    ASSERT_TRUE(t.waitForCount(installed, 3)) << t.last();
    // Shift+Tab twice back to Uninstall; Enter uninstalls.
    t.keys({"BTab", "BTab"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│successfully!")) << t.last();
    EXPECT_FALSE(fs::exists(t.machine() / "drive_c/WINDOWS/Inf/oem7.inf"));
    // Alt+F4 closes, as the system menu says.
    t.keys({"M-F4"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, EnterAtStartUpUninstalls) {
    START_TERMINAL(t, "");
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│successfully!")) << t.last();
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_FALSE(fs::exists(t.machine() / "drive_c/WINDOWS/Inf/oem7.inf"));
}

TEST(ProgramInTmux, RestartEndsTheProgram) {
    // Windows ME: after the removal Windows must restart; Restart (Alt+R)
    // takes the machine down with the program.
    START_TERMINAL_ON(t, "", "me", "Click on the Uninstall button");
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│Restart button to restart immediately.")) << t.last();
    t.keys({"M-r"});
    ASSERT_TRUE(t.waitFor("The machine is restarting")) << t.last();
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, MonochromeShowsPlaceholders) {
    START_TERMINAL(t, "NO_COLOR=1");
    // The rows below the status text may still be on their way.
    ASSERT_TRUE(t.waitForAll({"│picture│", "[    logo     ]"})) << t.last();
    const std::string escapes = t.screen(true);
    EXPECT_EQ(escapes.find("\x1b[38;5;"), std::string::npos);
    // Disabled Restart is dim, enabled Close is not; focused Uninstall is
    // reversed.
    EXPECT_NE(escapes.find("\x1b[2m[ Restart  ]"), std::string::npos) << escapes;
    EXPECT_EQ(escapes.find("\x1b[2m[  Close   ]"), std::string::npos) << escapes;
    EXPECT_NE(escapes.find("\x1b[1;7m[Uninstall ]"), std::string::npos) << escapes;
    t.keys({"C-c"});  // like Esc
    EXPECT_EQ(t.exitStatus(), 0);
    EXPECT_EQ(t.errors(), "");
}

TEST(ProgramInTmux, WithoutColourOrDimDisabledButtonsTakeParentheses) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    Terminal t{"TERM=vt100"};  // neither colours nor dim
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitForAll({"( Restart  )", "[Uninstall ]", "[  Detect  ]", "[    logo     ]"}))
        << t.last();
    EXPECT_NE(t.screen(true).find("\x1b[1;7m[Uninstall ]"), std::string::npos);
    // The focus moves on in reverse; Uninstall, once done, is disabled.
    t.keys({"Tab"});
    ASSERT_TRUE(t.waitFor("\x1b[1;7m[  Close   ]", true, true)) << t.last();
    EXPECT_EQ(t.last().find("\x1b[1;7m[Uninstall"), std::string::npos) << t.last();
    t.keys({"M-v"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitForAll({"(Uninstall )", "successfully!"})) << t.last();
    EXPECT_NE(t.last().find("( Restart  )"), std::string::npos);
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0);
    EXPECT_EQ(t.errors(), "");
}

const char kDetected[] = "Windows2000 / WindowsXP detected.\n";
const char kInstalled[] =
    "'Quorvane USB 2.0 Network Adapter' has been installed '2' times on this system.\n";
const char kClick[] =
    "Click on the Uninstall button to uninstall 'Quorvane USB 2.0 Network Adapter'.\n";

TEST(ProgramInTmux, StatusRecordAfterEscAndTheImageLine) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    Launch launch;
    launch.args = "--log run.log";  // in HOME, the tmux session's directory
    launch.rows = 26;               // a row to spare below the dialog
    Terminal t{launch};
    ASSERT_TRUE(t.started());
    // The image in use, on the row below the dialog (the last one at 26).
    const std::string imageLine = "Machine image: ~/m";
    ASSERT_TRUE(t.waitFor(imageLine)) << t.last();
    EXPECT_EQ(t.last().find(imageLine), t.last().rfind('\n', t.last().size() - 2) + 1)
        << "on the last row: " << t.last();
    t.keys({"M-d"});
    ASSERT_TRUE(t.waitForCount("│installed '2' times on this system.", 2)) << t.last();
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    // The whole status text, a line each, then the image, on the terminal
    // the program gave back.
    const std::string facts =
        "Machine facts: platform=nt (2000/XP) from machine.ini, version=5.1.2600 from "
        "machine.ini, windows=C:\\WINDOWS from machine.ini, codepage=1252 by default\n";
    const std::string record = std::string(kDetected) + kInstalled + kClick + kInstalled + kClick +
                               "Machine image: " + t.machine().string() + "\n" + facts;
    ASSERT_TRUE(t.waitFor(record, true, false, true)) << t.last();
    EXPECT_EQ(t.last().rfind(record, 0), 0u) << t.last();
    EXPECT_EQ(t.errors(), "");
    // The log has the same lines, each after its time stamp.
    std::istringstream log(readHostFile(t.home() / "run.log"));
    std::string logged, line;
    while (std::getline(log, line)) {
        if (line.size() > 25 && line.compare(24, 4, " -- ") != 0) logged += line.substr(25) + "\n";
    }
    EXPECT_EQ(logged + "Machine image: " + t.machine().string() + "\n" + facts, record);
}

// On a machine whose C: drive is empty an Uninstall deletes no file: the
// screen says so before the dialog takes a key, and the key that dismisses
// the notice does not reach the dialog (Enter would press Uninstall).
TEST(ProgramInTmux, AnEmptyDriveIsSaidBeforeUninstallCanBePressed) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    Launch launch;
    launch.image = "";
    launch.prepare = [](const fs::path& home) {
        fs::create_directory(home / "bare");
        fs::copy_file(fs::path(QU_SOURCE_DIR) / "machines/xp-offline/system.reg",
                      home / "bare/system.reg");
    };
    launch.args = "--machine bare/system.reg";
    Terminal t{launch};
    ASSERT_TRUE(t.started());
    const std::string notice = "The C: drive of this machine is empty";
    ASSERT_TRUE(t.waitForAll({notice, "[    OK    ]", "[  Detect  ]"}, true)) << t.last();
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor(notice, false)) << t.last();
    EXPECT_EQ(t.last().find("Uninstalling"), std::string::npos) << t.last();
    EXPECT_FALSE(fs::exists(t.home() / "bare/backups"));
    // The next Enter is the dialog's: Uninstall.
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor("│successfully!")) << t.last();
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    // Standard error says it too, once the terminal is given back.
    EXPECT_EQ(t.errors(),
              "quorvane-uninstall: export bare/system.reg: no drive_c folder beside it; the C: "
              "drive is empty\n");
}

TEST(ProgramInTmux, LogThatCannotBeWrittenIsNamedAfterTheScreenIsGivenBack) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    Launch launch;
    launch.args = "--log /dev/full";
    Terminal t{launch};
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitFor("[  Detect  ]")) << t.last();
    t.keys({"M-d"});
    ASSERT_TRUE(t.waitForCount("│installed '2' times on this system.", 2)) << t.last();
    EXPECT_EQ(t.errors(), "") << "not while the dialog is on the screen";
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0) << t.last();
    EXPECT_EQ(
        t.errors(),
        "quorvane-uninstall: cannot use the log /dev/full: it is a device, not a regular file; "
        "the run goes on without it\n");
}

TEST(ProgramInTmux, StatusRecordInTheTerminalsEncoding) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    // An image whose device description is not ASCII (code page 1252).
    char pattern[] = "/tmp/qu-tui-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    struct Remove {
        const char* dir;
        ~Remove() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } remove{pattern};
    const fs::path image = fs::path(pattern) / "m";
    fs::copy(fs::path(QU_SOURCE_DIR) / "machines/xp", image, fs::copy_options::recursive);
    std::string reg = readHostFile(image / "system.reg");
    const std::string from = "Quorvane USB 2.0 Network Adapter";
    for (size_t at = reg.find(from); at != std::string::npos; at = reg.find(from, at)) {
        reg.replace(at, from.size(), "Netzwerkadapter f\xFCr B\xFCro");
    }
    std::ofstream(image / "system.reg", std::ios::binary | std::ios::trunc) << reg;
    struct Case {
        const char* env;
        const char* line;
    };
    for (const Case& c : {Case{"LANG=C.UTF-8", "'Netzwerkadapter für Büro' has been installed"},
                          Case{"LANG=C", "'Netzwerkadapter f?r B?ro' has been installed"}}) {
        SCOPED_TRACE(c.env);
        Terminal t{c.env, image.string()};
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.waitFor("[  Detect  ]")) << t.last();
        t.keys({"Escape"});
        EXPECT_EQ(t.exitStatus(), 0) << t.last();
        ASSERT_TRUE(
            t.waitFor(std::string(c.line) + " '2' times on this system.\n", true, false, true))
            << t.last();
    }
}

TEST(ProgramInTmux, DefaultWorkingCopyChangedByAnEarlierRun) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed";
    const std::string notice =
        "Machine image changed by an earlier run; --reset-machine restores it";
    const fs::path copy = ".local/state/quorvane-uninstall/machine";
    // A fresh working copy: nothing below the dialog.
    {
        Launch fresh;
        fresh.image = "";
        Terminal t{fresh};
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.waitFor("[  Detect  ]")) << t.last();
        EXPECT_EQ(t.last().find("Machine image"), std::string::npos) << t.last();
        t.keys({"Escape"});
        EXPECT_EQ(t.exitStatus(), 0);
        ASSERT_TRUE(t.waitFor("Machine image: " + (t.home() / copy).string() +
                                  " (working copy of the built-in image)\n",
                              true, false, true))
            << t.last();
    }
    // One an earlier run uninstalled from: the start-up says so.
    Launch changed;
    changed.image = "";
    changed.rows = 26;  // a row to spare below the dialog
    changed.prepare = [&copy](const fs::path& home) {
        fs::create_directories((home / copy).parent_path());
        fs::copy(fs::path(QU_SOURCE_DIR) / "machines/xp", home / copy, fs::copy_options::recursive);
        fs::remove(home / copy / "drive_c/WINDOWS/Inf/oem7.inf");
    };
    Terminal t{changed};
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitFor(notice)) << t.last();
    t.keys({"Escape"});
    EXPECT_EQ(t.exitStatus(), 0);
    ASSERT_TRUE(t.waitFor("Machine image: " + (t.home() / copy).string() +
                              " (working copy of the built-in image, changed by an earlier run)\n",
                          true, false, true))
        << t.last();
    EXPECT_EQ(t.errors(), "");
}

}  // namespace
