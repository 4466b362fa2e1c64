// The erase table: one byte per erase unit of a space, 0 until the unit has been erased
// through the table, then 1. flash_write erases each unit on its first touch.
#include <cstdlib>

#include "flash/erase_unit.h"
#include "flash/flash.h"
#include "flash/print_error.h"
#include "flash/run_checks.h"

uint8_t *flash_alloc_erase_table(FSI *fsi) {
    if (flash_check_fsi("flash_alloc_erase_table", fsi) != 1) return nullptr;
    // A unit that is larger than the space or does not divide it would leave offsets
    // without an entry (and a unit of 0 bytes has no count at all): refuse the geometry.
    if (flash_check_units("flash_alloc_erase_table", fsi) != 1) return nullptr;
    uint32_t count = (uint32_t)(fsi->size / flash_erase_unit(fsi));
    uint8_t *table = static_cast<uint8_t *>(malloc(count));
    if (table == nullptr) {
        print_error("flash_alloc_erase_table(): malloc(%d) failed\n", (int)count);
        return nullptr;
    }
    return table;
}

int flash_init_erase_table(FSI *fsi, uint8_t *table) {
    if (flash_check_fsi("flash_init_erase_table", fsi) != 1) return -1;
    if (table == nullptr) {
        print_error("flash_init_erase_table(): NULL erase table pointer\n");
        return -1;
    }
    if (flash_check_units("flash_init_erase_table", fsi) != 1) return -1;
    uint32_t count = (uint32_t)(fsi->size / flash_erase_unit(fsi));
    for (uint32_t i = 0; i < count; i++) table[i] = 0;
    return 1;
}

int flash_free_erase_table(FSI *fsi, uint8_t *table) {
    if (flash_check_fsi("flash_free_erase_table", fsi) != 1) return -1;
    free(table);
    return 1;
}
