#include "host/plan.h"

#include "detection/device_catalogue.h"
#include "dialog/resource.h"
#include "protocol/state_json.h"
#include "removal/nt_removal.h"
#include "removal/win9x_removal.h"
#include "winsim/machine.h"
#include "winsim/safety.h"

#include <cstring>
#include <vector>

namespace {

// The engine's process-wide records and file tables.
struct EngineState {
    DeviceRecord records[kSlotCount];
    char inf[kSlotCount][kPathBufferSize];
    char driver[kSlotCount][kPathBufferSize];

    void save() {
        for (int slot = 0; slot < kSlotCount; ++slot) {
            records[slot] = deviceRecord(slot);
            std::memcpy(inf[slot], infFilePath(slot), kPathBufferSize);
            std::memcpy(driver[slot], driverFilePath(slot), kPathBufferSize);
        }
    }
    void restore() const {
        for (int slot = 0; slot < kSlotCount; ++slot) {
            deviceRecord(slot) = records[slot];
            std::memcpy(infFilePath(slot), inf[slot], kPathBufferSize);
            std::memcpy(driverFilePath(slot), driver[slot], kPathBufferSize);
        }
    }
};

std::string list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i ? ", " : "") + statejson::jsonString(items[i]);
    }
    return out + "]";
}

}  // namespace

std::string planLine(HWND mainDialog, const AnsiText& ansi) {
    const char* none = "{\"plan\": null}";
    HWND deviceList = GetDlgItem(mainDialog, IDC_DEVICE_LIST);
    HWND uninstall = GetDlgItem(mainDialog, IDOK);
    if (deviceList == nullptr || uninstall == nullptr || !IsWindowEnabled(uninstall)) {
        return none;
    }
    const LRESULT item = SendMessageA(deviceList, CB_GETCURSEL, 0, 0);
    if (item == CB_ERR) {
        return none;
    }
    const LRESULT data = SendMessageA(deviceList, CB_GETITEMDATA, static_cast<WPARAM>(item), 0);
    if (data < 0 || data >= kSlotCount) {
        return none;
    }
    const int slot = static_cast<int>(data);
    const std::string description = ansi.toUtf8(deviceRecord(slot).deviceDesc);

    static EngineState saved;  // large; one plan at a time
    saved.save();
    winsim::beginTrial();
    if (winsim::platform() == winsim::Platform::Nt) {
        removeNtInstallation(slot, deviceRecord(slot));
    } else {
        remove9xInstallation(slot, deviceRecord(slot));
    }
    const winsim::Deletions deleted = winsim::endTrial();
    saved.restore();

    return "{\"plan\": {\"device\": " + statejson::jsonString(description) +
           ", \"slot\": " + std::to_string(slot) + ", \"instances\": " + list(deleted.instances) +
           ", \"keys\": " + list(deleted.keys) + ", \"files\": " + list(deleted.files) + "}}";
}
