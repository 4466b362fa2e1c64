// The installer in-process: its output, exit status, what it registers and the library calls it
// makes, each failure, and the version checks against seeded registries and real PE images.
// RegSetValueExA and HeapAlloc are wrapped (tests/installer.cmake) to fail on request.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "installer/installer.h"
#include "platform/win32.h"
#include "platform/win_path.h"
#include "tests/support.h"
#include "toolkit/toolkit_controls.h"

namespace {
LONG fast_io_failure = 0;   // the error RegSetValueExA returns for "FastIo"; 0: none
bool heap_failure = false;
}  // namespace

extern "C" {
LONG __real__Z14RegSetValueExAP6HKEY__PKcjjPKhj(HKEY, LPCSTR, DWORD, DWORD, const BYTE *, DWORD);
LONG __wrap__Z14RegSetValueExAP6HKEY__PKcjjPKhj(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size) {
    if (fast_io_failure != 0 && name != nullptr && std::strcmp(name, "FastIo") == 0) return fast_io_failure;
    return __real__Z14RegSetValueExAP6HKEY__PKcjjPKhj(key, name, reserved, type, data, size);
}
LPVOID __real__Z9HeapAllocPvjm(HANDLE, DWORD, size_t);
LPVOID __wrap__Z9HeapAllocPvjm(HANDLE heap, DWORD flags, size_t bytes) {
    if (heap_failure) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    return __real__Z9HeapAllocPvjm(heap, flags, bytes);
}
}

namespace {

using Lines = std::vector<std::string>;
const char *const toolkit_key = "Software\\NuMega\\DriverAgent", *const device_key = "Software\\NuMega\\DriverAgent\\Devices\\TAV";
const char *const range_key = "Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV";
const char *const service_key = "System\\CurrentControlSet\\Services\\agentcd";
const std::string nt_head = "Install Path:c:\\winnt\\system32\n", done = "The installation of device TAV is complete.\n";
const std::string failed = "Error: Installation of device TAV failed.\n";
const std::string too_new = "Error: Current installation of ", than = " is more recent than version being installed\n";
const std::string no_version = "Error: Unable to obtain version information for c:\\newkit\\";

// What `body` wrote to std::cerr.
template <class F> std::string err_of(F body) {
    std::ostringstream captured;
    std::streambuf *saved = std::cerr.rdbuf(captured.rdbuf());
    body();
    std::cerr.rdbuf(saved);
    return captured.str();
}

class Installer : public testing::Test {
  protected:
    void SetUp() override { toolkit_calls_clear(); }
    void TearDown() override {
        for (const char *name : {"TAV_PLATFORM", "TAV_TOOLKIT_FAIL"}) unsetenv(name);
        fast_io_failure = 0, heap_failure = false;
    }
    // install_main with `args` after the program name: its status and standard error.
    std::pair<int, std::string> install(std::vector<std::string> args = {}) {
        args.insert(args.begin(), "install");
        std::vector<char *> argv;
        for (std::string &word : args) argv.push_back(word.data());
        argv.push_back(nullptr);
        int status = 0;
        std::string err = err_of([&] { status = install_main(int(args.size()), argv.data()); });
        return {status, err};
    }
    // Sets the DWORD values given (a text too, as `text_name`) on a key made afresh.
    static void set_version(const char *path, std::optional<uint32_t> version, std::optional<uint32_t> revision, const char *text_name = "", const char *text = nullptr) {
        HKEY key = nullptr;
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
        for (auto [name, value] : {std::pair{"Version", version}, {"Revision", revision}})
            if (value) RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&*value), 4);
        if (text) RegSetValueExA(key, text_name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), DWORD(strlen(text) + 1));
        RegCloseKey(key);
    }
    // "type:bytes" of a value, "" when it cannot be read.
    static std::string value_of(const char *path, const char *name) {
        HKEY key = nullptr;
        char data[1024];
        DWORD size = sizeof data, type = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
        LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
        RegCloseKey(key);
        return result == ERROR_SUCCESS ? std::to_string(type) + ":" + std::string(data, size) : "";
    }
    // Copies test image `name` to the file a Windows path names.
    static void place(const char *name, const std::string &windows_path) {
        std::filesystem::path target = native_path(windows_path.c_str());
        std::filesystem::create_directories(target.parent_path());
        std::filesystem::copy_file(std::string(TAV_TEST_IMAGE_DIR) + "/" + name + ".dll", target, std::filesystem::copy_options::overwrite_existing);
    }
    static std::string check(const char *install_path) {
        bool ok = false;
        std::string err = err_of([&] { ok = CheckVersions(install_path); });
        EXPECT_EQ(ok, err.empty()) << err;
        return err;
    }
    tavtest::TempHome home;
};

