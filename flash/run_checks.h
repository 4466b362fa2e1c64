// The argument checks the driver routines share, with the calling routine's name in each
// message, and the preamble of every routine that addresses one bus word.
#pragma once

#include <cstdint>

#include "flash/flash.h"

// 1 when fsi is not null, else -1 after "<routine>(): NULL FSI pointer".
int flash_check_fsi(const char *routine, const FSI *fsi);

// 1 when the space is a whole number of erase units (flash_erase_units_fit), else -1 after
// "<routine>(): erase unit (0x..) does not divide size (0x..)".
int flash_check_units(const char *routine, const FSI *fsi);

// 1 when offset lies inside the space, else -1 after
// "<routine>(): offset (0x..) out of range (0 - 0x..)".
int flash_check_offset(const char *routine, const FSI *fsi, uint32_t offset);

// Aligns *offset down to the start of its bus word and checks that it lies inside the space
// (flash_check_offset). 1, or -1 after its message.
int flash_align_offset(const char *routine, const FSI *fsi, uint32_t *offset);

// Selects the window page that holds offset and gives offset's place in the window in
// *address. 1, or -1 when the page cannot be selected (isa_tav_map_page's own message, or
// none for an unknown space).
int flash_select_page(const FSI *fsi, uint32_t offset, uint32_t *address);

// The preamble of a routine on one bus word: flash_align_offset, then flash_select_page.
// 1 with the aligned *offset and its *address, else -1 as those two fail.
int flash_locate(const char *routine, const FSI *fsi, uint32_t *offset, uint32_t *address);

// Checks the record, the offset's alignment, the count's multiple of the device width, the
// offset and the run inside the space, and the data pointer. 1 when all hold, else -1
// after the message of the first that fails ("<routine>(): ...").
int flash_check_run(const char *routine, const FSI *fsi, uint32_t offset, uint32_t count, const void *data);
