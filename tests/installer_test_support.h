// Test support for the installer: a temporary state folder (registry, drives), the
// installer run in-process with its standard error captured, registry seeding and
// read-back, and the test images placed under Windows paths.
#pragma once

#include "installer/installer.h"
#include "platform/win32.h"
#include "platform/win_path.h"
#include "toolkit/toolkit_controls.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace installer_test {

struct Run {
    int status;
    std::string err;  // everything written to standard error

    // The output as lines, split at "\n" (a system text keeps its "\r").
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::stringstream stream(err);
        std::string line;
        while (std::getline(stream, line)) result.push_back(line);
        return result;
    }
};

// Runs install_main with `args` after the program name, capturing std::cerr.
inline Run run_installer(std::initializer_list<const char *> args = {}) {
    std::vector<char *> argv;
    std::string program = "install";
    std::vector<std::string> copies(args.begin(), args.end());
    argv.push_back(program.data());
    for (std::string &copy : copies) argv.push_back(copy.data());
    argv.push_back(nullptr);
    std::ostringstream captured;
    std::streambuf *saved = std::cerr.rdbuf(captured.rdbuf());
    int status = install_main(static_cast<int>(argv.size() - 1), argv.data());
    std::cerr.rdbuf(saved);
    return Run{status, captured.str()};
}

// Captures std::cerr for the lifetime of the object.
class CaptureErr {
  public:
    CaptureErr() : saved_(std::cerr.rdbuf(captured_.rdbuf())) {}
    ~CaptureErr() { std::cerr.rdbuf(saved_); }
    std::string text() const { return captured_.str(); }

  private:
    std::ostringstream captured_;
    std::streambuf *saved_;
};

inline std::string image(const std::string &name) { return std::string(TAV_TEST_IMAGE_DIR) + "/" + name + ".dll"; }

// A fresh state folder per test; no platform, failure or trace controls.
class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tav-installer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home_ = pattern;
        setenv("TAV_HOME", home_.c_str(), 1);
        for (const char *name : {"TAV_PLATFORM", "TAV_TOOLKIT_FAIL", "TAV_TOOLKIT_TRACE"}) unsetenv(name);
        toolkit_calls_clear();
    }
    void TearDown() override {
        for (const char *name : {"TAV_PLATFORM", "TAV_TOOLKIT_FAIL", "TAV_TOOLKIT_TRACE"}) unsetenv(name);
        unsetenv("TAV_HOME");
        std::filesystem::remove_all(home_);
    }

    // Creates a key under HKEY_LOCAL_MACHINE and sets values in it.
    static void set_dword(const char *key_path, const char *name, uint32_t value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        BYTE data[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                        static_cast<BYTE>(value >> 24)};
        EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, data, 4), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void set_string(const char *key_path, const char *name, const std::string &text) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                                 static_cast<DWORD>(text.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // Reads a value back; the Windows error code of the open or the read.
    static LONG read_value(const char *key_path, const char *name, std::vector<uint8_t> *data, DWORD *type) {
        HKEY key = nullptr;
        LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key);
        if (result != ERROR_SUCCESS) return result;
        data->assign(1024, 0);
        DWORD size = static_cast<DWORD>(data->size());
        result = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
        RegCloseKey(key);
        if (result == ERROR_SUCCESS) data->resize(size);
        return result;
    }
    static bool key_exists(const char *key_path) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }

    // Copies a test image to the file a Windows path names.
    static void place(const std::string &image_file, const char *windows_path) {
        std::string target = native_path(windows_path);
        ASSERT_FALSE(target.empty());
        std::filesystem::create_directories(std::filesystem::path(target).parent_path());
        std::filesystem::copy_file(image_file, target, std::filesystem::copy_options::overwrite_existing);
    }

    std::string home_;
};

inline constexpr const char *toolkit_key = "Software\\NuMega\\DriverAgent";
inline constexpr const char *device_key = "Software\\NuMega\\DriverAgent\\Devices\\TAV";
inline constexpr const char *range_key = "Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV";
inline constexpr const char *service_key = "System\\CurrentControlSet\\Services\\agentcd";

}  // namespace installer_test
