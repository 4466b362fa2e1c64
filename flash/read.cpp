// Reading a run of bytes out of a memory space, a window page at a time.
#include "flash/board_access.h"
#include "flash/erase_unit.h"
#include "flash/flash.h"
#include "loader/print_error.h"

int flash_read(FSI *fsi, uint32_t offset, uint8_t *dest, uint32_t count) {
    if (fsi == nullptr) {
        print_error("flash_read(): NULL FSI pointer\n");
        return -1;
    }
    if (fsi->interleave == 0 || offset % fsi->interleave != 0) {
        print_error("flash_read(): offset (0x%x) not aligned to (%d) bytes\n", offset, (int)fsi->interleave);
        return -1;
    }
    if (fsi->width == 0 || count % fsi->width != 0) {
        print_error("flash_read(): count (%d) not a multiple of (%d) bytes\n", (int)count, (int)fsi->width);
        return -1;
    }
    if (offset >= fsi->size) {
        print_error("flash_read(): offset (0x%x) out of range (0 - 0x%x)\n", offset, fsi->size);
        return -1;
    }
    if ((uint64_t)offset + count > fsi->size) {
        print_error("flash_read(): offset (0x%x) + count (%d) > (0x%x)\n", offset, (int)count, fsi->size);
        return -1;
    }
    if (dest == nullptr) {
        print_error("flash_read(): NULL data pointer\n");
        return -1;
    }
    do {
        uint32_t length = flash_chunk_length(fsi, offset, count);
        if (isa_tav_map_page(fsi->space, offset / fsi->page_size) == 0) return -1;
        flash_set_mode(fsi, offset, 0xFF);
        board_copy_out(board_window, offset % fsi->page_size, dest, length);
        offset += length;
        dest += length;
        count -= length;
    } while (count > 0);
    return 1;
}
