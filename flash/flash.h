// The flash device driver: board window and page registers, identification, status and
// waiting, erase and erase table, write and read. Every routine reaches the board only
// through flash/board_access.h.
//
// Flash routines return 1 on success and -1 on failure and print their own one-line
// message ("routine(): ...") through print_error before a failure return, unless the
// routine's description says it fails silently.
#pragma once

#include <cstdint>

// Memory space codes.
constexpr int FLASH_SPACE_GAME = 0;        // game flash, 4 MB
constexpr int FLASH_SPACE_GAME_HIGH = 1;   // upper 1 MB window of an 8 MB game device
constexpr int FLASH_SPACE_SOUND = 8;       // sound flash (boot-block device), 1 MB

// Flash information record: one memory space and its devices. Filled by flash_query,
// owned by the caller, passed first to every flash routine.
struct FSI {
    uint8_t *base;          // board_window
    uint32_t size;          // bytes in the space
    uint32_t interleave;    // devices side by side on the bus
    uint32_t width;         // bytes per device access: 1 or 2
    uint32_t block_size;    // bytes per erase block of one device
    int32_t block_shift;    // log2(block_size)
    uint32_t device_size;   // bytes per device
    int32_t boot_block;     // 1: identified by codes, erased whole in fixed block order
    int32_t space;          // space code for isa_tav_map_page
    uint32_t page_size;     // bytes per window page
    uint32_t page_count;    // size / page_size
};

// Process-wide pointer to the mapped board range; stored by the loader, read by the driver.
extern uint8_t *board_window;

// Selects page `page` of `space` through the four page registers. 1 when the registers were
// written, 0 when not (unknown space: silently; page out of range: message on stdout).
int isa_tav_map_page(int32_t space, uint32_t page);

// Identifies the devices of `space` (0, 1 or 8) and fills *fsi. 1 ok (clean status, devices
// in read-array mode), -1 otherwise.
int flash_query(int32_t space, FSI *fsi);
// Brings the devices at offset 0 of the space (page 0 selected) to read array with a clean
// status from any state a stopped program left them in: ends a half-written sequence with
// read-array writes, waits out an operation in progress (at most 50 ticks), clears the
// status, sets read array. Programs and erases nothing. 1 when every device was ready, -1
// when one was still busy at the limit.
int flash_recover(FSI *fsi);
// Writes command `mode` to every device of the bus word at offset. No result.
void flash_set_mode(FSI *fsi, uint32_t offset, int mode);
// 1-based index of the lowest set bit, 0 for 0.
int lowest_bit_index(uint32_t value);

// Read-status, wait up to 10 ticks, back to read array. 1 when the status is exactly 0x80.
int flash_check_status(FSI *fsi, uint32_t offset);
// Polls the status presented at offset for at most `limit` ticks and judges it. 1 when
// every device reports exactly 0x80, else -1 with the bit messages.
int flash_wait(FSI *fsi, uint32_t offset, uint32_t limit);

// Erases one block at offset (0x20, 0xD0, wait 20000 ticks, 0xFF). 1 or -1.
int flash_erase_block(FSI *fsi, uint32_t offset);
// Erases the erase unit holding offset; the whole device on a boot-block device. 1 or -1.
int flash_erase(FSI *fsi, uint32_t offset);
// One byte per erase unit, contents undefined until initialised; null on failure.
uint8_t *flash_alloc_erase_table(FSI *fsi);
// Marks every unit as not yet erased. 1 or -1.
int flash_init_erase_table(FSI *fsi, uint8_t *table);
// Releases the table (null allowed). 1, or -1 for a null fsi (the table is then kept).
int flash_free_erase_table(FSI *fsi, uint8_t *table);

// Programs and verifies count bytes at offset, erasing each unit on first touch. 1 or -1.
int flash_write(FSI *fsi, uint32_t offset, const uint8_t *data, uint32_t count, uint8_t *table);
// Requests the write buffer (0xE8) until available, at most 20000 ticks. 1 or -1 (silent).
int flash_get_write_buffer(FSI *fsi, uint32_t offset);
// 1 when every device presents bit 7 set after 0xE8, else -1.
int flash_check_write_buffer(FSI *fsi, uint32_t offset);
// Copies count bytes of the space at offset into dest. 1 or -1.
int flash_read(FSI *fsi, uint32_t offset, uint8_t *dest, uint32_t count);
