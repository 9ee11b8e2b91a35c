#include "host/line_mode.h"

#include "dialog/resource.h"
#include "host/devices_json.h"
#include "host/json_lines.h"
#include "host/machine_facts.h"
#include "host/plan.h"
#include "protocol/commands.h"
#include "winsim/machine.h"

#include <utility>

LineMode::LineMode(std::istream& in, std::ostream& out, std::ostream& err, AnsiText ansi,
                   winsim::MachineFacts facts)
    : in_(in), out_(out), err_(err), ansi_(ansi), facts_(std::move(facts)) {}

void LineMode::onTextChanged(HWND window, const std::string& before, const std::string& after) {
    if (GetDlgCtrlID(window) != IDC_STATUS) {
        return;
    }
    // The log only grows; anything else is echoed whole.
    const bool grew = after.size() >= before.size() && after.compare(0, before.size(), before) == 0;
    if (outputFailed_) {
        return;
    }
    write(ansi_.toUtf8(grew ? after.substr(before.size()) : after));
}

void LineMode::write(const std::string& text) {
    if (text.empty()) {
        return;
    }
    // A status text without a line end (message 119) must not take the
    // next output into its line.
    if (!atLineStart_) {
        out_ << '\n';
    }
    out_ << text;
    atLineStart_ = text.back() == '\n';
    flushOutput();
}

void LineMode::writeLine(const std::string& line) { write(line + '\n'); }

void LineMode::endOutput() {
    if (!atLineStart_ && !outputFailed_) {
        out_ << '\n';
        atLineStart_ = true;
        flushOutput();
    }
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
        if (execute(line)) {
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
    writeLine(aboutLine(about, ansi_));
    if (outputFailed_) {
        return false;
    }
    return winsim::ui::clickButton(about, IDOK);
}

bool LineMode::execute(const std::string& text) {
    using protocol::Command;
    const protocol::ParsedCommand parsed = protocol::parseCommand(text);
    const std::string& line = parsed.line;
    int button = 0;
    switch (parsed.command) {
        case Command::Empty:
            return false;
        case Command::Detect:
            button = IDC_DETECT;
            break;
        case Command::Uninstall:
            button = IDOK;
            break;
        case Command::Restart:
            button = IDC_RESTART;
            break;
        case Command::Close:
            button = IDCANCEL;
            break;
        case Command::BadIndex:
            err_ << "quorvane-uninstall: select needs an item number: " << line << '\n';
            return false;
        case Command::Select:
            if (!winsim::ui::chooseListItem(mainDialog_, IDC_DEVICE_LIST, parsed.index)) {
                err_ << "quorvane-uninstall: the device list has no item " << parsed.index << '\n';
                return false;
            }
            return true;
        case Command::About:
            if (!winsim::ui::chooseSystemCommand(mainDialog_, IDM_ABOUTBOX)) {
                err_ << "quorvane-uninstall: the system menu has no about entry\n";
                return false;
            }
            return true;
        case Command::State:
            writeLine(withFacts(stateLine(mainDialog_, winsim::restartRequested(), ansi_), facts_));
            return false;
        case Command::Devices:
            writeLine(withFacts(devices_, facts_));
            return false;
        case Command::Plan:
            writeLine(planLine(mainDialog_, ansi_));
            return false;
        case Command::AboutOpen:  // the UI driver's; the about box here answers at once
        case Command::AboutClose:
        case Command::Unknown:
            err_ << "quorvane-uninstall: unknown command: " << line << '\n';
            return false;
    }
    // A disabled button ignores the click (the command is still consumed);
    // the operator is told.
    HWND target = GetDlgItem(mainDialog_, button);
    if (target != nullptr && !IsWindowEnabled(target)) {
        err_ << "quorvane-uninstall: " << line << ": the button is disabled; nothing done\n";
    }
    const bool clicked = winsim::ui::clickButton(mainDialog_, button);
    detectionRan_ = detectionRan_ || (clicked && button == IDC_DETECT);
    return true;
}
