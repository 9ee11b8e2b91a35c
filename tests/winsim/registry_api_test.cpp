// Registry API conformance: exact results, error codes and buffer handling.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"

namespace {

using qu_test::TempImage;

const DWORD kPoison = 0xDEADBEEF;

const char kTree[] =
    "[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n"
    "\"Str\"=\"hello\"\r\n"
    "\"Num\"=dword:0000002a\r\n"
    "\"Multi\"=hex(7):61,00,62,00,00\r\n"
    "\"Bin\"=hex:01,02,03\r\n"
    "@=\"default\"\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\beta]\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\Alpha]\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\Alpha\\Child]\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\gamma]\r\n";

TEST(RegistryApi, OpenEnumerateQueryClose) {
    TempImage image;
    image.reg(kTree);
    image.load();

    // Open: exact path in another case; missing key; leading backslash; bad out pointer.
    HKEY key = reinterpret_cast<HKEY>(0x1);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\test", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    ASSERT_NE(key, nullptr);
    HKEY missing = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nope", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &missing),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x4242), "x", 0, KEY_READ, &missing),
              ERROR_INVALID_HANDLE);
    HKEY same = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
    EXPECT_NE(same, key);
    EXPECT_EQ(winsim::openKeyHandles(), 2u);
    EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(same), ERROR_INVALID_HANDLE);

    // Enumerate: alphabetical ignoring case, gap-free, then ERROR_NO_MORE_ITEMS.
    const char* expected[] = {"Alpha", "beta", "gamma"};
    for (DWORD i = 0; i < 3; ++i) {
        char name[260];
        std::memset(name, 'Z', sizeof name);
        DWORD size = sizeof name;
        FILETIME ft;
        ASSERT_EQ(RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, &ft),
                  ERROR_SUCCESS);
        EXPECT_STREQ(name, expected[i]);
        EXPECT_EQ(size, std::strlen(expected[i]));
        EXPECT_EQ(name[size + 1], 'Z');
    }
    {
        char name[260];
        DWORD size = sizeof name;
        EXPECT_EQ(RegEnumKeyExA(key, 3, name, &size, nullptr, nullptr, nullptr, nullptr),
                  ERROR_NO_MORE_ITEMS);
        // Too small (room for "Alpha" but not its zero): buffer untouched.
        char small[5];
        std::memset(small, 'Z', sizeof small);
        size = sizeof small;
        EXPECT_EQ(RegEnumKeyExA(key, 0, small, &size, nullptr, nullptr, nullptr, nullptr),
                  ERROR_MORE_DATA);
        EXPECT_EQ(std::string(small, 5), "ZZZZZ");
        size = 6;
        EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(size, 5u);
    }

    // Query: types, sizes with the terminating zero, ERROR_MORE_DATA with the size.
    BYTE buf[64];
    DWORD type = kPoison, size = sizeof buf;
    std::memset(buf, 0xCC, sizeof buf);
    ASSERT_EQ(RegQueryValueExA(key, "str", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "hello");
    EXPECT_EQ(buf[6], 0xCC);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "Num", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    DWORD num = 0;
    std::memcpy(&num, buf, 4);
    EXPECT_EQ(num, 42u);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "Multi", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string("a\0b\0\0", 5));
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "default");
    size = 3;
    EXPECT_EQ(RegQueryValueExA(key, "Str", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Bin", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(key, "Nope", nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // harmless
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
}

TEST(RegistryApi, UnterminatedStringComesBackUnterminated) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\K]\r\n\"Raw\"=hex(1):61,62,63\r\n");
    image.load();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE buf[3];
    DWORD type = 0, size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "Raw", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
    RegCloseKey(key);
}

TEST(RegistryApi, CodePageConversionOfNamesAndData) {
    TempImage image;
    image.ini("codepage = 1251\n");
    // The file is ANSI in the image's code page: 0xC0 0xC1 is Cyrillic "АБ".
    image.reg("[HKEY_LOCAL_MACHINE\\K\\\xC0\xC1]\r\n\"N\"=\"\xE0\xE1\"\r\n");
    image.load();
    EXPECT_TRUE(winsim::keyExists("K\\\u0410\u0411"));
    EXPECT_EQ(winsim::stringValue("K\\\u0410\u0411", "N"), std::string("\u0430\u0431"));
    HKEY key = nullptr;
    // Lower-case Cyrillic in the A call opens the upper-case key.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "k\\\xE0\xE1", 0, KEY_READ, &key), ERROR_SUCCESS);
    char buf[8];
    DWORD size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "n", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, size), std::string("\xE0\xE1\0", 3));
    RegCloseKey(key);
    // A character the code page lacks comes back as '?'.
    winsim::setStringValue("K", "Euro", "\u00E9\u20AC");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "Euro", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, size), std::string("?\x88\0", 3));
    RegCloseKey(key);
}

