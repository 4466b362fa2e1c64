// Device "TAV" and its memory range "TAV" in the toolkit's device database, and the
// range's "FastIo" value, which the configuration library does not set.
#include "installer/installer.h"

#include "installer/names.h"
#include "platform/win32.h"
#include "toolkit/DaConfig.h"

#include <iostream>

uint32_t ranges_added = 0;

bool AddBoardDevice(void) {
    // An entry from an earlier run is replaced; there may be none, so the result of the
    // deletion does not matter.
    RegDeleteDevice(device_name);
    DASTATUS status = RegAddIsaDevice(device_name, 0, 0, 1, device_description, 0, 1, 0, 0);
    if (status < 0) {
        std::cerr << "Error: Unable to install Isa device " << device_name << ", error=" << status << std::endl;
        return false;
    }
    return true;
}

bool AddBoardMemoryRange(void) {
    DASTATUS status = RegAddMemoryRange(device_name, range_name, 0, ranges_added, range_base, range_length, 0, 3, 0);
    ranges_added++;
    if (status < 0) {
        std::cerr << "Error: Unable to add device resource " << range_name << " for device " << device_name
                  << ", error=" << status << std::endl;
        return false;
    }
    return true;
}

bool SetFastIoFlag(void) {
    HKEY key = nullptr;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, range_key, 0, KEY_ALL_ACCESS, &key);
    if (error != ERROR_SUCCESS) {
        std::cerr << "Error: Unable to access the database entry for " << device_name << ", error=";
        ReportSystemError(static_cast<uint32_t>(error));
        std::cerr << std::endl;
        return false;
    }
    const BYTE fast_io[4] = {1, 0, 0, 0};  // the REG_DWORD 1
    error = RegSetValueExA(key, "FastIo", 0, REG_DWORD, fast_io, sizeof(fast_io));
    if (error != ERROR_SUCCESS) {
        std::cerr << "Warning: Unable to set FastIo flag " << device_name << ", error=";
        ReportSystemError(static_cast<uint32_t>(error));
        std::cerr << std::endl;
    }
    RegCloseKey(key);
    return true;
}
