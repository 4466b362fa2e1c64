// The board model's POSIX file and memory calls on Windows (see board/posix_calls_win32.h).
#include "board/posix_calls_win32.h"

#include <windows.h>

namespace {

HANDLE handle_of(int fd) {
    intptr_t handle = _get_osfhandle(fd);
    return handle == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
}

int fail(int error) {
    errno = error;
    return -1;
}

int errno_for(DWORD error) {
    switch (error) {
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION: return EWOULDBLOCK;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_COMMITMENT_LIMIT: return ENOMEM;
    case ERROR_HANDLE_EOF: return 0;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

}  // namespace

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (address != nullptr || length == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    if ((flags & MAP_ANONYMOUS) != 0) {
        if (protection != PROT_NONE || fd != -1) {
            errno = EINVAL;
            return MAP_FAILED;
        }
        // Reserved but never committed: every access faults.
        void *reserved = VirtualAlloc(nullptr, length, MEM_RESERVE, PAGE_NOACCESS);
        if (reserved == nullptr) {
            errno = ENOMEM;
            return MAP_FAILED;
        }
        return reserved;
    }
    if ((flags & MAP_SHARED) == 0 || protection != (PROT_READ | PROT_WRITE) || offset < 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    HANDLE file = handle_of(fd);
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return MAP_FAILED;
    }
    uint64_t end = uint64_t(offset) + length;
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, DWORD(end >> 32), DWORD(end), nullptr);
    if (mapping == nullptr) {
        errno = errno_for(GetLastError());
        return MAP_FAILED;
    }
    void *view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, DWORD(uint64_t(offset) >> 32),
                               DWORD(uint64_t(offset)), length);
    DWORD error = GetLastError();
    // The view keeps the mapping alive until it is unmapped.
    CloseHandle(mapping);
    if (view == nullptr) {
        errno = errno_for(error);
        return MAP_FAILED;
    }
    return view;
}

int munmap(void *address, size_t) {
    if (address == nullptr) return fail(EINVAL);
    if (UnmapViewOfFile(address)) return 0;
    if (VirtualFree(address, 0, MEM_RELEASE)) return 0;
    return fail(EINVAL);
}

int flock(int fd, int operation) {
    HANDLE file = handle_of(fd);
    if (file == INVALID_HANDLE_VALUE) return fail(EBADF);
    OVERLAPPED at = {};
    if (operation == LOCK_UN) {
        if (!UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &at)) return fail(errno_for(GetLastError()));
        return 0;
    }
    if (operation != (LOCK_EX | LOCK_NB)) return fail(EINVAL);
    // The whole file and beyond its end, so that the lock covers it whatever its size.
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at))
        return fail(errno_for(GetLastError()));
    return 0;
}

ssize_t pread(int fd, void *buffer, size_t count, off_t offset) {
    HANDLE file = handle_of(fd);
    if (file == INVALID_HANDLE_VALUE) return fail(EBADF);
    if (offset < 0 || count > MAXDWORD) return fail(EINVAL);
    OVERLAPPED at = {};
    at.Offset = DWORD(uint64_t(offset));
    at.OffsetHigh = DWORD(uint64_t(offset) >> 32);
    DWORD done = 0;
    if (!ReadFile(file, buffer, DWORD(count), &done, &at)) {
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) return 0;
        return fail(errno_for(error));
    }
    return ssize_t(done);
}

long sysconf(int name) {
    if (name != _SC_PAGESIZE) return fail(EINVAL);
    // Views and reservations are placed on allocation granularity, mapped in pages.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return long(info.dwPageSize);
}
