// The installer in-process: what install registers and prints on each platform family, each failure
// (tests/data/installer/failures.txt), and its version checks against recorded versions (versions.txt) and the
// file versions of real PE images (files.txt). RegSetValueExA and HeapAlloc are wrapped (tests/installer.cmake)
// to fail on request.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "installer/installer.h"
#include "platform/win32.h"
#include "platform/win_path.h"
#include "tests/tables.h"
#include "toolkit/toolkit_controls.h"

namespace {
LONG fast_io_failure = 0;  // the error RegSetValueExA gives for "FastIo"; 0: none
bool heap_failure = false;
}  // namespace

extern "C" {
LONG __real__Z14RegSetValueExAP6HKEY__PKcjjPKhj(HKEY, LPCSTR, DWORD, DWORD, const BYTE *, DWORD);
LONG __wrap__Z14RegSetValueExAP6HKEY__PKcjjPKhj(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                                                DWORD size) {
    if (fast_io_failure != 0 && name != nullptr && std::strcmp(name, "FastIo") == 0) return fast_io_failure;
    return __real__Z14RegSetValueExAP6HKEY__PKcjjPKhj(key, name, reserved, type, data, size);
}
LPVOID __real__Z9HeapAllocPvjm(HANDLE, DWORD, size_t);
LPVOID __wrap__Z9HeapAllocPvjm(HANDLE heap, DWORD flags, size_t bytes) {
    if (!heap_failure) return __real__Z9HeapAllocPvjm(heap, flags, bytes);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
}

namespace {

const char *const kToolkitKey = "Software\\NuMega\\DriverAgent";
const char *const kDeviceKey = "Software\\NuMega\\DriverAgent\\Devices\\TAV";
const char *const kRangeKey = "Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV";
const char *const kServiceKey = "System\\CurrentControlSet\\Services\\agentcd";

class Installer : public testing::Test {
  protected:
    void SetUp() override { toolkit_calls_clear(); }
    void TearDown() override {
        unsetenv("TAV_PLATFORM");
        unsetenv("TAV_TOOLKIT_FAIL");
        fast_io_failure = 0;
        heap_failure = false;
    }
    // The key made afresh with the values given ("" leaves one out): Version, Revision, CurrentVersion (text).
    static void record(const char *path, const std::string &version, const std::string &revision,
                       const std::string &text) {
        HKEY key = nullptr;
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        const DWORD numbers[2] = {DWORD(std::strtoul(version.c_str(), nullptr, 0)),
                                  DWORD(std::strtoul(revision.c_str(), nullptr, 0))};
        const BYTE *bytes = reinterpret_cast<const BYTE *>(numbers);
        if (!version.empty()) RegSetValueExA(key, "Version", 0, REG_DWORD, bytes, 4);
        if (!revision.empty()) RegSetValueExA(key, "Revision", 0, REG_DWORD, bytes + 4, 4);
        const BYTE *characters = reinterpret_cast<const BYTE *>(text.c_str());
        if (!text.empty()) RegSetValueExA(key, "CurrentVersion", 0, REG_SZ, characters, DWORD(text.size() + 1));
        RegCloseKey(key);
    }
    // "type:bytes" of a value; "" when it cannot be read.
    static std::string value_of(const char *path, const char *name) {
        HKEY key = nullptr;
        char data[1024];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
        const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS) return "";
        return std::to_string(type) + ":" + std::string(data, size);
    }
    // A copy of test image `image` as the file a Windows path names.
    static void place(const std::string &image, const std::string &windows_path) {
        const std::filesystem::path target = native_path(windows_path.c_str());
        std::filesystem::create_directories(target.parent_path());
        const std::string source = TAV_TEST_IMAGE_DIR "/" + image + ".dll";
        std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
    }
    tavtest::TempHome home;
};

// The marks of a row's expected text: @PATH@ for `path`, @CR@ for a carriage return.
std::string expected(const tavtest::Row &row, const std::string &key, const std::string &path) {
    return tavtest::replaced(tavtest::replaced(row.text(key), "@PATH@", path), "@CR@", "\r");
}

// An install path of `length` characters.
std::string path_of_length(long long length) { return "c:\\" + std::string(size_t(length) - 3, 'k'); }

TEST_F(Installer, RunsRegisterTheBoardOrStopWithTheirMessage) {
    for (const tavtest::Row &row : tavtest::read_rows("installer/runs.txt")) {
        SCOPED_TRACE(row.where + " " + row.text("name"));
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "System");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software");
        if (row.has("toolkit")) record(kToolkitKey, row.text("toolkit"), "0", "");
        if (row.has("device")) record(kDeviceKey, row.text("device"), "0", "");
        if (row.has("stale")) record(kDeviceKey, "1", "0", "Stale");
        setenv("TAV_PLATFORM", row.text("platform").c_str(), 1);
        setenv("TAV_TOOLKIT_FAIL", row.text("fail").c_str(), 1);
        fast_io_failure = LONG(row.number("fast_io"));
        std::vector<std::string> words = tavtest::split(row.text("words"), ",");
        const std::string path = path_of_length(row.number("path", 3));
        if (row.has("path")) words = {path};
        words.insert(words.begin(), "install");
        std::vector<char *> argv;
        for (std::string &word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        toolkit_calls_clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(install_main(int(words.size()), argv.data()), row.number("status"));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected(row, "err", path));
        EXPECT_EQ(toolkit_calls(), tavtest::split(expected(row, "calls", path), "\n"));
        std::vector<std::string> records;
        if (value_of(kRangeKey, "FastIo") == std::string("4:\x01\0\0\0", 6)) records.push_back("FastIo");
        const std::string image = value_of(kServiceKey, "ImagePath");
        if (!image.empty()) records.push_back(image.substr(2, image.size() - 3));
        if (!value_of(kDeviceKey, "CurrentVersion").empty()) records.push_back("stale");
        EXPECT_EQ(records, tavtest::split(expected(row, "records", path), " "));
        EXPECT_EQ(row.unread(), "");
    }
}

