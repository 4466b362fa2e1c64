// Block erase, and the erase of one erase unit (a whole device on a boot-block device).
#include "flash/commands.h"
#include "flash/flash.h"
#include "flash/run_checks.h"

namespace {

constexpr uint32_t kEraseLimit = 20000;   // ticks, about 2000 s

// A bottom boot-block device: a 16 KB boot block, two 8 KB parameter blocks and a 96 KB
// main block below 128 KB, then 128 KB main blocks. The four small blocks go first, then
// the main blocks from the top down.
constexpr uint32_t kBootBlocks[] = {0x00000, 0x04000, 0x06000, 0x08000};
constexpr uint32_t kMainBlocks1M[] = {0xE0000, 0xC0000, 0xA0000, 0x80000, 0x60000, 0x40000, 0x20000};
constexpr uint32_t kMainBlocks512K[] = {0x60000, 0x40000, 0x20000};
constexpr uint32_t kMainBlocks256K[] = {0x20000};

int erase_blocks(FSI *fsi, const uint32_t *offsets, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        if (flash_erase_block(fsi, offsets[i]) != 1) return -1;
    }
    return 1;
}

}  // namespace

int flash_erase_block(FSI *fsi, uint32_t offset) {
    flash_set_mode(fsi, offset, FLASH_BLOCK_ERASE);
    flash_set_mode(fsi, offset, FLASH_CONFIRM);
    int result = flash_wait(fsi, offset, kEraseLimit);
    flash_set_mode(fsi, offset, FLASH_READ_ARRAY);
    return result;
}

int flash_erase(FSI *fsi, uint32_t offset) {
    if (flash_check_fsi("flash_erase", fsi) != 1) return -1;
    if (flash_check_offset("flash_erase", fsi, offset) != 1) return -1;
    if (fsi->boot_block == 0) return flash_erase_block(fsi, offset);

    if (erase_blocks(fsi, kBootBlocks, 4) != 1) return -1;
    switch (fsi->device_size) {
        case 0x100000: return erase_blocks(fsi, kMainBlocks1M, 7);
        case 0x80000: return erase_blocks(fsi, kMainBlocks512K, 3);
        case 0x40000: return erase_blocks(fsi, kMainBlocks256K, 1);
        default: return -1;
    }
}
