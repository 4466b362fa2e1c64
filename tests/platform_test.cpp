// The Windows services of the POSIX stand-in the installer relies on (the platform family, the
// system directory and the message texts it prints are pinned by the installer's tests): paths,
// the registry calls over $TAV_HOME/registry.reg and its text format (hostile input is the fuzz
// target's), and version resources of PE images built with the MinGW tools.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/pe_version.h"
#include "platform/reg_file.h"
#include "platform/tav_home.h"
#include "platform/win32.h"
#include "platform/win_path.h"
#include "tests/support.h"

namespace {

using Bytes = std::vector<uint8_t>;
const char *const kKey = "Software\\NuMega\\DriverAgent";

class Platform : public testing::Test {
  protected:
    void TearDown() override { unsetenv("TAV_PLATFORM"); }
    static LONG open(const char *path, REGSAM sam, HKEY *key, HKEY root = HKEY_LOCAL_MACHINE) { return RegOpenKeyExA(root, path, 0, sam, key); }
    static HKEY create(const char *path, DWORD *disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition), ERROR_SUCCESS);
        return key;
    }
    static LONG set(HKEY key, const char *name, DWORD v) { return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4); }
    static LONG get(HKEY key, const char *name, DWORD *v) {
        DWORD size = 4;
        return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(v), &size);
    }
    tavtest::TempHome home;
};

// Drives become folders of the state folder; existing names are found without regard to case.
TEST_F(Platform, WindowsPathsMapToTheStateFolder) {
    const std::string h = home.path();
    std::filesystem::create_directories(h + "/drive_c/WinNT/Drivers");
    tavtest::write_file(h + "/drive_c/WinNT/Drivers/AgentCD.sys", "x");
    const struct { const char *windows; std::string native; } paths[] = {
        {"c:\\winnt\\drivers\\agentcd.sys", h + "/drive_c/WinNT/Drivers/AgentCD.sys"}, {"C:\\WINNT\\New.dll\\", h + "/drive_c/WinNT/New.dll/"},
        {"c:", h + "/drive_c"}, {"d:kit", h + "/drive_d/kit"}, {"kit\\a.sys", "kit/a.sys"}, {"\\tmp\\kit", "/tmp/kit"}, {"/tmp/x.dll", "/tmp/x.dll"}, {"", ""}};
    for (const auto &row : paths) EXPECT_EQ(native_path(row.windows), row.native) << row.windows;
    EXPECT_EQ(native_path(nullptr), "");
}

// The state folder: TAV_HOME when given; else under the home folder, which a run as root or
// through sudo takes from the password database, never from HOME.
TEST_F(Platform, APrivilegedRunNeverTakesItsStateFolderFromHome) {
    const std::string fake = home.path() + "/invoking-user", database = getpwuid(geteuid())->pw_dir;
    const std::string made = database + "/.local/state/tav", saved = getenv("HOME") ? getenv("HOME") : "";
    const bool existed = std::filesystem::exists(made);
    const struct { const char *tav_home, *sudo_user; std::string expected; } rows[] = {
        {home.path().c_str(), "alice", home.path()}, {nullptr, "alice", made},
        {nullptr, nullptr, (geteuid() == 0 ? database : fake) + "/.local/state/tav"}};
    for (const auto &row : rows) {
        setenv("HOME", fake.c_str(), 1);
        row.tav_home ? setenv("TAV_HOME", row.tav_home, 1) : unsetenv("TAV_HOME");
        row.sudo_user ? setenv("SUDO_USER", row.sudo_user, 1) : unsetenv("SUDO_USER");
        EXPECT_EQ(tav_home(), row.expected);
    }
    setenv("TAV_HOME", home.path().c_str(), 1);
    setenv("HOME", saved.c_str(), 1);
    unsetenv("SUDO_USER");
    std::error_code ec;
    if (!existed) std::filesystem::remove(made, ec);
}