// Both families, first and second run: the same output, and the second run replaces the device.
TEST_F(Installer, RunsRegisterTheBoardAndReplaceTheDevice) {
    for (bool windows95 : {false, true}) {
        if (windows95) setenv("TAV_PLATFORM", "95", 1);
        EXPECT_EQ(IsWindows95Family(), windows95);
        const std::string image = windows95 ? "c:\\windows\\system\\agentcd.vxd" : "c:\\winnt\\system32\\agentcd.sys";
        const std::string out = windows95 ? "Install Path:c:\\windows\\system\n" + done + "The system must be restarted for the changes to take effect\n" : nt_head + done;
        EXPECT_EQ(install(), std::make_pair(0, out));
        set_version(device_key, {}, {}, "Stale", "7");
        toolkit_calls_clear();
        EXPECT_EQ(install(), std::make_pair(0, out));
        EXPECT_EQ(toolkit_calls(), (Lines{"RegDeleteDevice(\"TAV\") = 0", "RegAddIsaDevice(\"TAV\", 0, 0, 1, \"Tarsek9 ORVEX Update Board\", 0, 1, 0, 0) = 0",
                                          "RegAddMemoryRange(\"TAV\", \"TAV\", 0, 0, 851968, 32768, 0, 3, 0) = 0",
                                          "InstallDeviceService(\"agentcd\", \"DriverAgent Class Driver\", \"" + image + "\", -1) = 0"}));
        EXPECT_EQ(value_of(device_key, "Stale"), "");
        EXPECT_EQ(value_of(range_key, "FastIo"), std::string("4:\x01\0\0\0", 6));
        EXPECT_EQ(value_of(service_key, "ImagePath"), "1:" + image + '\0');
    }
    unsetenv("TAV_PLATFORM");
    EXPECT_EQ(install({"d:\\kit", "e:\\ignored"}), std::make_pair(0, "Install Path:d:\\kit\n" + done));
    EXPECT_EQ(value_of(service_key, "ImagePath"), std::string("1:d:\\kit\\agentcd.sys") + '\0');
}

// Each failure: status, output, how many of the four library calls were made, a service left or not.
TEST_F(Installer, FailuresStopTheRunWithTheirMessage) {
    const std::string too_long = "c:\\" + std::string(493, 'k');
    const struct { const char *fail; LONG fast_io; std::string path; int status; std::string err; size_t calls; } rows[] = {
        {"RegAddIsaDevice=-42", 0, "", -1, nt_head + "Error: Unable to install Isa device TAV, error=-42\n" + failed, 2},
        {"RegAddMemoryRange=-7", 0, "", -1, nt_head + "Error: Unable to add device resource TAV for device TAV, error=-7\n" + failed, 3},
        {"RegAddMemoryRange=0", 0, "", -1,   // success reported but no range recorded
         nt_head + "Error: Unable to access the database entry for TAV, error=The system cannot find the file specified.\r\n\n" + failed, 3},
        {"InstallDeviceService", 0, "", -1, nt_head + "Error: Unable to install the AGENTCD device service\n" + failed, 4},
        {"RegDeleteDevice=-3", 0, "", 0, nt_head + done, 4},   // the deletion's status is not looked at
        {"", ERROR_ACCESS_DENIED, "", 0, nt_head + "Warning: Unable to set FastIo flag TAV, error=Access is denied.\r\n\n" + done, 4},
        // The length comes first (a toolkit that would be refused is recorded).
        {"", 0, too_long, -1, "Install Path:" + too_long + "\nError: Install path is too long\n" + failed, 0},
    };
    for (const auto &row : rows) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "System");
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software");
        if (row.calls == 0) set_version(toolkit_key, 9, 0);
        setenv("TAV_TOOLKIT_FAIL", row.fail, 1);
        fast_io_failure = row.fast_io;
        toolkit_calls_clear();
        EXPECT_EQ(install(row.path.empty() ? Lines{} : Lines{row.path}), std::make_pair(row.status, row.err));
        const Lines all = {"RegDeleteDevice", "RegAddIsaDevice", "RegAddMemoryRange", "InstallDeviceService"};
        EXPECT_EQ(toolkit_call_names(), Lines(all.begin(), all.begin() + long(row.calls))) << row.fail;
        EXPECT_EQ(value_of(service_key, "Type").empty(), row.status != 0);
        EXPECT_EQ(value_of(range_key, "FastIo").empty(), row.calls < 4 || row.fast_io != 0);
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software");
    unsetenv("TAV_TOOLKIT_FAIL");
    EXPECT_EQ(install({too_long.substr(1)}).first, 0);   // 495 characters fit
}

