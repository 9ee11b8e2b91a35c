// The program's switches for deployment scripts, run through the
// application object as the exe runs them: the unattended Uninstall and its
// exit codes, the log, a second run, and bad switches.
#include "dialog/command_line.h"
#include "dialog/uninstall_app.h"
#include "tests/dialog/dialog_fixture.h"
#include "tests/support/reg_text.h"
#include "winsim/machine.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using namespace qu_test;

namespace {

const char kXpAdapter[] = "Quorvane USB 2.0 Network Adapter";
const char kMeAdapter[] = "Quorvane USB Network Adapter";
const char kTempLog[] = "C:\\WINDOWS\\QuorvaneUninstall.log";

// A catalogue text as a log line shows it: without its line ending.
std::string line(UINT id, const std::string& name = "", unsigned count = 0) {
    std::string text = message(id, name, count);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string localStamp(std::time_t at) {
    std::tm local{};
    localtime_r(&at, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return stamp;
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

    // A fresh window system whose input and text changes are watched: the
    // dialog of an unattended run never asks for input, and nothing of it
    // is ever on screen.
    void watch() {
        winsim::ui::resetWindowSystem();
        input = ScriptedInput();
        input.add([this](HWND) { askedForInput = true; });
        winsim::ui::setInputDriver(&input);
        winsim::ui::setIdleObserver([] { return winsim::commit(); });
        winsim::ui::setTextObserver([this](HWND window, const std::string&, const std::string&) {
            HWND dialog = GetParent(window) != nullptr ? GetParent(window) : window;
            if (IsWindowVisible(dialog)) shownWhileWorking = true;
        });
        askedForInput = shownWhileWorking = false;
    }

    // Runs the program with these arguments; returns its exit status.
    int run(const std::string& arguments) {
        winsim::setCommandLine("\"C:\\Program Files\\QuorvaneUninstall.exe\" " + arguments);
        return theApp.run(GetModuleHandleA(nullptr));
    }

    // The lines of a log file on the C: drive, each with its time stamp
    // checked against the clock and taken off.
    std::vector<std::string> logLines(const std::string& cPath, std::time_t from) {
        std::ifstream file(winsim::hostPath(cPath), std::ios::binary);
        std::stringstream bytes;
        bytes << file.rdbuf();
        const std::string text = bytes.str();
        std::vector<std::string> lines;
        const std::string earliest = localStamp(from);
        const std::string latest = localStamp(std::time(nullptr));
        const std::regex shape("(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) ([^\r\n]*)");
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t end = text.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "a line without CR LF at its end";
            const std::string one = text.substr(at, end - at);
            std::smatch parts;
            if (!std::regex_match(one, parts, shape)) {
                ADD_FAILURE() << "not a log line: " << one;
            } else {
                EXPECT_GE(parts[1].str(), earliest);
                EXPECT_LE(parts[1].str(), latest);
                lines.push_back(parts[2]);
            }
            if (end == std::string::npos) break;
            at = end + 2;
        }
        return lines;
    }

    bool askedForInput = false;
    bool shownWhileWorking = false;
};

TEST_F(UnattendedTest, UninstallsAsTheButtonDoesAndTheWorstOutcomeSetsTheCode) {
    struct Case {
        const char* name;
        const char* image;
        const char* faults;  // machine.ini text
        const char* arguments;
        int code;
        std::vector<std::string> log;
        bool removed;
        bool restart;
    };
    const std::vector<std::string> xpFound = {
        line(IDS_NT_FAMILY_DETECTED), line(IDS_INSTALLED_TIMES, kXpAdapter, 2),
        line(IDS_CLICK_UNINSTALL, kXpAdapter), line(IDS_UNINSTALLING, kXpAdapter)};
    const std::vector<std::string> meFound = {
        line(IDS_WIN9X_FAMILY_DETECTED), line(IDS_INSTALLED_ONCE, kMeAdapter),
        line(IDS_CLICK_UNINSTALL, kMeAdapter), line(IDS_UNINSTALLING, kMeAdapter)};
    const std::vector<std::string> meRemoved = {line(IDS_UNINSTALLED_ONE, kMeAdapter),
                                                line(IDS_RESTART_REQUIRED)};
    auto plus = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        {"2000/XP, removed", "xp", "", "/quiet", kExitSuccess,
         plus(xpFound, {line(IDS_UNINSTALLED_ALL, kXpAdapter, 2)}), true, false},
        {"98/ME, removed: a restart is needed", "me", "", "/S", kExitRestartNeeded,
         plus(meFound, meRemoved), true, false},
        {"98/ME, removed, restarted", "me", "", "-q /RESTART", kExitSuccess,
         plus(meFound, meRemoved), true, true},
        {"removal refused: not plugged in", "xp", "[faults]\r\npropertychange = refuse\r\n", "/q",
         kExitFailed, plus(xpFound, {line(IDS_NOT_PLUGGED_IN, kXpAdapter)}), false, false},
        {"removal failed, no restart asked for", "me", "[faults]\r\nremove = fail\r\n",
         "/q /restart", kExitFailed, plus(meFound, {line(IDS_CANNOT_UNINSTALL, kMeAdapter)}), false,
         false},
        {"no device",
         "xp-empty",
         "",
         "/quiet",
         kExitSuccess,
         {line(IDS_NT_FAMILY_DETECTED), line(IDS_NO_DEVICE_NT)},
         false,
         false},
        {"no Windows version",
         "xp",
         "[faults]\r\nversion = fail\r\n",
         "/quiet",
         kExitFailed,
         {line(IDS_VERSION_UNKNOWN)},
         false,
         false},
        {"no Windows directory",
         "me",
         "[faults]\r\nwindows = fail\r\n",
         "/quiet",
         kExitFailed,
         {line(IDS_WIN9X_FAMILY_DETECTED), line(IDS_WINDOWS_DIR_MISSING), line(IDS_NO_DEVICE_9X)},
         false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        watch();
        ImageCopy image(c.image);
        image.appendIni(c.faults);
        image.load();
        const std::string enumKey = std::string(c.image) == "me"
                                        ? "Enum\\USB\\VID_F3A7&PID_0021"
                                        : "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053";
        const bool hadDevice = winsim::keyExists(enumKey);
        const std::time_t started = std::time(nullptr);

        EXPECT_EQ(run(c.arguments), c.code);
        EXPECT_EQ(logLines(kTempLog, started), c.log);
        EXPECT_EQ(hadDevice && !winsim::keyExists(enumKey), c.removed);
        EXPECT_EQ(winsim::restartRequested(), c.restart);
        EXPECT_FALSE(askedForInput);
        EXPECT_FALSE(shownWhileWorking);
        EXPECT_TRUE(winsim::ui::messageBoxes().empty());
        EXPECT_EQ(winsim::openKeyHandles(), 0u);
        EXPECT_EQ(winsim::openDeviceSets(), 0u);
    }
}

TEST_F(UnattendedTest, EveryDeviceInSlotOrderAndASecondRunIsHarmless) {
    // Two adapters (slots 0 and 1); the removal of the first one fails.
    TempImage image;
    NtAdapter first;
    first.pid = "0021";
    first.description = "Quorvane USB Network Adapter";
    first.instance = "6&2a&0&2";
    first.classIndex = 3;
    first.service = "kestrelq";
    NtAdapter second;
    image.reg(ntAdapterReg(first) + ntAdapterReg(second));
    addNtAdapterFiles(image, first);
    addNtAdapterFiles(image, second);
    image.load();
    winsim::refuseCall("SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 2);  // the first DIF_REMOVE
    std::time_t started = std::time(nullptr);

    EXPECT_EQ(run("/quiet /log C:\\run.log"), kExitFailed);
    const std::vector<std::string> firstRun = {line(IDS_NT_FAMILY_DETECTED),
                                               line(IDS_INSTALLED_ONCE, first.description),
                                               line(IDS_INSTALLED_ONCE, second.description),
                                               line(IDS_SELECT_DEVICE),
                                               line(IDS_UNINSTALLING, first.description),
                                               line(IDS_CANNOT_UNINSTALL, first.description),
                                               line(IDS_UNINSTALLING, second.description),
                                               line(IDS_UNINSTALLED_ONE, second.description)};
    EXPECT_EQ(logLines("C:\\run.log", started), firstRun);
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image.exists(kTempLog));  // /log names the only log
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\Inf\\oem3.inf"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\Inf\\oem7.inf"));

