#include "tests/dialog/dialog_fixture.h"

#include "dialog/uninstall_dialog.h"
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

namespace {

// REGEDIT4 hex bytes of `strings` as a multi-string (or one string for
// hex(2)), each followed by a zero, the list by another.
std::string hexStrings(const std::vector<std::string>& strings, bool multi) {
    std::string out;
    char byte[4];
    auto add = [&](unsigned char c) {
        std::snprintf(byte, sizeof byte, "%02x", c);
        out += out.empty() ? "" : ",";
        out += byte;
    };
    for (const auto& s : strings) {
        for (unsigned char c : s) add(c);
        add(0);
    }
    if (multi) add(0);
    return out;
}

const char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";

}  // namespace

std::string ntDeviceReg(const NtDevice& d) {
    const std::string hw = "USB\\Vid_f3a7&Pid_" + d.pid;
    const std::string classKey = std::string("System\\CurrentControlSet\\Control\\Class\\") +
                                 kNetClass + "\\00" + (d.classIndex < 10 ? "0" : "") +
                                 std::to_string(d.classIndex);
    const std::string driverValue = std::string(kNetClass) + "\\\\00" +
                                    (d.classIndex < 10 ? "0" : "") + std::to_string(d.classIndex);
    std::string reg;
    reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_F3A7&PID_" + d.pid +
           "\\" + d.instance + "]\r\n";
    reg += "\"DeviceDesc\"=\"" + d.description + "\"\r\n";
    reg += "\"HardwareID\"=hex(7):" + hexStrings({hw + "&Rev_0100", hw}, true) + "\r\n";
    reg += "\"Service\"=\"" + d.service + "\"\r\n";
    if (!d.lowerFilter.empty()) {
        reg += "\"LowerFilters\"=hex(7):" + hexStrings({d.lowerFilter}, true) + "\r\n";
    }
    reg += "\"Class\"=\"Net\"\r\n\"ClassGUID\"=\"" + std::string(kNetClass) + "\"\r\n";
    reg += "\"Driver\"=\"" + driverValue + "\"\r\n\"ConfigFlags\"=dword:00000000\r\n\r\n";
    reg += "[HKEY_LOCAL_MACHINE\\" + classKey + "]\r\n";
    reg += "\"DriverDesc\"=\"" + d.description + "\"\r\n";
    if (d.withInstallTraces) {
        reg += "\"InfPath\"=\"oem" + std::to_string(d.classIndex) + ".inf\"\r\n";
    }
    reg += "\"MatchingDeviceId\"=\"usb\\\\vid_f3a7&pid_" + d.pid + "\"\r\n\r\n";
    const std::string image = d.lowerFilter.empty() ? d.service : d.lowerFilter;
    reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\" + image + "]\r\n";
    reg += "\"ImagePath\"=hex(2):" + hexStrings({"system32\\DRIVERS\\" + image + ".sys"}, false) +
           "\r\n\r\n";
    reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Eventlog\\System\\" +
           d.service + "]\r\n\"TypesSupported\"=dword:00000007\r\n\r\n";
    return reg;
}

void addNtDeviceFiles(TempImage& image, const NtDevice& d) {
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
