// The flash device driver: board window and page registers, identification, status and
// waiting, erase and erase table, write and read. Every routine reaches the board only
// through flash/board_access.h; command and status codes are in flash/commands.h.
//
// The driver's convention: a routine returns 1 on success and -1 on failure, and prints its
// own one-line message ("routine(): ...") through print_error before a failure return.
// The exceptions, each said again on its declaration:
//   - fail without a message: flash_query when the devices do not answer as expected (no
//     "QRY", an unknown code, space 1 without an 8 MB device), flash_recover,
//     flash_erase on a boot-block device of an unknown size, flash_get_write_buffer,
//     flash_check_write_buffer when bit 7 is not set, isa_tav_map_page for an unknown space;
//   - other results: isa_tav_map_page returns 1 or 0 (and writes its out-of-range message to
//     standard output), flash_alloc_erase_table returns the table or null,
//     flash_set_mode returns nothing, lowest_bit_index returns a bit number.
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
// written; 0 when not: an unknown space silently, a page out of range with
// "isa_tav_map_page(...): page (..) is out of range (0-..)" on standard output.
int isa_tav_map_page(int32_t space, uint32_t page);
// on 1: from now on isa_tav_map_page writes the page registers only for a page other than the
// one it selected last (the first selection after this call is always written); on 0: every
// selection is written again, as by default. Only for a run that is the window's one user
// (the board's lock keeps every other program off it).
void isa_tav_select_changes_only(int on);

// Identifies the devices of `space` (0, 1 or 8) and fills *fsi. 1 when they were identified
// with a clean status; the devices are in read-array mode afterwards, on failure too. -1 with a message for a null fsi, an
// invalid space or a bad status (flash_wait's); -1 without one when the devices do not
// answer as expected. A geometry that does not add up is reported but not a failure.
int flash_query(int32_t space, FSI *fsi);
// Brings the devices at offset 0 of the space (page 0 selected) to read array with a clean
// status from any state a stopped program left them in: ends a half-written sequence with
// read-array writes, waits out an operation in progress (at most 204 ticks: the longest
// block erase and a margin), clears the status, sets read array. Programs and erases
// nothing. 1 when every device was ready, -1 (without a message) when one was still busy at
// the limit.
int flash_recover(FSI *fsi);
// Writes command `mode` to every device of the bus word at offset. No result; an offset out
// of range or a bad device width is reported and the command (or that device's part) is
// not written.
void flash_set_mode(FSI *fsi, uint32_t offset, int mode);
// 1-based index of the lowest set bit, 0 for 0.
int lowest_bit_index(uint32_t value);

// Read-status, wait up to 10 ticks, back to read array. 1 when every device reports exactly
// FLASH_STATUS_READY, else -1 with a message (a null fsi, the offset, or flash_wait's).
int flash_check_status(FSI *fsi, uint32_t offset);
// Polls the status presented at offset for at most `limit` ticks and judges it. 1 when
// every device reports exactly FLASH_STATUS_READY, else -1 with the bit messages.
int flash_wait(FSI *fsi, uint32_t offset, uint32_t limit);

// Erases one block at offset (block erase, confirm, wait 20000 ticks, read array). 1, or -1
// with flash_wait's messages.
int flash_erase_block(FSI *fsi, uint32_t offset);
// Erases the erase unit holding offset; the whole device on a boot-block device. 1, or -1
// with a message; -1 without one for a boot-block device of a size it has no block order for.
int flash_erase(FSI *fsi, uint32_t offset);
// One byte per erase unit, contents undefined until initialised. The table, or null after
// a message.
uint8_t *flash_alloc_erase_table(FSI *fsi);
// Marks every unit as not yet erased. 1, or -1 with a message.
int flash_init_erase_table(FSI *fsi, uint8_t *table);
// Erase blocks as the devices have them: the uniform blocks of a CFI device (erase units, as
// above), a boot-block device's own blocks (16 KB, 8 KB, 8 KB, 96 KB, then 128 KB), counted again
// for every copy of a device smaller than the space. The number of blocks of the space, 0 when
// their layout is not known.
uint32_t flash_block_count(const FSI *fsi);
// The block that holds offset: its number (0 to flash_block_count - 1), its first offset in the
// space and its length. 1, or -1 with a message (an offset out of range, an unknown layout).
int flash_block_at(const FSI *fsi, uint32_t offset, uint32_t *index, uint32_t *start, uint32_t *length);
// Releases the table (null allowed). 1, or -1 with a message for a null fsi (the table is
// then kept).
int flash_free_erase_table(FSI *fsi, uint8_t *table);

// Programs and verifies count bytes at offset, erasing each unit on first touch. 1, or -1
// with a message. In a run that writes only what changes (flash_changed_begin) `table` is the
// run's block plan of the space (flash_alloc_block_plan), and each erase block is judged at its
// first touch instead: kept when it holds what the caller will write (the data written into it
// must then equal what it holds: a difference is reported as a verify difference, -1),
// programmed without an erase when it reads erased, else erased first. Bytes of 0xFF are not
// programmed (whole buffer lines of them, single bus words of a boot-block device), buffers
// start on interleave x 32-byte boundaries, and every byte written is verified.
int flash_write(FSI *fsi, uint32_t offset, const uint8_t *data, uint32_t count, uint8_t *table);

// What the caller's writes will leave in [offset, offset + count) of the space *fsi, 0xFF where
// it writes nothing, put into dest. 1 when dest holds it, -1 when the caller cannot tell (the
// block is then written as if it changed).
typedef int (*FlashPlannedContents)(void *context, const FSI *fsi, uint32_t offset, uint8_t *dest, uint32_t count);
// Begins a run that writes only the erase blocks whose contents change: flash_write judges each
// block against `contents` at its first touch, and a page is selected only when it changes
// (isa_tav_select_changes_only). Process-wide until flash_changed_end.
void flash_changed_begin(FlashPlannedContents contents, void *context);
// Ends it: flash_write and the page selection as by default; what the run held is released.
void flash_changed_end(void);
// 1 while such a run is on, else 0.
int flash_changed_active(void);
// A block plan for flash_write in such a run: one entry per block of flash_block_count, none
// judged yet. The plan (released by flash_free_erase_table), or null after a message (an unknown
// block layout, no memory).
uint8_t *flash_alloc_block_plan(FSI *fsi);
// Requests the write buffer until it is available, at most 20000 ticks. 1; -1 with a
// message for a null fsi or an offset out of range, without one when the buffer stays busy.
int flash_get_write_buffer(FSI *fsi, uint32_t offset);
// 1 when every device presents bit 7 set after a write-to-buffer command; -1 without a
// message when one does not, with one for an offset out of range.
int flash_check_write_buffer(FSI *fsi, uint32_t offset);
// Copies count bytes of the space at offset into dest. 1, or -1 with a message.
int flash_read(FSI *fsi, uint32_t offset, uint8_t *dest, uint32_t count);
