// Registry: opening, enumeration, value queries with their size rules, and
// the NT deletion rule. Each section starts from the fixture's state.
#include "platform/win32.h"
#include "tests/conformance/check.h"
#include "tests/conformance/fixture.h"

#include <cstdio>
#include <cstring>

namespace conformance {

namespace {

HKEY openRoot() {
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key);
    return key;
}

void openChecks() {
    section("RegOpenKeyExA");
    HKEY key = nullptr;
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS);
    CHECK(key != nullptr);
    if (key != nullptr) CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
    // Names are case-insensitive; a subkey path goes several levels down.
    key = nullptr;
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\quconformance\\gamma\\LEAF", 0, KEY_READ,
                           &key),
             ERROR_SUCCESS);
    if (key != nullptr) RegCloseKey(key);
    char missing[128];
    std::snprintf(missing, sizeof missing, "%s\\Missing", kKeyPath);
    key = nullptr;
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, missing, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    // Relative to an open key.
    HKEY root = openRoot();
    key = nullptr;
    CHECK_EQ(RegOpenKeyExA(root, "beta", 0, KEY_READ, &key), ERROR_SUCCESS);
    if (key != nullptr) RegCloseKey(key);
    RegCloseKey(root);
}

void enumChecks() {
    section("RegEnumKeyExA");
    HKEY root = openRoot();
    // Subkeys come back sorted without regard to case, not in creation order.
    const char* expected[] = {"Alpha", "beta", "Gamma"};
    for (DWORD i = 0; i < 3; ++i) {
        char name[64];
        std::memset(name, '#', sizeof name);
        DWORD size = sizeof name;
        CHECK_EQ(RegEnumKeyExA(root, i, name, &size, nullptr, nullptr, nullptr, nullptr),
                 ERROR_SUCCESS);
        CHECK_STR(name, expected[i]);
        CHECK_EQ(size, std::strlen(expected[i]));  // without the terminator
    }
    char name[64];
    DWORD size = sizeof name;
    CHECK_EQ(RegEnumKeyExA(root, 3, name, &size, nullptr, nullptr, nullptr, nullptr),
             ERROR_NO_MORE_ITEMS);
    // A buffer without room for the terminator.
    size = 5;  // "Alpha" has five characters
    CHECK_EQ(RegEnumKeyExA(root, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
             ERROR_MORE_DATA);
    RegCloseKey(root);
}

void queryChecks() {
    section("RegQueryValueExA");
    HKEY root = openRoot();
    DWORD type = 0xDEAD, size = 0;
    // Size only.
    CHECK_EQ(RegQueryValueExA(root, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    CHECK_EQ(type, REG_SZ);
    CHECK_EQ(size, 12);  // the terminator counts
    // Too small: ERROR_MORE_DATA and the size needed.
    BYTE data[32];
    std::memset(data, 0xA5, sizeof data);
    size = 4;
    type = 0xDEAD;
    CHECK_EQ(RegQueryValueExA(root, "Text", nullptr, &type, data, &size), ERROR_MORE_DATA);
    CHECK_EQ(size, 12);
    CHECK_EQ(type, REG_SZ);
    CHECK_EQ(data[4], 0xA5);  // nothing written past the buffer
    // Exactly large enough.
    size = 12;
    CHECK_EQ(RegQueryValueExA(root, "Text", nullptr, &type, data, &size), ERROR_SUCCESS);
    CHECK_STR(reinterpret_cast<const char*>(data), "hello world");
    CHECK_EQ(data[12], 0xA5);
    // Other types and sizes.
    DWORD number = 0;
    size = sizeof number;
    CHECK_EQ(
        RegQueryValueExA(root, "Number", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size),
        ERROR_SUCCESS);
    CHECK_EQ(type, REG_DWORD);
    CHECK_EQ(number, 0x12345678);
    size = 0;
    CHECK_EQ(RegQueryValueExA(root, "Multi", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    CHECK_EQ(type, REG_MULTI_SZ);
    CHECK_EQ(size, 6);
    size = sizeof data;
    CHECK_EQ(RegQueryValueExA(root, "Empty", nullptr, &type, data, &size), ERROR_SUCCESS);
    CHECK_EQ(size, 1);
    CHECK_EQ(data[0], 0);
    // Names are case-insensitive; absent values and an absent default.
    size = sizeof data;
    CHECK_EQ(RegQueryValueExA(root, "TEXT", nullptr, &type, data, &size), ERROR_SUCCESS);
    size = sizeof data;
    CHECK_EQ(RegQueryValueExA(root, "Nothing", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
    size = sizeof data;
    CHECK_EQ(RegQueryValueExA(root, "", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(root);
}

void deleteChecks() {
    section("RegDeleteKeyA");
    HKEY root = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_ALL_ACCESS, &root);
    // NT refuses a key that still has subkeys.
    CHECK_EQ(RegDeleteKeyA(root, "Gamma"), ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    CHECK_EQ(RegOpenKeyExA(root, "Gamma\\Leaf", 0, KEY_READ, &key), ERROR_SUCCESS);
    if (key != nullptr) RegCloseKey(key);
    // Leaf first, then its parent.
    CHECK_EQ(RegDeleteKeyA(root, "Gamma\\Leaf"), ERROR_SUCCESS);
    CHECK_EQ(RegDeleteKeyA(root, "Gamma"), ERROR_SUCCESS);
    key = nullptr;
    CHECK_EQ(RegOpenKeyExA(root, "Gamma", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    CHECK_EQ(RegDeleteKeyA(root, "Gamma"), ERROR_FILE_NOT_FOUND);
    // The enumeration closes up.
    char name[64];
    DWORD size = sizeof name;
    CHECK_EQ(RegEnumKeyExA(root, 2, name, &size, nullptr, nullptr, nullptr, nullptr),
             ERROR_NO_MORE_ITEMS);
    RegCloseKey(root);
}

}  // namespace

void registryChecks() {
    openChecks();
    enumChecks();
    queryChecks();
    deleteChecks();
}

}  // namespace conformance
