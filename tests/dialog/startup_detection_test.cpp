// Start-up and detection of UninstallDialog on simulated machines.
#include "tests/dialog/dialog_fixture.h"
#include "winsim/machine.h"

#include <gtest/gtest.h>

using namespace qu_test;

namespace {

const char kAdapter[] = "Quorvane USB 2.0 Network Adapter";

struct Snapshot {
    std::string status;
    std::vector<std::string> devices;
    int selected = -2;
    bool uninstall = false;
    bool restart = true;
};

ScriptedInput::Step capture(Snapshot* snapshot) {
    return [snapshot](HWND dialog) {
        snapshot->status = statusText(dialog);
        snapshot->devices = deviceItems(dialog);
        snapshot->selected = selectedItem(dialog);
        snapshot->uninstall = isEnabled(dialog, IDOK);
        snapshot->restart = isEnabled(dialog, IDC_RESTART);
    };
}

ScriptedInput::Step click(int id) {
    return [id](HWND dialog) { ASSERT_TRUE(winsim::ui::clickButton(dialog, id)); };
}

}  // namespace

TEST_F(DialogTest, NtStartUpListsOneDeviceInstalledOnce) {
    TempImage image;
    NtAdapter device;
    image.reg(ntAdapterReg(device));
    addNtAdapterFiles(image, device);
    image.load();

    Snapshot atStart;
    input.add(capture(&atStart));
    EXPECT_EQ(runDialog(), IDCANCEL);  // script ended: closed as by the close box

    EXPECT_EQ(atStart.status, message(IDS_NT_FAMILY_DETECTED) +
                                  message(IDS_INSTALLED_ONCE, kAdapter) +
                                  message(IDS_CLICK_UNINSTALL, kAdapter));
    EXPECT_EQ(atStart.devices, std::vector<std::string>{kAdapter});
    EXPECT_EQ(atStart.selected, 0);
    EXPECT_TRUE(atStart.uninstall);
    EXPECT_FALSE(atStart.restart);
}

TEST_F(DialogTest, NtStartUpCountsInstallationsAndListsDevicesInSlotOrder) {
    // Slot 2 is added to the image before slot 0: the list follows the
    // catalogue, not the registry.
    TempImage image;
    NtAdapter slot2;
    slot2.pid = "0054";
    slot2.description = "Quorvane USB Network Adapter (slot 2)";
    slot2.classIndex = 9;
    slot2.service = "kestrely";
    NtAdapter slot0a;
    slot0a.pid = "0021";
    slot0a.description = "Quorvane USB 1.1 Adapter";
    slot0a.classIndex = 4;
    slot0a.service = "kestrel1";
    NtAdapter slot0b = slot0a;
    slot0b.instance = "5&aa&0&2";
    image.reg(ntAdapterReg(slot2) + ntAdapterReg(slot0a) + ntAdapterReg(slot0b));
    addNtAdapterFiles(image, slot2);
    addNtAdapterFiles(image, slot0a);
    image.load();

    Snapshot atStart;
    input.add(capture(&atStart));
    runDialog();

    EXPECT_EQ(atStart.status, message(IDS_NT_FAMILY_DETECTED) +
                                  message(IDS_INSTALLED_TIMES, slot0a.description, 2) +
                                  message(IDS_INSTALLED_ONCE, slot2.description) +
                                  message(IDS_SELECT_DEVICE));
    EXPECT_EQ(atStart.devices, (std::vector<std::string>{slot0a.description, slot2.description}));
    EXPECT_EQ(atStart.selected, 0);
    EXPECT_TRUE(atStart.uninstall);
    // IDS_INSTALLED_TIMES shows the count quoted, as the catalogue words it.
    EXPECT_NE(atStart.status.find("installed '2' times"), std::string::npos);
}

TEST_F(DialogTest, DeviceWhoseTracesAreGoneIsReportedAndNotListed) {
    TempImage image;
    NtAdapter gone;
    gone.withInstallTraces = false;
    image.reg(ntAdapterReg(gone));
    image.load();

    Snapshot atStart;
    input.add(capture(&atStart));
    runDialog();

    EXPECT_EQ(atStart.status, message(IDS_NT_FAMILY_DETECTED) +
                                  message(IDS_INSTALLATION_NOT_FOUND, kAdapter) +
                                  message(IDS_NO_DEVICE_NT));
    EXPECT_TRUE(atStart.devices.empty());
    EXPECT_EQ(atStart.selected, -1);
    EXPECT_FALSE(atStart.uninstall);
}

TEST_F(DialogTest, NineXStartUpAndEmptyMachine) {
    {
        SCOPED_TRACE("9x family, one device");
        ImageCopy me("me");
        me.load();
        Snapshot atStart;
        input.add(capture(&atStart));
        runDialog();
        const std::string name = "Quorvane USB Network Adapter";
        EXPECT_EQ(atStart.status, message(IDS_WIN9X_FAMILY_DETECTED) +
                                      message(IDS_INSTALLED_ONCE, name) +
                                      message(IDS_CLICK_UNINSTALL, name));
        EXPECT_EQ(atStart.devices, std::vector<std::string>{name});
        EXPECT_TRUE(atStart.uninstall);
    }
    {
        SCOPED_TRACE("NT family, no supported device");
        winsim::ui::resetWindowSystem();
        winsim::ui::setInputDriver(&input);
        ImageCopy empty("xp-empty");
        empty.load();
        Snapshot atStart;
        input.add(capture(&atStart));
        runDialog();
        EXPECT_EQ(atStart.status, message(IDS_NT_FAMILY_DETECTED) + message(IDS_NO_DEVICE_NT));
        EXPECT_TRUE(atStart.devices.empty());
        EXPECT_FALSE(atStart.uninstall);
    }
}

