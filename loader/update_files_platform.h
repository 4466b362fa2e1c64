// What the update files need from the operating system, one file per platform
// (update_files_posix.cpp, update_files_win32.cpp).
#pragma once

#include <cstdint>

// Separator between the -p path and the file name: "/" on POSIX, a backslash on Windows.
extern const char *const UPDATE_PATH_SEPARATOR;

// One read of up to count bytes. Returns the bytes read, 0 at end of file, -1 with errno
// set (EINTR when a signal cut it short: read_update_file asks again).
long read_update_bytes(int fd, uint8_t *buffer, uint32_t count);
// One read of up to count bytes from byte `position` of the file. As read_update_bytes.
long read_update_bytes_at(int fd, uint8_t *buffer, uint32_t count, uint64_t position);
