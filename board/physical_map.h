// Mapping the TAV board's ISA memory range into the process on Linux, through /dev/mem
// (root only). Three guards come with every mapping, in this order, before anything is
// opened or touched:
//   1. the range must be the board's kind of range: inside the ISA adapter memory area
//      below 1 MB, page aligned, no longer than the window the loader uses;
//   2. one writer: an exclusive flock on a lock file named after the range, taken before the
//      device is opened and held for the mapping's life; the holder's process id is written
//      into it, so a second program is told who holds the board. The lock goes with the
//      process, so a holder that died never blocks;
//   3. then the device is opened and the range mapped.
// The device path and the lock folder are parameters, so tests map an ordinary file in a
// folder of their own. Built on POSIX only.
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
constexpr const char kPhysicalLockFolder[] = "/run/lock";

// Why physical_map refused.
enum class PhysicalRefusal { none, range, busy, device };

// A live mapping: the window, its length, and the lock file held while it lives.
struct PhysicalMapping {
    uint8_t *address = nullptr;
    uint32_t length = 0;
    int lock_fd = -1;
};

// The lock file of a range: "<lock_folder>/tav-board-0xd0000-0x8000.lock".
std::string physical_lock_path(const std::string &lock_folder, uint32_t base, uint32_t length);

// Checks the range, takes the range's lock in `lock_folder`, then maps `length` bytes at
// physical address `base` of `device_path` for reading and writing, shared.
// 1 with *mapping filled; -1 with *why and *error (one sentence naming the range, the
// holder's process id or the device and the reason) and nothing left open.
int physical_map(const std::string &device_path, const std::string &lock_folder, uint32_t base, uint32_t length,
                 PhysicalMapping *mapping, PhysicalRefusal *why, std::string *error);
// Ends a mapping made by physical_map and drops its lock. 1 ok, -1 nothing was mapped or
// the unmap failed (the lock is dropped in every case).
int physical_unmap(PhysicalMapping *mapping);

}  // namespace tavboard
