// The installer in-process: install's runs on each platform family and failing at each step (installer/runs.txt),
// its version checks against recorded versions and the file versions of PE images (versions.txt), the system
// directory's room. RegSetValueExA and HeapAlloc are wrapped (tests/installer.cmake) to fail on request.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "installer/installer.h"
#include "platform/win32.h"
#include "platform/win_path.h"
#include "tests/tables.h"
#include "toolkit/toolkit_controls.h"

static LONG fast_io_failure = 0;  // the error RegSetValueExA gives for "FastIo"; 0: none (each row sets it)
static bool heap_failure = false;  // HeapAlloc finds no memory (each row sets it)

extern "C" {
LONG __real__Z14RegSetValueExAP6HKEY__PKcjjPKhj(HKEY, LPCSTR, DWORD, DWORD, const BYTE *, DWORD);
LONG __wrap__Z14RegSetValueExAP6HKEY__PKcjjPKhj(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                                                DWORD size) {
    if (fast_io_failure != 0 && name != nullptr && std::strcmp(name, "FastIo") == 0) return fast_io_failure;
    return __real__Z14RegSetValueExAP6HKEY__PKcjjPKhj(key, name, reserved, type, data, size);
}
LPVOID __real__Z9HeapAllocPvjm(HANDLE, DWORD, size_t);
LPVOID __wrap__Z9HeapAllocPvjm(HANDLE heap, DWORD flags, size_t bytes) {
    if (heap_failure) return nullptr;
    return __real__Z9HeapAllocPvjm(heap, flags, bytes);
}
}

namespace {

// The store line of a dword value given in decimal.
std::string dword_line(const char *name, const std::string &number) {
    char line[64];
    std::snprintf(line, sizeof line, "\"%s\"=dword:%08lx\n", name, std::stoul(number));
    return line;
}

// The store a row describes: the toolkit's and the device's keys, each only when the row gives it "Version" and
// "Revision" (field toolkit or device: "V.R", or "V" without a revision) or "CurrentVersion" (field *_text).
std::string store_of(const tavtest::Row &row) {
    std::string store = "Windows Registry Editor Version 5.00\n\n";
    const std::pair<std::string, std::string> keys[] = {{"toolkit", ""}, {"device", "\\Devices\\TAV"}};
    for (const auto &[field, below] : keys) {
        const std::vector<std::string> numbers = tavtest::split(row.text(field), ".");
        std::string values;
        if (numbers.size() > 0) values += dword_line("Version", numbers[0]);
        if (numbers.size() > 1) values += dword_line("Revision", numbers[1]);
        if (row.has(field + "_text")) values += "\"CurrentVersion\"=\"" + row.text(field + "_text") + "\"\n";
        if (!values.empty()) store += "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent" + below + "]\n" + values;
    }
    return store;
}

// The rows of `table`, each run as install (`whole`) or as its version checks alone.
void run_rows(const std::string &table, bool whole) {
    const tavtest::TempHome home;
    for (const tavtest::Row &row : tavtest::read_rows(table)) {
        SCOPED_TRACE(row.where + " " + row.text("name"));
        ASSERT_TRUE(tavtest::write_file(home.registry(), store_of(row)));
        std::filesystem::remove_all(home.file("drive_c"));
        for (const auto &field : row.fields) {
            if (field.first.rfind("c:\\", 0) != 0) continue;
            const std::filesystem::path target = native_path(field.first.c_str());
            std::filesystem::create_directories(target.parent_path());
            std::filesystem::copy_file(TAV_TEST_IMAGE_DIR "/" + row.text(field.first) + ".dll", target);
        }
        setenv("TAV_PLATFORM", row.text("platform").c_str(), 1);
        setenv("TAV_TOOLKIT_FAIL", row.text("fail").c_str(), 1);
        fast_io_failure = LONG(row.number("fast_io_error"));
        heap_failure = row.has("no_memory");
        std::vector<std::string> words = tavtest::split(row.text("words"), ",");
        const std::string long_path = "c:\\" + std::string(size_t(row.number("length", 3)) - 3, 'k');
        if (row.has("length")) words = {long_path};
        const std::string path = words.empty() ? "c:\\newkit" : words.front();  // where the version checks look
        words.insert(words.begin(), "install");
        std::vector<char *> argv;
        for (std::string &word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        toolkit_calls_clear();
        testing::internal::CaptureStderr();
        int status = -1;
        if (whole) status = install_main(int(words.size()), argv.data());
        if (!whole && CheckVersions(path.c_str())) status = 0;
        const std::string err = tavtest::replaced(testing::internal::GetCapturedStderr(), "\r", "@CR@");
        EXPECT_EQ(err, tavtest::replaced(row.text("err"), "@PATH@", long_path));
        // A check passes exactly when it prints nothing.
        EXPECT_EQ(status, row.number("status", row.text("err").empty() ? 0 : -1));
        if (row.has("calls")) {
            const std::string calls = tavtest::replaced(row.text("calls"), "@PATH@", long_path);
            EXPECT_EQ(toolkit_calls(), tavtest::split(calls, "\n"));
        }
        const std::string store = tavtest::read_file(home.registry());
        EXPECT_EQ(store.find("\"FastIo\"=dword:00000001") != std::string::npos, row.has("fast_io_set"));
        EXPECT_EQ(row.unread(), "");
    }
    unsetenv("TAV_PLATFORM");
    unsetenv("TAV_TOOLKIT_FAIL");
}

TEST(Installer, RunsRegisterTheBoardOrStopWithTheirMessage) {
    run_rows("installer/runs.txt", true);
}

TEST(Installer, VersionChecksRefuseOnlyWhatIsNewer) {
    if (TAV_TEST_IMAGES_MISSING[0] != '\0') GTEST_SKIP() << TAV_TEST_IMAGES_MISSING;
    run_rows("installer/versions.txt", false);
}

// The system directory must leave room for "\drivers\agentcd.sys" (NT) and "\DriverAgent.dll" (95) within 259
// characters.
TEST(Installer, SystemDirectoryLengths) {
    EXPECT_TRUE(SystemDirectoryFits(std::string(239, 'p').c_str(), false));
    EXPECT_FALSE(SystemDirectoryFits(std::string(240, 'p').c_str(), false));
    EXPECT_TRUE(SystemDirectoryFits(std::string(243, 'p').c_str(), true));
    EXPECT_FALSE(SystemDirectoryFits(std::string(244, 'p').c_str(), true));
}

}  // namespace
