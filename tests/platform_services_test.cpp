// The Windows services of the POSIX stand-in that the installer relies on: path mapping,
// the platform family, the system directory, the system message texts and the heap.
#include "platform/tav_home.h"
#include "platform/win32.h"
#include "platform/win_path.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <string>

#include "toolkit_seed.h"

namespace {

class Platform : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        unsetenv("TAV_PLATFORM");
    }
    void TearDown() override { unsetenv("TAV_PLATFORM"); }
    TempTavHome home_;
    const std::string &home = home_.path();
};

// The state folder: TAV_HOME when given; else under the home folder, which a run as root or
// through sudo takes from the password database, never from HOME.
TEST_F(Platform, APrivilegedRunNeverTakesItsStateFolderFromHome) {
    const std::string fake = home + "/invoking-user", database = std::string(getpwuid(geteuid())->pw_dir);
    const std::string made = database + "/.local/state/tav";
    const bool existed = std::filesystem::exists(made);
    struct {
        const char *tav_home, *sudo_user;
        std::string expected;
    } rows[] = {{home.c_str(), "alice", home},
                {nullptr, "alice", made},
                {nullptr, nullptr, (geteuid() == 0 ? database : fake) + "/.local/state/tav"}};
    const std::string saved_home = getenv("HOME") ? getenv("HOME") : "";
    for (const auto &row : rows) {
        setenv("HOME", fake.c_str(), 1);
        row.tav_home ? setenv("TAV_HOME", row.tav_home, 1) : unsetenv("TAV_HOME");
        row.sudo_user ? setenv("SUDO_USER", row.sudo_user, 1) : unsetenv("SUDO_USER");
        EXPECT_EQ(tav_home(), row.expected);
    }
    setenv("TAV_HOME", home.c_str(), 1);
    setenv("HOME", saved_home.c_str(), 1);
    unsetenv("SUDO_USER");
    std::error_code ec;
    if (!existed) std::filesystem::remove(made, ec);
}

TEST_F(Platform, DrivesBecomeFoldersOfTheStateFolder) {
    struct Case {
        const char *windows;
        std::string expected;
    } cases[] = {
        {"c:\\winnt\\system32", home + "/drive_c/winnt/system32"},
        {"C:\\WINNT\\system32\\", home + "/drive_c/WINNT/system32/"},
        {"d:\\kit\\DriverAgent.dll", home + "/drive_d/kit/DriverAgent.dll"},
        {"c:", home + "/drive_c"},
        {"c:kit", home + "/drive_c/kit"},
        {"kit\\agentcd.sys", "kit/agentcd.sys"},
        {"\\tmp\\kit", "/tmp/kit"},
        {"/tmp/kit/x.dll", "/tmp/kit/x.dll"},
        {"", ""},
    };
    for (const Case &c : cases) EXPECT_EQ(native_path(c.windows), c.expected) << c.windows;
    EXPECT_EQ(native_path(nullptr), "");
}

TEST_F(Platform, ExistingNamesAreFoundWithoutRegardToCase) {
    std::filesystem::create_directories(home + "/drive_c/WinNT/System32/Drivers");
    std::ofstream(home + "/drive_c/WinNT/System32/Drivers/AgentCD.sys") << "x";
    EXPECT_EQ(native_path("c:\\winnt\\system32\\drivers\\agentcd.sys"),
              home + "/drive_c/WinNT/System32/Drivers/AgentCD.sys");
    // A name that does not exist at all keeps the case it was given.
    EXPECT_EQ(native_path("c:\\WINNT\\system32\\New.dll"), home + "/drive_c/WinNT/System32/New.dll");
}

