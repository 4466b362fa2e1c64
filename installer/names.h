// The names, values and buffer sizes the installer registers and checks with.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char *device_name = "TAV";
inline constexpr const char *device_description = "Tarsek9 ORVEX Update Board";
inline constexpr const char *range_name = "TAV";
inline constexpr uint32_t range_base = 0xD0000;
inline constexpr uint32_t range_length = 0x8000;

inline constexpr const char *service_name = "agentcd";
inline constexpr const char *service_display_name = "DriverAgent Class Driver";
inline constexpr const char *class_driver_file_95 = "agentcd.vxd";
inline constexpr const char *class_driver_file_nt = "agentcd.sys";
inline constexpr const char *toolkit_library_file = "DriverAgent.dll";
// The installed class driver, relative to the system directory.
inline constexpr const char *installed_class_driver_95 = "agentcd.vxd";
inline constexpr const char *installed_class_driver_nt = "drivers\\agentcd.sys";

// Registry keys under HKEY_LOCAL_MACHINE.
inline constexpr const char *toolkit_key = "Software\\NuMega\\DriverAgent";
inline constexpr const char *device_key = "Software\\NuMega\\DriverAgent\\Devices\\TAV";
inline constexpr const char *range_key = "Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV";

// Paths under the install path, and paths under the system directory.
inline constexpr size_t install_path_buffer_size = 512;
inline constexpr size_t system_path_buffer_size = 260;