// The system directory must leave room for "\drivers\agentcd.sys" (NT) and "\DriverAgent.dll" (95) within
// 259 characters.
TEST(InstallerRules, SystemDirectoryLengths) {
    const struct {
        size_t length;
        bool windows95;
        bool fits;
    } rows[] = {{239, false, true}, {240, false, false}, {243, true, true}, {244, true, false}};
    for (const auto &row : rows) {
        const std::string directory(row.length, 'p');
        EXPECT_EQ(SystemDirectoryFits(directory.c_str(), row.windows95), row.fits) << row.length;
    }
}

TEST_F(Installer, VersionChecksRefuseOnlyWhatIsNewer) {
    if (TAV_TEST_IMAGES_MISSING[0] != '\0') GTEST_SKIP() << TAV_TEST_IMAGES_MISSING;
    for (const tavtest::Row &row : tavtest::read_rows("installer/versions.txt")) {
        SCOPED_TRACE(row.where);
        record(kToolkitKey, row.text("toolkit_version"), row.text("toolkit_revision"), row.text("toolkit_text"));
        record(kDeviceKey, row.text("device_version"), row.text("device_revision"), "");
        std::filesystem::remove_all(home.file("drive_c"));
        for (const auto &field : row.fields) {
            if (field.first.rfind("c:\\", 0) == 0) place(row.text(field.first), field.first);
        }
        setenv("TAV_PLATFORM", row.text("platform").c_str(), 1);
        std::string path = row.text("path");
        if (path.empty()) path = "c:\\newkit";
        if (row.has("length")) path = path_of_length(row.number("length"));
        heap_failure = row.has("heap");
        testing::internal::CaptureStderr();
        const bool passes = CheckVersions(path.c_str());
        heap_failure = false;
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(printed, expected(row, "err", path));
        EXPECT_EQ(passes, printed.empty());
        EXPECT_EQ(row.unread(), "");
    }
}

}  // namespace
