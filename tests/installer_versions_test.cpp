// The version checks before registration: the toolkit recorded in the registry (numbers or
// "CurrentVersion" text), the toolkit files in the install path against the installed
// copies (real PE images), and the device entry; pairs compare major first.
#include "installer_test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using namespace installer_test;

const std::string toolkit_too_new =
    "Error: Current installation of DriverAgent is more recent than version being installed\n";
const std::string device_too_new =
    "Error: Current installation of device TAV is more recent than version being installed\n";
const std::string library_too_new =
    "Error: Current installation of DriverAgent.dll is more recent than version being installed\n";
const std::string no_version = "Error: Unable to obtain version information for c:\\newkit\\";

// CheckVersions' output; "" when it passes (a pass never prints).
std::string check_versions(const char *install_path) {
    CaptureErr err;
    bool ok = CheckVersions(install_path);
    EXPECT_EQ(ok, err.text().empty()) << err.text();
    return err.text();
}

TEST(PairComparison, MajorFirstMinorOnlyWhenTheMajorsAreEqual) {
    struct Case {
        uint32_t major, minor, new_major, new_minor;
        bool more_recent;
    } cases[] = {
        {1, 5, 2, 0, false}, {0, 20, 1, 15, false}, {1, 15, 1, 15, false}, {1, 16, 1, 15, true},
        {2, 0, 1, 15, true}, {3, 0, 2, 5, true},    {2, 1, 2, 0, true},    {0xFFFFFFFF, 0, 1, 0, true},
        {1, 0xFFFFFFFF, 2, 0, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(IsMoreRecent(c.major, c.minor, c.new_major, c.new_minor), c.more_recent)
            << c.major << "." << c.minor << " vs " << c.new_major << "." << c.new_minor;
}

// The toolkit record. The installed DriverAgent.dll is newer than the one in the install
// path, so a recorded toolkit that passes its own comparison is refused by the file check,
// and one that counts as not recorded passes.
TEST_F(InstallerTest, ToolkitRecordDecidesWhetherTheFilesAreCompared) {
    struct Case {
        const char *name;
        std::optional<uint32_t> version, revision;
        std::optional<std::string> current_version;
        bool read;
        uint32_t read_version, read_revision;
        std::string err;
    } cases[] = {
        {"none", {}, {}, {}, false, 0, 0, ""},
        {"1.15", 1, 15, {}, true, 1, 15, library_too_new},
        {"1.16", 1, 16, {}, true, 1, 16, toolkit_too_new},
        {"0.20 is older", 0, 20, {}, true, 0, 20, library_too_new},
        {"version without revision", 1, {}, {}, false, 1, 0, ""},
        {"revision without version", {}, 3, {}, false, 0, 0, ""},
        {"numbers before text", 1, 15, "9.9", true, 1, 15, library_too_new},
        {"text 1.15", {}, {}, "1.15", true, 1, 15, library_too_new},
        {"text 1.16", {}, {}, "1.16", true, 1, 16, toolkit_too_new},
        {"text 0.20", {}, {}, "0.20", true, 0, 20, library_too_new},
        {"text major only", {}, {}, "2", true, 2, 0, toolkit_too_new},
        {"text not a number", {}, {}, "abc", true, 0, 0, library_too_new},
        {"text of seven characters", {}, {}, "1234.67", true, 1234, 67, toolkit_too_new},
        {"text too long for its buffer", {}, {}, "12345.67", false, 0, 0, ""},
    };
    place(image("v1_15_x86"), "c:\\newkit\\DriverAgent.dll");
    place(image("v1_15_x86"), "c:\\newkit\\agentcd.sys");
    place(image("v3_0_x86"), "c:\\winnt\\system32\\DriverAgent.dll");
    set_dword("Software\\NuMega\\Other", "Unrelated", 1);   // the toolkit's parent key exists
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, toolkit_key);
        if (c.version) set_dword(toolkit_key, "Version", *c.version);
        if (c.revision) set_dword(toolkit_key, "Revision", *c.revision);
        if (c.current_version) set_string(toolkit_key, "CurrentVersion", *c.current_version);
        uint32_t version = 77, revision = 77;
        EXPECT_EQ(GetToolkitVersion(&version, &revision), c.read);
        if (c.read) {
            EXPECT_EQ(version, c.read_version);
            EXPECT_EQ(revision, c.read_revision);
        }
        EXPECT_EQ(check_versions("c:\\newkit"), c.err);
    }
}

TEST_F(InstallerTest, OnlyANewerDeviceEntryIsRefused) {
    struct Case {
        std::optional<uint32_t> version, revision;
        bool read, refused;
    } cases[] = {
        {{}, {}, false, false}, {1, 0, true, false}, {1, 1, true, true}, {2, 0, true, true},
        {0, 9, true, false},    {2, {}, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version.value_or(99) * 100 + c.revision.value_or(99));
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, device_key);
        if (c.version) set_dword(device_key, "Version", *c.version);
        if (c.revision) set_dword(device_key, "Revision", *c.revision);
        uint32_t version = 77, revision = 77;
        EXPECT_EQ(GetDeviceVersion(&version, &revision), c.read);
        if (c.read) {
            EXPECT_EQ(version, *c.version);
            EXPECT_EQ(revision, *c.revision);
        }
        EXPECT_EQ(check_versions("c:\\newkit"), c.refused ? device_too_new : "");
    }
}

