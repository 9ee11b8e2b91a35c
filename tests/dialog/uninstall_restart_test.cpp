// Uninstall and restart on UninstallDialog: the two phases, every removal
// outcome, and what each leaves on the machine.
#include "tests/dialog/dialog_fixture.h"
#include "winsim/machine.h"

#include <fstream>

#include <gtest/gtest.h>

using namespace qu_test;

namespace {

const char kAdapter[] = "Quorvane USB 2.0 Network Adapter";
const char kEnumKey[] = "System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053";

ScriptedInput::Step click(int id, bool expectTaken = true) {
    return [id, expectTaken](HWND dialog) {
        EXPECT_EQ(winsim::ui::clickButton(dialog, id), expectTaken) << "button " << id;
    };
}

}  // namespace

TEST_F(DialogTest, NtUninstallRunsInTwoPhasesAndRemovesEveryInstallation) {
    ImageCopy xp("xp");
    xp.load();
    const std::string before = message(IDS_NT_FAMILY_DETECTED) +
                               message(IDS_INSTALLED_TIMES, kAdapter, 2) +
                               message(IDS_CLICK_UNINSTALL, kAdapter);

    // At the repaint that opens the first phase, IDS_UNINSTALLING is in the pane
    // and nothing has been removed yet.
    std::string statusAtRepaint;
    bool deviceAtRepaint = false;
    HWND pane = nullptr;
    winsim::ui::setRepaintObserver([&](HWND window) {
        if (GetDlgCtrlID(window) == IDC_STATUS && pane == nullptr) {
            pane = window;
            statusAtRepaint = statusText(GetParent(window));
            deviceAtRepaint = winsim::keyExists(kEnumKey);
        }
    });

    std::string after;
    bool uninstallAfter = true, restartAfter = true;
    std::vector<std::string> devicesAfter;
    // Both phases (the second one posted by the first) end in one commit,
    // made when the dialog is at rest again.
    int commits = 0;
    bool filesGoneAtNextInput = false;
    winsim::setCommitStepHook([&](int, const char* what) {
        // system.reg is replaced once per commit (exchanged, or renamed over).
        if (std::string(what) == "exchange" || std::string(what) == "rename") ++commits;
    });
    input.add(click(IDOK));
    input.add([&](HWND dialog) {
        after = statusText(dialog);
        uninstallAfter = isEnabled(dialog, IDOK);
        restartAfter = isEnabled(dialog, IDC_RESTART);
        devicesAfter = deviceItems(dialog);
        filesGoneAtNextInput =
            !std::ifstream(winsim::hostPath("C:\\WINDOWS\\Inf\\oem7.inf")).good();
    });
    runDialog();
    winsim::setCommitStepHook(nullptr);
    EXPECT_EQ(commits, 1);
    EXPECT_TRUE(filesGoneAtNextInput);

    ASSERT_NE(pane, nullptr) << "the status pane was not repainted before the removal";
    EXPECT_EQ(statusAtRepaint, before + message(IDS_UNINSTALLING, kAdapter));
    EXPECT_TRUE(deviceAtRepaint);

    EXPECT_EQ(after, before + message(IDS_UNINSTALLING, kAdapter) +
                         message(IDS_UNINSTALLED_ALL, kAdapter, 2));
    EXPECT_FALSE(uninstallAfter);
    EXPECT_FALSE(restartAfter);                                   // NT family: no restart needed
    EXPECT_EQ(devicesAfter, std::vector<std::string>{kAdapter});  // until the next Detect
    EXPECT_FALSE(winsim::keyExists(kEnumKey));
    EXPECT_FALSE(std::ifstream(winsim::hostPath("C:\\WINDOWS\\Inf\\oem7.inf")).good());
    EXPECT_FALSE(std::ifstream(winsim::hostPath("C:\\WINDOWS\\Inf\\oem7.PNF")).good());
    // The device has a lower filter: its image is the driver file.
    EXPECT_FALSE(
        std::ifstream(winsim::hostPath("C:\\WINDOWS\\system32\\DRIVERS\\kestrelf.sys")).good());
    EXPECT_TRUE(std::ifstream(winsim::hostPath("C:\\WINDOWS\\Inf\\oem3.inf")).good());
    EXPECT_FALSE(
        winsim::keyExists("System\\CurrentControlSet\\Services\\Eventlog\\System\\kestrelx"));
    EXPECT_FALSE(
        winsim::keyExists("System\\CurrentControlSet\\Services\\Eventlog\\System\\kestrelf"));
    EXPECT_FALSE(winsim::restartRequested());
}

