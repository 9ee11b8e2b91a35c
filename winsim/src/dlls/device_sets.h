// The device sets the device installer hands out, and what every call on a
// set's device starts with. A set is a snapshot of the devices' instance
// keys below the Enum branch; properties are read from the registry when
// asked for.
#pragma once

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "winsim/api/win32_setupapi.h"
#include "winsim/src/machine/state.h"

namespace winsim {

struct Params {
    DI_FUNCTION function = 0;
    DWORD stateChange = 0;  // DIF_PROPERTYCHANGE
    DWORD scope = 0;
};

struct Device {
    std::string_view instanceId;  // "<bus>\<device>\<instance>", original case (in the set's ids)
    // The instance key as the set found it: a property read goes to it
    // directly while it is still in the tree (a walk over every device
    // would otherwise look its path up for every property).
    std::weak_ptr<RegKey> key;
    RegKey* at = nullptr;  // the key while `key` has not expired
    DWORD devInst = 0;
    GUID classGuid{};
    bool hasParams = false;
    Params params;
};

// Texts that stay where they are while more are added: a set's instance
// IDs, one after another in blocks (not a string each).
class TextBlocks {
public:
    std::string_view add(std::initializer_list<std::string_view> parts);

private:
    static constexpr size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t used_ = 0, blockSize_ = 0;
};

struct DeviceSet {
    TextBlocks ids;               // the devices' instance IDs
    std::vector<Device> devices;  // only ever appended to
    bool hasParams = false;       // parameters attached to the set itself
    Params params;

    // The device with `devInst` (the first, should two have it). `member`
    // is SP_DEVINFO_DATA.Reserved as SetupDiEnumDeviceInfo fills it (the
    // member's place + 1), tried first.
    Device* find(DWORD devInst, ULONG_PTR member);

private:
    std::unordered_map<DWORD, size_t> byDevInst;  // made when first needed
};

// The sets handed out, by handle.
HDEVINFO keepDeviceSet(std::unique_ptr<DeviceSet> set);
DeviceSet* setOf(HDEVINFO h);
bool destroyDeviceSet(HDEVINFO h);  // false: no such set

// The DevInst of the instance whose folded ID is `fold`: a device keeps its
// DevInst in every set.
DWORD devInstOf(std::string_view fold);
// Room for `more` new DevInsts at once (a set of every device is about to
// look up each of its instances).
void expectDevInsts(size_t more);

// "System\CurrentControlSet\Enum" on NT, "Enum" on 9x.
const char* enumRoot(const Machine& m);
// The device's instance key, nullptr when it is gone.
RegKey* instanceKey(const Machine& m, const Device& d);

// What a call on a set and one of its devices works on.
struct DeviceCall {
    Machine* machine = nullptr;
    DeviceSet* set = nullptr;
    Device* device = nullptr;  // none when the call named none and may
};
// The machine, the set `h` and the device `data` names. Returns 0, or the
// error of the first that is missing: ERROR_INVALID_HANDLE (no machine or
// set), ERROR_INVALID_USER_BUFFER (no device data, unless `deviceOptional`,
// or of the wrong size), ERROR_INVALID_PARAMETER (no such device).
DWORD startDeviceCall(HDEVINFO h, PSP_DEVINFO_DATA data, bool deviceOptional, DeviceCall* call);

// The device for a call's log entry.
std::string deviceForLog(HDEVINFO h, PSP_DEVINFO_DATA data);

// A string value's text up to its first zero ("" for none or another type),
// as a view of the value's data.
std::string_view textOf(const RegValue* v);

// Success, with the last error cleared.
BOOL succeed();

}  // namespace winsim
