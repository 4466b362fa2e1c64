// The steps of programming that the plain write and the write of only what changes share, on a
// chunk that lies inside one window page, with that page selected and `address` the chunk's place
// in the window. Internal to the driver.
#pragma once

#include <cstdint>

#include "flash/flash.h"

// Bytes of the write buffer of one device.
constexpr uint32_t FLASH_BUFFER_BYTES = 32;

// One run of at most interleave x 32 bytes through the write buffers: request them, give the
// count, the data, confirm, wait. 1, or -1 (flash_wait's messages; none when the buffer stays
// busy).
int flash_program_buffer(FSI *fsi, uint32_t offset, uint32_t address, const uint8_t *data, uint32_t length);
// A run one bus word at a time: program command, one unit per device, wait. 1, or -1 with
// flash_wait's messages.
int flash_program_words(FSI *fsi, uint32_t offset, uint32_t address, const uint8_t *data, uint32_t length);
// Compares `length` bytes that the flash holds (`flash`) with `data`, which were written at
// offset. 1 when equal, else -1 after "flash_write(): data (0x..) != (0x..) at offset (0x..)"
// for the first difference.
int flash_compare(uint32_t offset, const uint8_t *flash, const uint8_t *data, uint32_t length);
// Reads the run back from the window (read array set) and compares it (flash_compare).
int flash_verify(uint32_t offset, uint32_t address, const uint8_t *data, uint32_t length);

// flash_write in a run that writes only what changes (flash_changed_begin): `plan` is the
// run's block plan of the space. Contract as flash_write's.
int flash_write_changed(FSI *fsi, uint32_t offset, const uint8_t *data, uint32_t count, uint8_t *plan);
