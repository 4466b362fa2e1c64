// The four ways the flash driver touches the board, and nothing else:
//   1. write one byte to a page register (0x4000 to 0x4003 of the window),
//   2. read one byte at an offset of the 16 KB data window,
//   3. write one byte, or one 16-bit little-endian word, at an offset of the data window,
//   4. copy a run of bytes out of the data window (never across a page end).
//
// Who serves these accesses is decided once, when the window is mapped: by default the
// window address is real mapped memory (the board's ISA range through the toolkit or
// /dev/mem) and the accesses are volatile loads and stores; a mapping that stands for
// the software model of the board binds its own implementation to its window address.
// The driver does not know which one it talks to.
#pragma once

#include <cstdint>

struct BoardAccessOps {
    void (*write_page_register)(void *ctx, uint32_t reg, uint8_t value);  // reg 0..3
    uint8_t (*read8)(void *ctx, uint32_t offset);                          // offset < 0x4000
    void (*write8)(void *ctx, uint32_t offset, uint8_t value);
    void (*write16)(void *ctx, uint32_t offset, uint16_t value);           // little-endian
    void (*copy_out)(void *ctx, uint32_t offset, uint8_t *dest, uint32_t count);
};

// Offset of page register 0 in the board's memory range.
constexpr uint32_t kPageRegisterOffset = 0x4000;
// Bytes of the data window.
constexpr uint32_t kWindowSize = 0x4000;

// Binds `ops` (with `ctx`) to the window at `window`; accesses through any other window
// address go to mapped memory. One binding at a time; a new one replaces the old.
void board_access_bind(uint8_t *window, const BoardAccessOps *ops, void *ctx);
// Drops the binding of `window`, if it is the bound one.
void board_access_unbind(uint8_t *window);

// The accesses themselves, on the window at `window`.
void board_write_page_register(uint8_t *window, uint32_t reg, uint8_t value);
uint8_t board_read8(uint8_t *window, uint32_t offset);
void board_write8(uint8_t *window, uint32_t offset, uint8_t value);
void board_write16(uint8_t *window, uint32_t offset, uint16_t value);
void board_copy_out(uint8_t *window, uint32_t offset, uint8_t *dest, uint32_t count);