TEST_F(Platform, RegistryCallsAnswerAsWindowsDoes) {
    HKEY key = reinterpret_cast<HKEY>(1), probe = nullptr;
    EXPECT_EQ(open(kKey, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(std::filesystem::exists(home.registry()));   // reading never makes a store
    DWORD disposition = 0, value = 0;
    key = create("Software\\NuMega\\DriverAgent", &disposition);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    ASSERT_EQ(set(key, "Version", 0x01020304) | set(key, "VERSION", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Long", 0, REG_SZ, reinterpret_cast<const BYTE *>("10.15.3"), 8), ERROR_SUCCESS);
    RegCloseKey(create("SOFTWARE\\numega\\DRIVERAGENT", &disposition));
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    std::string text = tavtest::read_file(home.registry());
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent]\n\"Version\"=dword:00000002"), std::string::npos) << text;
    const struct { std::function<LONG()> call; LONG result; } calls[] = {
        {[&] { return open("Software\\\\NuMega", KEY_READ, &probe); }, ERROR_BAD_PATHNAME},
        {[&] { return open("\\Software", KEY_READ, &probe); }, ERROR_BAD_PATHNAME},
        {[&] { return open("Software", KEY_READ, &probe, reinterpret_cast<HKEY>(0x7777)); }, ERROR_INVALID_HANDLE},
        {[&] { return RegCloseKey(reinterpret_cast<HKEY>(0x7777)); }, ERROR_INVALID_HANDLE},
        {[&] { return open(kKey, KEY_READ, nullptr); }, ERROR_INVALID_PARAMETER},
        {[&] { return RegCreateKeyExA(HKEY_LOCAL_MACHINE, "a\nb", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &probe, nullptr); }, ERROR_BAD_PATHNAME},
        {[&] { return RegSetValueExA(key, "x", 0, REG_DWORD, nullptr, 4); }, ERROR_INVALID_PARAMETER},
        {[&] { return set(key, "a\nb", 1); }, ERROR_INVALID_PARAMETER},
        {[&] { return RegQueryValueExA(key, "x", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), nullptr); }, ERROR_INVALID_PARAMETER},
        {[&] { return open(kKey, KEY_READ, &probe) | set(probe, "V", 1) | RegCloseKey(probe); }, ERROR_ACCESS_DENIED},
        {[&] { return open(kKey, KEY_SET_VALUE, &probe) | get(probe, "Long", &value) | RegCloseKey(probe); }, ERROR_ACCESS_DENIED},
    };
    for (const auto &row : calls) EXPECT_EQ(row.call(), row.result);
    // Delete tree: the subtree goes, handles into it are dead; with no sub key only the contents go.
    HKEY range = create("Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV");
    RegCloseKey(create("Software\\NuMega\\DriverAgent\\Devices\\TAVX"));
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "software\\numega\\driveragent\\devices\\tav"), ERROR_SUCCESS);
    EXPECT_EQ(set(range, "FastIo", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\NuMega\\DriverAgent\\Devices\\TAV"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeA(key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(get(key, "Version", &value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open("Devices\\TAVX", KEY_READ, &probe, key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(range) | RegCloseKey(key), ERROR_SUCCESS);
}

// Several processes writing at once lose nothing (whole-file rewrites under a lock). A store
// that cannot be parsed is the toolkit test's row (refused, named, never rewritten).
TEST_F(Platform, RegistryStoreUnderConcurrentWriters) {
    RegCloseKey(create("Software\\Race"));
    std::vector<pid_t> children;
    for (int w = 0; w < 4; w++) {
        if ((children.emplace_back(fork())) != 0) continue;
        int failures = 0;
        for (int i = 0; i < 25; i++) {
            HKEY key = nullptr;
            failures += open("Software\\Race", KEY_ALL_ACCESS, &key) | set(key, ("w" + std::to_string(w * 100 + i)).c_str(), w * 100 + i) | RegCloseKey(key);
        }
        _exit(failures);
    }
    for (pid_t child : children) {
        int status = 0;
        EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY key = nullptr;
    ASSERT_EQ(open("Software\\Race", KEY_READ, &key), ERROR_SUCCESS);
    for (DWORD n = 0, v = 0; n < 400; n += n % 100 == 24 ? 76 : 1) EXPECT_EQ(get(key, ("w" + std::to_string(n)).c_str(), &v) == ERROR_SUCCESS ? v : 999, n);
    RegCloseKey(key);
}

bool parse(const std::string &text, tavreg::Store *store, std::string *error) {
    return tavreg::parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), store, error);
}

