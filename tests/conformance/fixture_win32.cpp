// Windows side of the conformance fixture: private keys and files made with
// the real API, removed before (leftovers of a run that stopped) and after.
#include "tests/conformance/fixture.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace conformance {

namespace {

char g_dir[MAX_PATH];

void removeDevices() {
    HDEVINFO set = SetupDiGetClassDevsA(&kDeviceClass, nullptr, nullptr, DIGCF_PROFILE);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i)
        SetupDiRemoveDevice(set, &device);
    SetupDiDestroyDeviceInfoList(set);
}

bool createDevice() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kDeviceClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    const char ids[] = "QUCONF_HW\0QUCONF_ANY\0";
    const bool ok =
        SetupDiCreateDeviceInfoA(set, "Root\\QUCONF\\0000", &kDeviceClass, "Conformance device",
                                 nullptr, 0, &device) &&
        SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                          reinterpret_cast<const BYTE*>(ids), sizeof ids) &&
        SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

void removeAll() {
    removeDevices();
    const char* subkeys[] = {"Gamma\\Leaf", "Gamma", "beta", "Alpha", ""};
    for (const char* sub : subkeys) {
        char path[MAX_PATH];
        std::snprintf(path, sizeof path, "%s%s%s", kKeyPath, *sub ? "\\" : "", sub);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    }
    for (const char* name : {"plain.txt", "readonly.txt", "log.txt"}) {
        char path[MAX_PATH];
        std::snprintf(path, sizeof path, "%s\\%s", g_dir, name);
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path);
    }
    RemoveDirectoryA(g_dir);
}

bool createKey(const char* sub, HKEY* key) {
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "%s%s%s", kKeyPath, *sub ? "\\" : "", sub);
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key,
                           nullptr) == ERROR_SUCCESS;
}

bool writeFile(const char* name, const char* text, DWORD attributes) {
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "%s\\%s", g_dir, name);
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
    CloseHandle(file);
    return ok && SetFileAttributesA(path, attributes);
}

}  // namespace

bool setUpFixture(char* error, std::size_t size) {
    char windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows) {
        std::snprintf(error, size, "no Windows directory");
        return false;
    }
    std::snprintf(g_dir, sizeof g_dir, "%s\\QuConf", windows);
    removeAll();

    HKEY root = nullptr;
    if (!createKey("", &root)) {
        std::snprintf(error, size, "cannot create HKLM\\%s (administrator rights?)", kKeyPath);
        return false;
    }
    const DWORD number = 0x12345678;
    const char multi[] = "a\0bc\0";  // with the array's own terminator: 6 bytes
    bool ok = RegSetValueExA(root, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("hello world"),
                             12) == ERROR_SUCCESS &&
              RegSetValueExA(root, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                             4) == ERROR_SUCCESS &&
              RegSetValueExA(root, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi),
                             sizeof multi) == ERROR_SUCCESS &&
              RegSetValueExA(root, "Empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1) ==
                  ERROR_SUCCESS;
    RegCloseKey(root);
    for (const char* sub : {"Gamma", "Gamma\\Leaf", "beta", "Alpha"}) {
        HKEY key = nullptr;
        ok = ok && createKey(sub, &key);
        if (key != nullptr) RegCloseKey(key);
    }
    ok = ok && CreateDirectoryA(g_dir, nullptr) &&
         writeFile("plain.txt", "abc", FILE_ATTRIBUTE_ARCHIVE) &&
         writeFile("readonly.txt", "r", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    ok = ok && createDevice();
    if (!ok) {
        std::snprintf(error, size, "cannot create the fixture's keys, files or device (error %lu)",
                      static_cast<unsigned long>(GetLastError()));
        removeAll();
    }
    return ok;
}

void tearDownFixture() { removeAll(); }

const char* fixtureDir() { return g_dir; }

}  // namespace conformance