TEST(RegistryApi, DeleteKeyFollowsTheFamilyRule) {
    for (const char* family : {"nt", "9x"}) {
        SCOPED_TRACE(family);
        TempImage image(family, std::string(family) == "nt" ? "5.1.2600" : "4.10.2222");
        image.reg("[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n[HKEY_LOCAL_MACHINE\\A\\Leaf]\r\n");
        image.load();
        HKEY a = nullptr, b = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &a), ERROR_SUCCESS);
        ASSERT_EQ(RegOpenKeyExA(a, "B", 0, KEY_READ, &b), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteKeyA(a, "Missing"), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegDeleteKeyA(a, "leaf"), ERROR_SUCCESS);
        EXPECT_FALSE(winsim::keyExists("A\\Leaf"));
        const LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\B");
        if (std::string(family) == "nt") {
            EXPECT_EQ(rc, ERROR_ACCESS_DENIED);
            EXPECT_TRUE(winsim::keyExists("A\\B\\C"));
        } else {
            EXPECT_EQ(rc, ERROR_SUCCESS);
            EXPECT_FALSE(winsim::keyExists("A\\B"));
            // A handle to the deleted key now reports it.
            char name[260];
            DWORD size = sizeof name;
            EXPECT_EQ(RegEnumKeyExA(b, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
                      ERROR_KEY_DELETED);
            HKEY c = nullptr;
            EXPECT_EQ(RegOpenKeyExA(b, "C", 0, KEY_READ, &c), ERROR_KEY_DELETED);
        }
        EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
        // Deletions are staged until the commit, then on disk together.
        EXPECT_NE(image.systemReg().find("Leaf"), std::string::npos);
        EXPECT_TRUE(winsim::hasStagedChanges());
        ASSERT_TRUE(winsim::commit());
        EXPECT_EQ(image.systemReg().find("Leaf"), std::string::npos);
    }
}

TEST(RegistryApi, DeleteKeyFaultAndRefusals) {
    TempImage image;
    image.ini("[faults]\ndeletekey = refuse ; program deletions fail\n");
    image.reg("[HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\B]\r\n");
    image.load();
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(winsim::keyExists("A"));
    winsim::faults().refuseDeleteKey = false;
    winsim::resetCallCounts();
    winsim::refuseCall("RegDeleteKeyA", ERROR_WRITE_PROTECT, 2);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "B"), ERROR_WRITE_PROTECT);
    EXPECT_TRUE(winsim::keyExists("B"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "B"), ERROR_SUCCESS);
    EXPECT_EQ(winsim::callCount("RegDeleteKeyA"), 3u);
    ASSERT_EQ(winsim::callLog().size(), 3u);
    EXPECT_EQ(winsim::callLog()[0], "RegDeleteKeyA(HKLM, A)");
    winsim::clearRefusals();

    // Without the log (as the program runs) calls are still counted and
    // refused as arranged; nothing is logged until it is turned on again.
    winsim::setCallLogging(false);
    EXPECT_TRUE(winsim::callLog().empty());
    winsim::refuseCall("RegDeleteKeyA", ERROR_WRITE_PROTECT, 1);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "B"), ERROR_WRITE_PROTECT);
    EXPECT_EQ(winsim::callCount("RegDeleteKeyA"), 4u);
    EXPECT_TRUE(winsim::callLog().empty());
    winsim::setCallLogging(true);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "B"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(winsim::callLog(), std::vector<std::string>{"RegDeleteKeyA(HKLM, B)"});
}

TEST(RegistryApi, CallLogSpellsOutFullPaths) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n");
    image.load();
    winsim::resetCallCounts();
    HKEY root = nullptr, a = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &root), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(root, "a", 0, KEY_READ, &a), ERROR_SUCCESS);
    RegQueryValueExA(a, "V", nullptr, nullptr, nullptr, nullptr);
    RegDeleteKeyA(a, "B\\C");
    RegCloseKey(a);
    RegCloseKey(root);
    const std::vector<std::string> expected = {
        "RegOpenKeyExA(HKLM)",          "RegOpenKeyExA(HKLM, a)", "RegQueryValueExA(HKLM, A, V)",
        "RegDeleteKeyA(HKLM, A\\B\\C)", "RegCloseKey(HKLM, A)",   "RegCloseKey(HKLM)",
    };
    EXPECT_EQ(winsim::callLog(), expected);
    EXPECT_EQ(winsim::callCount("RegCloseKey"), 2u);
}

}  // namespace