TEST_F(Platform, VersionAndSystemDirectoryFollowTavPlatform) {
    struct Case {
        const char *platform;   // null: unset
        DWORD id;
        std::string system_directory;
    } cases[] = {
        {nullptr, VER_PLATFORM_WIN32_NT, "c:\\winnt\\system32"},
        {"95", VER_PLATFORM_WIN32_WINDOWS, "c:\\windows\\system"},
        {"nt", VER_PLATFORM_WIN32_NT, "c:\\winnt\\system32"},
        {"", VER_PLATFORM_WIN32_NT, "c:\\winnt\\system32"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.platform ? c.platform : "(unset)");
        if (c.platform) setenv("TAV_PLATFORM", c.platform, 1);
        OSVERSIONINFOA info;
        std::memset(&info, 0xA5, sizeof(info));
        info.dwOSVersionInfoSize = sizeof(info);
        ASSERT_TRUE(GetVersionExA(&info));
        EXPECT_EQ(info.dwPlatformId, c.id);
        EXPECT_EQ(info.szCSDVersion[0], '\0');
        // A buffer too small gets nothing and the size needed; one that fits gets the text.
        const UINT size = static_cast<UINT>(c.system_directory.size());
        char directory[MAX_PATH];
        std::memset(directory, 'z', sizeof(directory));
        EXPECT_EQ(GetSystemDirectoryA(directory, size), size + 1);
        EXPECT_EQ(directory[0], 'z');
        EXPECT_EQ(GetSystemDirectoryA(nullptr, 0), size + 1);
        EXPECT_EQ(GetSystemDirectoryA(directory, size + 1), size);
        EXPECT_EQ(directory, c.system_directory);
    }
    for (DWORD size : {0u, 147u, 156u}) {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = size;
        EXPECT_FALSE(GetVersionExA(&info)) << size;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(info.dwPlatformId, 0u);
    }
    EXPECT_FALSE(GetVersionExA(nullptr));
}

// Every error the registry and file calls of the stand-in return has a Windows text ending
// in a line break (the installer prints them). The exact texts printed on the installer's
// failure paths are checked by the installer tests; the one with an insert is checked here.
TEST(SystemMessages, EveryErrorOfTheStandInHasItsText) {
    const DWORD codes[] = {ERROR_FILE_NOT_FOUND,     ERROR_PATH_NOT_FOUND,    ERROR_ACCESS_DENIED,
                           ERROR_INVALID_HANDLE,     ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA,
                           ERROR_READ_FAULT,         ERROR_SHARING_VIOLATION, ERROR_INVALID_PARAMETER,
                           ERROR_INSUFFICIENT_BUFFER, ERROR_BAD_PATHNAME,     ERROR_BAD_EXE_FORMAT,
                           ERROR_MORE_DATA,          ERROR_BADDB,             ERROR_CANTOPEN,
                           ERROR_CANTREAD,           ERROR_CANTWRITE,         ERROR_KEY_DELETED,
                           ERROR_RESOURCE_DATA_NOT_FOUND, ERROR_RESOURCE_TYPE_NOT_FOUND};
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    for (DWORD code : codes) {
        LPSTR text = nullptr;
        DWORD length = FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_NE(text, nullptr) << code;
        std::string s(text);
        EXPECT_EQ(length, s.size()) << code;
        EXPECT_GT(s.size(), 12u) << code;
        EXPECT_EQ(s.substr(s.size() - 3), ".\r\n") << code;
        if (code == ERROR_BAD_EXE_FORMAT) { EXPECT_EQ(s, "%1 is not a valid Win32 application.\r\n"); }
        EXPECT_EQ(LocalFree(text), nullptr);
    }
}

TEST(SystemMessages, Refusals) {
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    struct Case {
        const char *what;
        DWORD flags, code, language, error;
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
        EXPECT_EQ(FormatMessageA(c.flags, nullptr, c.code, c.language, reinterpret_cast<LPSTR>(&text), 0, nullptr), 0u)
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
    auto *zeroed = static_cast<uint8_t *>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 64));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(std::count(zeroed, zeroed + 64, 0), 64);
    void *empty = HeapAlloc(heap, 0, 0);
    EXPECT_NE(empty, nullptr);
    EXPECT_TRUE(HeapFree(heap, 0, zeroed));
    EXPECT_TRUE(HeapFree(heap, 0, empty));
    int other;
    EXPECT_EQ(HeapAlloc(&other, 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