    // The second run finds the first adapter only, fails again and changes
    // nothing; the log grows.
    winsim::clearRefusals();
    winsim::refuseCall("SetupDiCallClassInstaller", ERROR_GEN_FAILURE, 2);
    const std::string registry = winsim::exportRegistry();
    started = std::time(nullptr);
    EXPECT_EQ(run("/quiet /log C:\\run.log"), kExitFailed);
    std::vector<std::string> both = firstRun;
    for (const std::string& text :
         {line(IDS_NT_FAMILY_DETECTED), line(IDS_INSTALLED_ONCE, first.description),
          line(IDS_CLICK_UNINSTALL, first.description), line(IDS_UNINSTALLING, first.description),
          line(IDS_CANNOT_UNINSTALL, first.description)}) {
        both.push_back(text);
    }
    EXPECT_EQ(logLines("C:\\run.log", started - 60), both);
    EXPECT_EQ(winsim::exportRegistry(), registry);
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\Inf\\oem3.inf"));

    // Once it can go, it goes; the run after that finds nothing: 0.
    winsim::clearRefusals();
    EXPECT_EQ(run("/quiet"), kExitSuccess);
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\Inf\\oem3.inf"));
    const std::string removed = winsim::exportRegistry();
    started = std::time(nullptr);
    EXPECT_EQ(run("/quiet"), kExitSuccess);
    EXPECT_EQ(winsim::exportRegistry(), removed);
    const std::vector<std::string> temp = logLines(kTempLog, started - 60);
    ASSERT_GE(temp.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(temp.end() - 2, temp.end()),
              (std::vector<std::string>{line(IDS_NT_FAMILY_DETECTED), line(IDS_NO_DEVICE_NT)}));
    EXPECT_FALSE(shownWhileWorking);
}

