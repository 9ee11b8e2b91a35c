// Owning holder of a Setup API device-information set.
#pragma once

#include "platform/win32.h"

class DeviceSet {
public:
    // The set of the class's devices in the current hardware profile,
    // plugged in or not (with DIGCF_ALLCLASSES added to `flags`: of every
    // class, `classGuid` null); check valid().
    explicit DeviceSet(const GUID* classGuid, DWORD flags = DIGCF_PROFILE)
        : set_(SetupDiGetClassDevsA(classGuid, nullptr, nullptr, flags)) {}
    ~DeviceSet() {
        if (valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};
