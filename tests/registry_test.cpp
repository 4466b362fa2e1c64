// The registry calls on POSIX over $TAV_HOME/registry.reg: Windows error codes, case,
// value sizes, the store as a person reads it, locked atomic rewrites from several
// processes, and a store that cannot be parsed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <filesystem>
#include <string>

#include "platform/registry_store.h"
#include "platform/win32.h"
#include "toolkit_seed.h"

namespace {

const char kDriverAgent[] = "Software\\NuMega\\DriverAgent";

class RegistryTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(home_.path().empty()); }

    HKEY create(const char *path, REGSAM sam = KEY_ALL_ACCESS, DWORD *disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, &key,
                                  disposition),
                  ERROR_SUCCESS);
        return key;
    }

    LONG set_dword(HKEY key, const char *name, DWORD value) {
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    }

    LONG set_text(HKEY key, const char *name, const char *text) {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                              static_cast<DWORD>(std::strlen(text) + 1));
    }

    TempTavHome home_;
};

TEST_F(RegistryTest, StorePathIsUnderTavHome) { EXPECT_EQ(registry_store_path(), home_.registry()); }

TEST_F(RegistryTest, OpeningMissingKeysFailsWithFileNotFound) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDriverAgent, 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(std::filesystem::exists(home_.registry()));   // reading never makes a store

    HKEY made = create("Software\\NuMega");
    RegCloseKey(made);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDriverAgent, 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\\\NuMega", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x7777), "Software", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x7777)), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirFirstCase) {
    DWORD disposition = 0;
    HKEY key = create("Software\\NuMega\\DriverAgent\\Devices\\TAV", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(set_dword(key, "Version", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key, "VERSION", 2), ERROR_SUCCESS);
    RegCloseKey(key);

    HKEY again = create("SOFTWARE\\numega\\driveragent\\devices\\tav", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(again);

    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\NUMEGA\\DriverAgent\\DEVICES\\tav", 0, KEY_READ, &opened),
              ERROR_SUCCESS);
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(opened, "version", nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    RegCloseKey(opened);

    std::string text = read_file(home_.registry());
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV]\n\"Version\"=dword:00000002"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("VERSION"), std::string::npos) << text;
    EXPECT_EQ(text.find("SOFTWARE"), std::string::npos) << text;
}

// What a query answers for each buffer it is given.
struct QueryCase {
    const char *what;
    const char *value;
    bool with_data;         // a buffer is passed
    DWORD buffer_size;
    LONG result;
    DWORD reported_size;
    DWORD type;
};

class RegistryQuery : public RegistryTest, public testing::WithParamInterface<QueryCase> {};

TEST_P(RegistryQuery, AnswersAsWindowsDoes) {
    const QueryCase &c = GetParam();
    HKEY key = create(kDriverAgent);
    ASSERT_EQ(set_dword(key, "Version", 0x01020304), ERROR_SUCCESS);
    ASSERT_EQ(set_text(key, "CurrentVersion", "1.15"), ERROR_SUCCESS);
    ASSERT_EQ(set_text(key, "LongVersion", "10.15.3"), ERROR_SUCCESS);   // 8 bytes with its terminator

    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    DWORD size = c.buffer_size;
    DWORD type = 0xDEAD;
    LONG rc = RegQueryValueExA(key, c.value, nullptr, &type, c.with_data ? buffer : nullptr, &size);
    EXPECT_EQ(rc, c.result);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        EXPECT_EQ(size, c.reported_size);
        EXPECT_EQ(type, c.type);
    }
    if (rc == ERROR_MORE_DATA) {
        EXPECT_EQ(buffer[0], 0xEE);   // nothing copied
    }
    if (rc == ERROR_SUCCESS && c.with_data && c.type == REG_SZ) {
        EXPECT_EQ(buffer[size - 1], 0);
        EXPECT_EQ(std::strlen(reinterpret_cast<char *>(buffer)) + 1, size);
    }
    RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RegistryQuery,
    testing::Values(QueryCase{"dword fits", "Version", true, 4, ERROR_SUCCESS, 4, REG_DWORD},
                    QueryCase{"dword in larger buffer", "Version", true, 16, ERROR_SUCCESS, 4, REG_DWORD},
                    QueryCase{"dword too large", "Version", true, 3, ERROR_MORE_DATA, 4, REG_DWORD},
                    QueryCase{"size only", "Version", false, 0, ERROR_SUCCESS, 4, REG_DWORD},
                    QueryCase{"text with terminator", "CurrentVersion", true, 8, ERROR_SUCCESS, 5, REG_SZ},
                    QueryCase{"text exactly fits", "LongVersion", true, 8, ERROR_SUCCESS, 8, REG_SZ},
                    QueryCase{"text one byte too long", "LongVersion", true, 7, ERROR_MORE_DATA, 8, REG_SZ},
                    QueryCase{"missing value", "Revision", true, 4, ERROR_FILE_NOT_FOUND, 0, 0},
                    QueryCase{"missing value, size only", "Revision", false, 0, ERROR_FILE_NOT_FOUND, 0, 0}),
    [](const testing::TestParamInfo<QueryCase> &info) {
        std::string name;
        for (const char *p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

TEST_F(RegistryTest, AccessRightsOfTheHandleAreHonoured) {
    RegCloseKey(create(kDriverAgent));
    HKEY read_only = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDriverAgent, 0, KEY_READ, &read_only), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(read_only, "Version", 1), ERROR_ACCESS_DENIED);
    RegCloseKey(read_only);

    HKEY write_only = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDriverAgent, 0, KEY_SET_VALUE, &write_only), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(write_only, "Version", 1), ERROR_SUCCESS);
    DWORD size = 4;
    DWORD value = 0;
    EXPECT_EQ(RegQueryValueExA(write_only, "Version", nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size),
              ERROR_ACCESS_DENIED);
    RegCloseKey(write_only);
}