TEST_F(UnattendedTest, BadSwitchesAndHelpChangeNothing) {
    struct Case {
        const char* arguments;
        int code;
        const char* boxStart;  // null: no message box
    };
    const Case cases[] = {
        {"/bogus", kExitBadSwitch, "Unknown switch: /bogus\r\n\r\n/quiet, /q, /S: "},
        {"/quiet /bogus", kExitBadSwitch, nullptr},
        {"-x /Q", kExitBadSwitch, nullptr},
        {"/restart /LOG", kExitBadSwitch, "/LOG needs a file name.\r\n\r\n/quiet, /q, /S: "},
        {"/q /log", kExitBadSwitch, nullptr},
        {"/?", kExitSuccess, "/quiet, /q, /S: "},
        {"/? /quiet", kExitSuccess, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        watch();
        ImageCopy xp("xp");
        xp.load();
        const std::string registry = winsim::exportRegistry();
        winsim::resetCallCounts();

        EXPECT_EQ(run(c.arguments), c.code);
        const auto& boxes = winsim::ui::messageBoxes();
        EXPECT_EQ(boxes.size(), c.boxStart != nullptr ? 1u : 0u);
        if (c.boxStart != nullptr && boxes.size() == 1) {
            EXPECT_EQ(boxes[0].text.rfind(c.boxStart, 0), 0u) << boxes[0].text;
            EXPECT_EQ(boxes[0].caption, "QuorvaneUninstall");
            EXPECT_EQ(boxes[0].type,
                      c.code == kExitSuccess ? MB_OK | MB_ICONINFORMATION : MB_OK | MB_ICONERROR);
        }
        // No dialog (its start-up reads the version), no log.
        EXPECT_EQ(winsim::callCount("GetVersionExA") + winsim::callCount("CreateFileA"), 0u);
        EXPECT_FALSE(askedForInput);
        EXPECT_EQ(winsim::exportRegistry(), registry);
    }
}

TEST_F(UnattendedTest, LogOfTheDialogAndALogThatCannotBeWritten) {
    ImageCopy xp("xp");
    xp.load();
    // With the dialog on screen: every status text, as the operator works it.
    std::filesystem::create_directories(xp.dir() + "/drive_c/my logs");
    input = ScriptedInput();
    input.add([](HWND dialog) { EXPECT_TRUE(winsim::ui::clickButton(dialog, IDOK)); });
    const std::time_t started = std::time(nullptr);
    EXPECT_EQ(run("/log \"C:\\My Logs\\run.log\""), kExitSuccess);
    EXPECT_EQ(logLines("C:\\my logs\\run.log", started),
              (std::vector<std::string>{
                  line(IDS_NT_FAMILY_DETECTED), line(IDS_INSTALLED_TIMES, kXpAdapter, 2),
                  line(IDS_CLICK_UNINSTALL, kXpAdapter), line(IDS_UNINSTALLING, kXpAdapter),
                  line(IDS_UNINSTALLED_ALL, kXpAdapter, 2)}));
    EXPECT_FALSE(winsim::keyExists("System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053"));

    // A folder that does not exist: the lines are lost, the run goes on.
    ImageCopy me("me");
    me.load();
    EXPECT_EQ(run("/quiet /log C:\\missing\\run.log"), kExitRestartNeeded);
    EXPECT_FALSE(winsim::keyExists("Enum\\USB\\VID_F3A7&PID_0021"));
    EXPECT_FALSE(std::filesystem::exists(winsim::hostPath("C:\\missing")));
}

}  // namespace