// Accepted values read as written (key and value names fold case); malformed text is refused
// naming its line. Round trips of any store are the fuzz target's.
TEST(RegFile, ValuesLinesAndRoundTrip) {
    const std::string head = "Windows Registry Editor Version 5.00\n\n", key = "HKEY_LOCAL_MACHINE\\Software\\Test", in_key = head + "[" + key + "]\n";
    const struct { std::string body; const char *name; uint32_t type; Bytes data; } values[] = {
        {"\"V\"=dword:0000abcd\n", "V", 4, {0xcd, 0xab, 0, 0}}, {"\"V\"=DWORD:FFFFFFFF\n", "V", 4, {0xff, 0xff, 0xff, 0xff}},
        {"\"P\"=\"c:\\\\x \\\"q\\\"\"\n", "P", 1, {'c', ':', '\\', 'x', ' ', '"', 'q', '"', 0}}, {"\"E\"=\"\"\n", "E", 1, {0}},
        {"@=\"d\"\n", "", 1, {'d', 0}}, {"\"B\"=hex:01,02,\\\n  03\n", "B", 3, {1, 2, 3}}, {"\"M\"=hex(7):61,00\n", "M", 7, {0x61, 0}},
        {"\"B\"=hex:\n", "B", 3, {}}, {"\"V\"=dword:1\n\"v\"=dword:2\n", "V", 4, {2, 0, 0, 0}}, {"; note\r\n\r\n\"V\"=dword:3\r\n", "v", 4, {3, 0, 0, 0}}};
    for (const auto &row : values) {
        tavreg::Store store;
        std::string error;
        ASSERT_TRUE(parse(in_key + row.body, &store, &error)) << error;
        const tavreg::Value *value = tavreg::find_value(*tavreg::find_key(store, "hkey_local_machine\\SOFTWARE\\test"), row.name);
        ASSERT_NE(value, nullptr) << row.body;
        EXPECT_EQ(std::make_pair(value->type, value->data), std::make_pair(row.type, row.data)) << row.body;
    }
    // What regedit writes: version 5.00 in UTF-16LE behind a byte-order mark (non-ASCII text comes
    // out as UTF-8), and the old REGEDIT4 header, in either encoding.
    auto utf16 = [](const std::u16string &text) {
        Bytes bytes = {0xFF, 0xFE};
        for (char16_t unit : text) bytes.insert(bytes.end(), {uint8_t(unit & 0xFF), uint8_t(unit >> 8)});
        return bytes;
    };
    const std::u16string key16 = u"[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n";
    const std::string regedit4 = "REGEDIT4\n\n[" + key + "]\n\"V\"=\"\xc3\xa9\xf0\x9f\x98\x80\"\n";
    const struct { Bytes text; const char *error; /* null: "V" reads as the UTF-8 text */ } exports[] = {
        {utf16(u"Windows Registry Editor Version 5.00\r\n\r\n" + key16 + u"\"V\"=\"\u00e9\U0001F600\"\r\n"), nullptr},
        {Bytes(regedit4.begin(), regedit4.end()), nullptr}, {utf16(u"REGEDIT4\r\n" + key16 + u"\"V\"=\"\u00e9\U0001F600\"\r\n"), nullptr},
        {Bytes{0xFF, 0xFE, 'R', 0, 'E'}, "line 1: a UTF-16 text must have an even number of bytes"},
        {utf16(u"REGEDIT4\r\n\xD800"), "line 2: a UTF-16 text with an unpaired surrogate"},
        {utf16(u"Windows Registry Editor Version 4.00\r\n"), "line 1: the first line must be"}};
    for (const auto &row : exports) {
        tavreg::Store store;
        std::string error;
        bool parsed = tavreg::parse(row.text.data(), row.text.size(), &store, &error);
        EXPECT_EQ(parsed, row.error == nullptr) << error;
        if (!parsed) {
            EXPECT_EQ(error.rfind(row.error ? row.error : "", 0), 0u) << error;
            continue;
        }
        const tavreg::Key *found = tavreg::find_key(store, key);
        const tavreg::Value *value = found ? tavreg::find_value(*found, "V") : nullptr;
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->data, (Bytes{0xc3, 0xa9, 0xf0, 0x9f, 0x98, 0x80, 0}));
    }
    const struct { std::string text; int line; } malformed[] = {
        {"", 0}, {"REGEDIT5\n", 1}, {head + "\"V\"=dword:1\n", 3}, {head + "[HKEY_NOWHERE\\x]\n", 3}, {head + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", 3},
        {head + "[HKEY_LOCAL_MACHINE\\a\n", 3}, {in_key + "\"V\"=dword:123456789\n", 4}, {in_key + "\"V\"=\"open\n", 4}, {in_key + "\"V\"=\"a\\n\"\n", 4},
        {in_key + "\"V\"=\"a\" x\n", 4}, {in_key + "\"V\"=hex:1,,2\n", 4}, {in_key + "\"V\"=hex:01,\\\n", 4}, {in_key + "\"V\"=qword:1\n", 4},
        {head + "[-" + key + "]\n\"V\"=dword:1\n", 4}};
    for (const auto &row : malformed) {
        tavreg::Store store;
        std::string error;
        EXPECT_FALSE(parse(row.text, &store, &error)) << row.text;
        EXPECT_EQ(error.rfind("line " + std::to_string(row.line) + ":", 0), 0u) << row.text << ": " << error;
    }
}