// The system directory: 260 - 1 - strlen("\drivers\agentcd.sys") = 239 (NT), 260 - 1 -
// strlen("\DriverAgent.dll") = 243 (95). The install path's limit is the failure rows'.
TEST(InstallerRules, SystemDirectoryLengths) {
    const struct { size_t length; bool windows95, fits; } rows[] = {{239, false, true}, {240, false, false}, {243, true, true}, {244, true, false}};
    for (const auto &row : rows) EXPECT_EQ(SystemDirectoryFits(std::string(row.length, 'p').c_str(), row.windows95), row.fits) << row.length;
}

// The recorded toolkit (numbers, else "CurrentVersion" text). The installed DriverAgent.dll is
// newer than the new one: a toolkit that passes its own comparison is refused by the file check.
// The device entry: only a newer one is refused, and a refusal fails the run before any change.
TEST_F(Installer, RecordedVersionsDecideWhatIsRefused) {
    const std::string toolkit = too_new + "DriverAgent" + than, library = too_new + "DriverAgent.dll" + than, device = too_new + "device TAV" + than;
    const struct { bool device; std::optional<uint32_t> version, revision; const char *text; bool read; uint32_t got_version, got_revision; std::string err; } rows[] = {
        {false, {}, {}, nullptr, false, 0, 0, ""}, {false, 1, 15, nullptr, true, 1, 15, library}, {false, 1, 16, nullptr, true, 1, 16, toolkit},
        {false, 1, {}, nullptr, false, 0, 0, ""}, {false, 1, 15, "9.9", true, 1, 15, library}, {false, {}, {}, "1.16", true, 1, 16, toolkit},
        {false, {}, {}, "2", true, 2, 0, toolkit}, {false, {}, {}, "abc", true, 0, 0, library}, {false, {}, {}, "1234.67", true, 1234, 67, toolkit},
        {false, {}, {}, "12345.67", false, 0, 0, ""},   // too long for its buffer
        {true, 1, 0, nullptr, true, 1, 0, ""}, {true, 1, 1, nullptr, true, 1, 1, device}, {true, 0, 9, nullptr, true, 0, 9, ""}, {true, 2, {}, nullptr, false, 0, 0, ""}};
    place("v1_15_x86", "c:\\newkit\\DriverAgent.dll");
    place("v1_15_x86", "c:\\newkit\\agentcd.sys");
    place("v3_0_x86", "c:\\winnt\\system32\\DriverAgent.dll");
    for (const auto &row : rows) {
        set_version(toolkit_key, row.device ? std::nullopt : row.version, row.device ? std::nullopt : row.revision, "CurrentVersion", row.text);
        if (row.device) set_version(device_key, row.version, row.revision);
        uint32_t version = 77, revision = 77;
        EXPECT_EQ((row.device ? GetDeviceVersion : GetToolkitVersion)(&version, &revision), row.read);
        if (row.read) {
            EXPECT_EQ(std::make_pair(version, revision), std::make_pair(row.got_version, row.got_revision));
        }
        EXPECT_EQ(check("c:\\newkit"), row.err) << (row.text ? row.text : "");
    }
    // A refused toolkit stops before the files and the device entry; a refusal fails the run.
    set_version(toolkit_key, 2, 0);
    set_version(device_key, 5, 0);
    EXPECT_EQ(check("c:\\empty"), toolkit);
    set_version(toolkit_key, {}, {});
    set_version(device_key, 2, 0);
    toolkit_calls_clear();
    EXPECT_EQ(install(), std::make_pair(-1, nt_head + device + failed));
    EXPECT_TRUE(toolkit_calls().empty());
}

