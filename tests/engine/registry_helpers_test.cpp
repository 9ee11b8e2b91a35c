// Registry and file helpers, bounded text and the precompiled-INF name.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "detection/bounded_text.h"
#include "discovery/registry_helpers.h"
#include "removal/nt_removal.h"
#include "tests/engine/engine_test.h"

namespace engine_test {
namespace {

constexpr char kKey[] = "Software\\Test";

class RegistryHelpersTest : public EngineTest {};

TEST(BoundedText, JoinWritesAllOrNothing) {
    char buf[8 + 4];
    std::memset(buf, '#', sizeof buf);
    char* dest = buf;  // 8 usable bytes, 4 canary bytes after them
    EXPECT_TRUE(joinText(dest, 8, {"abc", nullptr, "defg"}));
    EXPECT_STREQ(dest, "abcdefg");
    EXPECT_FALSE(joinText(dest, 8, {"abcd", "efgh"}));
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(std::string(buf + 8, 4), "####");

    char path[kPathBufferSize];
    EXPECT_TRUE(joinText(path, {std::string(259, 'a').c_str()}));
    EXPECT_FALSE(joinText(path, {std::string(258, 'a').c_str(), "bc"}));
    EXPECT_TRUE(joinText(path, {"C:\\W"}));
    EXPECT_TRUE(joinText(path, {path, "\\Inf"}));  // dest as first part
    EXPECT_STREQ(path, "C:\\W\\Inf");

    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(isTerminatedText(full, sizeof full));
    EXPECT_EQ(full[0], '\0');
    char ok[4] = {'a', 'b', '\0', 'd'};
    EXPECT_TRUE(isTerminatedText(ok, sizeof ok));
}

TEST(BoundedText, PrecompiledInfName) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"C:\\WINDOWS\\Inf\\oem7.inf", "C:\\WINDOWS\\Inf\\oem7.PNF"},
        {"C:\\WIN.DIR\\Inf\\oem7", "C:\\WIN.DIR\\Inf\\oem7.PNF"},
        {"C:\\W\\a.b.inf", "C:\\W\\a.b.PNF"},
        {"C:\\W/x.i", "C:\\W/x.PNF"},
        {"C:oem", "C:oem.PNF"},
    };
    for (const auto& c : cases) {
        char path[kPathBufferSize];
        std::strcpy(path, c.in);
        EXPECT_TRUE(makePrecompiledInfPath(path));
        EXPECT_STREQ(path, c.out);
    }
    char path[kPathBufferSize];
    const std::string tooLong = "C:\\" + std::string(254, 'a');  // 257 characters, no dot
    std::strcpy(path, tooLong.c_str());
    EXPECT_FALSE(makePrecompiledInfPath(path));
    EXPECT_EQ(std::string(path), tooLong);
}

TEST_F(RegistryHelpersTest, ReadRegistryValue) {
    RegText reg;
    reg.key(kKey)
        .sz("Short", "value")
        .sz("Fits", std::string(259, 'f'))
        .sz("TooLong", std::string(260, 't'))
        .multiSz("Multi", {"first", "second"});
    load(reg);
    std::vector<uint8_t> open259(259, 'u');
    winsim::setRawValue(kKey, "Open259", REG_SZ, open259);
    winsim::setRawValue(kKey, "Open260", REG_SZ, std::vector<uint8_t>(260, 'u'));

    char buf[kPathBufferSize + 4];
    std::memset(buf, '#', sizeof buf);
    DWORD size = kPathBufferSize;
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kKey, "short", buf, &size));
    EXPECT_STREQ(buf, "value");
    EXPECT_EQ(size, 6u);

    size = kPathBufferSize;
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kKey, "Fits", buf, &size));
    EXPECT_EQ(std::strlen(buf), 259u);
    size = kPathBufferSize;
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kKey, "Multi", buf, &size));
    EXPECT_STREQ(buf, "first");
    size = kPathBufferSize;
    EXPECT_TRUE(readRegistryValue(HKEY_LOCAL_MACHINE, kKey, "Open259", buf, &size));
    EXPECT_EQ(std::string(buf), std::string(259, 'u'));

    for (const char* name : {"TooLong", "Open260", "Missing"}) {
        size = kPathBufferSize;
        EXPECT_FALSE(readRegistryValue(HKEY_LOCAL_MACHINE, kKey, name, buf, &size)) << name;
        EXPECT_STREQ(buf, "") << name;
    }
    size = kPathBufferSize;
    EXPECT_FALSE(readRegistryValue(HKEY_LOCAL_MACHINE, "Software\\Nope", "Short", buf, &size));
    EXPECT_EQ(std::string(buf + kPathBufferSize, 4), "####");
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
}

TEST_F(RegistryHelpersTest, CountSubkeys) {
    RegText reg;
    reg.key("Enum\\USB\\VID_1\\a").key("Enum\\USB\\VID_1\\b").key("Enum\\USB\\VID_1\\c");
    load(reg);
    EXPECT_EQ(countSubkeys("Enum\\USB\\", "VID_1"), 3u);
    EXPECT_EQ(countSubkeys("Enum\\USB\\", "vid_1"), 3u);
    EXPECT_EQ(countSubkeys("Enum\\USB\\", "VID_2"), 0u);
    EXPECT_EQ(countSubkeys("Enum\\USB\\", std::string(300, 'V').c_str()), 0u);
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
}

