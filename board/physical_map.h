// Mapping the TAV board's ISA memory range into the process on Linux, through /dev/mem
// (root only). The device path is a parameter, so tests map an ordinary file instead.
#pragma once

#include <cstdint>
#include <string>

namespace tavboard {

constexpr uint32_t kBoardPhysicalBase = 0xD0000;
constexpr uint32_t kBoardRangeLength = 0x8000;

// Maps `length` bytes at physical address `base` of `device_path` (normally "/dev/mem")
// for reading and writing, shared. Returns the address, or null with *error set to a
// message that names the device and the reason.
uint8_t *physical_map(const std::string &device_path, uint32_t base, uint32_t length, std::string *error);
// Releases a mapping made by physical_map. 1 ok, -1 error.
int physical_unmap(uint8_t *address, uint32_t length);

}  // namespace tavboard
