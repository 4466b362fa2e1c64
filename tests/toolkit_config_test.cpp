// The configuration library of the toolkit stand-in: what the installer's calls leave in
// the device database, what they refuse, and the test controls (injected failures, trace).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "toolkit/DaConfig.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_status.h"
#include "toolkit_seed.h"

namespace {

const char kToolkit[] = "Software\\NuMega\\DriverAgent";
const char kDevice[] = "Software\\NuMega\\DriverAgent\\Devices\\TAV";
const char kRange[] = "Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV";
const char kService[] = "System\\CurrentControlSet\\Services\\agentcd";
const DWORD kMissing = 0xFFFFFFFFu;

// The value of `name` under HKLM\path: its type (kMissing when absent) and bytes.
DWORD read_value(const char *path, const char *name, std::vector<uint8_t> *data = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return kMissing;
    std::vector<uint8_t> bytes(512);
    DWORD size = static_cast<DWORD>(bytes.size()), type = kMissing;
    if (RegQueryValueExA(key, name, nullptr, &type, bytes.data(), &size) != ERROR_SUCCESS) type = kMissing;
    RegCloseKey(key);
    bytes.resize(type == kMissing ? 0 : size);
    if (data != nullptr) *data = bytes;
    return type;
}

bool key_exists(const char *path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

DASTATUS add_device() { return RegAddIsaDevice("TAV", 0, 0, 1, "Tarsek9 ORVEX Update Board", 0, 1, 0, 0); }
DASTATUS add_range() { return RegAddMemoryRange("TAV", "TAV", 0, 0, 0xD0000, 0x8000, 0, 3, 0); }
DASTATUS add_service() {
    return InstallDeviceService("agentcd", "DriverAgent Class Driver", "c:\\winnt\\system32\\agentcd.sys", -1);
}

class ToolkitConfigTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        TearDown();
        toolkit_calls_clear();
    }
    void TearDown() override {
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_TOOLKIT_TRACE");
    }
    TempTavHome home_;
};

// The values the loader's library and the version checks read back, as typed values.
TEST_F(ToolkitConfigTest, InstallerSequenceRegistersDeviceRangeAndService) {
    ASSERT_EQ(add_device(), DA_STATUS_OK);
    ASSERT_EQ(add_range(), DA_STATUS_OK);
    ASSERT_EQ(add_service(), DA_STATUS_OK);
    auto dword = [](uint32_t v) { return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), 0}; };
    auto text = [](const char *t) { return std::vector<uint8_t>(t, t + std::strlen(t) + 1); };
    struct Expect {
        const char *path, *name;
        DWORD type;
        std::vector<uint8_t> data;
    } expected[] = {
        {kDevice, "Version", REG_DWORD, dword(1)},
        {kDevice, "Revision", REG_DWORD, dword(0)},
        {kDevice, "Description", REG_SZ, text("Tarsek9 ORVEX Update Board")},
        {kDevice, "InterfaceType", REG_DWORD, dword(1)},
        {kRange, "Base", REG_DWORD, dword(0xD0000)},
        {kRange, "Length", REG_DWORD, dword(0x8000)},
        {kRange, "Access", REG_DWORD, dword(3)},
        {kService, "DisplayName", REG_SZ, text("DriverAgent Class Driver")},
        {kService, "ImagePath", REG_SZ, text("c:\\winnt\\system32\\agentcd.sys")},
        {kService, "Type", REG_DWORD, dword(1)},
    };
    for (const Expect &e : expected) {
        std::vector<uint8_t> data;
        EXPECT_EQ(read_value(e.path, e.name, &data), e.type) << e.name;
        EXPECT_EQ(data, e.data) << e.name;
    }
}

// The toolkit's own version belongs to its setup: registering and deleting devices and the
// service never writes, changes or removes it.
TEST_F(ToolkitConfigTest, ToolkitVersionIsNeverTouched) {
    for (bool recorded : {false, true}) {
        if (recorded) {
            ASSERT_TRUE(write_file(home_.registry(), "Windows Registry Editor Version 5.00\n\n"
                                                     "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent]\n"
                                                     "\"Version\"=dword:00000001\n\"Revision\"=dword:0000000f\n"));
        }
        ASSERT_EQ(add_device(), DA_STATUS_OK);
        ASSERT_EQ(add_range(), DA_STATUS_OK);
        ASSERT_EQ(add_service(), DA_STATUS_OK);
        ASSERT_EQ(RegDeleteDevice("TAV"), DA_STATUS_OK);
        std::vector<uint8_t> version, revision;
        read_value(kToolkit, "Version", &version);
        read_value(kToolkit, "Revision", &revision);
        EXPECT_EQ(version, (recorded ? std::vector<uint8_t>{1, 0, 0, 0} : std::vector<uint8_t>{}));
        EXPECT_EQ(revision, (recorded ? std::vector<uint8_t>{15, 0, 0, 0} : std::vector<uint8_t>{}));
        EXPECT_EQ(read_value(kToolkit, "CurrentVersion"), kMissing);
    }
}

