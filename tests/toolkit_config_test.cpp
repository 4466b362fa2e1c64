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

const char kDescription[] = "Tarsek9 ORVEX Update Board";
const char kDevice[] = "Software\\NuMega\\DriverAgent\\Devices\\TAV";
const char kRange[] = "Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV";
const char kService[] = "System\\CurrentControlSet\\Services\\agentcd";

// The value of `name` under HKLM\path as (type, bytes); type 0xFFFFFFFF when missing.
struct Read {
    DWORD type = 0xFFFFFFFFu;
    std::vector<uint8_t> data;
    DWORD dword() const {
        DWORD v = 0;
        if (data.size() == 4) std::memcpy(&v, data.data(), 4);
        return v;
    }
    std::string text() const { return data.empty() ? "" : std::string(data.begin(), data.end() - 1); }
};

Read read_value(const char *path, const char *name) {
    Read out;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        out.data.resize(size);
        if (RegQueryValueExA(key, name, nullptr, &type, out.data.data(), &size) == ERROR_SUCCESS) out.type = type;
    }
    RegCloseKey(key);
    return out;
}

bool key_exists(const char *path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

DASTATUS add_device() { return RegAddIsaDevice("TAV", 0, 0, 1, kDescription, 0, 1, 0, 0); }
DASTATUS add_range() { return RegAddMemoryRange("TAV", "TAV", 0, 0, 0xD0000, 0x8000, 0, 3, 0); }
DASTATUS add_service() {
    return InstallDeviceService("agentcd", "DriverAgent Class Driver", "c:\\winnt\\system32\\agentcd.sys", -1);
}

class ToolkitConfigTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_TOOLKIT_TRACE");
        toolkit_calls_clear();
    }
    void TearDown() override {
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_TOOLKIT_TRACE");
    }
    TempTavHome home_;
};

TEST_F(ToolkitConfigTest, InstallerSequenceRegistersDeviceRangeAndService) {
    EXPECT_LT(RegDeleteDevice("TAV"), 0);   // nothing registered yet
    ASSERT_EQ(add_device(), DA_STATUS_OK);
    ASSERT_EQ(add_range(), DA_STATUS_OK);
    ASSERT_EQ(add_service(), DA_STATUS_OK);

    struct Expect {
        const char *path;
        const char *name;
        DWORD type;
        DWORD dword;          // for REG_DWORD
        const char *text;     // for REG_SZ
    } expected[] = {
        {kDevice, "Version", REG_DWORD, 1, nullptr},
        {kDevice, "Revision", REG_DWORD, 0, nullptr},
        {kDevice, "Description", REG_SZ, 0, kDescription},
        {kDevice, "InterfaceType", REG_DWORD, 1, nullptr},
        {kRange, "Base", REG_DWORD, 0xD0000, nullptr},
        {kRange, "Length", REG_DWORD, 0x8000, nullptr},
        {kRange, "Access", REG_DWORD, 3, nullptr},
        {kService, "DisplayName", REG_SZ, 0, "DriverAgent Class Driver"},
        {kService, "ImagePath", REG_SZ, 0, "c:\\winnt\\system32\\agentcd.sys"},
        {kService, "Type", REG_DWORD, 1, nullptr},
    };
    for (const Expect &e : expected) {
        Read r = read_value(e.path, e.name);
        EXPECT_EQ(r.type, e.type) << e.path << " " << e.name;
        if (e.type == REG_DWORD) {
            EXPECT_EQ(r.data.size(), 4u) << e.name;
            EXPECT_EQ(r.dword(), e.dword) << e.name;
        } else {
            EXPECT_EQ(r.text(), e.text) << e.name;
            EXPECT_EQ(r.data.back(), 0) << e.name << ": texts keep their terminator";
        }
    }
}

TEST_F(ToolkitConfigTest, RerunReplacesTheDeviceEntry) {
    ASSERT_EQ(add_device(), DA_STATUS_OK);
    ASSERT_EQ(add_range(), DA_STATUS_OK);
    HKEY range = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRange, 0, KEY_ALL_ACCESS, &range), ERROR_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(range, "Stale", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(range);

    EXPECT_EQ(RegDeleteDevice("tav"), DA_STATUS_OK);
    EXPECT_FALSE(key_exists(kDevice));
    ASSERT_EQ(add_device(), DA_STATUS_OK);
    ASSERT_EQ(add_range(), DA_STATUS_OK);
    EXPECT_EQ(read_value(kRange, "Stale").type, 0xFFFFFFFFu);
    EXPECT_EQ(read_value(kRange, "Base").dword(), 0xD0000u);
}

// The toolkit's own version belongs to its setup: registering devices and the service
// never writes or removes it.
TEST_F(ToolkitConfigTest, ToolkitVersionIsNeverTouched) {
    ASSERT_TRUE(write_file(home_.registry(),
                           "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent]\n"
                           "\"Version\"=dword:00000001\n\"Revision\"=dword:0000000f\n"));
    ASSERT_EQ(add_device(), DA_STATUS_OK);
    ASSERT_EQ(add_range(), DA_STATUS_OK);
    ASSERT_EQ(add_service(), DA_STATUS_OK);
    ASSERT_EQ(RegDeleteDevice("TAV"), DA_STATUS_OK);
    EXPECT_EQ(read_value("Software\\NuMega\\DriverAgent", "Version").dword(), 1u);
    EXPECT_EQ(read_value("Software\\NuMega\\DriverAgent", "Revision").dword(), 15u);
}

