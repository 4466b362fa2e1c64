// The installer's run: output, exit status, what it registers (read back from the
// registry), the calls it makes to the configuration library, and each failure.
#include "installer_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using installer_test::device_key;
using installer_test::InstallerTest;
using installer_test::range_key;
using installer_test::run_installer;
using installer_test::service_key;

using Lines = std::vector<std::string>;

struct Family {
    const char *name;
    bool windows95;
    const char *install_path;
    const char *image_path;
    Lines success;
};
void PrintTo(const Family &value, std::ostream *os) { *os << value.name; }

const Family families[] = {
    {"nt", false, "c:\\winnt\\system32", "c:\\winnt\\system32\\agentcd.sys",
     {"Install Path:c:\\winnt\\system32", "The installation of device TAV is complete."}},
    {"w95", true, "c:\\windows\\system", "c:\\windows\\system\\agentcd.vxd",
     {"Install Path:c:\\windows\\system", "The installation of device TAV is complete.",
      "The system must be restarted for the changes to take effect"}},
};

class InstallRuns : public InstallerTest, public ::testing::WithParamInterface<Family> {};

TEST_P(InstallRuns, FirstAndSecondRunRegisterTheBoardAndReplaceTheDevice) {
    const Family &family = GetParam();
    if (family.windows95) setenv("TAV_PLATFORM", "95", 1);
    EXPECT_EQ(IsWindows95Family(), family.windows95);

    installer_test::Run first = run_installer();
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.lines(), family.success);

    // Something left in the device entry by an earlier installation is gone afterwards.
    set_dword(device_key, "Stale", 7);
    toolkit_calls_clear();
    installer_test::Run second = run_installer();
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.lines(), family.success);
    const Lines calls = {
        "RegDeleteDevice(\"TAV\") = 0",
        "RegAddIsaDevice(\"TAV\", 0, 0, 1, \"Tarsek9 ORVEX Update Board\", 0, 1, 0, 0) = 0",
        "RegAddMemoryRange(\"TAV\", \"TAV\", 0, 0, 851968, 32768, 0, 3, 0) = 0",
        std::string("InstallDeviceService(\"agentcd\", \"DriverAgent Class Driver\", \"") + family.image_path +
            "\", -1) = 0",
    };
    EXPECT_EQ(toolkit_calls(), calls);

    std::vector<uint8_t> data;
    DWORD type = 0;
    EXPECT_EQ(read_value(device_key, "Stale", &data, &type), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(read_value(range_key, "FastIo", &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
    ASSERT_EQ(read_value(range_key, "Base", &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x00, 0x00, 0x0D, 0x00}));
    ASSERT_EQ(read_value(range_key, "Length", &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x00, 0x80, 0x00, 0x00}));
    ASSERT_EQ(read_value(service_key, "ImagePath", &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string(family.image_path) + '\0');
}

INSTANTIATE_TEST_SUITE_P(Families, InstallRuns, ::testing::ValuesIn(families),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(InstallerTest, OnlyTheFirstArgumentIsTheInstallPath) {
    installer_test::Run run = run_installer({"d:\\kit", "e:\\ignored"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines(), (Lines{"Install Path:d:\\kit", "The installation of device TAV is complete."}));
    std::vector<uint8_t> data;
    DWORD type = 0;
    ASSERT_EQ(read_value(service_key, "ImagePath", &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("d:\\kit\\agentcd.sys") + '\0');
}

struct LibraryFailure {
    const char *name;
    const char *fail;  // TAV_TOOLKIT_FAIL
    int status;
    std::string err;
    std::vector<std::string> calls;
};
void PrintTo(const LibraryFailure &value, std::ostream *os) { *os << value.name; }

const LibraryFailure library_failures[] = {
    {"device",
     "RegAddIsaDevice=-42",
     -1,
     "Install Path:c:\\winnt\\system32\n"
     "Error: Unable to install Isa device TAV, error=-42\n"
     "Error: Installation of device TAV failed.\n",
     {"RegDeleteDevice", "RegAddIsaDevice"}},
    {"range",
     "RegAddMemoryRange=-7",
     -1,
     "Install Path:c:\\winnt\\system32\n"
     "Error: Unable to add device resource TAV for device TAV, error=-7\n"
     "Error: Installation of device TAV failed.\n",
     {"RegDeleteDevice", "RegAddIsaDevice", "RegAddMemoryRange"}},
    // The library reports success but records no range: its key cannot be opened.
    {"range_key_missing",
     "RegAddMemoryRange=0",
     -1,
     "Install Path:c:\\winnt\\system32\n"
     "Error: Unable to access the database entry for TAV, error=The system cannot find the file specified.\r\n\n"
     "Error: Installation of device TAV failed.\n",
     {"RegDeleteDevice", "RegAddIsaDevice", "RegAddMemoryRange"}},
    {"service",
     "InstallDeviceService",
     -1,
     "Install Path:c:\\winnt\\system32\n"
     "Error: Unable to install the AGENTCD device service\n"
     "Error: Installation of device TAV failed.\n",
     {"RegDeleteDevice", "RegAddIsaDevice", "RegAddMemoryRange", "InstallDeviceService"}},
    // The deletion's status is not looked at.
    {"delete",
     "RegDeleteDevice=-3",
     0,
     "Install Path:c:\\winnt\\system32\n"
     "The installation of device TAV is complete.\n",
     {"RegDeleteDevice", "RegAddIsaDevice", "RegAddMemoryRange", "InstallDeviceService"}},
};

class LibraryFailures : public InstallerTest, public ::testing::WithParamInterface<LibraryFailure> {};

TEST_P(LibraryFailures, StopTheRunWithTheirMessage) {
    const LibraryFailure &failure = GetParam();
    setenv("TAV_TOOLKIT_FAIL", failure.fail, 1);
    installer_test::Run run = run_installer();
    EXPECT_EQ(run.status, failure.status);
    EXPECT_EQ(run.err, failure.err);
    EXPECT_EQ(toolkit_call_names(), failure.calls);
    // The failure of a later step leaves no service behind.
    EXPECT_EQ(key_exists(service_key), failure.status == 0);
}

INSTANTIATE_TEST_SUITE_P(Failures, LibraryFailures, ::testing::ValuesIn(library_failures),
                         [](const auto &info) { return std::string(info.param.name); });

// The longest install path that fits the 512-byte buffers with "\DriverAgent.dll" behind
// it has 495 characters; one more is refused before anything is compared or registered.
TEST_F(InstallerTest, InstallPathTooLongIsRefusedBeforeAnything) {
    // A recorded toolkit that would be refused shows that the length comes first.
    set_dword(installer_test::toolkit_key, "Version", 9);
    set_dword(installer_test::toolkit_key, "Revision", 0);
    for (bool windows95 : {false, true}) {
        if (windows95) setenv("TAV_PLATFORM", "95", 1);
        std::string path = "c:\\" + std::string(493, 'k');
        ASSERT_EQ(path.size(), 496u);
        toolkit_calls_clear();
        installer_test::Run run = run_installer({path.c_str()});
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(run.lines(), (Lines{"Install Path:" + path, "Error: Install path is too long",
                                      "Error: Installation of device TAV failed."}));
        EXPECT_TRUE(toolkit_calls().empty());
        EXPECT_FALSE(key_exists(device_key));
    }
}

TEST_F(InstallerTest, LongestInstallPathThatFitsIsInstalled) {
    std::string path = "c:\\" + std::string(492, 'k');
    ASSERT_EQ(path.size(), 495u);
    installer_test::Run run = run_installer({path.c_str()});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<uint8_t> data;
    DWORD type = 0;
    ASSERT_EQ(read_value(service_key, "ImagePath", &data, &type), ERROR_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), path + "\\agentcd.sys" + '\0');
}

TEST(PathLengths, BuffersHoldTheWholePathAndItsTerminator) {
    struct Case {
        size_t length;
        bool windows95;
        bool install_fits;
        bool system_fits;
    } cases[] = {
        // install path: 512 - 1 - strlen("\DriverAgent.dll") = 495
        {495, false, true, false}, {496, false, false, false}, {495, true, true, false},
        {496, true, false, false},
        // system directory: 260 - 1 - strlen("\drivers\agentcd.sys") = 239 (NT);
        // 260 - 1 - strlen("\DriverAgent.dll") = 243 (95 family)
        {239, false, true, true}, {240, false, true, false}, {243, true, true, true}, {244, true, true, false},
    };
    for (const Case &c : cases) {
        std::string path(c.length, 'p');
        EXPECT_EQ(InstallPathFits(path.c_str(), c.windows95), c.install_fits) << c.length << " " << c.windows95;
        EXPECT_EQ(SystemDirectoryFits(path.c_str(), c.windows95), c.system_fits) << c.length << " " << c.windows95;
    }
}

TEST(SystemErrors, TheSystemTextWithItsLineBreakOrNothing) {
    struct Case {
        uint32_t code;
        const char *text;
    } cases[] = {
        {0, ""},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_CANTWRITE, "The configuration registry key could not be written.\r\n"},
        {0x7654321, ""},  // no text for it
    };
    for (const Case &c : cases) {
        installer_test::CaptureErr err;
        ReportSystemError(c.code);
        EXPECT_EQ(err.text(), c.text) << c.code;
    }
}

}  // namespace
