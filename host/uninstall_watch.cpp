#include "host/uninstall_watch.h"

#include "dialog/resource.h"
#include "winsim/machine.h"
#include "winsim/safety.h"

#include <cstring>
#include <vector>

namespace {

std::string catalogueText(UINT id) {
    char buffer[1024];
    const int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer, sizeof buffer);
    return std::string(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}

// Whether `text` is what `format` gives: %s stands for any text, %u and %d
// for a number.
bool matches(const char* text, const char* format) {
    while (*format != '\0') {
        if (format[0] == '%' && (format[1] == 's' || format[1] == 'u' || format[1] == 'd')) {
            const bool number = format[1] != 's';
            for (const char* at = text;; ++at) {
                if (matches(at, format + 2)) return true;
                if (*at == '\0' || (number && (*at < '0' || *at > '9'))) return false;
            }
        }
        if (*text != *format) return false;
        ++text;
        ++format;
    }
    return *text == '\0';
}

// The file-name part of a Windows path.
std::string fileName(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '/' || *at == ':') name = at + 1;
    }
    return name;
}

std::string withoutExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

constexpr size_t kTraceLimit = 50;

}  // namespace

UninstallWatch::UninstallWatch(std::ostream& err)
    : err_(err),
      uninstalling_(catalogueText(IDS_UNINSTALLING)),
      done_(catalogueText(IDS_UNINSTALLED_ONE)),
      notFound_(catalogueText(IDS_NOT_PLUGGED_IN)),
      failed_(catalogueText(IDS_CANNOT_UNINSTALL)),
      doneAll_(catalogueText(IDS_UNINSTALLED_ALL)) {}

int UninstallWatch::messageOf(const std::string& text) const {
    const struct {
        const std::string* format;
        int id;
    } kinds[] = {{&uninstalling_, IDS_UNINSTALLING},
                 {&done_, IDS_UNINSTALLED_ONE},
                 {&notFound_, IDS_NOT_PLUGGED_IN},
                 {&failed_, IDS_CANNOT_UNINSTALL},
                 {&doneAll_, IDS_UNINSTALLED_ALL}};
    for (const auto& kind : kinds) {
        if (!kind.format->empty() && matches(text.c_str(), kind.format->c_str())) return kind.id;
    }
    return 0;
}

void UninstallWatch::onTextChanged(HWND window, const std::string& before,
                                   const std::string& after) {
    if (GetDlgCtrlID(window) != IDC_STATUS || after.size() <= before.size() ||
        after.compare(0, before.size(), before) != 0) {
        return;
    }
    switch (messageOf(after.substr(before.size()))) {
        case IDS_UNINSTALLING: {
            // Written before the removal starts: the records are still as
            // detection left them.
            HWND list = GetDlgItem(GetParent(window), IDC_DEVICE_LIST);
            const LRESULT item = SendMessageA(list, CB_GETCURSEL, 0, 0);
            const LRESULT slot =
                item == CB_ERR ? -1
                               : SendMessageA(list, CB_GETITEMDATA, static_cast<WPARAM>(item), 0);
            if (slot >= 0 && slot < kSlotCount) {
                record_ = deviceRecord(static_cast<int>(slot));
                std::memcpy(inf_, infFilePath(static_cast<int>(slot)), kPathBufferSize);
                std::memcpy(driver_, driverFilePath(static_cast<int>(slot)), kPathBufferSize);
            }
            break;
        }
        case IDS_NOT_PLUGGED_IN:
        case IDS_CANNOT_UNINSTALL:
            anyFailed_ = true;
            reportPending_ = true;
            break;
        case IDS_UNINSTALLED_ONE:
        case IDS_UNINSTALLED_ALL:
            restartNeeded_ = restartNeeded_ || winsim::platform() == winsim::Platform::Win9x;
            reportPending_ = true;
            break;
        default:
            break;
    }
}

std::vector<std::string> UninstallWatch::terms() const {
    return {record_.pattern, record_.service, withoutExtension(fileName(inf_)), fileName(driver_)};
}

void UninstallWatch::beforeCommit() {
    if (reportPending_) winsim::startTraceSearch(terms());
}

void UninstallWatch::onIdle() {
    if (!reportPending_) return;
    reportPending_ = false;
    const std::vector<std::string> traces = winsim::findTraces(terms(), kTraceLimit + 1);
    if (traces.empty()) {
        err_ << "quorvane-uninstall: nothing on the machine names the device's pattern, service, "
                "INF or driver file any more\n";
        return;
    }
    err_ << "quorvane-uninstall: still on the machine, naming the device's pattern, service, INF "
            "or driver file:\n";
    for (size_t i = 0; i < traces.size() && i < kTraceLimit; ++i) {
        err_ << "  " << traces[i] << '\n';
    }
    if (traces.size() > kTraceLimit) err_ << "  (and more)\n";
}

int UninstallWatch::exitStatus(bool restartRequested) const {
    if (anyFailed_) return 1;
    if (restartNeeded_ && !restartRequested) return 4;
    return 0;
}
