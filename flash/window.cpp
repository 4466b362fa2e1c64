// The board memory window and its page registers. The board shows one 16 KB page of one
// flash memory space at a time; four write-only page registers choose the page and space.
#include <cstdio>

#include "flash/board_access.h"
#include "flash/flash.h"

uint8_t *board_window = nullptr;

namespace {

// Set for a run that selects a page only when it changes: the registers then hold
// selected_address (space and page) once selected_known is set.
bool select_changes_only = false;
bool selected_known = false;
uint32_t selected_address = 0;

}  // namespace

void isa_tav_select_changes_only(int on) {
    select_changes_only = on != 0;
    selected_known = false;
}

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

    const uint32_t address = ((uint32_t)space << 16) | page;
    if (select_changes_only && selected_known && selected_address == address) return 1;

    board_write_page_register(board_window, 0, (uint8_t)(page & 0xF));
    board_write_page_register(board_window, 1, (uint8_t)((page >> 4) & 0xF));
    board_write_page_register(board_window, 2, (uint8_t)((page >> 8) & 0xF));
    board_write_page_register(board_window, 3, (uint8_t)(((uint32_t)space | (page >> 12)) & 0xF));
    selected_known = select_changes_only;
    selected_address = address;
    return 1;
}
