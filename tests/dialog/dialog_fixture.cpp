#include "tests/dialog/dialog_fixture.h"

#include "dialog/uninstall_dialog.h"
#include "tests/support/reg_text.h"
#include "host/program_setup.h"
#include "winsim/machine.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace qu_test {

bool ScriptedInput::waitForInput() {
    if (next_ >= steps_.size()) {
        return false;
    }
    HWND active = winsim::ui::activeDialog();
    steps_[next_++](active);
    return true;
}

std::string statusText(HWND dialog) {
    char buffer[16384];
    const int length = GetWindowTextA(GetDlgItem(dialog, IDC_STATUS), buffer, sizeof buffer);
    return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

std::vector<std::string> deviceItems(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_DEVICE_LIST);
    std::vector<std::string> items;
    const LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char buffer[512] = {};
        SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        items.emplace_back(buffer);
    }
    return items;
}

int selectedItem(HWND dialog) {
    return static_cast<int>(SendMessageA(GetDlgItem(dialog, IDC_DEVICE_LIST), CB_GETCURSEL, 0, 0));
}

bool isEnabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

std::string message(UINT id, const std::string& name, unsigned count) {
    std::string format;
    if (!winsim::ui::stringResource(id, &format)) {
        throw std::runtime_error("no string " + std::to_string(id));
    }
    char buffer[2048];
    // Argument order of each message as the dialog passes it.
    if (id == IDS_INSTALLED_TIMES) {
        std::snprintf(buffer, sizeof buffer, format.c_str(), name.c_str(), count);
    } else if (id == IDS_UNINSTALLED_ALL) {
        std::snprintf(buffer, sizeof buffer, format.c_str(), count, name.c_str());
    } else {
        std::snprintf(buffer, sizeof buffer, format.c_str(), name.c_str(), name.c_str());
    }
    return buffer;
}

std::string ntAdapterReg(const NtAdapter& d) {
    const std::string hw = "USB\\Vid_f3a7&Pid_" + d.pid;
    const std::string index =
        std::string(d.classIndex < 10 ? "000" : "00") + std::to_string(d.classIndex);
    NtDevice device;
    device.instance = "USB\\VID_F3A7&PID_" + d.pid + "\\" + d.instance;
    device.desc = d.description;
    device.hardwareIds = {hw + "&Rev_0100", hw};
    device.service = d.service;
    device.driver = std::string(kNetGuid) + "\\" + index;
    if (!d.lowerFilter.empty()) device.lowerFilters = {d.lowerFilter};
    RegText reg;
    addNtDevice(reg, device);

    const std::string ccs = kCcs;
    reg.key(ccs + "Control\\Class\\" + kNetGuid + "\\" + index).sz("DriverDesc", d.description);
    if (d.withInstallTraces) reg.sz("InfPath", "oem" + std::to_string(d.classIndex) + ".inf");
    reg.sz("MatchingDeviceId", "usb\\vid_f3a7&pid_" + d.pid);
    const std::string image = d.lowerFilter.empty() ? d.service : d.lowerFilter;
    reg.key(ccs + "Services\\" + image)
        .expandSz("ImagePath", "system32\\DRIVERS\\" + image + ".sys");
    reg.key(ccs + "Services\\Eventlog\\System\\" + d.service).dword("TypesSupported", 7);
    return reg.text();
}

void addNtAdapterFiles(TempImage& image, const NtAdapter& d) {
    image.file("C:\\WINDOWS\\Inf\\oem" + std::to_string(d.classIndex) + ".inf");
    image.file("C:\\WINDOWS\\Inf\\oem" + std::to_string(d.classIndex) + ".PNF");
    const std::string driver = d.lowerFilter.empty() ? d.service : d.lowerFilter;
    image.file("C:\\WINDOWS\\system32\\DRIVERS\\" + driver + ".sys");
}

ImageCopy::ImageCopy(const std::string& name) {
    char pattern[] = "/tmp/qu-dialog-image-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = pattern;
    fs::copy(fs::path(QU_SOURCE_DIR) / "machines" / name, dir_, fs::copy_options::recursive);
}

ImageCopy::~ImageCopy() {
    if (winsim::hasMachine() && winsim::machineDir() == dir_) {
        winsim::unloadMachine();
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void ImageCopy::appendIni(const std::string& text) {
    std::ofstream(dir_ + "/machine.ini", std::ios::binary | std::ios::app) << "\r\n" << text;
}

void ImageCopy::load() {
    std::string error;
    if (!winsim::loadMachine(dir_, &error)) {
        throw std::runtime_error(error);
    }
}

void DialogTest::SetUp() {
    winsim::ui::resetWindowSystem();
    std::string error;
    ASSERT_TRUE(loadDialogResources(&error)) << error;
    winsim::ui::setInputDriver(&input);
    // As the host does: the changes of each command are committed when the
    // dialog is at rest again.
    winsim::ui::setIdleObserver([] { return winsim::commit(); });
}

void DialogTest::TearDown() {
    winsim::ui::resetWindowSystem();
    if (winsim::hasMachine()) {
        winsim::unloadMachine();
    }
}

INT_PTR DialogTest::runDialog() {
    UninstallDialog dialog;
    return dialog.doModal();
}

}  // namespace qu_test
