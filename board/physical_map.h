// Mapping the TAV board's ISA memory range into the process on Linux, through /dev/mem
// (root only). Three guards come with every mapping, in this order:
//   1. the range must be the board's kind of range: inside the ISA adapter memory area
//      below 1 MB, page aligned, no longer than the window the loader uses;
//   2. one writer: an exclusive flock on the board's one lock file, whatever the range, so
//      no two ranges are written at once. It lives in a folder of the product's own that
//      only root can write (made with mode 0755 when missing; refused when another user
//      owns it or group or others may write it). The lock file is opened without following
//      a link and without waiting on a FIFO, created exclusively when missing, and trusted
//      only as a regular file of the effective user with one link that nobody else may
//      open; after the flock the name must still lead to the file locked (a holder removes
//      its lock file while it still holds it, as it lets go), else the lock is taken again.
//      The holder's process id is written into it, so a second program is told who holds
//      the board. The lock goes with the process, so a holder that died never blocks;
//   3. then the device is opened and locked too (a lock file removed behind a holder's back
//      admits no second writer: the device stays locked by the holder), and the range mapped.
// Every refusal of the first two guards comes before the device is opened. The device path
// and the lock folder are parameters, so tests map an ordinary file in a folder of their own.
// Built on POSIX only.
#pragma once

#include <cstdint>
#include <string>

namespace tavboard {

constexpr uint32_t kBoardPhysicalBase = 0xD0000;
constexpr uint32_t kBoardRangeLength = 0x8000;

// The ISA adapter memory area a board range must lie in: [start, end).
constexpr uint32_t kIsaAreaStart = 0xA0000;
constexpr uint32_t kIsaAreaEnd = 0x100000;
// The longest range mapped: the window the loader uses.
constexpr uint32_t kBoardRangeMaxLength = kBoardRangeLength;

constexpr const char kPhysicalDevice[] = "/dev/mem";
constexpr const char kPhysicalLockFolder[] = "/run/tav";
constexpr const char kPhysicalLockName[] = "board.lock";

// Why physical_map refused: the range, the board held by another program, a lock folder or
// lock file another user could have made or changed, the device (or a lock that cannot be
// made or taken for another reason).
enum class PhysicalRefusal { none, range, busy, unsafe, device };

// A live mapping: the window, its length, and what is held while it lives.
struct PhysicalMapping {
    uint8_t *address = nullptr;
    uint32_t length = 0;
    int lock_fd = -1;          // the lock file, locked
    int device_fd = -1;        // the device, locked
    std::string lock_path;
};

// The board's lock file: "<lock_folder>/board.lock".
std::string physical_lock_path(const std::string &lock_folder);

// Checks the range, takes the board's lock in `lock_folder`, then opens and locks
// `device_path` and maps `length` bytes at physical address `base` of it for reading and
// writing, shared. 1 with *mapping filled; -1 with *why and *error (one sentence naming the
// range, the holder's process id, or the path concerned, the reason and the fix) and
// nothing left open.
int physical_map(const std::string &device_path, const std::string &lock_folder, uint32_t base, uint32_t length,
                 PhysicalMapping *mapping, PhysicalRefusal *why, std::string *error);
// Ends a mapping made by physical_map and drops its locks. 1 ok, -1 nothing was mapped or
// the unmap failed (the locks are dropped in every case).
int physical_unmap(PhysicalMapping *mapping);

}  // namespace tavboard
