// Failures that the stand-in cannot produce on request: the registry refusing the "FastIo"
// value, and the process heap refusing the version information buffer. The test is linked
// with the linker's --wrap for both calls (their C++ symbol names), so that every call from
// the installer passes through the wrappers below.
#include "installer_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
// Windows error code for RegSetValueExA of "FastIo"; 0: no failure.
LONG fast_io_failure = 0;
// True: HeapAlloc fails.
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
    if (heap_failure) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return __real__Z9HeapAllocPvjm(heap, flags, bytes);
}
}

namespace {

using namespace installer_test;

class Faults : public InstallerTest {
  protected:
    void TearDown() override {
        fast_io_failure = 0;
        heap_failure = false;
        InstallerTest::TearDown();
    }
};

// A warning with the system text; the service is still installed, the value is not there.
TEST_F(Faults, FastIoThatCannotBeSetIsOnlyAWarning) {
    fast_io_failure = ERROR_ACCESS_DENIED;
    auto run = run_installer();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Install Path:c:\\winnt\\system32\n"
                       "Warning: Unable to set FastIo flag TAV, error=Access is denied.\r\n\n"
                       "The installation of device TAV is complete.\n");
    EXPECT_EQ(toolkit_call_names().back(), "InstallDeviceService");
    EXPECT_TRUE(key_exists(service_key));
    EXPECT_EQ(value_of(range_key, "FastIo"), "");
}

// The check treats it as a file without readable version information.
TEST_F(Faults, VersionBufferThatCannotBeAllocated) {
    place(image("v1_15_x86"), "c:\\kit\\DriverAgent.dll");
    FileVersionNumbers numbers{};
    ASSERT_EQ(GetFileVersionNumbers("c:\\kit\\DriverAgent.dll", &numbers), 0);
    heap_failure = true;
    EXPECT_EQ(GetFileVersionNumbers("c:\\kit\\DriverAgent.dll", &numbers), static_cast<int32_t>(0x8007000Eu));
    set_dword(toolkit_key, "Version", 1);
    set_dword(toolkit_key, "Revision", 15);
    CaptureErr err;
    EXPECT_FALSE(CheckVersions("c:\\kit"));
    EXPECT_EQ(err.text(), "Error: Unable to obtain version information for c:\\kit\\DriverAgent.dll\n");
}

}  // namespace