// With a toolkit 1.15 recorded, the toolkit files by their file versions (null: no such file).
TEST_F(Installer, ToolkitFilesAreComparedByFileVersion) {
    const std::string library = too_new + "DriverAgent.dll" + than;
    const struct { bool windows95; const char *new_library, *installed_library, *new_driver, *installed_driver; std::string err; } rows[] = {
        {false, "v2_0_x86", "v2_0_x64", "v2_0_x86", "v2_0_x64", ""}, {false, "v1_15_x86", nullptr, "v1_15_x86", nullptr, ""},
        {false, "v1_15_x86", "noversion_x64", "v1_15_x86", "noversion_x86", ""},
        {false, "v2_5_x64", "v3_0_x86", "v2_0_x86", nullptr, library},
        {false, "v2_0_x86", "v2_0_x86", "v2_0_x64", "v2_1_x86", too_new + "drivers\\agentcd.sys" + than},
        {true, "v2_0_x86", "v2_0_x86", "v2_0_x64", "v2_1_x86", too_new + "agentcd.vxd" + than},
        {false, "noversion_x86", nullptr, nullptr, nullptr, no_version + "DriverAgent.dll\n"},
        {false, "v2_0_x86", nullptr, nullptr, "v2_1_x86", no_version + "agentcd.sys\n"},
    };
    set_version(toolkit_key, 1, 15);
    for (const auto &row : rows) {
        std::filesystem::remove_all(home.file("drive_c"));
        row.windows95 ? setenv("TAV_PLATFORM", "95", 1) : unsetenv("TAV_PLATFORM");
        const std::string system = row.windows95 ? "c:\\windows\\system\\" : "c:\\winnt\\system32\\", driver = row.windows95 ? "agentcd.vxd" : "agentcd.sys";
        if (row.new_library) place(row.new_library, "c:\\newkit\\DriverAgent.dll");
        if (row.installed_library) place(row.installed_library, system + "DriverAgent.dll");
        if (row.new_driver) place(row.new_driver, "c:\\newkit\\" + driver);
        if (row.installed_driver) place(row.installed_driver, system + (row.windows95 ? "" : "drivers\\") + driver);
        EXPECT_EQ(check("c:\\newkit"), row.err) << row.new_library << " " << row.installed_library;
    }
    // "PATH\DriverAgent.dll" filling the whole path buffer (NUL included) is too long; one shorter is looked for.
    for (size_t length : {495u, 496u}) {
        const std::string path = "c:\\" + std::string(length - 3, 'k');
        EXPECT_EQ(check(path.c_str()), length == 496 ? "Error: Install path is too long\n" : "Error: Unable to obtain version information for " + path + "\\DriverAgent.dll\n");
    }
    // A version buffer that cannot be allocated: a file without readable version information.
    unsetenv("TAV_PLATFORM");
    place("v1_15_x86", "c:\\kit\\DriverAgent.dll");
    FileVersionNumbers numbers{};
    heap_failure = true;
    EXPECT_EQ(GetFileVersionNumbers("c:\\kit\\DriverAgent.dll", &numbers), version_status_out_of_memory);
    EXPECT_EQ(check("c:\\kit"), "Error: Unable to obtain version information for c:\\kit\\DriverAgent.dll\n");
}

}  // namespace
