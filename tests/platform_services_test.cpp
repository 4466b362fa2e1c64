// The Windows services of the POSIX stand-in that the installer relies on: path mapping,
// the platform family, the system directory, the system message texts and local memory.
#include "platform/win32.h"
#include "platform/win_path.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class TempHome : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tav-platform-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home_ = pattern;
        setenv("TAV_HOME", home_.c_str(), 1);
        unsetenv("TAV_PLATFORM");
    }
    void TearDown() override {
        unsetenv("TAV_PLATFORM");
        unsetenv("TAV_HOME");
        std::filesystem::remove_all(home_);
    }
    std::string home_;
};

using PathMapping = TempHome;

TEST_F(PathMapping, DrivesBecomeFoldersOfTheStateFolder) {
    struct Case {
        const char *windows;
        std::string expected;
    } cases[] = {
        {"c:\\winnt\\system32", home_ + "/drive_c/winnt/system32"},
        {"C:\\WINNT\\system32\\", home_ + "/drive_c/WINNT/system32/"},
        {"d:\\kit\\DriverAgent.dll", home_ + "/drive_d/kit/DriverAgent.dll"},
        {"c:", home_ + "/drive_c"},
        {"c:\\", home_ + "/drive_c/"},
        {"c:kit", home_ + "/drive_c/kit"},
        {"kit\\agentcd.sys", "kit/agentcd.sys"},
        {"\\tmp\\kit", "/tmp/kit"},
        {"/tmp/kit/x.dll", "/tmp/kit/x.dll"},
        {"", ""},
    };
    for (const Case &c : cases) EXPECT_EQ(native_path(c.windows), c.expected) << c.windows;
    EXPECT_EQ(native_path(nullptr), "");
}

TEST_F(PathMapping, ExistingNamesAreFoundWithoutRegardToCase) {
    std::filesystem::create_directories(home_ + "/drive_c/WinNT/System32/Drivers");
    std::ofstream(home_ + "/drive_c/WinNT/System32/Drivers/AgentCD.sys") << "x";
    EXPECT_EQ(native_path("c:\\winnt\\system32\\drivers\\agentcd.sys"),
              home_ + "/drive_c/WinNT/System32/Drivers/AgentCD.sys");
    // A name that does not exist at all keeps the case it was given.
    EXPECT_EQ(native_path("c:\\WINNT\\system32\\New.dll"), home_ + "/drive_c/WinNT/System32/New.dll");
}

using PlatformFamily = TempHome;

TEST_F(PlatformFamily, VersionFollowsTavPlatform) {
    struct Case {
        const char *platform;  // null: unset
        DWORD id;
        const char *system_directory;
    } cases[] = {
        {nullptr, VER_PLATFORM_WIN32_NT, "c:\\winnt\\system32"},
        {"95", VER_PLATFORM_WIN32_WINDOWS, "c:\\windows\\system"},
        {"nt", VER_PLATFORM_WIN32_NT, "c:\\winnt\\system32"},
        {"", VER_PLATFORM_WIN32_NT, "c:\\winnt\\system32"},
    };
    for (const Case &c : cases) {
        if (c.platform == nullptr)
            unsetenv("TAV_PLATFORM");
        else
            setenv("TAV_PLATFORM", c.platform, 1);
        OSVERSIONINFOA info;
        std::memset(&info, 0xA5, sizeof(info));
        info.dwOSVersionInfoSize = sizeof(info);
        ASSERT_TRUE(GetVersionExA(&info));
        EXPECT_EQ(info.dwPlatformId, c.id) << (c.platform ? c.platform : "(unset)");
        EXPECT_EQ(info.szCSDVersion[0], '\0');
        char directory[MAX_PATH];
        UINT length = GetSystemDirectoryA(directory, sizeof(directory));
        EXPECT_EQ(std::string(directory), c.system_directory);
        EXPECT_EQ(length, std::strlen(c.system_directory));
    }
}

TEST_F(PlatformFamily, VersionRefusesAWrongStructureSize) {
    for (DWORD size : {0u, 147u, 149u, 156u}) {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = size;
        SetLastError(0);
        EXPECT_FALSE(GetVersionExA(&info)) << size;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(info.dwPlatformId, 0u);
    }
    EXPECT_FALSE(GetVersionExA(nullptr));
}

