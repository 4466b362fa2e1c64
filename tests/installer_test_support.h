// Test support for the installer: a temporary state folder (registry, drives), the
// installer run in-process with its standard error captured, registry seeding and
// read-back, and the test images placed under Windows paths.
#pragma once

#include "installer/installer.h"
#include "platform/win32.h"
#include "platform/win_path.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit_seed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace installer_test {

using Lines = std::vector<std::string>;

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

struct Run {
    int status;
    std::string err;   // everything written to standard error

    // The output as lines, split at "\n" (a system text keeps its "\r").
    Lines lines() const {
        Lines result;
        std::istringstream stream(err);
        for (std::string line; std::getline(stream, line);) result.push_back(line);
        return result;
    }
};

// Runs install_main with `args` after the program name, capturing std::cerr.
inline Run run_installer(std::initializer_list<const char *> args = {}) {
    std::vector<std::string> words = {"install"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    CaptureErr err;
    int status = install_main(static_cast<int>(words.size()), argv.data());
    return Run{status, err.text()};
}

inline std::string image(const std::string &name) { return std::string(TAV_TEST_IMAGE_DIR) + "/" + name + ".dll"; }

inline constexpr const char *toolkit_key = "Software\\NuMega\\DriverAgent";
inline constexpr const char *device_key = "Software\\NuMega\\DriverAgent\\Devices\\TAV";
inline constexpr const char *range_key = "Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV";
inline constexpr const char *service_key = "System\\CurrentControlSet\\Services\\agentcd";

// A fresh state folder per test; no platform, failure or trace controls.
class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        TearDown();
        toolkit_calls_clear();
    }
    void TearDown() override {
        for (const char *name : {"TAV_PLATFORM", "TAV_TOOLKIT_FAIL", "TAV_TOOLKIT_TRACE"}) unsetenv(name);
    }

    // Creates a key under HKEY_LOCAL_MACHINE and sets a value in it.
    static void set_value(const char *key_path, const char *name, DWORD type, const void *data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void set_dword(const char *key_path, const char *name, uint32_t value) {
        set_value(key_path, name, REG_DWORD, &value, 4);   // little-endian like the targets
    }
    static void set_string(const char *key_path, const char *name, const std::string &text) {
        set_value(key_path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    // A value read back as "type:bytes" (REG_SZ 1, REG_DWORD 4), "" when it cannot be read.
    static std::string value_of(const char *key_path, const char *name) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
        char data[1024];
        DWORD size = sizeof data, type = 0;
        LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
        RegCloseKey(key);
        return result == ERROR_SUCCESS ? std::to_string(type) + ":" + std::string(data, size) : "";
    }
    static bool key_exists(const char *key_path) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }

    // Copies a test image to the file a Windows path names.
    static void place(const std::string &image_file, const std::string &windows_path) {
        std::string target = native_path(windows_path.c_str());
        ASSERT_FALSE(target.empty());
        std::filesystem::create_directories(std::filesystem::path(target).parent_path());
        std::filesystem::copy_file(image_file, target, std::filesystem::copy_options::overwrite_existing);
    }

    TempTavHome home_;
};

}  // namespace installer_test
