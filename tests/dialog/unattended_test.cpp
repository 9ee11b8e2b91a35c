// The program's switches for deployment scripts, run through the
// application object as the exe runs them: the unattended Uninstall and its
// exit codes, the log, a second run, and bad switches.
#include "dialog/command_line.h"
#include "dialog/uninstall_app.h"
#include "tests/dialog/dialog_fixture.h"
#include "winsim/machine.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>

using namespace qu_test;
using Lines = std::vector<std::string>;

namespace {

const char kXp[] = "Quorvane USB 2.0 Network Adapter";
const char kMe[] = "Quorvane USB Network Adapter";
const char kTempLog[] = "C:\\WINDOWS\\QuorvaneUninstall.log";

// A catalogue text as a log line shows it: without its line ending.
std::string line(UINT id, const std::string& name = "", unsigned count = 0) {
    std::string text = message(id, name, count);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string stamp(std::time_t at) {
    std::tm local{};
    localtime_r(&at, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// The texts of a log file on the C: drive; each line's time stamp is checked
// to lie between `from` and now.
Lines logLines(const std::string& cPath, std::time_t from) {
    const std::string text = readHostFile(winsim::hostPath(cPath));
    const std::regex shape("(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) ([^\r\n]*)\r\n");
    Lines lines;
    const std::string earliest = stamp(from), latest = stamp(std::time(nullptr));
    std::smatch parts;
    for (auto at = text.cbegin(); at != text.cend(); at = parts[0].second) {
        if (!std::regex_search(at, text.cend(), parts, shape) || parts.prefix().length() != 0) {
            ADD_FAILURE() << "not a log line at: " << std::string(at, text.cend());
            break;
        }
        EXPECT_TRUE(parts[1].str() >= earliest && parts[1].str() <= latest) << parts[1];
        lines.push_back(parts[2]);
    }
    return lines;
}

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class UnattendedTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        watch();
    }
    void TearDown() override {
        winsim::setCommandLine("PROGRAM.EXE");
        DialogTest::TearDown();
    }

    // A fresh window system that notes any request for input and any
    // status text written while the dialog is visible.
    void watch() {
        winsim::ui::resetWindowSystem();
        input = ScriptedInput();
        input.add([this](HWND) { askedForInput = true; });
        winsim::ui::setInputDriver(&input);
        winsim::ui::setIdleObserver([] { return winsim::commit(); });
        winsim::ui::setTextObserver([this](HWND window, const std::string&, const std::string&) {
            if (IsWindowVisible(GetParent(window))) shownWhileWorking = true;
        });
        askedForInput = shownWhileWorking = false;
    }

    int run(const std::string& arguments) {
        winsim::setCommandLine("\"C:\\Program Files\\QuorvaneUninstall.exe\" " + arguments);
        return theApp.run(GetModuleHandleA(nullptr));
    }

    bool askedForInput = false;
    bool shownWhileWorking = false;
};

TEST_F(UnattendedTest, UninstallsAsTheButtonDoesAndTheWorstOutcomeSetsTheCode) {
    const Lines xp = {line(IDS_NT_FAMILY_DETECTED), line(IDS_INSTALLED_TIMES, kXp, 2),
                      line(IDS_CLICK_UNINSTALL, kXp), line(IDS_UNINSTALLING, kXp)};
    const Lines me = {line(IDS_WIN9X_FAMILY_DETECTED), line(IDS_INSTALLED_ONCE, kMe),
                      line(IDS_CLICK_UNINSTALL, kMe), line(IDS_UNINSTALLING, kMe)};
    const Lines meRemoved = me + Lines{line(IDS_UNINSTALLED_ONE, kMe), line(IDS_RESTART_REQUIRED)};
    struct Case {
        const char *image, *faults, *arguments;
        int code;
        bool removed, restart;
        Lines log;
    };
    const Case cases[] = {
        {"xp", "", "/quiet", kExitSuccess, true, false,
         xp + Lines{line(IDS_UNINSTALLED_ALL, kXp, 2)}},
        {"me", "", "/S", kExitRestartNeeded, true, false, meRemoved},
        {"me", "", "-q /RESTART", kExitSuccess, true, true, meRemoved},
        {"xp", "propertychange = refuse", "/q", kExitFailed, false, false,
         xp + Lines{line(IDS_NOT_PLUGGED_IN, kXp)}},
        {"me", "remove = fail", "/q /restart", kExitFailed, false, false,
         me + Lines{line(IDS_CANNOT_UNINSTALL, kMe)}},
        {"xp-empty", "", "/quiet", kExitSuccess, false, false,
         Lines{line(IDS_NT_FAMILY_DETECTED), line(IDS_NO_DEVICE_NT)}},
        {"xp", "version = fail", "/quiet", kExitFailed, false, false,
         Lines{line(IDS_VERSION_UNKNOWN)}},
        {"me", "windows = fail", "/quiet", kExitFailed, false, false,
         Lines{line(IDS_WIN9X_FAMILY_DETECTED), line(IDS_WINDOWS_DIR_MISSING),
               line(IDS_NO_DEVICE_9X)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.image) + " " + c.faults + " " + c.arguments);
        watch();
        ImageCopy image(c.image);
        image.appendIni(std::string("[faults]\r\n") + c.faults + "\r\n");
        image.load();
        const std::string device = std::string(c.image) == "me"
                                       ? "Enum\\USB\\VID_F3A7&PID_0021"
                                       : "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053";
        const bool hadDevice = winsim::keyExists(device);
        const std::time_t started = std::time(nullptr);

        EXPECT_EQ(run(c.arguments), c.code);
        EXPECT_EQ(logLines(kTempLog, started), c.log);
        EXPECT_EQ(hadDevice && !winsim::keyExists(device), c.removed);
        EXPECT_EQ(winsim::restartRequested(), c.restart);
        EXPECT_FALSE(askedForInput);
        EXPECT_FALSE(shownWhileWorking);
        EXPECT_TRUE(winsim::ui::messageBoxes().empty());
        EXPECT_EQ(winsim::openKeyHandles() + winsim::openDeviceSets(), 0u);
    }
}

TEST_F(UnattendedTest, EveryDeviceInSlotOrderAndASecondRunIsHarmless) {
    // Two adapters (slots 0 and 1); the removal of the first one fails.
    TempImage image;
    NtAdapter first;
    first.pid = "0021";
    first.description = kMe;
    first.instance = "6&2a&0&2";
    first.classIndex = 3;
    first.service = "kestrelq";
    NtAdapter second;
    image.reg(ntAdapterReg(first) + ntAdapterReg(second));
    addNtAdapterFiles(image, first);
    addNtAdapterFiles(image, second);
    image.load();
    const std::time_t started = std::time(nullptr);
    winsim::refuseCall("SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 2);  // the first DIF_REMOVE
    EXPECT_EQ(run("/quiet /log C:\\run.log"), kExitFailed);
    const Lines firstRun = {line(IDS_NT_FAMILY_DETECTED),  line(IDS_INSTALLED_ONCE, kMe),
                            line(IDS_INSTALLED_ONCE, kXp), line(IDS_SELECT_DEVICE),
                            line(IDS_UNINSTALLING, kMe),   line(IDS_CANNOT_UNINSTALL, kMe),
                            line(IDS_UNINSTALLING, kXp),   line(IDS_UNINSTALLED_ONE, kXp)};
    EXPECT_EQ(logLines("C:\\run.log", started), firstRun);
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image.exists(kTempLog));  // /log names the only log
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\Inf\\oem3.inf"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\Inf\\oem7.inf"));