TEST_F(ToolkitConfigTest, RefusalsReturnTheirStatusAndWriteNothing) {
    // Calls on a registered device delete it again, so that nothing is left in either case.
    auto with_device = [](std::function<DASTATUS()> call) {
        return [call] {
            add_device();
            DASTATUS s = call();
            RegDeleteDevice("TAV");
            return s;
        };
    };
    auto failing = [](const char *fail, std::function<DASTATUS()> call) {
        return [fail, call] {
            setenv("TAV_TOOLKIT_FAIL", fail, 1);
            return call();
        };
    };
    struct Case {
        const char *what;
        std::function<DASTATUS()> call;
        DASTATUS status;
    } cases[] = {
        {"range of unregistered device", add_range, DA_ERR_NO_DEVICE},
        {"delete of unregistered device", [] { return RegDeleteDevice("TAV"); }, DA_ERR_NO_DEVICE},
        {"null name", [] { return RegAddIsaDevice(nullptr, 0, 0, 1, "d", 0, 1, 0, 0); }, DA_ERR_BAD_ARGUMENT},
        {"empty name", [] { return RegAddIsaDevice("", 0, 0, 1, "d", 0, 1, 0, 0); }, DA_ERR_BAD_ARGUMENT},
        {"name with backslash", [] { return RegAddIsaDevice("T\\V", 0, 0, 1, "d", 0, 1, 0, 0); }, DA_ERR_BAD_ARGUMENT},
        {"zero length", with_device([] { return RegAddMemoryRange("TAV", "TAV", 0, 0, 0xD0000, 0, 0, 3, 0); }),
         DA_ERR_BAD_ARGUMENT},
        {"past 4 GB", with_device([] { return RegAddMemoryRange("TAV", "TAV", 0, 0, 0xFFFFF000u, 0x8000, 0, 3, 0); }),
         DA_ERR_BAD_ARGUMENT},
        {"no image", [] { return InstallDeviceService("agentcd", "x", "", -1); }, DA_ERR_BAD_ARGUMENT},
        {"start type 5", [] { return InstallDeviceService("agentcd", "x", "c:\\a.sys", 5); }, DA_ERR_BAD_ARGUMENT},
        {"injected delete", failing("RegDeleteDevice", [] { return RegDeleteDevice("TAV"); }), DA_ERR_INJECTED},
        {"injected with status", failing("RegAddMemoryRange, RegAddIsaDevice=-42", add_device), -42},
        {"injected service", failing("DriverAgentOpen,InstallDeviceService", add_service), DA_ERR_INJECTED},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStderr();
        DASTATUS status = c.call();
        testing::internal::GetCapturedStderr();
        unsetenv("TAV_TOOLKIT_FAIL");
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_FALSE(key_exists(kDevice)) << c.what;
        EXPECT_FALSE(key_exists(kService)) << c.what;
    }
}

TEST_F(ToolkitConfigTest, InjectionNamesOnlyTheListedFunctions) {
    setenv("TAV_TOOLKIT_FAIL", "RegAddMemoryRange", 1);
    EXPECT_EQ(add_device(), DA_STATUS_OK);
    EXPECT_EQ(add_range(), DA_ERR_INJECTED);
    EXPECT_FALSE(key_exists(kRange));
    setenv("TAV_TOOLKIT_FAIL", "RegAddMemoryRangeX,XRegAddMemoryRange", 1);
    EXPECT_EQ(add_range(), DA_STATUS_OK);
}

TEST_F(ToolkitConfigTest, CorruptDatabaseIsAFailureAndStaysUntouched) {
    const std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\n";
    ASSERT_TRUE(write_file(home_.registry(), broken));
    testing::internal::CaptureStderr();
    DASTATUS device = add_device(), service = add_service(), removed = RegDeleteDevice("TAV");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(device, 0);
    EXPECT_LT(service, 0);
    EXPECT_LT(removed, 0);
    EXPECT_NE(removed, DA_ERR_NO_DEVICE);   // not "missing": the database cannot be read
    EXPECT_NE(err.find(home_.registry()), std::string::npos) << err;
    EXPECT_EQ(read_file(home_.registry()), broken);
}

// The trace file holds the same lines as the recorder (the installer tests check those).
TEST_F(ToolkitConfigTest, TraceFileRepeatsTheRecordedCalls) {
    std::string trace = home_.path() + "/trace.txt";
    setenv("TAV_TOOLKIT_TRACE", trace.c_str(), 1);
    RegDeleteDevice("TAV");
    add_device();
    add_service();
    std::string joined;
    for (const std::string &line : toolkit_calls()) joined += line + "\n";
    EXPECT_EQ(toolkit_calls().size(), 3u);
    EXPECT_EQ(joined.rfind("RegDeleteDevice(\"TAV\") = -3\nRegAddIsaDevice(\"TAV\", 0, 0, 1, ", 0), 0u) << joined;
    EXPECT_EQ(read_file(trace), joined);
}

}  // namespace