// Real images: the parser and the Windows calls agree on the file version (MAJOR.MINOR.7.9);
// images without a version resource and broken files are refused (a resource reported outside
// a cut image is the fuzz target's check).
TEST(PeVersion, RealImagesTruncationsAndBrokenFiles) {
    const struct { const char *name; uint32_t version_ms; } images[] = {{"v1_5_x64", 0x10005}, {"v1_15_x86", 0x1000F}, {"v3_0_x86", 0x30000}, {"noversion_x86", 0}, {"noversion_x64", 0}};
    for (const auto &row : images) {
        std::string path = std::string(TAV_TEST_IMAGE_DIR) + "/" + row.name + ".dll", text = tavtest::read_file(path);
        tavpe::VersionResource found;
        EXPECT_EQ(tavpe::find_version_resource(reinterpret_cast<const uint8_t *>(text.data()), text.size(), &found) == tavpe::Result::ok, row.version_ms != 0);
        DWORD handle = 77, size = GetFileVersionInfoSizeA(path.c_str(), &handle);
        if (row.version_ms == 0) {
            EXPECT_EQ(size, 0u) << row.name;
            continue;
        }
        EXPECT_EQ(std::make_pair(found.file_version_ms, found.file_version_ls), std::make_pair(row.version_ms, 0x70009u));
        Bytes info(size);
        EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), handle, size - 1, info.data()));   // refused, not filled in part
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), handle, size, info.data()));
        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<LPVOID *>(&fixed), &length));
        EXPECT_EQ(fixed->dwFileVersionMS, row.version_ms);
        EXPECT_FALSE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<LPVOID *>(&fixed), &length));
    }
    tavtest::TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("pipe.dll").c_str(), 0600), 0);
    tavtest::write_file(dir.file("text.dll"), "MZ but nothing else of an image");
    const struct { std::string path; DWORD error; } files[] = {
        {dir.file("missing.dll"), ERROR_FILE_NOT_FOUND}, {dir.file("none/missing.dll"), ERROR_PATH_NOT_FOUND}, {dir.path(), ERROR_ACCESS_DENIED},
        {dir.file("pipe.dll"), ERROR_ACCESS_DENIED}, {dir.file("text.dll"), ERROR_BAD_EXE_FORMAT},
        {std::string(TAV_TEST_IMAGE_DIR) + "/noversion_x86.dll", ERROR_RESOURCE_DATA_NOT_FOUND}};
    for (const auto &row : files) {
        SetLastError(0);
        EXPECT_EQ(GetFileVersionInfoSizeA(row.path.c_str(), nullptr), 0u) << row.path;
        EXPECT_EQ(GetLastError(), row.error) << row.path;
    }
}

}  // namespace
