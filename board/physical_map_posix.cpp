#include "board/physical_map.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavboard {

namespace {

constexpr int kHolderReadTries = 20;       // a holder writes its id right after locking
constexpr useconds_t kHolderReadPause = 5000;
constexpr int kLockTries = 8;              // lock files let go of (and removed) while we took them
constexpr mode_t kLockFolderMode = 0755;
constexpr mode_t kLockFileMode = 0600;

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

int refuse(PhysicalRefusal kind, const std::string &text, PhysicalRefusal *why, std::string *error) {
    *why = kind;
    *error = text;
    return -1;
}

// A refusal for want of a permission names what it takes.
std::string with_root_hint(int err) {
    std::string text = std::strerror(err);
    if (err == EACCES || err == EPERM) text += " (mapping the board needs root)";
    return text;
}

// What a file that is not a regular one is, for a message.
std::string kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "a regular file";
}

// How to take away what does not belong at a path.
std::string removal(const std::string &path, mode_t mode) {
    return std::string("(remove it: rm ") + (S_ISDIR(mode) ? "-r " : "") + path + ")";
}

std::string root_or_self(bool root_allowed) {
    uid_t self = geteuid();
    if (self == 0) return "root";
    return (root_allowed ? "root or uid " : "uid ") + std::to_string(self);
}

// Makes the lock folder when missing (mode 0755), opens it without following a link and
// judges it: a folder of root (or the effective user) that group and others cannot write.
// Its descriptor, or -1 with *why and *error set.
int open_lock_folder(const std::string &folder, PhysicalRefusal *why, std::string *error) {
    bool made = ::mkdir(folder.c_str(), kLockFolderMode) == 0;
    if (!made && errno != EEXIST) {
        return refuse(PhysicalRefusal::device, "cannot make the lock folder " + folder + ": " + with_root_hint(errno),
                      why, error);
    }
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        struct stat st;
        if ((err == ELOOP || err == ENOTDIR) && lstat(folder.c_str(), &st) == 0) {
            return refuse(PhysicalRefusal::unsafe,
                          "the lock folder " + folder + " is " + kind_of(st.st_mode) + ", not a folder " +
                              removal(folder, st.st_mode),
                          why, error);
        }
        return refuse(PhysicalRefusal::device, "cannot open the lock folder " + folder + ": " + with_root_hint(err),
                      why, error);
    }
    if (made) (void)fchmod(fd, kLockFolderMode);   // whatever the umask took away
    struct stat st;
    std::string problem;
    if (fstat(fd, &st) != 0) {
        problem = "cannot examine the lock folder " + folder + ": " + std::strerror(errno);
    } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
        problem = "the lock folder " + folder + " is owned by uid " + std::to_string(st.st_uid) + ", not by " +
                  root_or_self(true) + " (chown root " + folder + ")";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        problem = "the lock folder " + folder + " is writable by group or others (chmod go-w " + folder + ")";
    }
    if (problem.empty()) return fd;
    ::close(fd);
    return refuse(PhysicalRefusal::unsafe, problem, why, error);
}

// "" when the open lock file is one this program can trust, else why not (with the fix).
std::string judge_lock_file(const std::string &path, const struct stat &st) {
    if (!S_ISREG(st.st_mode)) {
        return "the lock file " + path + " is " + kind_of(st.st_mode) + ", not a regular file " +
               removal(path, st.st_mode);
    }
    if (st.st_uid != geteuid()) {
        return "the lock file " + path + " is owned by uid " + std::to_string(st.st_uid) + ", not by " +
               root_or_self(false) + " " + removal(path, st.st_mode);
    }
    if (st.st_nlink != 1) {
        return "the lock file " + path + " has " + std::to_string(st.st_nlink) +
               " links, so it can be reached under another name " + removal(path, st.st_mode);
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return "the lock file " + path + " has mode " + mode + ": group or others may open it and take the lock " +
               removal(path, st.st_mode);
    }
    return std::string();
}

// Opens the lock file in the folder, or creates it exclusively when missing, never through a
// link and never waiting on a FIFO, and judges what was opened. The descriptor; -2 when the
// name changed under us (try again); -1 with *why and *error set.
int open_lock_file(int folder_fd, const std::string &path, PhysicalRefusal *why, std::string *error) {
    struct stat st;
    // Anything but a regular file is refused before it is opened (a device's open may act).
    if (fstatat(folder_fd, kPhysicalLockName, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        return refuse(PhysicalRefusal::unsafe, judge_lock_file(path, st), why, error);
    }
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = openat(folder_fd, kPhysicalLockName, flags);
    if (fd < 0 && errno == ENOENT) fd = openat(folder_fd, kPhysicalLockName, flags | O_CREAT | O_EXCL, kLockFileMode);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT || err == EEXIST) return -2;
        if (fstatat(folder_fd, kPhysicalLockName, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
            return refuse(PhysicalRefusal::unsafe, judge_lock_file(path, st), why, error);
        }
        return refuse(PhysicalRefusal::device, "cannot open the lock file " + path + ": " + with_root_hint(err), why,
                      error);
    }
    std::string problem;
    if (fstat(fd, &st) != 0) {
        problem = "cannot examine the lock file " + path + ": " + std::strerror(errno);
    } else {
        problem = judge_lock_file(path, st);
    }
    if (problem.empty()) return fd;
    ::close(fd);
    return refuse(PhysicalRefusal::unsafe, problem, why, error);
}

