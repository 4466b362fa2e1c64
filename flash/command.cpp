// The command primitive: one command code written to every device of a bus word.
#include "flash/board_access.h"
#include "flash/flash.h"
#include "flash/print_error.h"
#include "flash/run_checks.h"

void flash_set_mode(FSI *fsi, uint32_t offset, int mode) {
    uint32_t address;
    if (flash_locate("flash_set_mode", fsi, &offset, &address) != 1) return;

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
