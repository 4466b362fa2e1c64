// The guard before registration: the toolkit recorded in the registry, the toolkit files
// already in the system directory, and the device entry must not be newer than what this
// installer brings. A missing key, value or installed file means nothing is installed.
#include "installer/installer.h"

#include "installer/names.h"
#include "platform/win32.h"

#include <cstdio>
#include <iostream>

bool IsMoreRecent(uint32_t major, uint32_t minor, uint32_t new_major, uint32_t new_minor) {
    if (major != new_major) return major > new_major;
    return minor > new_minor;
}

namespace {

// Reads a value of at most 4 bytes into *number, whatever its type.
LONG read_number(HKEY key, const char *name, uint32_t *number) {
    DWORD size = sizeof(*number);
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(number), &size);
}

}  // namespace

bool GetToolkitVersion(uint32_t *version, uint32_t *revision) {
    *version = 0;
    *revision = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, toolkit_key, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
    LONG result = read_number(key, "Version", version);
    if (result != ERROR_SUCCESS) {
        *version = 0;
        // "CurrentVersion" as text "version.revision": at most 7 characters and the
        // terminator; the extra byte keeps the text terminated whatever the value holds.
        char text[9] = {};
        DWORD size = 8;
        result = RegQueryValueExA(key, "CurrentVersion", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size);
        if (result == ERROR_SUCCESS) {
            int parsed_version = 0;
            int parsed_revision = 0;
            if (std::sscanf(text, "%d.%d", &parsed_version, &parsed_revision) < 1) parsed_version = 0;
            *version = static_cast<uint32_t>(parsed_version);
            *revision = static_cast<uint32_t>(parsed_revision);
        }
    } else {
        result = read_number(key, "Revision", revision);
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool GetDeviceVersion(uint32_t *version, uint32_t *revision) {
    *version = 0;
    *revision = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, device_key, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
    LONG result = read_number(key, "Version", version);
    if (result == ERROR_SUCCESS) result = read_number(key, "Revision", revision);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool CheckVersions(const char *install_path) {
    uint32_t version = 0;
    uint32_t revision = 0;
    if (GetToolkitVersion(&version, &revision)) {
        if (IsMoreRecent(version, revision, toolkit_version_installed, toolkit_revision_installed)) {
            std::cerr << "Error: Current installation of DriverAgent is more recent than version being installed"
                      << std::endl;
            return false;
        }
        if (!CheckToolkitFiles(install_path)) return false;
    }
    if (GetDeviceVersion(&version, &revision) &&
        IsMoreRecent(version, revision, device_version_installed, device_revision_installed)) {
        std::cerr << "Error: Current installation of device " << device_name
                  << " is more recent than version being installed" << std::endl;
        return false;
    }
    return true;
}
