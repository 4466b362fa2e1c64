// The installer: registers the TAV update board with the driver toolkit's device database
// (ISA device "TAV", memory range "TAV" at 0xD0000, 0x8000 bytes, its "FastIo" flag) and
// installs the toolkit's class driver service, after checking that it replaces no newer
// toolkit, toolkit file or device entry. Every message goes to standard error, one flushed
// line each.
#pragma once

#include <cstdint>

// The installer's program: argv[1], when given, is the install path (the folder holding the
// toolkit files to install). 0 installed, -1 not installed.
int install_main(int argc, char **argv);

// True for the Windows 95 platform family; a failing version query counts as not.
bool IsWindows95Family(void);

// Replaces the device entry "TAV" (deleted first, then added). True on success; prints its
// own message on failure.
bool AddBoardDevice(void);
// Adds the memory range "TAV" of device "TAV". True on success; prints its own message.
bool AddBoardMemoryRange(void);
// Sets the range's "FastIo" value to 1. False (with a message) only when the range's
// registry key cannot be opened; a value that cannot be set gives a warning and true.
bool SetFastIoFlag(void);
// Writes the system's text for a Windows error code, with the line break that ends it, to
// standard error; nothing for code 0. Writes no line end of its own.
void ReportSystemError(uint32_t code);

// True when the install path, with every toolkit file name behind it, fits the 512-byte
// path buffers, and the system directory with every installed file name behind it fits
// the 260-byte ones. Prints nothing.
bool InstallPathFits(const char *install_path, bool windows95_family);
bool SystemDirectoryFits(const char *system_directory, bool windows95_family);

// The two numbers of a file's version that the checks compare: the high and the low 16
// bits of the most significant half of the file version.
struct FileVersionNumbers {
    uint32_t file_major_version;
    uint32_t file_minor_version;
};

// Version statuses of GetFileVersionNumbers (callers look only at the sign).
inline constexpr int32_t version_status_ok = 0;
inline constexpr int32_t version_status_unexpected = static_cast<int32_t>(0x8000FFFFu);
inline constexpr int32_t version_status_out_of_memory = static_cast<int32_t>(0x8007000Eu);
inline constexpr int32_t version_status_fault = static_cast<int32_t>(0x80004003u);

// Reads the file version of the file at `path` (a Windows path). 0 on success, negative
// when the file has no readable version information, the buffer cannot be allocated, or a
// fault is raised while reading it.
int32_t GetFileVersionNumbers(const char *path, FileVersionNumbers *numbers);

// True when the installation may go on: no recorded toolkit, toolkit file or device entry
// is more recent than what this installer brings. Prints one line when it refuses.
bool CheckVersions(const char *install_path);
// The toolkit's recorded version and revision (both 0 unless read). True when read.
bool GetToolkitVersion(uint32_t *version, uint32_t *revision);
// The device entry's recorded version and revision (both 0 unless read). True when read.
bool GetDeviceVersion(uint32_t *version, uint32_t *revision);
// True when no installed toolkit file is more recent than its copy in the install path.
// Prints one line when it refuses.
bool CheckToolkitFiles(const char *install_path);
// True when the installed file (a name relative to the system directory) is not more
// recent than the file at new_path. Prints one line when it refuses.
bool CheckFileVersion(const char *new_path, const char *installed_name);

// What this installer brings.
inline constexpr uint32_t toolkit_version_installed = 1;
inline constexpr uint32_t toolkit_revision_installed = 15;
inline constexpr uint32_t device_version_installed = 1;
inline constexpr uint32_t device_revision_installed = 0;

// True when (major, minor) of an installed item is more recent than (new_major, new_minor):
// the majors decide, the minors only when the majors are equal.
bool IsMoreRecent(uint32_t major, uint32_t minor, uint32_t new_major, uint32_t new_minor);

// The number of memory ranges this run has added; the index of the next range. Reset at
// the start of each run.
extern uint32_t ranges_added;
