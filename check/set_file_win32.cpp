// Update set files on Windows.
#include "check/set_file.h"

#include <cerrno>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

int set_file_create(const char *name) {
    return _open(name, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

int set_file_write(int fd, const uint8_t *data, uint32_t count) {
    while (count != 0) {
        int n = _write(fd, data, count);
        if (n <= 0) return -1;
        data += n;
        count -= static_cast<uint32_t>(n);
    }
    return 1;
}

int set_file_finish(int fd) {
    int synced = _commit(fd);
    int saved = errno;
    int closed = _close(fd);
    if (synced != 0) errno = saved;
    return synced == 0 && closed == 0 ? 1 : -1;
}

void set_file_abandon(int fd, const char *name) {
    _close(fd);
    _unlink(name);
}

int set_file_replace(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 1;
    errno = EACCES;
    return -1;
}

int set_dir_make(const char *path) {
    if (_mkdir(path) == 0) return 1;
    struct _stat info;
    if (errno == EEXIST && _stat(path, &info) == 0 && (info.st_mode & _S_IFDIR) != 0) return 1;
    return -1;
}
