// The driver toolkit's user-mode library (DriverAgent), as the loader uses it.
// Statuses are 32-bit signed integers, negative on failure; handles are 32-bit.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#if defined(DRIVERAGENT_BUILD)
#define DRIVERAGENT_API extern "C" __declspec(dllexport)
#else
#define DRIVERAGENT_API extern "C" __declspec(dllimport)
#endif
#else
#define DRIVERAGENT_API extern "C"
#endif

typedef int32_t DASTATUS;
typedef uint32_t DAHANDLE;

// Size of the record QueryMemRangeInfo fills; the loader reads one field of it.
constexpr uint32_t MEM_RANGE_INFO_SIZE = 248;
constexpr uint32_t MEM_RANGE_INFO_MAPPABLE_OFFSET = 8;

DRIVERAGENT_API DASTATUS DriverAgentOpen(void);
DRIVERAGENT_API DASTATUS DaOpenDeviceA(const char *device_name, DAHANDLE *device, uint32_t flags);
DRIVERAGENT_API DASTATUS DaOpenMemRangeA(DAHANDLE device, const char *range_name, DAHANDLE *range, uint32_t flags);
// Fills MEM_RANGE_INFO_SIZE bytes at info.
DRIVERAGENT_API DASTATUS QueryMemRangeInfo(DAHANDLE range, void *info);
// The range's address in the process, or null (a status may be written to *status).
DRIVERAGENT_API void *MapMemoryToProcess(DAHANDLE range, DASTATUS *status);
DRIVERAGENT_API DASTATUS DaCloseMemRange(DAHANDLE range);
DRIVERAGENT_API DASTATUS DaCloseDevice(DAHANDLE device);
DRIVERAGENT_API DASTATUS DriverAgentClose(void);
// A text for any status; owned by the library.
DRIVERAGENT_API const char *DaTranslateErrorMessageA(DASTATUS status);