TEST_F(InstallerTest, ARefusedToolkitStopsBeforeFilesAndDevice) {
    set_dword(toolkit_key, "Version", 2);
    set_dword(toolkit_key, "Revision", 0);
    set_dword(device_key, "Version", 5);
    set_dword(device_key, "Revision", 0);
    // No toolkit files at all in the install path: looking at them would print more.
    EXPECT_EQ(check_versions("c:\\empty"), toolkit_too_new);
}

// The toolkit files, with a toolkit 1.15 recorded, by their file versions.
TEST_F(InstallerTest, ToolkitFilesAreComparedByFileVersion) {
    struct Case {
        const char *name;
        bool windows95;
        const char *new_library, *installed_library;   // image names; null: no such file
        const char *new_driver, *installed_driver;
        std::string err;
    } cases[] = {
        {"newer major, older minor", false, "v2_0_x86", "v1_5_x64", "v2_0_x64", "v1_5_x64", ""},
        {"equal versions", false, "v2_0_x86", "v2_0_x64", "v2_0_x86", "v2_0_x64", ""},
        {"older installed, other width", false, "v2_0_x64", "v1_15_x86", "v2_0_x64", "v1_15_x86", ""},
        {"no installed copies", false, "v1_15_x86", nullptr, "v1_15_x86", nullptr, ""},
        {"installed copies without version", false, "v1_15_x86", "noversion_x64", "v1_15_x86", "noversion_x86", ""},
        {"library newer minor", false, "v2_0_x86", "v2_1_x86", "v2_0_x86", nullptr, library_too_new},
        {"library newer major, older minor", false, "v2_5_x64", "v3_0_x86", "v2_0_x86", nullptr, library_too_new},
        {"driver newer", false, "v2_0_x86", "v2_0_x86", "v2_0_x64", "v2_1_x86",
         "Error: Current installation of drivers\\agentcd.sys is more recent than version being installed\n"},
        {"driver newer 95", true, "v2_0_x86", "v2_0_x86", "v2_0_x64", "v2_1_x86",
         "Error: Current installation of agentcd.vxd is more recent than version being installed\n"},
        {"new library without version", false, "noversion_x86", nullptr, nullptr, nullptr,
         no_version + "DriverAgent.dll\n"},
        {"new library missing", false, nullptr, nullptr, "v2_0_x86", nullptr, no_version + "DriverAgent.dll\n"},
        {"new driver missing", false, "v2_0_x86", nullptr, nullptr, "v2_1_x86", no_version + "agentcd.sys\n"},
        {"new driver missing 95", true, "v2_0_x86", nullptr, nullptr, nullptr, no_version + "agentcd.vxd\n"},
    };
    set_dword(toolkit_key, "Version", 1);
    set_dword(toolkit_key, "Revision", 15);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(home_.path() + "/drive_c");
        if (c.windows95) setenv("TAV_PLATFORM", "95", 1);
        else unsetenv("TAV_PLATFORM");
        const std::string system = c.windows95 ? "c:\\windows\\system\\" : "c:\\winnt\\system32\\";
        const std::string driver = c.windows95 ? "agentcd.vxd" : "agentcd.sys";
        const std::string installed_driver = c.windows95 ? "agentcd.vxd" : "drivers\\agentcd.sys";
        if (c.new_library) place(image(c.new_library), "c:\\newkit\\DriverAgent.dll");
        if (c.installed_library) place(image(c.installed_library), system + "DriverAgent.dll");
        if (c.new_driver) place(image(c.new_driver), "c:\\newkit\\" + driver);
        if (c.installed_driver) place(image(c.installed_driver), system + installed_driver);
        EXPECT_EQ(check_versions("c:\\newkit"), c.err);
    }
}

// A refusal ends the whole run before anything is registered.
TEST_F(InstallerTest, ARefusalFailsTheInstallation) {
    for (const char *key : {toolkit_key, device_key}) {
        set_dword(key, "Version", 2);
        set_dword(key, "Revision", 0);
        toolkit_calls_clear();
        auto run = run_installer();
        EXPECT_EQ(run.status, -1) << key;
        EXPECT_EQ(run.err, "Install Path:c:\\winnt\\system32\n" + (key == toolkit_key ? toolkit_too_new : device_too_new) +
                               "Error: Installation of device TAV failed.\n");
        EXPECT_TRUE(toolkit_calls().empty()) << key;
        ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, key), ERROR_SUCCESS);
    }
}

}  // namespace
