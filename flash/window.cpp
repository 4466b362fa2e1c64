// The board memory window and its page registers. The board shows one 16 KB page of one
// flash memory space at a time; four write-only page registers choose the page and space.
#include <cstdio>

#include "flash/board_access.h"
#include "flash/flash.h"

uint8_t *board_window = nullptr;

int isa_tav_map_page(int32_t space, uint32_t page) {
    uint32_t limit;
    switch (space) {
        case 0: limit = 256; break;
        case 1: limit = 64; break;
        case 8: limit = 64; break;
        default: return 0;
    }
    if (page >= limit) {
        printf("isa_tav_map_page(%ld, %d): page (%d) is out of range (0-%d)\n", (long)space, (int)page,
               (int)page, (int)(limit - 1));
        return 0;
    }
    // Space 1 is the upper part of an 8 MB game device: its pages follow the 256 of space 0.
    if (space == 1) page += 256;

    board_write_page_register(board_window, 0, (uint8_t)(page & 0xF));
    board_write_page_register(board_window, 1, (uint8_t)((page >> 4) & 0xF));
    board_write_page_register(board_window, 2, (uint8_t)((page >> 8) & 0xF));
    board_write_page_register(board_window, 3, (uint8_t)(((uint32_t)space | (page >> 12)) & 0xF));
    return 1;
}