TEST_F(ToolkitConfigTest, WithoutToolkitVersionNoneIsInvented) {
    ASSERT_EQ(add_device(), DA_STATUS_OK);
    ASSERT_EQ(add_service(), DA_STATUS_OK);
    EXPECT_EQ(read_value("Software\\NuMega\\DriverAgent", "Version").type, 0xFFFFFFFFu);
    EXPECT_EQ(read_value("Software\\NuMega\\DriverAgent", "CurrentVersion").type, 0xFFFFFFFFu);
}

struct RefusalCase {
    const char *what;
    std::function<DASTATUS()> call;
    DASTATUS status;
};

class ToolkitConfigRefuses : public ToolkitConfigTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(ToolkitConfigRefuses, WithItsStatusAndWritesNothing) {
    testing::internal::CaptureStderr();
    DASTATUS status = GetParam().call();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, GetParam().status);
    EXPECT_FALSE(key_exists(kDevice));
    EXPECT_FALSE(key_exists(kService));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ToolkitConfigRefuses,
    testing::Values(
        RefusalCase{"range of unregistered device", [] { return add_range(); }, DA_ERR_NO_DEVICE},
        RefusalCase{"delete of unregistered device", [] { return RegDeleteDevice("TAV"); }, DA_ERR_NO_DEVICE},
        RefusalCase{"null device name", [] { return RegAddIsaDevice(nullptr, 0, 0, 1, "d", 0, 1, 0, 0); },
                    DA_ERR_BAD_ARGUMENT},
        RefusalCase{"empty device name", [] { return RegAddIsaDevice("", 0, 0, 1, "d", 0, 1, 0, 0); },
                    DA_ERR_BAD_ARGUMENT},
        RefusalCase{"device name with backslash", [] { return RegAddIsaDevice("T\\V", 0, 0, 1, "d", 0, 1, 0, 0); },
                    DA_ERR_BAD_ARGUMENT},
        RefusalCase{"zero length range",
                    [] {
                        add_device();
                        DASTATUS s = RegAddMemoryRange("TAV", "TAV", 0, 0, 0xD0000, 0, 0, 3, 0);
                        RegDeleteDevice("TAV");
                        return s;
                    },
                    DA_ERR_BAD_ARGUMENT},
        RefusalCase{"range past 4 GB",
                    [] {
                        add_device();
                        DASTATUS s = RegAddMemoryRange("TAV", "TAV", 0, 0, 0xFFFFF000u, 0x8000, 0, 3, 0);
                        RegDeleteDevice("TAV");
                        return s;
                    },
                    DA_ERR_BAD_ARGUMENT},
        RefusalCase{"service without image",
                    [] { return InstallDeviceService("agentcd", "x", "", -1); }, DA_ERR_BAD_ARGUMENT},
        RefusalCase{"service with start type 5",
                    [] { return InstallDeviceService("agentcd", "x", "c:\\a.sys", 5); }, DA_ERR_BAD_ARGUMENT},
        RefusalCase{"injected delete",
                    [] {
                        setenv("TAV_TOOLKIT_FAIL", "RegDeleteDevice", 1);
                        return RegDeleteDevice("TAV");
                    },
                    DA_ERR_INJECTED},
        RefusalCase{"injected device with status",
                    [] {
                        setenv("TAV_TOOLKIT_FAIL", "RegAddMemoryRange, RegAddIsaDevice=-42", 1);
                        return add_device();
                    },
                    -42},
        RefusalCase{"injected service",
                    [] {
                        setenv("TAV_TOOLKIT_FAIL", "DriverAgentOpen,InstallDeviceService", 1);
                        return add_service();
                    },
                    DA_ERR_INJECTED}),
    [](const testing::TestParamInfo<RefusalCase> &info) {
        std::string name;
        for (const char *p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

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
    DASTATUS device = add_device();
    DASTATUS service = add_service();
    DASTATUS removed = RegDeleteDevice("TAV");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(device, 0);
    EXPECT_LT(service, 0);
    EXPECT_LT(removed, 0);
    EXPECT_NE(removed, DA_ERR_NO_DEVICE);   // not "missing": the database cannot be read
    EXPECT_NE(err.find(home_.registry()), std::string::npos) << err;
    EXPECT_EQ(read_file(home_.registry()), broken);
}

TEST_F(ToolkitConfigTest, CallsAreTracedInOrderToFileAndRecorder) {
    std::string trace = home_.path() + "/trace.txt";
    setenv("TAV_TOOLKIT_TRACE", trace.c_str(), 1);
    RegDeleteDevice("TAV");
    add_device();
    add_range();
    add_service();
    std::vector<std::string> expected = {
        "RegDeleteDevice(\"TAV\") = -3",
        "RegAddIsaDevice(\"TAV\", 0, 0, 1, \"Tarsek9 ORVEX Update Board\", 0, 1, 0, 0) = 0",
        "RegAddMemoryRange(\"TAV\", \"TAV\", 0, 0, 851968, 32768, 0, 3, 0) = 0",
        "InstallDeviceService(\"agentcd\", \"DriverAgent Class Driver\", \"c:\\winnt\\system32\\agentcd.sys\", -1) = 0",
    };
    EXPECT_EQ(toolkit_calls(), expected);
    std::string joined;
    for (const std::string &line : expected) joined += line + "\n";
    EXPECT_EQ(read_file(trace), joined);
    EXPECT_EQ(toolkit_call_names(),
              (std::vector<std::string>{"RegDeleteDevice", "RegAddIsaDevice", "RegAddMemoryRange",
                                        "InstallDeviceService"}));
}

}  // namespace