TEST_F(RegistryTest, DeleteTreeRemovesTheSubtreeAndLeavesHandlesDead) {
    HKEY device = create("Software\\NuMega\\DriverAgent\\Devices\\TAV");
    HKEY range = create("Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV");
    HKEY other = create("Software\\NuMega\\DriverAgent\\Devices\\TAVX");
    ASSERT_EQ(set_dword(range, "FastIo", 1), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "software\\numega\\driveragent\\devices\\tav"), ERROR_SUCCESS);
    HKEY probe = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges", 0,
                            KEY_READ, &probe),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\NuMega\\DriverAgent\\Devices\\TAVX", 0, KEY_READ, &probe),
              ERROR_SUCCESS);
    RegCloseKey(probe);
    EXPECT_EQ(set_dword(range, "FastIo", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\NuMega\\DriverAgent\\Devices\\TAV"), ERROR_FILE_NOT_FOUND);

    // Without a sub key: the key's values and sub keys go, the key stays.
    HKEY devices = create("Software\\NuMega\\DriverAgent\\Devices");
    ASSERT_EQ(set_dword(devices, "Count", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(devices, nullptr), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(devices, "Count", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(devices, "TAVX", 0, KEY_READ, &probe), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(devices, "", 0, KEY_READ, &probe), ERROR_SUCCESS);
    RegCloseKey(probe);

    for (HKEY key : {device, range, other, devices}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, HandSeededStoreIsRead) {
    ASSERT_TRUE(write_file(home_.registry(),
                           "Windows Registry Editor Version 5.00\r\n\r\n"
                           "; seeded by hand\r\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent]\r\n"
                           "\"CurrentVersion\"=\"1.15\"\r\n"
                           "\"Blob\"=hex:de,ad,\\\r\n"
                           "  be,ef\r\n"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDriverAgent, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    char text[8] = {};
    DWORD size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(key, "CurrentVersion", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "1.15");
    uint8_t blob[4] = {};
    size = sizeof blob;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, blob, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(blob[3], 0xEF);
    RegCloseKey(key);
}

// A store that cannot be parsed: every call fails with ERROR_BADDB, says so on standard
// error naming the file, and the file is never rewritten.
TEST_F(RegistryTest, UnparsableStoreIsReportedAndLeftUntouched) {
    const std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"V\"=dword:xyz\n";
    ASSERT_TRUE(write_file(home_.registry(), broken));
    HKEY key = nullptr;
    DWORD value = 1;
    struct Call {
        const char *what;
        std::function<LONG()> run;
    } calls[] = {
        {"open", [&] { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key); }},
        {"create", [&] {
             return RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr);
         }},
        {"set on root", [&] {
             return RegSetValueExA(HKEY_LOCAL_MACHINE, "V", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4);
         }},
        {"delete", [&] { return RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software"); }},
    };
    for (const Call &call : calls) {
        testing::internal::CaptureStderr();
        LONG rc = call.run();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, ERROR_BADDB) << call.what;
        EXPECT_NE(err.find(home_.registry()), std::string::npos) << call.what << ": " << err;
        EXPECT_NE(err.find("line 4"), std::string::npos) << call.what << ": " << err;
        EXPECT_EQ(read_file(home_.registry()), broken) << call.what;
    }
    for (const auto &entry : std::filesystem::directory_iterator(home_.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

// Several processes writing at once: each change is a whole-file rewrite under the lock,
// so none is lost and no reader ever meets half a file.
TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    RegCloseKey(create("Software\\Race"));
    constexpr int kWriters = 4;
    constexpr int kEach = 25;
    pid_t children[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        children[w] = fork();
        ASSERT_GE(children[w], 0);
        if (children[w] == 0) {
            int failures = 0;
            for (int i = 0; i < kEach; ++i) {
                HKEY key = nullptr;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Race", 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                DWORD v = static_cast<DWORD>(w * 1000 + i);
                std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
                if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4) != ERROR_SUCCESS) {
                    ++failures;
                }
                RegCloseKey(key);
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Race", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kEach; ++i) {
            std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
            DWORD v = 0;
            DWORD size = 4;
            ASSERT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(&v), &size),
                      ERROR_SUCCESS)
                << name;
            EXPECT_EQ(v, static_cast<DWORD>(w * 1000 + i));
        }
    }
    RegCloseKey(key);
    for (const auto &entry : std::filesystem::directory_iterator(home_.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

TEST_F(RegistryTest, BadArgumentsAreRefused) {
    HKEY key = create(kDriverAgent);
    DWORD value = 0;
    EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_DWORD, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "line\nbreak", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDriverAgent, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    HKEY bad = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\line\nbreak", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &bad, nullptr),
              ERROR_BAD_PATHNAME);
    RegCloseKey(key);
}

}  // namespace
