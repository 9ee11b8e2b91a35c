// What the devices that stay on the machine use, when the devices of a slot
// are uninstalled: gathered in one walk of the devices per Uninstall (after
// its device removals), then asked about each thing the Uninstall would
// delete. A device stays unless the Uninstall takes it away (see DeviceUse):
// another function of the same hardware, or a device of the slot's pattern
// with another description, is a staying user like any other device.
#pragma once

#include "detection/device_catalogue.h"
#include "detection/device_installer.h"
#include "removal/name_set.h"

#include <cstddef>

class UsageIndex {
public:
    // `nt`: the 2000/XP layout (class keys under Control\Class, driver files
    // from the services' "ImagePath"); otherwise 98/ME (Services\Class,
    // "NTMPDriver"). `instanceIds`: note the device keys staying devices
    // live in (deviceKeyUsed).
    UsageIndex(const DeviceRecord& record, bool nt, bool instanceIds);
    UsageIndex(const UsageIndex&) = delete;
    UsageIndex& operator=(const UsageIndex&) = delete;

    // False when the devices could not be listed or memory ran out: nothing
    // can then be shown to be unused, and every question below but the last
    // answers "used".
    bool complete() const { return complete_; }

    // A network device of the slot's pattern, or a leftover instance of the
    // slot's device key, is still there.
    bool slotLeft() const { return slotLeft_; }

    // The Windows directory as the platform gives it; "" when it cannot.
    const char* windowsDir() const { return windowsDir_; }

    // A staying device runs `service`: as its service, a lower or upper
    // filter of its own, of its driver key or of that key's setup class.
    bool serviceUsed(const char* service) const;
    // A staying device's driver key names the INF at `path` (a full path).
    // "Used" when the Windows directory is unknown.
    bool infUsed(const char* path) const;
    // A service a staying device runs (2000/XP), or the network driver its
    // driver key names (98/ME), is the file at `path` (a full path).
    // "Used" when the Windows directory is unknown.
    bool fileUsed(const char* path) const;
    // `driverKey` (relative to the class root, "Net\0003") is a staying
    // device's driver key.
    bool driverKeyUsed(const char* driverKey) const;
    // A staying device lives below the device key `deviceKey` ("USB\VID_...",
    // below the Enum root). False when nothing is known.
    bool deviceKeyUsed(const char* deviceKey) const;

private:
    static void visitDevice(const DeviceUse& device, void* context);
    static void readClass(const char* name, bool marked, void* context);
    static void readDriverKey(const char* name, bool marked, void* context);
    static void readService(const char* name, bool marked, void* context);
    void addList(const char* list, size_t capacity);
    void addPath(NameSet& set, const char* path);
    void listClassKeys();

    bool nt_;
    bool complete_ = true;
    bool slotLeft_ = false;
    char windowsDir_[kPathBufferSize] = "";
    NameSet classes_;     // setup class keys; marked: a staying device's class
    NameSet classKeys_;   // "<class>\<key>"; marked: a staying device's driver key
    NameSet services_;    // services staying devices run
    NameSet infs_;        // full paths of the INFs their driver keys name
    NameSet files_;       // full paths of their driver files
    NameSet deviceKeys_;  // "<bus>\<device>" of every staying device
};
