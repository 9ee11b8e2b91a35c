// Owning holder of a registry key opened by the engine. Predefined roots
// (HKEY_LOCAL_MACHINE) are never held by it: they are borrowed as plain
// HKEY parents and never closed.
#pragma once

#include "platform/win32.h"

class RegistryKey {
public:
    // Opens `path` below `parent` for reading; check valid().
    RegistryKey(HKEY parent, const char* path) {
        HKEY opened = nullptr;
        if (RegOpenKeyExA(parent, path, 0, KEY_READ, &opened) == ERROR_SUCCESS) key_ = opened;
    }
    ~RegistryKey() {
        if (valid()) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool valid() const { return key_ != nullptr; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};