TEST_F(PlatformFamily, SystemDirectoryTooSmallABufferGivesTheSizeNeeded) {
    const std::string expected = "c:\\winnt\\system32";
    char buffer[64];
    std::memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(GetSystemDirectoryA(buffer, static_cast<UINT>(expected.size())), expected.size() + 1);
    EXPECT_EQ(buffer[0], 'z');  // left alone
    EXPECT_EQ(GetSystemDirectoryA(nullptr, 0), expected.size() + 1);
    EXPECT_EQ(GetSystemDirectoryA(buffer, static_cast<UINT>(expected.size() + 1)), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
}

// Every error the registry and file calls of the stand-in return has its Windows text.
TEST(SystemMessages, TextsOfTheStandInsErrors) {
    struct Case {
        DWORD code;
        const char *text;
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
        {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
        {ERROR_READ_FAULT, "The system cannot read from the specified device.\r\n"},
        {ERROR_SHARING_VIOLATION,
         "The process cannot access the file because it is being used by another process.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {ERROR_BAD_PATHNAME, "The specified path is invalid.\r\n"},
        {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.\r\n"},
        {ERROR_MORE_DATA, "More data is available.\r\n"},
        {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
        {ERROR_CANTOPEN, "The configuration registry key could not be opened.\r\n"},
        {ERROR_CANTREAD, "The configuration registry key could not be read.\r\n"},
        {ERROR_CANTWRITE, "The configuration registry key could not be written.\r\n"},
        {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
        {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section.\r\n"},
        {ERROR_RESOURCE_TYPE_NOT_FOUND, "The specified resource type cannot be found in the image file.\r\n"},
    };
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    for (const Case &c : cases) {
        LPSTR text = nullptr;
        DWORD length = FormatMessageA(flags, nullptr, c.code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_NE(text, nullptr) << c.code;
        EXPECT_EQ(std::string(text), c.text) << c.code;
        EXPECT_EQ(length, std::strlen(c.text));
        EXPECT_EQ(LocalFree(text), nullptr);
    }
}

TEST(SystemMessages, Refusals) {
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    struct Case {
        const char *what;
        DWORD flags;
        DWORD code;
        DWORD language;
        DWORD error;
    } cases[] = {
        {"unknown code", flags, 987654, 0x0400, ERROR_MR_MID_NOT_FOUND},
        {"German", flags, ERROR_ACCESS_DENIED, 0x0407, ERROR_RESOURCE_LANG_NOT_FOUND},
        {"inserts not ignored", flags & ~FORMAT_MESSAGE_IGNORE_INSERTS, ERROR_BAD_EXE_FORMAT, 0x0400,
         ERROR_INVALID_PARAMETER},
        {"not from the system", FORMAT_MESSAGE_ALLOCATE_BUFFER, ERROR_ACCESS_DENIED, 0x0400, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        LPSTR text = nullptr;
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(c.flags, nullptr, c.code, c.language, reinterpret_cast<LPSTR>(&text), 0, nullptr),
                  0u)
            << c.what;
        EXPECT_EQ(text, nullptr) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // English with any sublanguage is served; a caller's buffer must hold text and terminator.
    const DWORD plain = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    char buffer[20];
    EXPECT_EQ(FormatMessageA(plain, nullptr, ERROR_ACCESS_DENIED, 0x0409, buffer, 20, nullptr), 19u);
    EXPECT_STREQ(buffer, "Access is denied.\r\n");
    EXPECT_EQ(FormatMessageA(plain, nullptr, ERROR_ACCESS_DENIED, 0x0809, buffer, 19, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(ProcessHeap, BlocksComeBackZeroedOnRequestAndAreReleased) {
    HANDLE heap = GetProcessHeap();
    ASSERT_NE(heap, nullptr);
    auto *zeroed = static_cast<uint8_t *>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 64));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(zeroed[i], 0) << i;
    void *empty = HeapAlloc(heap, 0, 0);
    EXPECT_NE(empty, nullptr);
    EXPECT_TRUE(HeapFree(heap, 0, zeroed));
    EXPECT_TRUE(HeapFree(heap, 0, empty));
    int other;
    EXPECT_EQ(HeapAlloc(&other, 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
