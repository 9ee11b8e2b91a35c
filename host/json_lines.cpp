#include "host/json_lines.h"

#include "dialog/resource.h"
#include "protocol/state_json.h"
#include "winsim/user.h"

#include <vector>

namespace {

std::string windowText(HWND window) {
    const int length = GetWindowTextLengthA(window);
    if (length <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    const int copied = GetWindowTextA(window, buffer.data(), length + 1);
    return std::string(buffer.data(), copied > 0 ? static_cast<std::size_t>(copied) : 0);
}

std::string listItemText(HWND list, int index) {
    const LRESULT length = SendMessageA(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    const LRESULT copied = SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                        reinterpret_cast<LPARAM>(buffer.data()));
    return std::string(buffer.data(), copied > 0 ? static_cast<std::size_t>(copied) : 0);
}

bool buttonEnabled(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    return button != nullptr && IsWindowEnabled(button);
}

}  // namespace

std::string stateLine(HWND mainDialog, bool restartRequested, const AnsiText& ansi) {
    statejson::DialogState state;
    state.status = ansi.toUtf8(windowText(GetDlgItem(mainDialog, IDC_STATUS)));
    HWND list = GetDlgItem(mainDialog, IDC_DEVICE_LIST);
    const LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) state.devices.push_back(ansi.toUtf8(listItemText(list, i)));
    const LRESULT selected = list != nullptr ? SendMessageA(list, CB_GETCURSEL, 0, 0) : CB_ERR;
    state.selected = selected < 0 ? -1 : static_cast<int>(selected);
    state.uninstallEnabled = buttonEnabled(mainDialog, IDOK);
    state.closeEnabled = buttonEnabled(mainDialog, IDCANCEL);
    state.detectEnabled = buttonEnabled(mainDialog, IDC_DETECT);
    state.restartEnabled = buttonEnabled(mainDialog, IDC_RESTART);
    state.restartRequested = restartRequested;
    return statejson::stateLine(state);
}

std::string aboutLine(HWND aboutDialog, const AnsiText& ansi) {
    winsim::ui::DialogInfo info;
    winsim::ui::describeDialog(aboutDialog, &info);
    statejson::AboutState about;
    about.caption = ansi.toUtf8(info.caption);
    for (const auto& control : info.controls) {
        if (control.kind == winsim::ui::ControlKind::Static && control.imageType.empty()) {
            about.texts.push_back(ansi.toUtf8(control.text));
        }
    }
    return statejson::aboutLine(about);
}
