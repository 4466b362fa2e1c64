// Identification of the flash devices of a memory space: the Common Flash Interface query
// for the game flash (spaces 0 and 1), the manufacturer and device codes for the
// boot-block sound flash (space 8).
#include "flash/board_access.h"
#include "flash/commands.h"
#include "flash/flash.h"
#include "flash/print_error.h"
#include "flash/run_checks.h"

namespace {

constexpr uint8_t kIntelManufacturer = 0x89;

// Byte of query (or identifier) field `field` of device `device`, with page 0 selected.
uint8_t query_byte(const FSI *fsi, uint32_t field, uint32_t device) {
    return board_read8(board_window, 2 * field * fsi->interleave + device * fsi->width);
}

void fill_space(FSI *fsi, uint32_t size, int32_t space) {
    fsi->base = board_window;
    fsi->size = size;
    fsi->interleave = 1;
    fsi->width = 1;
    fsi->space = space;
    fsi->page_size = 0x4000;
    fsi->page_count = size / fsi->page_size;
}

// CFI query of the devices at offset 0. 1 with the geometry of the last device, -1 when
// a device does not answer with "QRY" (the devices are set back to read array).
int identify_by_query(int32_t space, FSI *fsi, uint32_t *device_size, uint32_t *block_size) {
    flash_set_mode(fsi, 0, FLASH_READ_QUERY);
    for (uint32_t device = 0; device < fsi->interleave; device++) {
        if (query_byte(fsi, 0x10, device) != 0x51 || query_byte(fsi, 0x11, device) != 0x52 ||
            query_byte(fsi, 0x12, device) != 0x59) {
            flash_set_mode(fsi, 0, FLASH_READ_ARRAY);
            return -1;
        }
        uint32_t size = 1u << (query_byte(fsi, 0x27, device) % 32);
        // First erase-block region only: block count - 1, then block size / 256.
        uint32_t blocks = (uint32_t)query_byte(fsi, 0x2E, device) * 256 + query_byte(fsi, 0x2D, device) + 1;
        uint32_t block = ((uint32_t)query_byte(fsi, 0x30, device) * 256 + query_byte(fsi, 0x2F, device)) * 256;
        if ((uint64_t)blocks * block != size) {
            print_error("flash_query(0x%X): device geometry error %d * %d != %d\n", (unsigned)space, (int)blocks,
                        (int)block, (int)size);
        }
        *device_size = size;
        *block_size = block;
    }
    return 1;
}

// Manufacturer and device codes of a boot-block device at offset 0. 1 with its size, -1
// when a code is not accepted (the devices are set back to read array).
int identify_by_codes(FSI *fsi, uint32_t *device_size, uint32_t *block_size) {
    flash_set_mode(fsi, 0, FLASH_READ_IDENTIFIER);
    for (uint32_t device = 0; device < fsi->interleave; device++) {
        uint8_t manufacturer = query_byte(fsi, 0, device);
        uint8_t code = query_byte(fsi, 1, device);
        uint32_t size = 0;
        if (code == 0x75) size = 0x40000;
        else if (code == 0x71) size = 0x80000;
        else if (code == 0x9D) size = 0x100000;
        if (manufacturer != kIntelManufacturer || size == 0) {
            flash_set_mode(fsi, 0, FLASH_READ_ARRAY);
            return -1;
        }
        *device_size = size;
        *block_size = size;
    }
    fsi->boot_block = 1;
    return 1;
}

}  // namespace

int lowest_bit_index(uint32_t value) {
    for (int bit = 0; bit < 32; bit++) {
        if (value & (1u << bit)) return bit + 1;
    }
    return 0;
}

int flash_query(int32_t space, FSI *fsi) {
    if (flash_check_fsi("flash_query", fsi) != 1) return -1;
    fsi->boot_block = 0;

    uint32_t device_size = 0;
    uint32_t block_size = 0;
    switch (space) {
        case 0:
            fill_space(fsi, 0x400000, 0);
            isa_tav_map_page(0, 0);
            break;
        case 1:
            // The upper megabyte of an 8 MB game device: the device is asked through page 0
            // of space 0, where it answers as well.
            fill_space(fsi, 0x100000, 0);
            isa_tav_map_page(0, 0);
            break;
        case 8:
            fill_space(fsi, 0x100000, 8);
            isa_tav_map_page(8, 0);
            break;
        default:
            print_error("flash_query(): invalid memory space 0x%x\n", (unsigned)space);
            return -1;
    }
    // Whatever an earlier run left the devices in, they are judged from a clean start.
    flash_recover(fsi);
    int found = space == 8 ? identify_by_codes(fsi, &device_size, &block_size)
                           : identify_by_query(space, fsi, &device_size, &block_size);
    if (found != 1) return -1;

    fsi->block_size = block_size;
    fsi->block_shift = lowest_bit_index(block_size) - 1;
    fsi->device_size = device_size;

    if (space == 1) {
        // Only an 8 MB device has an upper megabyte. The device was left in query mode:
        // back to read array, as after every failed identification.
        if (fsi->device_size != 0x800000) {
            flash_set_mode(fsi, 0, FLASH_READ_ARRAY);
            return -1;
        }
        fsi->size = 0x100000;
        fsi->space = 1;
    }
    return flash_check_status(fsi, 0);
}
