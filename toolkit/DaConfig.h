// The driver toolkit's configuration library (DaConfig): the device database writer the
// installer uses. Statuses are 32-bit signed integers, negative on failure.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#if defined(DACONFIG_BUILD)
#define DACONFIG_API extern "C" __declspec(dllexport)
#else
#define DACONFIG_API extern "C" __declspec(dllimport)
#endif
#else
#define DACONFIG_API extern "C"
#endif

typedef int32_t DASTATUS;

// Removes device `device_name` and everything under it. Missing device: a negative status.
DACONFIG_API DASTATUS RegDeleteDevice(const char *device_name);
// Registers an ISA device (the installer passes "TAV", 0, 0, 1, description, 0, 1, 0, 0).
DACONFIG_API DASTATUS RegAddIsaDevice(const char *device_name, uint32_t bus_number, uint32_t flags,
                                      uint32_t interface_type, const char *description, uint32_t irq,
                                      uint32_t options, uint32_t dma, uint32_t reserved);
// Registers a memory range of a device (the installer passes "TAV", "TAV", 0, 0, 0xD0000,
// 0x8000, 0, 3, 0).
DACONFIG_API DASTATUS RegAddMemoryRange(const char *device_name, const char *range_name, uint32_t bus_number,
                                        uint32_t range_index, uint32_t base, uint32_t length, uint32_t base_high,
                                        uint32_t access, uint32_t reserved);
// Records the class driver service (the installer passes "agentcd", "DriverAgent Class
// Driver", the service path, -1).
DACONFIG_API DASTATUS InstallDeviceService(const char *service_name, const char *display_name,
                                           const char *image_path, int32_t start_type);
