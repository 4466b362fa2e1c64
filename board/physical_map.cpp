#include "board/physical_map.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#if defined(_WIN32)
#include "board/posix_calls_win32.h"
#else
#include <sys/mman.h>
#endif

namespace tavboard {

uint8_t *physical_map(const std::string &device_path, uint32_t base, uint32_t length, std::string *error) {
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) page = 4096;
    if (length == 0 || base % uint32_t(page) != 0) {
        *error = "cannot map the board range: base 0x" + [&] {
            char text[16];
            std::snprintf(text, sizeof text, "%x", base);
            return std::string(text);
        }() + " is not page aligned or the length is 0";
        return nullptr;
    }
    int fd = ::open(device_path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        *error = "cannot open " + device_path + ": " + std::strerror(err);
        if (err == EACCES || err == EPERM) *error += " (mapping the board needs root)";
        return nullptr;
    }
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(base));
    int err = errno;
    ::close(fd);  // the mapping stays valid
    if (p == MAP_FAILED) {
        char where[64];
        std::snprintf(where, sizeof where, " at 0x%x (0x%x bytes)", base, length);
        *error = "cannot map " + device_path + where + ": " + std::strerror(err);
        return nullptr;
    }
    return static_cast<uint8_t *>(p);
}

int physical_unmap(uint8_t *address, uint32_t length) {
    if (address == nullptr) return -1;
    return munmap(address, length) == 0 ? 1 : -1;
}

}  // namespace tavboard
