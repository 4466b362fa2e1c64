// The loader's entry and its contact with the driver toolkit: the connection, device "TAV"
// and its memory range "TAV", the mapping of the board window, and the two exported entries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "toolkit/DriverAgent.h"

#if defined(_WIN32)
// The export table (names and ordinals) comes from access/tavload_*.def.
#define TAV_EXPORT extern "C"
#define TAV_STDCALL __stdcall
#else
#define TAV_EXPORT extern "C" __attribute__((visibility("default")))
#define TAV_STDCALL
#endif

// What QueryMemRangeInfo fills. Its layout belongs to the toolkit; the loader reads only
// range_mappable, non-zero when the range can be mapped.
struct MemRangeInfo {
    uint8_t toolkit_head[8];
    uint32_t range_mappable;
    uint8_t toolkit_rest[236];
};
static_assert(sizeof(MemRangeInfo) == 248, "the toolkit fills 248 bytes");
static_assert(offsetof(MemRangeInfo, range_mappable) == 8, "range_mappable is at byte 8");
static_assert(sizeof(MemRangeInfo) == MEM_RANGE_INFO_SIZE, "the toolkit's record size");

// The open device "TAV" and its memory range "TAV"; 0 while not open.
extern DAHANDLE device_handle;
extern DAHANDLE range_handle;

// The names under which the installer registers the board.
constexpr const char *kBoardDeviceName = "TAV";
constexpr const char *kBoardRangeName = "TAV";

// What a program runs on the mapped board window: window, then argc/argv as the process got
// them. Returns a result code >= 0 (it becomes the exit status) and prints its own messages.
typedef int (*BoardWindowBody)(uint8_t *window, int argc, char **argv);

// Opens the toolkit, the device and the range, maps the window, binds it, runs body on it
// and closes range, device and connection. Returns the process exit status: body's result
// when it ran, -1 when the toolkit, the device or the range cannot be opened or mapped (one
// "Error: " line on standard error; body does not run).
int RunOnBoardWindow(BoardWindowBody body, int argc, char **argv);

// tavload's main routine: RunOnBoardWindow with loader_main. Returns the process exit
// status: loader_main's result code when it ran (0 success), -1 as RunOnBoardWindow.
// envp is not read.
int DeviceInitialization(int argc, char **argv, char **envp);

// Opens the connection, the device and the range (handles written on success). The
// toolkit status of the first failing step, else that of the range's open. Closes nothing
// on failure.
TAV_EXPORT DASTATUS TAV_STDCALL InitializeTAV(void);
// Closes the range and the device that are open, then the connection (always called).
// Returns what DriverAgentClose returns. The handles are 0 afterwards.
TAV_EXPORT DASTATUS TAV_STDCALL UninitializeTAV(void);

// Makes the flash driver's accesses to `window` reach what the toolkit put behind it: on
// Windows, when the toolkit's DLL serves the window from the model board, binds the model's
// accesses in this program; else (POSIX, where the toolkit binds in-process, or the
// vendor's library with real mapped memory) nothing. Unbind before the range is closed.
void BindBoardWindow(uint8_t *window);
void UnbindBoardWindow(uint8_t *window);

// Board set-up after the device is open and clean-up before it is closed. Always 0.
DASTATUS PrepareBoard(void);
DASTATUS ReleaseBoard(void);

// "Error: " + the toolkit's text for status, one flushed line on standard error.
void ReportToolkitError(DASTATUS status);
// "Error: " + context + " (" + the toolkit's text + ")", one flushed line on standard error.
void ReportToolkitErrorIn(const char *context, DASTATUS status);