TEST_F(DialogTest, WindowsDirectoryUnavailable) {
    for (const char* platform : {"nt", "9x"}) {
        SCOPED_TRACE(platform);
        winsim::ui::resetWindowSystem();
        input = ScriptedInput();
        winsim::ui::setInputDriver(&input);
        TempImage image(platform, std::string(platform) == "nt" ? "5.1.2600" : "4.90.3000");
        NtAdapter device;
        image.reg(ntAdapterReg(device));
        addNtAdapterFiles(image, device);
        image.ini("[faults]\nwindows = fail\n");
        image.load();

        Snapshot atStart;
        input.add(capture(&atStart));
        runDialog();
        if (std::string(platform) == "nt") {
            EXPECT_EQ(atStart.status, message(IDS_NT_FAMILY_DETECTED) +
                                          message(IDS_WINDOWS_DIR_MISSING) +
                                          message(IDS_NO_DEVICE_NT));
        } else {
            EXPECT_EQ(atStart.status, message(IDS_WIN9X_FAMILY_DETECTED) +
                                          message(IDS_WINDOWS_DIR_MISSING) +
                                          message(IDS_NO_DEVICE_9X));
        }
        EXPECT_TRUE(atStart.devices.empty());
        EXPECT_FALSE(atStart.uninstall);
    }
}

TEST_F(DialogTest, WindowsDirectoryTooLongForItsBuffer) {
    // GetWindowsDirectoryA then returns the size it needs and fills nothing:
    // the run reports the directory as missing instead of using the buffer.
    std::string windows = "C:";
    for (int i = 0; i < 5; ++i) {
        windows += "\\" + std::string(60, 'W');
    }
    TempImage image("nt", "5.1.2600", windows);
    NtAdapter device;
    image.reg(ntAdapterReg(device));
    image.load();
    Snapshot atStart;
    input.add(capture(&atStart));
    runDialog();
    EXPECT_EQ(atStart.status, message(IDS_NT_FAMILY_DETECTED) + message(IDS_WINDOWS_DIR_MISSING) +
                                  message(IDS_NO_DEVICE_NT));
    EXPECT_FALSE(atStart.uninstall);
}

TEST_F(DialogTest, VersionUnreadableThenDetect) {
    TempImage image;
    NtAdapter device;
    image.reg(ntAdapterReg(device));
    addNtAdapterFiles(image, device);
    image.ini("[faults]\nversion = fail\n");
    image.load();

    Snapshot atStart, afterDetect;
    input.add(capture(&atStart));
    input.add(click(IDC_DETECT));
    input.add(capture(&afterDetect));
    runDialog();

    // No detection at start-up; IDS_VERSION_UNKNOWN has no line ending, so the next message
    // continues its line. Detect runs with the family unknown: the device is
    // probed but never listed.
    EXPECT_EQ(atStart.status, message(IDS_VERSION_UNKNOWN));
    EXPECT_FALSE(atStart.uninstall);
    EXPECT_EQ(afterDetect.status, message(IDS_VERSION_UNKNOWN) + message(IDS_NO_DEVICE_9X));
    EXPECT_TRUE(afterDetect.devices.empty());
    EXPECT_FALSE(afterDetect.uninstall);
}

TEST_F(DialogTest, DetectAppendsAndFollowsTheMachine) {
    ImageCopy xp("xp");
    xp.load();

    Snapshot first, second, third;
    input.add(capture(&first));
    input.add(click(IDC_DETECT));
    input.add(capture(&second));
    // The device's enumeration keys go away (unplugged and cleaned up
    // elsewhere): the next run finds nothing.
    input.add([](HWND) {
        ASSERT_TRUE(winsim::deleteTree("System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_0053"));
    });
    input.add(click(IDC_DETECT));
    input.add(capture(&third));
    runDialog();

    const std::string run =
        message(IDS_INSTALLED_TIMES, kAdapter, 2) + message(IDS_CLICK_UNINSTALL, kAdapter);
    EXPECT_EQ(first.status, message(IDS_NT_FAMILY_DETECTED) + run);
    EXPECT_EQ(second.status, message(IDS_NT_FAMILY_DETECTED) + run + run);
    EXPECT_EQ(second.devices, std::vector<std::string>{kAdapter});
    EXPECT_EQ(third.status,
              message(IDS_NT_FAMILY_DETECTED) + run + run + message(IDS_NO_DEVICE_NT));
    EXPECT_TRUE(third.devices.empty());
    EXPECT_EQ(third.selected, -1);
    EXPECT_FALSE(third.uninstall);
}

TEST_F(DialogTest, StatusPaneKeepsItsEndInView) {
    ImageCopy xp("xp");
    xp.load();
    winsim::ui::ControlInfo pane;
    for (int i = 0; i < 8; ++i) {
        input.add(click(IDC_DETECT));
    }
    input.add([&pane](HWND dialog) {
        ASSERT_TRUE(winsim::ui::describeControl(GetDlgItem(dialog, IDC_STATUS), &pane));
    });
    runDialog();
    ASSERT_GT(pane.lines.size(), static_cast<std::size_t>(pane.visibleLines));
    EXPECT_GT(pane.firstVisibleLine, 0);
    EXPECT_GE(pane.firstVisibleLine + pane.visibleLines, static_cast<int>(pane.lines.size()) - 1);
}
