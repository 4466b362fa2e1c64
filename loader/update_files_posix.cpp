// Update files on POSIX systems: open without blocking on a FIFO, plain reads and closes,
// the kind and size of an open file.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "loader/update_files.h"
#include "loader/update_files_platform.h"

const char *const UPDATE_PATH_SEPARATOR = "/";

int open_update_file(const char *name) {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; reads then block as
    // usual, and a FIFO without a writer reads as an empty file.
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

long read_update_bytes(int fd, uint8_t *buffer, uint32_t count) { return static_cast<long>(read(fd, buffer, count)); }

long read_update_bytes_at(int fd, uint8_t *buffer, uint32_t count, uint64_t position) {
    return static_cast<long>(pread(fd, buffer, count, static_cast<off_t>(position)));
}

void close_update_file(int fd) { close(fd); }

int describe_update_file(int fd, int *kind, unsigned long long *size) {
    struct stat info;
    if (fstat(fd, &info) != 0) return -1;
    if (S_ISREG(info.st_mode)) {
        *kind = UPDATE_FILE_REGULAR;
    } else if (S_ISDIR(info.st_mode)) {
        *kind = UPDATE_FILE_DIRECTORY;
    } else if (S_ISFIFO(info.st_mode)) {
        *kind = UPDATE_FILE_FIFO;
    } else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
        *kind = UPDATE_FILE_DEVICE;
    } else {
        *kind = UPDATE_FILE_OTHER;
    }
    *size = static_cast<unsigned long long>(info.st_size);
    return 1;
}
