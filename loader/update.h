// The phases of a load, in the order load_board runs them. Each returns 0 or the result
// code of its first failure after printing its message.
#pragma once

#include <cstdint>

#include "flash/flash.h"

// Start of the last erase block of the game flash, where the board information record
// lives; set once from the first query of the game flash of a load.
extern uint32_t info_offset;

// Bytes of sf.rom: it fills the 1 MB sound space exactly.
constexpr uint32_t SOUND_IMAGE_BYTES = 1048576;

// The sound image sf.rom into the sound flash (space 8, else space 1). A missing file is
// skipped silently unless -sfonly. Uses *fsi as its working record; allocates and releases
// its own erase table.
int update_sound_flash(FSI *fsi);

// Allocates the erase table of the space *fsi into *table and marks every unit not yet
// erased. 0, or RESULT_ERASE_TABLE_ALLOC / RESULT_ERASE_TABLE_INIT after the message; *table
// is null or holds the table, which the caller releases on every path.
int setup_erase_table(FSI *fsi, uint8_t **table);

// Queries the game flash into *fsi and sets up its erase table in *table. 0, or
// RESULT_NOT_RESPONDING or a setup_erase_table code after the message; on failure *table
// may hold a table that the caller releases.
int setup_game_space(FSI *fsi, uint8_t **table);

// BootData checks, then the three game images from offset 32768 and BootData at 0. Sets up
// the game flash erase table in *table (released by the caller, also on failure).
int update_game_flash(FSI *fsi, uint8_t **table);

// tavboot.rom and its zero fill into the last 32768 bytes of the game flash.
int write_boot_image(FSI *fsi, uint8_t *table);

// What a load writes, for a load that writes only the erase blocks whose contents change: each
// puts its own part of [offset, offset + count) of its space into dest (dest[0] stands for
// offset), leaving the rest of dest as it is. 1, or -1 when a file cannot be read there.
// sf.rom in the sound space.
int plan_sound_image(uint32_t offset, uint8_t *dest, uint32_t count);
// BootData at 0 and the three game images behind it; update_game_flash must have read BootData.
int plan_game_images(uint32_t offset, uint8_t *dest, uint32_t count);
// tavboot.rom and its zero fill.
int plan_boot_image(uint32_t offset, uint8_t *dest, uint32_t count);
