// The registry calls on POSIX over $TAV_HOME/registry.reg: Windows error codes, case,
// value sizes, the store as a person reads it, locked atomic rewrites from several
// processes, and a store that cannot be parsed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/win32.h"
#include "toolkit_seed.h"

namespace {

const char kDriverAgent[] = "Software\\NuMega\\DriverAgent";

class RegistryTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(home_.path().empty()); }

    static HKEY create(const char *path, DWORD *disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }
    static LONG open(const char *path, REGSAM sam, HKEY *key, HKEY root = HKEY_LOCAL_MACHINE) {
        return RegOpenKeyExA(root, path, 0, sam, key);
    }
    static LONG set_dword(HKEY key, const char *name, DWORD value) {
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    }
    static LONG get_dword(HKEY key, const char *name, DWORD *value) {
        DWORD size = sizeof *value;
        return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(value), &size);
    }
    // No temporary file of a rewrite is left behind.
    void expect_no_temporary_files() {
        for (const auto &entry : std::filesystem::directory_iterator(home_.path()))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }

    TempTavHome home_;
};

TEST_F(RegistryTest, MissingKeysAndBadPathsAndHandles) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(open(kDriverAgent, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(std::filesystem::exists(home_.registry()));   // reading never makes a store

    RegCloseKey(create("Software\\NuMega"));
    EXPECT_EQ(open(kDriverAgent, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open("Software\\\\NuMega", KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(open("\\Software", KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(open("Software", KEY_READ, &key, reinterpret_cast<HKEY>(0x7777)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x7777)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(open(kDriverAgent, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    HKEY bad = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\line\nbreak", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &bad, nullptr),
              ERROR_BAD_PATHNAME);
    HKEY made = create(kDriverAgent);
    DWORD value = 0;
    EXPECT_EQ(RegSetValueExA(made, "x", 0, REG_DWORD, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(set_dword(made, "line\nbreak", 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(made, "x", nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(made);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirFirstCase) {
    DWORD disposition = 0;
    HKEY key = create("Software\\NuMega\\DriverAgent\\Devices\\TAV", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(set_dword(key, "Version", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key, "VERSION", 2), ERROR_SUCCESS);
    RegCloseKey(key);
    RegCloseKey(create("SOFTWARE\\numega\\driveragent\\devices\\tav", &disposition));
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    ASSERT_EQ(open("software\\NUMEGA\\DriverAgent\\DEVICES\\tav", KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(get_dword(key, "version", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    RegCloseKey(key);

    std::string text = read_file(home_.registry());
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV]\n\"Version\"=dword:00000002"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("VERSION"), std::string::npos) << text;
    EXPECT_EQ(text.find("SOFTWARE"), std::string::npos) << text;
}

// What a query answers for each buffer it is given, as Windows does.
TEST_F(RegistryTest, QueriesAnswerForEachBufferSize) {
    HKEY key = create(kDriverAgent);
    ASSERT_EQ(set_dword(key, "Version", 0x01020304), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Long", 0, REG_SZ, reinterpret_cast<const BYTE *>("10.15.3"), 8), ERROR_SUCCESS);
    struct Case {
        const char *value;
        bool with_data;   // a buffer is passed
        DWORD buffer_size;
        LONG result;
        DWORD reported_size, type;
    } cases[] = {
        {"Version", true, 4, ERROR_SUCCESS, 4, REG_DWORD},   {"Version", true, 16, ERROR_SUCCESS, 4, REG_DWORD},
        {"Version", true, 3, ERROR_MORE_DATA, 4, REG_DWORD}, {"Version", false, 0, ERROR_SUCCESS, 4, REG_DWORD},
        {"Long", true, 8, ERROR_SUCCESS, 8, REG_SZ},         {"Long", true, 7, ERROR_MORE_DATA, 8, REG_SZ},
        {"Missing", true, 4, ERROR_FILE_NOT_FOUND, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.value) + " " + std::to_string(c.buffer_size));
        uint8_t buffer[16];
        std::memset(buffer, 0xEE, sizeof buffer);
        DWORD size = c.buffer_size, type = 0xDEAD;
        LONG rc = RegQueryValueExA(key, c.value, nullptr, &type, c.with_data ? buffer : nullptr, &size);
        EXPECT_EQ(rc, c.result);
        if (rc == ERROR_FILE_NOT_FOUND) continue;
        EXPECT_EQ(size, c.reported_size);
        EXPECT_EQ(type, c.type);
        if (rc == ERROR_MORE_DATA) { EXPECT_EQ(buffer[0], 0xEE); }   // nothing copied
        if (rc == ERROR_SUCCESS && c.type == REG_SZ) { EXPECT_STREQ(reinterpret_cast<char *>(buffer), "10.15.3"); }
        if (rc == ERROR_SUCCESS && c.with_data && c.type == REG_DWORD) { EXPECT_EQ(buffer[3], 0x01); }
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, AccessRightsOfTheHandleAreHonoured) {
    RegCloseKey(create(kDriverAgent));
    HKEY key = nullptr;
    ASSERT_EQ(open(kDriverAgent, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(key, "Version", 1), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    ASSERT_EQ(open(kDriverAgent, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(key, "Version", 1), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(get_dword(key, "Version", &value), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteTreeRemovesTheSubtreeAndLeavesHandlesDead) {
    HKEY device = create("Software\\NuMega\\DriverAgent\\Devices\\TAV");
    HKEY range = create("Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV");
    HKEY other = create("Software\\NuMega\\DriverAgent\\Devices\\TAVX");
    ASSERT_EQ(set_dword(range, "FastIo", 1), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "software\\numega\\driveragent\\devices\\tav"), ERROR_SUCCESS);
    HKEY probe = nullptr;
    EXPECT_EQ(open("Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges", KEY_READ, &probe), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open("Software\\NuMega\\DriverAgent\\Devices\\TAVX", KEY_READ, &probe), ERROR_SUCCESS);
    RegCloseKey(probe);
    EXPECT_EQ(set_dword(range, "FastIo", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\NuMega\\DriverAgent\\Devices\\TAV"), ERROR_FILE_NOT_FOUND);

    // Without a sub key: the key's values and sub keys go, the key stays.
    HKEY devices = create("Software\\NuMega\\DriverAgent\\Devices");
    ASSERT_EQ(set_dword(devices, "Count", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(devices, nullptr), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(get_dword(devices, "Count", &value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open("TAVX", KEY_READ, &probe, devices), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open("", KEY_READ, &probe, devices), ERROR_SUCCESS);
    RegCloseKey(probe);
    for (HKEY key : {device, range, other, devices}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// A store that cannot be parsed: every call fails with ERROR_BADDB, says so on standard
// error naming the file and line, and the file is never rewritten.
TEST_F(RegistryTest, UnparsableStoreIsReportedAndLeftUntouched) {
    const std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"V\"=dword:xyz\n";
    ASSERT_TRUE(write_file(home_.registry(), broken));
    HKEY key = nullptr;
    std::function<LONG()> calls[] = {
        [&] { return open("Software", KEY_READ, &key); },
        [&] { return RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                     nullptr); },
        [&] { return set_dword(HKEY_LOCAL_MACHINE, "V", 1); },
        [&] { return RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software"); },
    };
    for (const auto &call : calls) {
        testing::internal::CaptureStderr();
        LONG rc = call();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, ERROR_BADDB);
        EXPECT_NE(err.find(home_.registry()), std::string::npos) << err;
        EXPECT_NE(err.find("line 4"), std::string::npos) << err;
        EXPECT_EQ(read_file(home_.registry()), broken);
    }
    expect_no_temporary_files();
}

// Several processes writing at once: each change is a whole-file rewrite under the lock,
// so none is lost and no reader ever meets half a file.
TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    RegCloseKey(create("Software\\Race"));
    constexpr int kWriters = 4, kEach = 25;
    auto name = [](int w, int i) { return "w" + std::to_string(w) + "_" + std::to_string(i); };
    pid_t children[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        children[w] = fork();
        ASSERT_GE(children[w], 0);
        if (children[w] != 0) continue;
        int failures = 0;
        for (int i = 0; i < kEach; ++i) {
            HKEY key = nullptr;
            failures += open("Software\\Race", KEY_ALL_ACCESS, &key) != ERROR_SUCCESS ||
                        set_dword(key, name(w, i).c_str(), static_cast<DWORD>(w * 1000 + i)) != ERROR_SUCCESS;
            RegCloseKey(key);
        }
        _exit(failures == 0 ? 0 : 1);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY key = nullptr;
    ASSERT_EQ(open("Software\\Race", KEY_READ, &key), ERROR_SUCCESS);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kEach; ++i) {
            DWORD v = 0;
            ASSERT_EQ(get_dword(key, name(w, i).c_str(), &v), ERROR_SUCCESS) << name(w, i);
            EXPECT_EQ(v, static_cast<DWORD>(w * 1000 + i));
        }
    }
    RegCloseKey(key);
    expect_no_temporary_files();
}

}  // namespace
