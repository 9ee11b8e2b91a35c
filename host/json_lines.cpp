#include "host/json_lines.h"

#include "dialog/resource.h"
#include "winsim/user.h"

#include <cstdio>
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

const char* jsonBool(bool value) { return value ? "true" : "false"; }

bool buttonEnabled(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    return button != nullptr && IsWindowEnabled(button);
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (byte < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(byte));
                    out += escape;
                } else {
                    out.push_back(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string stateLine(HWND mainDialog, bool restartRequested, const AnsiText& ansi) {
    std::string line = "{\"status\": ";
    line += jsonString(ansi.toUtf8(windowText(GetDlgItem(mainDialog, IDC_STATUS))));

    HWND list = GetDlgItem(mainDialog, IDC_DEVICE_LIST);
    line += ", \"devices\": [";
    const LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            line += ", ";
        }
        line += jsonString(ansi.toUtf8(listItemText(list, i)));
    }
    line += "], \"selected\": ";
    const LRESULT selected = list != nullptr ? SendMessageA(list, CB_GETCURSEL, 0, 0) : CB_ERR;
    line += std::to_string(selected < 0 ? -1 : static_cast<long long>(selected));

    line += ", \"enabled\": {\"uninstall\": ";
    line += jsonBool(buttonEnabled(mainDialog, IDOK));
    line += ", \"close\": ";
    line += jsonBool(buttonEnabled(mainDialog, IDCANCEL));
    line += ", \"detect\": ";
    line += jsonBool(buttonEnabled(mainDialog, IDC_DETECT));
    line += ", \"restart\": ";
    line += jsonBool(buttonEnabled(mainDialog, IDC_RESTART));
    line += "}, \"restartRequested\": ";
    line += jsonBool(restartRequested);
    line += "}";
    return line;
}

std::string aboutLine(HWND aboutDialog, const AnsiText& ansi) {
    winsim::ui::DialogInfo info;
    winsim::ui::describeDialog(aboutDialog, &info);
    std::string line = "{\"caption\": ";
    line += jsonString(ansi.toUtf8(info.caption));
    line += ", \"texts\": [";
    bool first = true;
    for (const auto& control : info.controls) {
        if (control.kind != winsim::ui::ControlKind::Static || !control.imageType.empty()) {
            continue;
        }
        if (!first) {
            line += ", ";
        }
        first = false;
        line += jsonString(ansi.toUtf8(control.text));
    }
    line += "]}";
    return line;
}
