// Reading a run of bytes out of a memory space, a window page at a time.
#include "flash/board_access.h"
#include "flash/commands.h"
#include "flash/erase_unit.h"
#include "flash/flash.h"
#include "flash/run_checks.h"

int flash_read(FSI *fsi, uint32_t offset, uint8_t *dest, uint32_t count) {
    if (flash_check_run("flash_read", fsi, offset, count, dest) != 1) return -1;
    do {
        uint32_t length = flash_chunk_length(fsi, offset, count);
        uint32_t address;
        if (flash_select_page(fsi, offset, &address) != 1) return -1;
        flash_set_mode(fsi, offset, FLASH_READ_ARRAY);
        board_copy_out(board_window, address, dest, length);
        offset += length;
        dest += length;
        count -= length;
    } while (count > 0);
    return 1;
}
