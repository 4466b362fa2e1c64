// Block erase, the erase of one erase unit (a whole device on a boot-block device), and the erase
// blocks of a space as its devices have them.
#include "flash/commands.h"
#include "flash/erase_unit.h"
#include "flash/flash.h"
#include "flash/print_error.h"
#include "flash/run_checks.h"

namespace {

constexpr uint32_t kEraseLimit = 20000;   // ticks, about 2000 s

// A bottom boot-block device: a 16 KB boot block, two 8 KB parameter blocks and a 96 KB main
// block below 128 KB, then 128 KB main blocks up to its end.
constexpr uint32_t kSmallBlocks[] = {0x00000, 0x04000, 0x06000, 0x08000};
constexpr uint32_t kSmallBlockCount = 4;
constexpr uint32_t kMainBlockBytes = 0x20000;   // also where the first 128 KB main block starts

// The boot-block device sizes whose block layout is known: 256 KB, 512 KB and 1 MB.
bool boot_layout_known(uint32_t device_size) {
    return device_size == 0x40000 || device_size == 0x80000 || device_size == 0x100000;
}

uint32_t boot_blocks_per_device(uint32_t device_size) {
    return kSmallBlockCount + (device_size - kMainBlockBytes) / kMainBlockBytes;
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

    // The four small blocks go first, then the main blocks from the top down.
    for (uint32_t start : kSmallBlocks) {
        if (flash_erase_block(fsi, start) != 1) return -1;
    }
    if (!boot_layout_known(fsi->device_size)) return -1;
    for (uint32_t start = fsi->device_size - kMainBlockBytes; start >= kMainBlockBytes; start -= kMainBlockBytes) {
        if (flash_erase_block(fsi, start) != 1) return -1;
    }
    return 1;
}

uint32_t flash_block_count(const FSI *fsi) {
    if (fsi->boot_block == 0) return flash_erase_units_fit(fsi) ? (uint32_t)(fsi->size / flash_erase_unit(fsi)) : 0;
    if (!boot_layout_known(fsi->device_size) || fsi->size % fsi->device_size != 0) return 0;
    return fsi->size / fsi->device_size * boot_blocks_per_device(fsi->device_size);
}

int flash_block_at(const FSI *fsi, uint32_t offset, uint32_t *index, uint32_t *start, uint32_t *length) {
    if (flash_check_offset("flash_block_at", fsi, offset) != 1) return -1;
    if (flash_block_count(fsi) == 0) {
        print_error("flash_block_at(): no erase block layout for the devices of space %d\n", (int)fsi->space);
        return -1;
    }
    if (fsi->boot_block == 0) {
        uint32_t unit = (uint32_t)flash_erase_unit(fsi);
        *index = offset / unit;
        *start = *index * unit;
        *length = unit;
        return 1;
    }
    // A device smaller than the space shows up again and again through it: each copy has its
    // own entries, after those of the copies below it.
    uint32_t copy = offset / fsi->device_size;
    uint32_t at = offset % fsi->device_size;
    uint32_t block;
    uint32_t begin;
    uint32_t end;
    if (at >= kMainBlockBytes) {
        block = kSmallBlockCount + (at - kMainBlockBytes) / kMainBlockBytes;
        begin = at - at % kMainBlockBytes;
        end = begin + kMainBlockBytes;
    } else {
        block = kSmallBlockCount - 1;
        while (at < kSmallBlocks[block]) block--;
        begin = kSmallBlocks[block];
        end = block + 1 < kSmallBlockCount ? kSmallBlocks[block + 1] : kMainBlockBytes;
    }
    *index = copy * boot_blocks_per_device(fsi->device_size) + block;
    *start = copy * fsi->device_size + begin;
    *length = end - begin;
    return 1;
}
