// The command primitive: one command code written to every device of a bus word.
#include "flash/board_access.h"
#include "flash/flash.h"
#include "flash/print_error.h"

void flash_set_mode(FSI *fsi, uint32_t offset, int mode) {
    offset &= ~(fsi->interleave - 1);
    if (offset >= fsi->size) {
        print_error("flash_set_mode(): offset (0x%x) out of range (0 - 0x%x)\n", offset, fsi->size);
        return;
    }
    if (isa_tav_map_page(fsi->space, offset / fsi->page_size) == 0) return;

    uint32_t address = offset % fsi->page_size;
    uint32_t position = 0;
    for (uint32_t device = 0; device < fsi->interleave; device++) {
        if (fsi->width == 1) {
            board_write8(board_window, address + position, (uint8_t)mode);
            position += 1;
        } else if (fsi->width == 2) {
            board_write16(board_window, address + position, (uint16_t)mode);
            position += 2;
        } else {
            print_error("flash_set_mode(): bad device width (%d)\n", (int)fsi->width);
        }
    }
}
