// The few POSIX file and memory calls the board model uses, on Windows: a board file mapped
// shared into the process (a file mapping and a view of it), its exclusive lock (a byte
// range lock over the whole file, which the system drops with the handle), positioned reads,
// and the inaccessible stand-in address of an attached window (reserved, never committed).
// Only the forms the model calls are served; anything else fails with EINVAL.
#pragma once

#if defined(_WIN32)

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <io.h>
#include <sys/types.h>
#include <unistd.h>

#define PROT_NONE 0x0
#define PROT_READ 0x1
#define PROT_WRITE 0x2
#define MAP_SHARED 0x01
#define MAP_PRIVATE 0x02
#define MAP_ANONYMOUS 0x20
#define MAP_FAILED (reinterpret_cast<void *>(-1))

#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8

// A descriptor that the child processes do not inherit; writes reach the file at once
// through the mapping anyway.
#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif
#ifndef O_SYNC
#define O_SYNC 0
#endif

#define _SC_PAGESIZE 30

// mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset): a view of the file;
// mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0): reserved addresses.
void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset);
int munmap(void *address, size_t length);
// LOCK_EX | LOCK_NB, or LOCK_UN. A lock held elsewhere fails with EWOULDBLOCK.
int flock(int fd, int operation);
ssize_t pread(int fd, void *buffer, size_t count, off_t offset);
long sysconf(int name);

#endif
