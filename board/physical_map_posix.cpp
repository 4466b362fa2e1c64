#include "board/physical_map.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tavboard {

namespace {

constexpr int kHolderReadTries = 20;       // a holder writes its id right after locking
constexpr useconds_t kHolderReadPause = 5000;

uint32_t page_size() {
    long page = sysconf(_SC_PAGESIZE);
    return page <= 0 ? 4096u : uint32_t(page);
}

// 1 when the range is one a board can have, else -1 with *error naming range and area.
int check_range(uint32_t base, uint32_t length, std::string *error) {
    uint32_t page = page_size();
    uint64_t end = uint64_t(base) + length;
    if (length > 0 && length <= kBoardRangeMaxLength && base % page == 0 && base >= kIsaAreaStart &&
        end <= kIsaAreaEnd) {
        return 1;
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "0x%X bytes at 0x%X: a board's range must lie inside the ISA adapter memory area 0x%X-0x%X, "
                  "be page aligned (%u bytes) and be at most 0x%X bytes long",
                  length, base, kIsaAreaStart, kIsaAreaEnd - 1, page, kBoardRangeMaxLength);
    *error = text;
    return -1;
}

// The process id written in a held lock file, or 0 when none could be read.
long read_holder(int fd) {
    for (int attempt = 0; attempt < kHolderReadTries; attempt++) {
        char text[32] = {0};
        ssize_t n = pread(fd, text, sizeof text - 1, 0);
        long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
        if (pid > 0) return pid;
        usleep(kHolderReadPause);
    }
    return 0;
}

// Takes the range's lock and writes this process's id into it. The descriptor, or -1 with
// *why and *error set.
int take_lock(const std::string &path, PhysicalRefusal *why, std::string *error) {
    // O_NOFOLLOW: the lock folder is shared, so a link planted there is never followed.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = PhysicalRefusal::device;
        *error = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return -1;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        if (err == EWOULDBLOCK) {
            long holder = read_holder(fd);
            *why = PhysicalRefusal::busy;
            *error = (holder > 0 ? "process " + std::to_string(holder) : std::string("another process")) +
                     " holds the board (lock file " + path + ")";
        } else {
            *why = PhysicalRefusal::device;
            *error = "cannot lock " + path + ": " + std::strerror(err);
        }
        ::close(fd);
        return -1;
    }
    std::string id = std::to_string(long(getpid())) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, id.data(), id.size(), 0) != ssize_t(id.size())) {
        *why = PhysicalRefusal::device;
        *error = "cannot write the lock file " + path + ": " + std::strerror(errno);
        ::close(fd);   // drops the lock
        return -1;
    }
    return fd;
}

}  // namespace

std::string physical_lock_path(const std::string &lock_folder, uint32_t base, uint32_t length) {
    char name[64];
    std::snprintf(name, sizeof name, "/tav-board-0x%x-0x%x.lock", base, length);
    return lock_folder + name;
}

int physical_map(const std::string &device_path, const std::string &lock_folder, uint32_t base, uint32_t length,
                 PhysicalMapping *mapping, PhysicalRefusal *why, std::string *error) {
    *why = PhysicalRefusal::none;
    if (check_range(base, length, error) != 1) {
        *why = PhysicalRefusal::range;
        return -1;
    }
    int lock_fd = take_lock(physical_lock_path(lock_folder, base, length), why, error);
    if (lock_fd < 0) return -1;
    int fd = ::open(device_path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        *error = "cannot open " + device_path + ": " + std::strerror(err);
        if (err == EACCES || err == EPERM) *error += " (mapping the board needs root)";
        *why = PhysicalRefusal::device;
        ::close(lock_fd);
        return -1;
    }
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(base));
    int err = errno;
    ::close(fd);  // the mapping stays valid
    if (p == MAP_FAILED) {
        char where[64];
        std::snprintf(where, sizeof where, " at 0x%x (0x%x bytes)", base, length);
        *error = "cannot map " + device_path + where + ": " + std::strerror(err);
        *why = PhysicalRefusal::device;
        ::close(lock_fd);
        return -1;
    }
    mapping->address = static_cast<uint8_t *>(p);
    mapping->length = length;
    mapping->lock_fd = lock_fd;
    return 1;
}

int physical_unmap(PhysicalMapping *mapping) {
    if (mapping == nullptr || mapping->address == nullptr) return -1;
    int rc = munmap(mapping->address, mapping->length) == 0 ? 1 : -1;
    if (mapping->lock_fd >= 0) ::close(mapping->lock_fd);   // drops the lock
    *mapping = PhysicalMapping{};
    return rc;
}

}  // namespace tavboard
