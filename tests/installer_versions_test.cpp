// The version checks before registration: the toolkit recorded in the registry (numbers or
// "CurrentVersion" text), the toolkit files in the install path against the installed
// copies (real PE images), and the device entry; pairs compare major first.
#include "installer_test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using installer_test::device_key;
using installer_test::image;
using installer_test::InstallerTest;
using installer_test::run_installer;
using installer_test::toolkit_key;

const std::string toolkit_too_new =
    "Error: Current installation of DriverAgent is more recent than version being installed\n";
const std::string device_too_new =
    "Error: Current installation of device TAV is more recent than version being installed\n";
const std::string library_too_new =
    "Error: Current installation of DriverAgent.dll is more recent than version being installed\n";

// CheckVersions with its output.
struct Check {
    bool ok;
    std::string err;
};
Check check_versions(const char *install_path) {
    installer_test::CaptureErr err;
    bool ok = CheckVersions(install_path);
    return Check{ok, err.text()};
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
struct ToolkitRecord {
    const char *name;
    std::optional<uint32_t> version, revision;
    std::optional<std::string> current_version;
    bool read;
    uint32_t read_version, read_revision;
    std::string err;  // "" when the check passes
};
void PrintTo(const ToolkitRecord &value, std::ostream *os) { *os << value.name; }

const ToolkitRecord toolkit_records[] = {
    {"none", {}, {}, {}, false, 0, 0, ""},
    {"v1_15", 1, 15, {}, true, 1, 15, library_too_new},
    {"v1_0", 1, 0, {}, true, 1, 0, library_too_new},
    {"v1_16", 1, 16, {}, true, 1, 16, toolkit_too_new},
    {"v2_0", 2, 0, {}, true, 2, 0, toolkit_too_new},
    {"v0_20_is_older", 0, 20, {}, true, 0, 20, library_too_new},
    {"version_without_revision", 1, {}, {}, false, 1, 0, ""},
    {"numbers_before_text", 1, 15, "9.9", true, 1, 15, library_too_new},
    {"text_1_15", {}, {}, "1.15", true, 1, 15, library_too_new},
    {"text_1_16", {}, {}, "1.16", true, 1, 16, toolkit_too_new},
    {"text_0_20", {}, {}, "0.20", true, 0, 20, library_too_new},
    {"text_major_only", {}, {}, "2", true, 2, 0, toolkit_too_new},
    {"text_not_a_number", {}, {}, "abc", true, 0, 0, library_too_new},
    {"text_seven_characters", {}, {}, "1234.67", true, 1234, 67, toolkit_too_new},
    {"text_too_long_for_its_buffer", {}, {}, "12345.67", false, 0, 0, ""},
    {"revision_without_version_or_text", {}, 3, {}, false, 0, 0, ""},
};

class ToolkitRecords : public InstallerTest, public ::testing::WithParamInterface<ToolkitRecord> {};

TEST_P(ToolkitRecords, DecideWhetherTheFilesAreCompared) {
    const ToolkitRecord &record = GetParam();
    if (record.version) set_dword(toolkit_key, "Version", *record.version);
    if (record.revision) set_dword(toolkit_key, "Revision", *record.revision);
    if (record.current_version) set_string(toolkit_key, "CurrentVersion", *record.current_version);
    if (!record.version && !record.revision && !record.current_version) {
        // The toolkit's key may exist without anything in it.
        set_dword("Software\\NuMega\\Other", "Unrelated", 1);
    }
    place(image("v1_15_x86"), "c:\\newkit\\DriverAgent.dll");
    place(image("v1_15_x86"), "c:\\newkit\\agentcd.sys");
    place(image("v3_0_x86"), "c:\\winnt\\system32\\DriverAgent.dll");

    uint32_t version = 77, revision = 77;
    EXPECT_EQ(GetToolkitVersion(&version, &revision), record.read);
    if (record.read) {
        EXPECT_EQ(version, record.read_version);
        EXPECT_EQ(revision, record.read_revision);
    }
    Check check = check_versions("c:\\newkit");
    EXPECT_EQ(check.ok, record.err.empty());
    EXPECT_EQ(check.err, record.err);
}

INSTANTIATE_TEST_SUITE_P(Records, ToolkitRecords, ::testing::ValuesIn(toolkit_records),
                         [](const auto &info) { return std::string(info.param.name); });

struct DeviceRecord {
    const char *name;
    std::optional<uint32_t> version, revision;
    bool read;
    bool refused;
};
void PrintTo(const DeviceRecord &value, std::ostream *os) { *os << value.name; }

const DeviceRecord device_records[] = {
    {"none", {}, {}, false, false},          {"v1_0", 1, 0, true, false}, {"v1_1", 1, 1, true, true},
    {"v2_0", 2, 0, true, true},              {"v0_9", 0, 9, true, false},
    {"version_without_revision", 2, {}, false, false},
};

class DeviceRecords : public InstallerTest, public ::testing::WithParamInterface<DeviceRecord> {};

TEST_P(DeviceRecords, RefuseOnlyANewerDeviceEntry) {
    const DeviceRecord &record = GetParam();
    if (record.version) set_dword(device_key, "Version", *record.version);
    if (record.revision) set_dword(device_key, "Revision", *record.revision);
    uint32_t version = 77, revision = 77;
    EXPECT_EQ(GetDeviceVersion(&version, &revision), record.read);
    if (record.read) {
        EXPECT_EQ(version, *record.version);
        EXPECT_EQ(revision, *record.revision);
    }
    Check check = check_versions("c:\\newkit");
    EXPECT_EQ(check.ok, !record.refused);
    EXPECT_EQ(check.err, record.refused ? device_too_new : "");
}

INSTANTIATE_TEST_SUITE_P(Records, DeviceRecords, ::testing::ValuesIn(device_records),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(InstallerTest, ARefusedToolkitStopsBeforeFilesAndDevice) {
    set_dword(toolkit_key, "Version", 2);
    set_dword(toolkit_key, "Revision", 0);
    set_dword(device_key, "Version", 5);
    set_dword(device_key, "Revision", 0);
    // No toolkit files at all in the install path: looking at them would print more.
    Check check = check_versions("c:\\empty");
    EXPECT_FALSE(check.ok);
    EXPECT_EQ(check.err, toolkit_too_new);
}

TEST_F(InstallerTest, WithoutToolkitRecordNoFileIsCompared) {
    place(image("v3_0_x86"), "c:\\winnt\\system32\\DriverAgent.dll");
    place(image("v3_0_x86"), "c:\\winnt\\system32\\drivers\\agentcd.sys");
    Check check = check_versions("c:\\empty");
    EXPECT_TRUE(check.ok);
    EXPECT_EQ(check.err, "");
}

// The toolkit files, with a toolkit 1.15 recorded.
struct FileCase {
    const char *name;
    bool windows95;
    const char *new_library, *installed_library;  // image names; null: no such file
    const char *new_driver, *installed_driver;
    std::string err;  // "" when the check passes
};
void PrintTo(const FileCase &value, std::ostream *os) { *os << value.name; }

const FileCase file_cases[] = {
    {"newer_major_older_minor_passes", false, "v2_0_x86", "v1_5_x64", "v2_0_x64", "v1_5_x64", ""},
    {"equal_versions_pass", false, "v2_0_x86", "v2_0_x64", "v2_0_x86", "v2_0_x64", ""},
    {"older_installed_other_width_passes", false, "v2_0_x64", "v1_15_x86", "v2_0_x64", "v1_15_x86", ""},
    {"no_installed_copies_pass", false, "v1_15_x86", nullptr, "v1_15_x86", nullptr, ""},
    {"installed_copies_without_version_pass", false, "v1_15_x86", "noversion_x64", "v1_15_x86", "noversion_x86", ""},
    {"library_newer_minor", false, "v2_0_x86", "v2_1_x86", "v2_0_x86", nullptr, library_too_new},
    {"library_newer_major_older_minor", false, "v2_5_x64", "v3_0_x86", "v2_0_x86", nullptr, library_too_new},
    {"library_1_16_over_1_15", false, "v1_15_x86", "v1_16_x64", "v2_0_x86", nullptr, library_too_new},
    {"driver_newer", false, "v2_0_x86", "v2_0_x86", "v2_0_x64", "v2_1_x86",
     "Error: Current installation of drivers\\agentcd.sys is more recent than version being installed\n"},
    {"driver_newer_95", true, "v2_0_x86", "v2_0_x86", "v2_0_x64", "v2_1_x86",
     "Error: Current installation of agentcd.vxd is more recent than version being installed\n"},
    {"new_library_without_version", false, "noversion_x86", nullptr, nullptr, nullptr,
     "Error: Unable to obtain version information for c:\\newkit\\DriverAgent.dll\n"},
    {"new_library_missing", false, nullptr, nullptr, "v2_0_x86", nullptr,
     "Error: Unable to obtain version information for c:\\newkit\\DriverAgent.dll\n"},
    {"new_driver_missing", false, "v2_0_x86", nullptr, nullptr, "v2_1_x86",
     "Error: Unable to obtain version information for c:\\newkit\\agentcd.sys\n"},
    {"new_driver_missing_95", true, "v2_0_x86", nullptr, nullptr, nullptr,
     "Error: Unable to obtain version information for c:\\newkit\\agentcd.vxd\n"},
};

class ToolkitFiles : public InstallerTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(ToolkitFiles, AreComparedByFileVersion) {
    const FileCase &c = GetParam();
    if (c.windows95) setenv("TAV_PLATFORM", "95", 1);
    set_dword(toolkit_key, "Version", 1);
    set_dword(toolkit_key, "Revision", 15);
    const char *system = c.windows95 ? "c:\\windows\\system\\" : "c:\\winnt\\system32\\";
    const char *driver = c.windows95 ? "agentcd.vxd" : "agentcd.sys";
    const char *installed_driver = c.windows95 ? "agentcd.vxd" : "drivers\\agentcd.sys";
    if (c.new_library) place(image(c.new_library), "c:\\newkit\\DriverAgent.dll");
    if (c.installed_library) place(image(c.installed_library), (std::string(system) + "DriverAgent.dll").c_str());
    if (c.new_driver) place(image(c.new_driver), (std::string("c:\\newkit\\") + driver).c_str());
    if (c.installed_driver) place(image(c.installed_driver), (std::string(system) + installed_driver).c_str());

    Check check = check_versions("c:\\newkit");
    EXPECT_EQ(check.ok, c.err.empty());
    EXPECT_EQ(check.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Files, ToolkitFiles, ::testing::ValuesIn(file_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(InstallerTest, FileVersionNumbersComeFromTheFixedInformation) {
    struct Case {
        const char *image;
        int32_t status;
        uint32_t major, minor;
    } cases[] = {
        {"v1_15_x86", 0, 1, 15},   {"v2_5_x64", 0, 2, 5},  {"v3_0_x86", 0, 3, 0},
        {"noversion_x64", static_cast<int32_t>(0x8000FFFFu), 0, 0},
    };
    for (const Case &c : cases) {
        place(image(c.image), "c:\\kit\\file.dll");
        FileVersionNumbers numbers{99, 99};
        EXPECT_EQ(GetFileVersionNumbers("c:\\kit\\file.dll", &numbers), c.status) << c.image;
        if (c.status == 0) {
            EXPECT_EQ(numbers.file_major_version, c.major) << c.image;
            EXPECT_EQ(numbers.file_minor_version, c.minor) << c.image;
        }
    }
    FileVersionNumbers numbers{};
    EXPECT_EQ(GetFileVersionNumbers("c:\\kit\\missing.dll", &numbers), static_cast<int32_t>(0x8000FFFFu));
}

// A refusal ends the whole run before anything is registered.
TEST_F(InstallerTest, ARefusalFailsTheInstallation) {
    struct Case {
        const char *name;
        const char *key;
        uint32_t version;
        std::string line;
    } cases[] = {
        {"toolkit", toolkit_key, 2, toolkit_too_new},
        {"device", device_key, 2, device_too_new},
    };
    for (const Case &c : cases) {
        set_dword(c.key, "Version", c.version);
        set_dword(c.key, "Revision", 0);
        toolkit_calls_clear();
        installer_test::Run run = run_installer();
        EXPECT_EQ(run.status, -1) << c.name;
        EXPECT_EQ(run.err, "Install Path:c:\\winnt\\system32\n" + c.line + "Error: Installation of device TAV failed.\n")
            << c.name;
        EXPECT_TRUE(toolkit_calls().empty()) << c.name;
        ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, c.key), ERROR_SUCCESS);
    }
}

}  // namespace