// True when the name in the folder still leads to the open file.
bool still_named(int folder_fd, const char *name, int fd) {
    struct stat named;
    struct stat held;
    if (fstatat(folder_fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || fstat(fd, &held) != 0) return false;
    return named.st_dev == held.st_dev && named.st_ino == held.st_ino;
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

// flock without waiting, again when a signal came between. 0 or -1 with errno.
int lock_now(int fd) {
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Takes the board's lock in the folder (open, judged, locked, still named) and writes this
// process's id into it. The descriptor, or -1 with *why and *error set.
int take_lock(int folder_fd, const std::string &path, PhysicalRefusal *why, std::string *error) {
    for (int attempt = 0; attempt < kLockTries; attempt++) {
        int fd = open_lock_file(folder_fd, path, why, error);
        if (fd == -1) return -1;
        if (fd == -2) continue;
        if (lock_now(fd) != 0) {
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
        // A holder removes its lock file as it lets go: a file locked just then is no lock any more.
        if (!still_named(folder_fd, kPhysicalLockName, fd)) {
            ::close(fd);
            continue;
        }
        std::string id = std::to_string(long(getpid())) + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, id.data(), id.size(), 0) != ssize_t(id.size())) {
            *why = PhysicalRefusal::device;
            *error = "cannot write the lock file " + path + ": " + std::strerror(errno);
            unlinkat(folder_fd, kPhysicalLockName, 0);   // ours and locked: nobody else's to keep
            ::close(fd);
            return -1;
        }
        return fd;
    }
    return refuse(PhysicalRefusal::device,
                  "the lock file " + path + " kept being replaced while it was taken (" + std::to_string(kLockTries) +
                      " tries); let only this program's runs remove it",
                  why, error);
}

// Lets go of the board's lock: the lock file is removed while still held (when its name
// still leads to it), then closed.
void drop_lock(int fd, const std::string &path) {
    struct stat named;
    struct stat held;
    if (lstat(path.c_str(), &named) == 0 && fstat(fd, &held) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
        unlink(path.c_str());
    }
    ::close(fd);
}

}  // namespace

std::string physical_lock_path(const std::string &lock_folder) {
    return lock_folder + "/" + kPhysicalLockName;
}

int physical_map(const std::string &device_path, const std::string &lock_folder, uint32_t base, uint32_t length,
                 PhysicalMapping *mapping, PhysicalRefusal *why, std::string *error) {
    *why = PhysicalRefusal::none;
    if (check_range(base, length, error) != 1) {
        *why = PhysicalRefusal::range;
        return -1;
    }
    const std::string lock_path = physical_lock_path(lock_folder);
    int folder_fd = open_lock_folder(lock_folder, why, error);
    if (folder_fd < 0) return -1;
    int lock_fd = take_lock(folder_fd, lock_path, why, error);
    ::close(folder_fd);
    if (lock_fd < 0) return -1;
    int fd = ::open(device_path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + device_path + ": " + with_root_hint(errno);
        *why = PhysicalRefusal::device;
        drop_lock(lock_fd, lock_path);
        return -1;
    }
    if (lock_now(fd) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK) {
            *why = PhysicalRefusal::busy;
            *error = "another program holds " + device_path + " (its lock file " + lock_path +
                     " was removed while it held the board)";
        } else {
            *why = PhysicalRefusal::device;
            *error = "cannot lock " + device_path + ": " + std::strerror(err);
        }
        ::close(fd);
        drop_lock(lock_fd, lock_path);
        return -1;
    }
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(base));
    if (p == MAP_FAILED) {
        int err = errno;
        char where[64];
        std::snprintf(where, sizeof where, " at 0x%x (0x%x bytes)", base, length);
        *error = "cannot map " + device_path + where + ": " + std::strerror(err);
        *why = PhysicalRefusal::device;
        ::close(fd);
        drop_lock(lock_fd, lock_path);
        return -1;
    }
    mapping->address = static_cast<uint8_t *>(p);
    mapping->length = length;
    mapping->lock_fd = lock_fd;
    mapping->device_fd = fd;
    mapping->lock_path = lock_path;
    return 1;
}

int physical_unmap(PhysicalMapping *mapping) {
    if (mapping == nullptr || mapping->address == nullptr) return -1;
    int rc = munmap(mapping->address, mapping->length) == 0 ? 1 : -1;
    if (mapping->device_fd >= 0) ::close(mapping->device_fd);
    if (mapping->lock_fd >= 0) drop_lock(mapping->lock_fd, mapping->lock_path);
    *mapping = PhysicalMapping{};
    return rc;
}

}  // namespace tavboard
