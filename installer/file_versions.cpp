// The toolkit files: the copies in the install path against the copies already in the
// system directory, by the file version in their version resources.
#include "installer/installer.h"

#include "installer/names.h"
#include "platform/win32.h"

#include <cstdio>
#include <iostream>

int32_t GetFileVersionNumbers(const char *path, FileVersionNumbers *numbers) {
    int32_t status = version_status_ok;
    HANDLE heap = GetProcessHeap();
    LPVOID information = nullptr;
    try {
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeA(path, &handle);
        if (size == 0) {
            status = version_status_unexpected;
        } else {
            information = HeapAlloc(heap, 0, size);
            if (information == nullptr) status = version_status_out_of_memory;
        }
        if (status == version_status_ok && !GetFileVersionInfoA(path, handle, size, information))
            status = version_status_unexpected;
        if (status == version_status_ok) {
            LPVOID fixed = nullptr;
            UINT length = 0;
            if (VerQueryValueA(information, "\\", &fixed, &length) && fixed != nullptr &&
                length >= sizeof(VS_FIXEDFILEINFO)) {
                const VS_FIXEDFILEINFO *info = static_cast<const VS_FIXEDFILEINFO *>(fixed);
                numbers->file_major_version = info->dwFileVersionMS >> 16;
                numbers->file_minor_version = info->dwFileVersionMS & 0xFFFF;
            } else {
                status = version_status_unexpected;
            }
        }
    } catch (...) {
        status = version_status_fault;
    }
    if (information != nullptr) HeapFree(heap, 0, information);
    return status;
}

bool CheckFileVersion(const char *new_path, const char *installed_name) {
    FileVersionNumbers new_numbers{};
    if (GetFileVersionNumbers(new_path, &new_numbers) < 0) {
        std::cerr << "Error: Unable to obtain version information for " << new_path << std::endl;
        return false;
    }
    char system_directory[MAX_PATH] = "";
    UINT length = GetSystemDirectoryA(system_directory, sizeof(system_directory));
    char installed_path[system_path_buffer_size];
    int needed = std::snprintf(installed_path, sizeof(installed_path), "%s\\%s", system_directory, installed_name);
    if (length >= sizeof(system_directory) || needed < 0 || static_cast<size_t>(needed) >= sizeof(installed_path)) {
        std::cerr << "Error: System directory path is too long" << std::endl;
        return false;
    }
    FileVersionNumbers installed_numbers{};
    // No installed copy, or one without version information: nothing to compare against.
    if (GetFileVersionNumbers(installed_path, &installed_numbers) < 0) return true;
    if (IsMoreRecent(installed_numbers.file_major_version, installed_numbers.file_minor_version,
                     new_numbers.file_major_version, new_numbers.file_minor_version)) {
        std::cerr << "Error: Current installation of " << installed_name
                  << " is more recent than version being installed" << std::endl;
        return false;
    }
    return true;
}

bool CheckToolkitFiles(const char *install_path) {
    char new_path[install_path_buffer_size];
    int needed = std::snprintf(new_path, sizeof(new_path), "%s\\%s", install_path, toolkit_library_file);
    if (needed < 0 || static_cast<size_t>(needed) >= sizeof(new_path)) {
        std::cerr << "Error: Install path is too long" << std::endl;
        return false;
    }
    if (!CheckFileVersion(new_path, toolkit_library_file)) return false;
    bool windows95 = IsWindows95Family();
    needed = std::snprintf(new_path, sizeof(new_path), "%s\\%s", install_path,
                           windows95 ? class_driver_file_95 : class_driver_file_nt);
    if (needed < 0 || static_cast<size_t>(needed) >= sizeof(new_path)) {
        std::cerr << "Error: Install path is too long" << std::endl;
        return false;
    }
    return CheckFileVersion(new_path, windows95 ? installed_class_driver_95 : installed_class_driver_nt);
}
