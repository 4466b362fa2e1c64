// Files of an update set being written: created under a temporary name, written, flushed
// to the disk, then put in place under the final name in one step.
#pragma once

#include <cstdint>

// Creates (or truncates) name for writing in binary mode. The descriptor, or -1 with errno.
int set_file_create(const char *name);
// Writes all count bytes. 1 ok, -1 with errno.
int set_file_write(int fd, const uint8_t *data, uint32_t count);
// Flushes the file to the disk and closes it (closed on every path). 1 ok, -1 with errno.
int set_file_finish(int fd);
// Closes a file being abandoned, and removes it.
void set_file_abandon(int fd, const char *name);
// Renames from to to, replacing an existing to. 1 ok, -1 with errno.
int set_file_replace(const char *from, const char *to);
// Makes the folder unless it exists. 1 ok (or it exists), -1 with errno.
int set_dir_make(const char *path);
