// Update files on Windows: binary-mode opens, reads and closes of the C runtime.
#include <fcntl.h>
#include <io.h>

#include "loader/update_files.h"
#include "loader/update_files_platform.h"

const char *const UPDATE_PATH_SEPARATOR = "\\";

int open_update_file(const char *name) { return _open(name, _O_RDONLY | _O_BINARY); }

long read_update_bytes(int fd, uint8_t *buffer, uint32_t count) { return _read(fd, buffer, count); }

void close_update_file(int fd) { _close(fd); }
