// Statuses of the driver toolkit stand-in (both libraries): 0 on success, one negative
// value per failure cause. DaTranslateErrorMessageA gives a text for each, naming the fix
// where there is one.
#pragma once

#include <cstdint>

typedef int32_t DASTATUS;

constexpr DASTATUS DA_STATUS_OK = 0;
// The class driver service "agentcd" is not recorded: the installer has not run.
constexpr DASTATUS DA_ERR_NOT_INSTALLED = -1;
// A call that needs the connection came before DriverAgentOpen or after DriverAgentClose.
constexpr DASTATUS DA_ERR_NOT_CONNECTED = -2;
// The device is not registered in the device database.
constexpr DASTATUS DA_ERR_NO_DEVICE = -3;
// The memory range is not registered for the device.
constexpr DASTATUS DA_ERR_NO_RANGE = -4;
// A device or range handle that is not open.
constexpr DASTATUS DA_ERR_BAD_HANDLE = -5;
// A null pointer, an empty or malformed name, a zero length.
constexpr DASTATUS DA_ERR_BAD_ARGUMENT = -6;
// The device database (the registry) cannot be read.
constexpr DASTATUS DA_ERR_DATABASE = -7;
// The device database (the registry) cannot be written.
constexpr DASTATUS DA_ERR_DATABASE_WRITE = -8;
// The range's entry lacks its base or length (or they are not 4-byte values).
constexpr DASTATUS DA_ERR_BAD_RANGE_ENTRY = -9;
// The range is shorter than the board window and its page registers (0x4004 bytes).
constexpr DASTATUS DA_ERR_RANGE_TOO_SMALL = -10;
// The model board file behind the range cannot be opened (in use, corrupt, missing).
constexpr DASTATUS DA_ERR_BOARD_OPEN = -11;
// The board's physical memory cannot be mapped (TAV_BOARD=physical).
constexpr DASTATUS DA_ERR_PHYSICAL = -12;
// A failure asked for through TAV_TOOLKIT_FAIL.
constexpr DASTATUS DA_ERR_INJECTED = -13;
// TAV_BOARD=physical: the registered range is not one a board can have (outside the ISA
// adapter memory area, not page aligned, or longer than the board's window).
constexpr DASTATUS DA_ERR_RANGE_NOT_ALLOWED = -14;
// TAV_BOARD=physical: the device database (the registry store) or a folder above it could
// be changed by another user.
constexpr DASTATUS DA_ERR_DATABASE_UNSAFE = -15;
// TAV_BOARD=physical: another program holds the board.
constexpr DASTATUS DA_ERR_BOARD_BUSY = -16;
// TAV_BOARD=physical: the board's lock folder or lock file could have been made or changed
// by another user.
constexpr DASTATUS DA_ERR_LOCK_UNSAFE = -17;
