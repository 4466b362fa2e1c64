// The installer's run: output, exit status, what it registers (read back from the
// registry), the calls it makes to the configuration library, and each failure.
#include "installer_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace installer_test;

// Both platform families, first and second run: the same output, and the second run
// replaces the device entry (what an earlier installation left in it is gone).
TEST_F(InstallerTest, FirstAndSecondRunRegisterTheBoardAndReplaceTheDevice) {
    for (bool windows95 : {false, true}) {
        SCOPED_TRACE(windows95 ? "95" : "nt");
        if (windows95) setenv("TAV_PLATFORM", "95", 1);
        EXPECT_EQ(IsWindows95Family(), windows95);
        const std::string image_path = windows95 ? "c:\\windows\\system\\agentcd.vxd" : "c:\\winnt\\system32\\agentcd.sys";
        Lines success = {windows95 ? "Install Path:c:\\windows\\system" : "Install Path:c:\\winnt\\system32",
                         "The installation of device TAV is complete."};
        if (windows95) success.push_back("The system must be restarted for the changes to take effect");

        auto first = run_installer();
        EXPECT_EQ(first.status, 0);
        EXPECT_EQ(first.lines(), success);
        set_dword(device_key, "Stale", 7);
        toolkit_calls_clear();
        auto second = run_installer();
        EXPECT_EQ(second.status, 0);
        EXPECT_EQ(second.lines(), success);
        EXPECT_EQ(toolkit_calls(),
                  (Lines{"RegDeleteDevice(\"TAV\") = 0",
                         "RegAddIsaDevice(\"TAV\", 0, 0, 1, \"Tarsek9 ORVEX Update Board\", 0, 1, 0, 0) = 0",
                         "RegAddMemoryRange(\"TAV\", \"TAV\", 0, 0, 851968, 32768, 0, 3, 0) = 0",
                         "InstallDeviceService(\"agentcd\", \"DriverAgent Class Driver\", \"" + image_path +
                             "\", -1) = 0"}));

        EXPECT_EQ(value_of(device_key, "Stale"), "");
        EXPECT_EQ(value_of(range_key, "FastIo"), std::string("4:\x01\0\0\0", 6));
        EXPECT_EQ(value_of(range_key, "Base"), std::string("4:\0\0\x0D\0", 6));
        EXPECT_EQ(value_of(range_key, "Length"), std::string("4:\0\x80\0\0", 6));
        EXPECT_EQ(value_of(service_key, "ImagePath"), "1:" + image_path + '\0');
    }
}

TEST_F(InstallerTest, OnlyTheFirstArgumentIsTheInstallPath) {
    auto run = run_installer({"d:\\kit", "e:\\ignored"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines(), (Lines{"Install Path:d:\\kit", "The installation of device TAV is complete."}));
    EXPECT_EQ(value_of(service_key, "ImagePath"), std::string("1:d:\\kit\\agentcd.sys") + '\0');
}

TEST_F(InstallerTest, LibraryFailuresStopTheRunWithTheirMessage) {
    const std::string head = "Install Path:c:\\winnt\\system32\n";
    const std::string failed = "Error: Installation of device TAV failed.\n";
    struct Case {
        const char *fail;   // TAV_TOOLKIT_FAIL
        int status;
        std::string err;
        size_t calls;       // how many of the four library calls were made
    } cases[] = {
        {"RegAddIsaDevice=-42", -1, head + "Error: Unable to install Isa device TAV, error=-42\n" + failed, 2},
        {"RegAddMemoryRange=-7", -1, head + "Error: Unable to add device resource TAV for device TAV, error=-7\n" + failed,
         3},
        // The library reports success but records no range: its key cannot be opened.
        {"RegAddMemoryRange=0", -1,
         head + "Error: Unable to access the database entry for TAV, error=The system cannot find the file "
                "specified.\r\n\n" + failed,
         3},
        {"InstallDeviceService", -1, head + "Error: Unable to install the AGENTCD device service\n" + failed, 4},
        // The deletion's status is not looked at.
        {"RegDeleteDevice=-3", 0, head + "The installation of device TAV is complete.\n", 4},
    };
    const Lines all = {"RegDeleteDevice", "RegAddIsaDevice", "RegAddMemoryRange", "InstallDeviceService"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fail);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "System");
        setenv("TAV_TOOLKIT_FAIL", c.fail, 1);
        toolkit_calls_clear();
        auto run = run_installer();
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(toolkit_call_names(), Lines(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(c.calls)));
        // The failure of a later step leaves no service behind.
        EXPECT_EQ(key_exists(service_key), c.status == 0);
    }
}

// The longest install path that fits the 512-byte buffers with "\DriverAgent.dll" behind
// it has 495 characters; one more is refused before anything is compared or registered
// (a recorded toolkit that would be refused shows that the length comes first).
TEST_F(InstallerTest, InstallPathLengthIsCheckedBeforeAnything) {
    set_dword(toolkit_key, "Version", 9);
    set_dword(toolkit_key, "Revision", 0);
    for (bool windows95 : {false, true}) {
        if (windows95) setenv("TAV_PLATFORM", "95", 1);
        std::string path = "c:\\" + std::string(493, 'k');
        toolkit_calls_clear();
        auto run = run_installer({path.c_str()});
        EXPECT_EQ(run.status, -1);
        EXPECT_EQ(run.lines(), (Lines{"Install Path:" + path, "Error: Install path is too long",
                                      "Error: Installation of device TAV failed."}));
        EXPECT_TRUE(toolkit_calls().empty());
        EXPECT_FALSE(key_exists(device_key));
    }
    unsetenv("TAV_PLATFORM");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, toolkit_key);
    std::string path = "c:\\" + std::string(492, 'k');
    auto run = run_installer({path.c_str()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(value_of(service_key, "ImagePath"), "1:" + path + "\\agentcd.sys" + '\0');
}

TEST(PathLengths, BuffersHoldTheWholePathAndItsTerminator) {
    struct Case {
        size_t length;
        bool windows95, install_fits, system_fits;
    } cases[] = {
        // install path: 512 - 1 - strlen("\DriverAgent.dll") = 495
        {495, false, true, false}, {496, false, false, false}, {495, true, true, false}, {496, true, false, false},
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

// The installer's warnings and errors end in the system text with its line break, or
// nothing when there is no text.
TEST(SystemErrors, TheSystemTextWithItsLineBreakOrNothing) {
    struct Case {
        uint32_t code;
        const char *text;
    } cases[] = {
        {0, ""},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_CANTWRITE, "The configuration registry key could not be written.\r\n"},
        {0x7654321, ""},
    };
    for (const Case &c : cases) {
        CaptureErr err;
        ReportSystemError(c.code);
        EXPECT_EQ(err.text(), c.text) << c.code;
    }
}

}  // namespace