TEST_F(RegistryHelpersTest, DeleteFirstMatchingSubkey) {
    RegText reg;
    reg.key("Net\\0000").sz("Other", "x");  // lacks the value: skipped
    reg.key("Net\\0001").sz("Id", "pci\\ven_1");
    reg.key("Net\\0002").sz("Id", "usb\\vid_f3a7&pid_0053");  // lower case still matches
    reg.key("Net\\0003").sz("Id", "USB\\VID_F3A7&PID_0053");
    reg.key("Net\\0004").sz("Desc", "Quorvane Adapter");
    reg.key("Enum\\USB\\vid_f3a7&pid_0053");
    load(reg);

    EXPECT_TRUE(deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Net", "Id", kSlot1, false));
    EXPECT_EQ(winsim::subkeyNames("Net"),
              (std::vector<std::string>{"0000", "0001", "0003", "0004"}));
    bool deleted = false;
    EXPECT_TRUE(
        deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Net", "Id", kSlot1, false, &deleted));
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Net", "Id", kSlot1, false));

    // Exact mode: whole-string equality ignoring case, no substring.
    EXPECT_FALSE(deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Net", "Desc", "Quorvane", true));
    EXPECT_TRUE(
        deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Net", "Desc", "QUORVANE adapter", true));
    EXPECT_EQ(winsim::subkeyNames("Net"), (std::vector<std::string>{"0000", "0001"}));

    // No value name: the subkey name itself, upper-cased.
    EXPECT_TRUE(deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Enum\\USB", nullptr, kSlot1, false));
    EXPECT_FALSE(winsim::keyExists("Enum\\USB\\VID_F3A7&PID_0053"));
    EXPECT_FALSE(deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Missing", nullptr, kSlot1, false));

    // A refused deletion is reported through `deleted`.
    winsim::faults().refuseDeleteKey = true;
    EXPECT_TRUE(deleteFirstMatchingSubkey(HKEY_LOCAL_MACHINE, "Net", "Id", "PCI", false, &deleted));
    EXPECT_FALSE(deleted);
    EXPECT_TRUE(winsim::keyExists("Net\\0001"));
    EXPECT_EQ(winsim::openKeyHandles(), 0u);
}

TEST_F(RegistryHelpersTest, DeleteFileForced) {
    image().file("C:\\WINDOWS\\ro.sys", "x", true);
    image().file("C:\\WINDOWS\\rw.sys");
    image().file("C:\\WINDOWS\\Sub\\keep.txt");
    load(RegText());

    EXPECT_TRUE(deleteFileForced("C:\\WINDOWS\\ro.sys"));
    EXPECT_TRUE(deleteFileForced("C:\\WINDOWS\\rw.sys"));
    // Staged: gone for the program, on disk until the commit.
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\ro.sys"), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\rw.sys"));
    EXPECT_TRUE(image().exists("C:\\WINDOWS\\ro.sys"));
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image().exists("C:\\WINDOWS\\ro.sys"));
    EXPECT_FALSE(image().exists("C:\\WINDOWS\\rw.sys"));

    winsim::resetCallCounts();
    EXPECT_FALSE(deleteFileForced("C:\\WINDOWS\\missing.sys"));
    EXPECT_FALSE(deleteFileForced("C:\\WINDOWS\\Sub"));  // a directory is never touched
    EXPECT_FALSE(deleteFileForced(""));
    EXPECT_EQ(winsim::callCount("SetFileAttributesA"), 0u);
    EXPECT_EQ(winsim::callCount("DeleteFileA"), 0u);
    EXPECT_TRUE(image().exists("C:\\WINDOWS\\Sub\\keep.txt"));

    // Attributes that cannot be written: no deletion is tried.
    image().file("C:\\WINDOWS\\locked.sys");
    winsim::refuseCall("SetFileAttributesA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(deleteFileForced("C:\\WINDOWS\\locked.sys"));
    EXPECT_EQ(winsim::callCount("DeleteFileA"), 0u);
    EXPECT_TRUE(image().exists("C:\\WINDOWS\\locked.sys"));
    winsim::clearRefusals();

    // A deletion that fails leaves a read-only file read-only.
    image().file("C:\\WINDOWS\\kept.sys", "x", true);
    winsim::refuseCall("DeleteFileA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(deleteFileForced("C:\\WINDOWS\\kept.sys"));
    EXPECT_TRUE(image().exists("C:\\WINDOWS\\kept.sys"));
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\kept.sys") & FILE_ATTRIBUTE_READONLY,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(winsim::commit());
    EXPECT_EQ(::access(image().host("C:\\WINDOWS\\kept.sys").c_str(), F_OK), 0);
    struct stat st;
    ASSERT_EQ(::stat(image().host("C:\\WINDOWS\\kept.sys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
}

}  // namespace
}  // namespace engine_test