TEST_F(DialogTest, FailedRemovalsAreReportedAndKeepUninstallEnabled) {
    struct Case {
        const char* name;
        const char* faults;  // machine.ini text
        bool unplugBeforeUninstall;
        UINT expected;
    };
    const Case cases[] = {
        {"device gone since detection", "", true, IDS_NOT_PLUGGED_IN},
        {"enable refused", "[faults]\r\npropertychange = refuse\r\n", false, IDS_NOT_PLUGGED_IN},
        {"class installer fails the removal", "[faults]\r\nremove = fail\r\n", false,
         IDS_CANNOT_UNINSTALL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        winsim::ui::resetWindowSystem();
        input = ScriptedInput();
        winsim::ui::setInputDriver(&input);
        ImageCopy xp("xp");
        xp.appendIni(c.faults);
        xp.load();
        const std::string before = message(IDS_NT_FAMILY_DETECTED) +
                                   message(IDS_INSTALLED_TIMES, kAdapter, 2) +
                                   message(IDS_CLICK_UNINSTALL, kAdapter);

        std::string after;
        bool uninstallAfter = false;
        if (c.unplugBeforeUninstall) {
            input.add([](HWND) { ASSERT_TRUE(winsim::deleteTree(kEnumKey)); });
        }
        input.add(click(IDOK));
        input.add([&](HWND dialog) {
            after = statusText(dialog);
            uninstallAfter = isEnabled(dialog, IDOK);
        });
        runDialog();

        EXPECT_EQ(after,
                  before + message(IDS_UNINSTALLING, kAdapter) + message(c.expected, kAdapter));
        EXPECT_TRUE(uninstallAfter);
        // Nothing of the installation was deleted by the program.
        EXPECT_TRUE(std::ifstream(winsim::hostPath("C:\\WINDOWS\\Inf\\oem7.inf")).good());
        EXPECT_TRUE(
            std::ifstream(winsim::hostPath("C:\\WINDOWS\\system32\\DRIVERS\\kestrelx.sys")).good());
        EXPECT_TRUE(
            winsim::keyExists("System\\CurrentControlSet\\Services\\Eventlog\\System\\kestrelx"));
    }
}

TEST_F(DialogTest, UninstallWithoutSelectionOrStrayCommandDoesNothing) {
    ImageCopy xp("xp");
    xp.load();
    std::string atStart, afterClick, afterStray;
    input.add([&](HWND dialog) {
        atStart = statusText(dialog);
        winsim::resetCallCounts();
        // A selection can be cleared by the program only; the button stays enabled.
        SendMessageA(GetDlgItem(dialog, IDC_DEVICE_LIST), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    });
    input.add(click(IDOK));
    input.add([&](HWND dialog) {
        afterClick = statusText(dialog);
        // The hidden button's command without an Uninstall before it.
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_DUMMY, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_DUMMY)));
    });
    input.add([&](HWND dialog) { afterStray = statusText(dialog); });
    runDialog();

    EXPECT_EQ(afterClick, atStart);
    EXPECT_EQ(afterStray, atStart);
    EXPECT_EQ(winsim::callCount("SetupDiCallClassInstaller"), 0u);
    EXPECT_TRUE(winsim::keyExists(kEnumKey));
}

TEST_F(DialogTest, NineXUninstallEnablesRestart) {
    ImageCopy me("me");
    me.load();
    const std::string name = "Quorvane USB Network Adapter";
    const std::string before = message(IDS_WIN9X_FAMILY_DETECTED) +
                               message(IDS_INSTALLED_ONCE, name) +
                               message(IDS_CLICK_UNINSTALL, name);

    std::string after;
    bool uninstallAfter = true, restartBefore = true, restartAfter = false;
    input.add([&](HWND dialog) { restartBefore = isEnabled(dialog, IDC_RESTART); });
    input.add(click(IDC_RESTART, false));  // disabled: the click is ignored
    input.add(click(IDOK));
    input.add([&](HWND dialog) {
        after = statusText(dialog);
        uninstallAfter = isEnabled(dialog, IDOK);
        restartAfter = isEnabled(dialog, IDC_RESTART);
        EXPECT_FALSE(winsim::restartRequested());
    });
    input.add(click(IDC_RESTART));
    runDialog();

    EXPECT_FALSE(restartBefore);
    EXPECT_EQ(after, before + message(IDS_UNINSTALLING, name) + message(IDS_UNINSTALLED_ONE, name) +
                         message(IDS_RESTART_REQUIRED));
    EXPECT_FALSE(uninstallAfter);
    EXPECT_TRUE(restartAfter);
    EXPECT_TRUE(winsim::restartRequested());
    EXPECT_FALSE(winsim::keyExists("Enum\\USB\\VID_F3A7&PID_0021"));
}