    // Failing again, the second run changes nothing and the log grows.
    winsim::refuseCall("SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 2);
    const std::string registry = winsim::exportRegistry();
    EXPECT_EQ(run("/quiet /log C:\\run.log"), kExitFailed);
    EXPECT_EQ(logLines("C:\\run.log", started),
              (firstRun + Lines{line(IDS_NT_FAMILY_DETECTED), line(IDS_INSTALLED_ONCE, kMe),
                                line(IDS_CLICK_UNINSTALL, kMe), line(IDS_UNINSTALLING, kMe),
                                line(IDS_CANNOT_UNINSTALL, kMe)}));
    EXPECT_EQ(winsim::exportRegistry(), registry);

    // After a success a second run finds nothing to do: 0, nothing changed.
    winsim::clearRefusals();
    EXPECT_EQ(run("/quiet"), kExitSuccess);
    const std::string removed = winsim::exportRegistry();
    EXPECT_EQ(run("/quiet"), kExitSuccess);
    EXPECT_EQ(winsim::exportRegistry(), removed);
    const Lines temp = logLines(kTempLog, started);
    EXPECT_EQ(Lines(temp.end() - 2, temp.end()),
              (Lines{line(IDS_NT_FAMILY_DETECTED), line(IDS_NO_DEVICE_NT)}));
    EXPECT_FALSE(shownWhileWorking);
}

TEST_F(UnattendedTest, BadSwitchesAndHelpChangeNothing) {
    const struct {
        const char* arguments;
        int code;
        const char* boxStart;  // null: no message box
    } cases[] = {
        {"/bogus", kExitBadSwitch, "Unknown switch: /bogus\r\n\r\n/quiet, /q, /S: "},
        {"-x /Q", kExitBadSwitch, nullptr},
        {"/restart /LOG", kExitBadSwitch, "/LOG needs a file name.\r\n\r\n/quiet, /q, /S: "},
        {"/q /log", kExitBadSwitch, nullptr},
        {"/?", kExitSuccess, "/quiet, /q, /S: "},
        {"/? /quiet", kExitSuccess, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        watch();
        ImageCopy xp("xp");
        xp.load();
        const std::string registry = winsim::exportRegistry();
        winsim::resetCallCounts();

        EXPECT_EQ(run(c.arguments), c.code);
        const auto& boxes = winsim::ui::messageBoxes();
        ASSERT_EQ(boxes.size(), c.boxStart != nullptr ? 1u : 0u);
        if (c.boxStart != nullptr) {
            EXPECT_EQ(boxes[0].text.rfind(c.boxStart, 0), 0u) << boxes[0].text;
            EXPECT_EQ(boxes[0].caption, "QuorvaneUninstall");
            EXPECT_EQ(boxes[0].type,
                      MB_OK | (c.code == kExitSuccess ? MB_ICONINFORMATION : MB_ICONERROR));
        }
        // No dialog (its start-up reads the version), no log.
        EXPECT_EQ(winsim::callCount("GetVersionExA") + winsim::callCount("CreateFileA"), 0u);
        EXPECT_EQ(winsim::exportRegistry(), registry);
    }
}

TEST_F(UnattendedTest, LogOfTheDialogAndALogThatCannotBeWritten) {
    ImageCopy xp("xp");
    xp.load();
    // With the dialog on screen, every status text as the operator works it.
    std::filesystem::create_directories(xp.dir() + "/drive_c/my logs");
    input = ScriptedInput();
    input.add([](HWND dialog) { EXPECT_TRUE(winsim::ui::clickButton(dialog, IDOK)); });
    const std::time_t started = std::time(nullptr);
    EXPECT_EQ(run("/log \"C:\\My Logs\\run.log\""), kExitSuccess);
    EXPECT_EQ(logLines("C:\\my logs\\run.log", started),
              (Lines{line(IDS_NT_FAMILY_DETECTED), line(IDS_INSTALLED_TIMES, kXp, 2),
                     line(IDS_CLICK_UNINSTALL, kXp), line(IDS_UNINSTALLING, kXp),
                     line(IDS_UNINSTALLED_ALL, kXp, 2)}));

    // A folder that does not exist: the lines are lost, the run goes on.
    ImageCopy me("me");
    me.load();
    EXPECT_EQ(run("/quiet /log C:\\missing\\run.log"), kExitRestartNeeded);
    EXPECT_FALSE(winsim::keyExists("Enum\\USB\\VID_F3A7&PID_0021"));
    EXPECT_FALSE(std::filesystem::exists(me.dir() + "/drive_c/missing"));
}

}  // namespace
