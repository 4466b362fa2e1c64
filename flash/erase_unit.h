// Erase units and chunks: the pieces into which erase, write and read cut a memory space.
#pragma once

#include <cstdint>

#include "flash/flash.h"

// Bytes of one erase unit: the blocks at the same device offset of all devices side by side.
inline uint64_t flash_erase_unit(const FSI *fsi) { return (uint64_t)fsi->block_size * fsi->interleave; }

// True when the space is a whole number of erase units, so that every offset has its
// entry in the erase table.
inline bool flash_erase_units_fit(const FSI *fsi) {
    uint64_t unit = flash_erase_unit(fsi);
    return unit != 0 && unit <= fsi->size && fsi->size % unit == 0;
}

// Length of the chunk at offset: at most count bytes, never past the end of the erase unit
// nor of the window page that hold offset.
inline uint32_t flash_chunk_length(const FSI *fsi, uint32_t offset, uint32_t count) {
    uint32_t length = count;
    uint64_t unit = flash_erase_unit(fsi);
    if (unit != 0) {
        uint64_t unit_left = unit - offset % unit;
        if (unit_left < length) length = (uint32_t)unit_left;
    }
    uint32_t page_left = fsi->page_size - offset % fsi->page_size;
    if (page_left < length) length = page_left;
    return length;
}
