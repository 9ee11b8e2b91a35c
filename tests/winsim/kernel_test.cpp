// Kernel services: version, Windows directory, restart, files and the
// sandbox around the C: drive.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/offline.h"

namespace {

namespace fs = std::filesystem;
using qu_test::TempImage;

const DWORD kPoison = 0xDEADBEEF;

TEST(Kernel, VersionPerFamilyAndSizeCheck) {
    {
        TempImage image("nt", "5.1.2600");
        image.load();
        OSVERSIONINFOA info;
        std::memset(&info, 0xCC, sizeof info);
        info.dwOSVersionInfoSize = sizeof info;
        ASSERT_TRUE(GetVersionExA(&info));
        EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
        EXPECT_EQ(info.dwMajorVersion, 5u);
        EXPECT_EQ(info.dwMinorVersion, 1u);
        EXPECT_EQ(info.dwBuildNumber, 2600u);
        EXPECT_EQ(info.szCSDVersion[0], '\0');
        info.dwOSVersionInfoSize = sizeof info - 1;
        SetLastError(kPoison);
        EXPECT_FALSE(GetVersionExA(&info));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        winsim::faults().versionFails = true;
        info.dwOSVersionInfoSize = sizeof info;
        EXPECT_FALSE(GetVersionExA(&info));
    }
    {
        TempImage image("9x", "4.90.3000");
        image.load();
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = sizeof info;
        ASSERT_TRUE(GetVersionExA(&info));
        EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
        EXPECT_EQ(info.dwMajorVersion, 4u);
        EXPECT_EQ(info.dwMinorVersion, 90u);
        EXPECT_EQ(info.dwBuildNumber & 0xFFFF, 3000u);
    }
}

TEST(Kernel, WindowsDirectoryReturnRules) {
    TempImage image("nt", "5.1.2600", "C:\\WINDOWS");
    image.load();
    char buf[32];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(GetWindowsDirectoryA(buf, sizeof buf), 10u);
    EXPECT_STREQ(buf, "C:\\WINDOWS");
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(GetWindowsDirectoryA(buf, 10), 11u);  // no room for the zero
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(GetWindowsDirectoryA(buf, 11), 10u);
    EXPECT_EQ(GetWindowsDirectoryA(nullptr, 0), 11u);
    winsim::faults().windowsDirFails = true;
    SetLastError(0);
    EXPECT_EQ(GetWindowsDirectoryA(buf, sizeof buf), 0u);
    EXPECT_NE(GetLastError(), 0u);
}

TEST(Kernel, RestartIsOnlyRecorded) {
    TempImage image;
    image.load();
    EXPECT_FALSE(winsim::restartRequested());
    EXPECT_TRUE(ExitWindowsEx(EWX_LOGOFF, 0));
    EXPECT_FALSE(winsim::restartRequested());
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_TRUE(winsim::restartRequested());
}

TEST(Kernel, FileAttributesAndDeletion) {
    TempImage image;
    image.file("C:\\WINDOWS\\Inf\\oem7.inf");
    image.file("C:\\WINDOWS\\Inf\\oem7.PNF", "p", true);
    image.load();

    // Attributes; components match whatever their case.
    EXPECT_EQ(GetFileAttributesA("c:\\windows\\INF\\OEM7.INF"),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributesA("C:/WINDOWS/Inf/oem7.PNF"),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\Inf"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    struct {
        const char* path;
        DWORD error;
    } const missing[] = {
        {"C:\\WINDOWS\\Inf\\none.inf", ERROR_FILE_NOT_FOUND},
        {"C:\\WINDOWS\\Nowhere\\x.inf", ERROR_PATH_NOT_FOUND},
        {"C:\\WINDOWS\\Inf\\oem7.inf\\x", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& m : missing) {
        SetLastError(kPoison);
        EXPECT_EQ(GetFileAttributesA(m.path), INVALID_FILE_ATTRIBUTES) << m.path;
        EXPECT_EQ(GetLastError(), m.error) << m.path;
        SetLastError(kPoison);
        EXPECT_FALSE(DeleteFileA(m.path)) << m.path;
        EXPECT_EQ(GetLastError(), m.error) << m.path;
    }

    // Read-only refuses deletion until the bit is cleared.
    SetLastError(kPoison);
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\Inf\\oem7.PNF"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\Inf\\oem7.PNF"));
    EXPECT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Inf\\oem7.PNF", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\Inf\\oem7.PNF"));
    EXPECT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Inf\\oem7.inf", FILE_ATTRIBUTE_READONLY));
    // Staged: the calls see the change, the disk gets it with the commit.
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\Inf\\oem7.PNF"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\Inf\\oem7.inf"),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\Inf\\oem7.PNF"));
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\Inf\\oem7.PNF"));
    struct stat st;
    ASSERT_EQ(::stat(image.host("C:\\WINDOWS\\Inf\\oem7.inf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IWUSR, 0u);
    SetLastError(kPoison);
    EXPECT_FALSE(SetFileAttributesA("C:\\WINDOWS\\Inf\\gone.inf", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A folder is not a file to delete.
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\Inf"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Kernel, NothingOutsideTheDriveIsReachable) {
    TempImage image;
    image.file("C:\\inside.txt");
    image.load();
    // Targets outside drive_c/: a file next to it in the image, and one
    // beyond the image.
    const std::string outsideImage = image.dir() + "/machine.ini";
    const fs::path beyond = fs::path(image.dir()).parent_path() /
                            (fs::path(image.dir()).filename().string() + "-outside.txt");
    std::ofstream(beyond) << "precious";
    const std::string drive = image.dir() + "/drive_c";
    fs::create_symlink(outsideImage, drive + "/link_to_ini");
    fs::create_symlink(fs::path(image.dir()), drive + "/link_dir");
    fs::create_symlink(drive + "/inside.txt", drive + "/link_inside");

    const char* escapes[] = {
        "C:\\..\\machine.ini",
        "C:\\WINDOWS\\..\\..\\machine.ini",
        "C:\\link_to_ini",
        "C:\\link_dir\\machine.ini",
        "D:\\machine.ini",
        "\\\\server\\share\\x.txt",
        "\\\\?\\C:\\inside.txt",
        "\\inside.txt",
        "inside.txt",
        "C:\\NUL",
        "C:\\WINDOWS\\con.txt",
        "C:\\in*.txt",
    };
    for (const char* path : escapes) {
        SetLastError(kPoison);
        EXPECT_EQ(GetFileAttributesA(path), INVALID_FILE_ATTRIBUTES) << path;
        EXPECT_NE(GetLastError(), kPoison) << path;
        EXPECT_FALSE(DeleteFileA(path)) << path;
        EXPECT_FALSE(SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY)) << path;
        EXPECT_EQ(CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << path;
        EXPECT_EQ(winsim::hostPath(path), "") << path;
    }
    EXPECT_TRUE(fs::exists(outsideImage));
    EXPECT_TRUE(fs::exists(beyond));
    struct stat st;
    ASSERT_EQ(::stat(outsideImage.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_EQ(qu_test::readHostFile(beyond), "precious");

    // Inside the drive "." and ".." resolve, and a link pointing inside works;
    // deleting it removes the link, not its target.
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\.\\..\\inside.txt"),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(DeleteFileA("C:\\link_inside"));
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(drive + "/link_inside")));
    EXPECT_TRUE(image.exists("C:\\inside.txt"));
    fs::remove(beyond);
}

// Files the program writes reach the drive at once, never through a link,
// never over a file the running command deleted, never on a read-only
// machine.
TEST(Kernel, WrittenFilesReachTheDriveAtOnce) {
    TempImage image;
    image.file("C:\\target.txt", "kept");
    image.file("C:\\gone.txt", "old");
    fs::create_symlink(image.dir() + "/drive_c/target.txt", image.dir() + "/drive_c/link.txt");
    image.load();
    auto write = [](const char* path, const char* text) {
        HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return GetLastError();
        DWORD written = 0;
        SetFilePointer(file, 0, nullptr, FILE_END);
        WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
        CloseHandle(file);
        return static_cast<DWORD>(ERROR_SUCCESS);
    };
    EXPECT_EQ(write("C:\\WINDOWS\\New.log", "a\r\n"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(write("C:\\windows\\new.LOG", "b\r\n"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(winsim::hasStagedChanges());
    EXPECT_EQ(qu_test::readHostFile(image.host("C:\\WINDOWS\\New.log")), "a\r\nb\r\n");
    EXPECT_EQ(write("C:\\link.txt", "x"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(qu_test::readHostFile(image.host("C:\\target.txt")), "kept");
    ASSERT_TRUE(DeleteFileA("C:\\gone.txt"));
    EXPECT_EQ(write("C:\\gone.txt", "new"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(winsim::commit());
    EXPECT_FALSE(image.exists("C:\\gone.txt"));

    winsim::LoadOptions options;
    options.readOnly = true;
    std::string error;
    ASSERT_TRUE(winsim::loadMachine(image.dir(), options, &error)) << error;
    EXPECT_EQ(write("C:\\WINDOWS\\New.log", "c"), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(write("C:\\other.log", "c"), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_FALSE(image.exists("C:\\other.log"));
    EXPECT_EQ(qu_test::readHostFile(image.host("C:\\WINDOWS\\New.log")), "a\r\nb\r\n");
    winsim::unloadMachine();
}

TEST(Kernel, ADriveThatIsALinkIsNoDrive) {
    TempImage image;
    image.file("C:\\x.txt");
    fs::rename(image.dir() + "/drive_c", image.dir() + "/real_c");
    fs::create_symlink(image.dir() + "/real_c", image.dir() + "/drive_c");
    testing::internal::CaptureStderr();
    image.load();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("drive_c"), std::string::npos);
    SetLastError(kPoison);
    EXPECT_EQ(GetFileAttributesA("C:\\x.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
