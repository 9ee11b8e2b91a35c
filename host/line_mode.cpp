#include "host/line_mode.h"

#include "dialog/resource.h"
#include "host/devices_json.h"
#include "host/json_lines.h"
#include "host/plan.h"
#include "winsim/machine.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// A non-negative decimal number that fits an int, nothing else.
bool parseIndex(const std::string& text, int* index) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || value > 0x7FFFFFFFL) {
        return false;
    }
    *index = static_cast<int>(value);
    return true;
}

}  // namespace

LineMode::LineMode(std::istream& in, std::ostream& out, std::ostream& err, AnsiText ansi)
    : in_(in), out_(out), err_(err), ansi_(ansi) {}

void LineMode::onTextChanged(HWND window, const std::string& before, const std::string& after) {
    if (GetDlgCtrlID(window) != IDC_STATUS) {
        return;
    }
    // The log only grows; anything else is echoed whole.
    const bool grew = after.size() >= before.size() && after.compare(0, before.size(), before) == 0;
    if (outputFailed_) {
        return;
    }
    out_ << ansi_.toUtf8(grew ? after.substr(before.size()) : after);
    flushOutput();
}

void LineMode::flushOutput() {
    out_.flush();
    if (!out_) {
        outputFailed_ = true;
    }
}

bool LineMode::waitForInput() {
    HWND active = winsim::ui::activeDialog();
    if (active == nullptr || outputFailed_) {
        return false;
    }
    if (mainDialog_ == nullptr) {
        mainDialog_ = active;
    }
    if (active != mainDialog_) {
        return handleAboutBox(active);
    }
    if (detectionRan_) {
        // Before an uninstall changes the registry and the file tables.
        devices_ = devicesLine(mainDialog_, ansi_);
        detectionRan_ = false;
    }
    if (closing_) {
        return false;
    }
    std::string line;
    while (!outputFailed_ && std::getline(in_, line)) {
        if (execute(trim(line))) {
            return true;
        }
    }
    if (outputFailed_) {
        return false;
    }
    // End of input closes the dialog, as `close` does.
    closing_ = true;
    return winsim::ui::clickButton(mainDialog_, IDCANCEL);
}

bool LineMode::handleAboutBox(HWND about) {
    out_ << aboutLine(about, ansi_) << '\n';
    flushOutput();
    if (outputFailed_) {
        return false;
    }
    return winsim::ui::clickButton(about, IDOK);
}

bool LineMode::execute(const std::string& line) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command.empty()) {
        return false;
    }
    std::string argument;
    words >> argument;
    std::string extra;
    words >> extra;
    if (!extra.empty() || (!argument.empty() && command != "select")) {
        err_ << "quorvane-uninstall: unknown command: " << line << '\n';
        return false;
    }

    int button = 0;
    if (command == "detect") {
        button = IDC_DETECT;
    } else if (command == "uninstall") {
        button = IDOK;
    } else if (command == "restart") {
        button = IDC_RESTART;
    } else if (command == "close") {
        button = IDCANCEL;
    }
    if (button != 0) {
        // A disabled button ignores the click; the command is still consumed.
        HWND target = GetDlgItem(mainDialog_, button);
        if (target != nullptr && !IsWindowEnabled(target)) {
            err_ << "quorvane-uninstall: " << command << ": the button is disabled; nothing done\n";
        }
        const bool clicked = winsim::ui::clickButton(mainDialog_, button);
        detectionRan_ = detectionRan_ || (clicked && button == IDC_DETECT);
        return true;
    }
    if (command == "select") {
        int index = 0;
        if (!parseIndex(argument, &index)) {
            err_ << "quorvane-uninstall: select needs an item number: " << line << '\n';
            return false;
        }
        if (!winsim::ui::chooseListItem(mainDialog_, IDC_DEVICE_LIST, index)) {
            err_ << "quorvane-uninstall: the device list has no item " << index << '\n';
            return false;
        }
        return true;
    }
    if (command == "about") {
        if (!winsim::ui::chooseSystemCommand(mainDialog_, IDM_ABOUTBOX)) {
            err_ << "quorvane-uninstall: the system menu has no about entry\n";
            return false;
        }
        return true;
    }
    if (command == "state") {
        out_ << stateLine(mainDialog_, winsim::restartRequested(), ansi_) << '\n';
        flushOutput();
        return false;
    }
    if (command == "plan") {
        out_ << planLine(mainDialog_, ansi_) << '\n';
        flushOutput();
        return false;
    }
    if (command == "devices") {
        out_ << devices_ << '\n';
        out_.flush();
        return false;
    }
    err_ << "quorvane-uninstall: unknown command: " << line << '\n';
    return false;
}
