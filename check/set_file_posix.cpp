// Update set files on POSIX.
#include "check/set_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int set_file_create(const char *name) { return open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }

int set_file_write(int fd, const uint8_t *data, uint32_t count) {
    while (count != 0) {
        ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        data += n;
        count -= static_cast<uint32_t>(n);
    }
    return 1;
}

int set_file_finish(int fd) {
    int synced = fsync(fd);
    int saved = errno;
    int closed = close(fd);
    if (synced != 0) errno = saved;
    return synced == 0 && closed == 0 ? 1 : -1;
}

void set_file_abandon(int fd, const char *name) {
    close(fd);
    unlink(name);
}

int set_file_replace(const char *from, const char *to) { return std::rename(from, to) == 0 ? 1 : -1; }

int set_dir_make(const char *path) {
    if (mkdir(path, 0777) == 0) return 1;
    struct stat info;
    if (errno == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return 1;
    return -1;
}
