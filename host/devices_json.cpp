#include "host/devices_json.h"

#include "detection/bounded_text.h"
#include "detection/device_catalogue.h"
#include "dialog/resource.h"
#include "protocol/state_json.h"
#include "winsim/machine.h"

#include <vector>

namespace {

// Instance IDs of the pattern's devices: USB\<key as stored>\<instance>.
std::vector<std::string> instanceIds(const char* pattern) {
    const std::string usbRoot = winsim::platform() == winsim::Platform::Win9x
                                    ? "Enum\\USB"
                                    : "System\\CurrentControlSet\\Enum\\USB";
    std::vector<std::string> ids;
    for (const std::string& device : winsim::subkeyNames(usbRoot)) {
        if (!equalTextNoCase(device.c_str(), pattern)) continue;
        for (const std::string& instance : winsim::subkeyNames(usbRoot + "\\" + device)) {
            ids.push_back("USB\\" + device + "\\" + instance);
        }
        break;
    }
    return ids;
}

std::string stringList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        out += statejson::jsonString(items[i]);
    }
    return out + "]";
}

std::string deviceObject(int slot, const AnsiText& ansi) {
    const DeviceRecord& record = deviceRecord(slot);
    auto text = [&ansi](const char* ansiText) {
        return statejson::jsonString(ansi.toUtf8(ansiText));
    };
    // lowerFilters is a multi-string: as a C string it is its first entry.
    return "{\"slot\": " + std::to_string(slot) + ", \"pattern\": " + text(record.pattern) +
           ", \"description\": " + text(record.deviceDesc) +
           ", \"installCount\": " + std::to_string(record.installCount) +
           ", \"instances\": " + stringList(instanceIds(record.pattern)) +
           ", \"service\": " + text(record.service) +
           ", \"lowerFilter\": " + text(record.lowerFilters) +
           ", \"inf\": " + text(infFilePath(slot)) + ", \"driver\": " + text(driverFilePath(slot)) +
           "}";
}

}  // namespace

std::string devicesLine(HWND mainDialog, const AnsiText& ansi) {
    std::string out = "{\"devices\": [";
    HWND list = GetDlgItem(mainDialog, IDC_DEVICE_LIST);
    const LRESULT count = list != nullptr ? SendMessageA(list, CB_GETCOUNT, 0, 0) : 0;
    bool first = true;
    for (LRESULT index = 0; index < count; ++index) {
        // Detection attaches each item's slot as its data.
        const LRESULT slot = SendMessageA(list, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
        if (slot < 0 || slot >= kSlotCount) continue;
        if (!first) out += ", ";
        first = false;
        out += deviceObject(static_cast<int>(slot), ansi);
    }
    return out + "]}";
}
