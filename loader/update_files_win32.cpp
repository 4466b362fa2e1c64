// Update files on Windows: binary-mode opens, reads and closes of the C runtime, the kind
// and size of an open file.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "loader/update_files.h"
#include "loader/update_files_platform.h"

const char *const UPDATE_PATH_SEPARATOR = "\\";

int open_update_file(const char *name) { return _open(name, _O_RDONLY | _O_BINARY); }

long read_update_bytes(int fd, uint8_t *buffer, uint32_t count) { return _read(fd, buffer, count); }

long read_update_bytes_at(int fd, uint8_t *buffer, uint32_t count, uint64_t position) {
    if (_lseeki64(fd, static_cast<__int64>(position), SEEK_SET) < 0) return -1;
    return _read(fd, buffer, count);
}

void close_update_file(int fd) { _close(fd); }

int describe_update_file(int fd, int *kind, unsigned long long *size) {
    struct _stati64 info;
    if (_fstati64(fd, &info) != 0) return -1;
    if ((info.st_mode & _S_IFMT) == _S_IFREG) {
        *kind = UPDATE_FILE_REGULAR;
    } else if ((info.st_mode & _S_IFMT) == _S_IFDIR) {
        *kind = UPDATE_FILE_DIRECTORY;
    } else if ((info.st_mode & _S_IFMT) == _S_IFIFO) {
        *kind = UPDATE_FILE_FIFO;
    } else if ((info.st_mode & _S_IFMT) == _S_IFCHR) {
        *kind = UPDATE_FILE_DEVICE;
    } else {
        *kind = UPDATE_FILE_OTHER;
    }
    *size = static_cast<unsigned long long>(info.st_size);
    return 1;
}
