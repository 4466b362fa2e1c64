// Reading the board for a check: the game flash and the sound space whole, through the
// flash driver, with the -debug progress of a load's copies.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check/board_check.h"
#include "flash/erase_unit.h"
#include "loader/loader.h"
#include "loader/update_files.h"

namespace {

// First block of a bottom boot-block device past its 16 KB boot block, two 8 KB parameter
// blocks and 96 KB main block; 128 KB main blocks follow.
constexpr uint32_t BOOT_MAIN_START = 0x20000;
constexpr uint32_t BOOT_MAIN_BLOCK = 0x20000;
const uint32_t boot_block_starts[4] = {0x0000, 0x4000, 0x6000, 0x8000};

// Reads the whole space into a new buffer. 1 ok, -1 after the message.
int read_space(SpaceView *view, const char *title) {
    view->bytes = static_cast<uint8_t *>(std::malloc(view->fsi.size));
    if (view->bytes == nullptr) {
        std::fprintf(stderr, "%s: unable to allocate %lu bytes for the %s\n", program_name,
                     static_cast<unsigned long>(view->fsi.size), title);
        return -1;
    }
    progress(PROGRESS_SEPARATOR "Reading %s (space %ld)...%8lu", title, static_cast<long>(view->fsi.space),
             static_cast<unsigned long>(view->fsi.size));
    uint32_t offset = 0;
    while (offset < view->fsi.size) {
        uint32_t want = view->fsi.size - offset < TRANSFER_BYTES ? view->fsi.size - offset : TRANSFER_BYTES;
        if (flash_read(&view->fsi, offset, view->bytes + offset, want) != 1) {
            std::fprintf(stderr, "\n%s: unable to read %s at offset 0x%lx\n", program_name, title,
                         static_cast<unsigned long>(offset));
            return -1;
        }
        progress_counter(view->fsi.size - offset);
        offset += want;
    }
    progress(PROGRESS_COUNTER_END);
    view->present = 1;
    return 1;
}

uint32_t boot_block_count(uint32_t device_size) {
    if (device_size <= BOOT_MAIN_START) return 4;
    return 4 + (device_size - BOOT_MAIN_START) / BOOT_MAIN_BLOCK;
}

void set_block_count(SpaceView *view) {
    uint32_t count;
    if (view->fsi.boot_block == 1) {
        count = boot_block_count(view->fsi.device_size);
    } else {
        uint64_t unit = flash_erase_unit(&view->fsi);
        count = unit == 0 ? 1 : static_cast<uint32_t>((view->fsi.size + unit - 1) / unit);
    }
    view->block_count = count < CHECK_MAX_BLOCKS ? count : CHECK_MAX_BLOCKS;
}

}  // namespace

uint32_t check_block_of(const SpaceView *view, uint32_t offset) {
    uint32_t block;
    if (view->fsi.boot_block == 1 && view->fsi.device_size != 0) {
        uint32_t at = offset % view->fsi.device_size;
        if (at >= BOOT_MAIN_START) {
            block = 4 + (at - BOOT_MAIN_START) / BOOT_MAIN_BLOCK;
        } else {
            block = 3;
            while (block > 0 && at < boot_block_starts[block]) block--;
        }
    } else {
        uint64_t unit = flash_erase_unit(&view->fsi);
        block = unit == 0 ? 0 : static_cast<uint32_t>(offset / unit);
    }
    return block < view->block_count ? block : view->block_count - 1;
}

uint32_t check_segment_end(const SpaceView *view, uint32_t offset) {
    uint64_t end;
    if (view->fsi.boot_block == 1 && view->fsi.device_size != 0) {
        uint32_t copy = offset - offset % view->fsi.device_size;
        uint32_t at = offset % view->fsi.device_size;
        uint32_t block = check_block_of(view, offset);
        uint32_t block_end = block < 3 ? boot_block_starts[block + 1]
                                       : BOOT_MAIN_START + (block - 3) * BOOT_MAIN_BLOCK;
        if (block_end <= at || block_end > view->fsi.device_size) block_end = view->fsi.device_size;
        end = static_cast<uint64_t>(copy) + block_end;
    } else {
        uint64_t unit = flash_erase_unit(&view->fsi);
        end = unit == 0 ? view->fsi.size : (offset / unit + 1) * unit;
    }
    return end > view->fsi.size ? view->fsi.size : static_cast<uint32_t>(end);
}

int check_read_board(BoardCheck *check) {
    std::memset(check, 0, sizeof *check);
    if (flash_query(FLASH_SPACE_GAME, &check->game.fsi) != 1) {
        report_not_responding();
        return -1;
    }
    set_block_count(&check->game);
    check->info_offset = tav_info_offset(&check->game.fsi);
    if (check->info_offset + TAV_INFO_BYTES > check->game.fsi.size || check->game.fsi.size < TAVBOOT_OFFSET + TAVBOOT_BYTES) {
        std::fprintf(stderr, "%s: the game FLASH does not have the layout of an update\n", program_name);
        return -1;
    }
    if (read_space(&check->game, "game FLASH") != 1) return -1;
    std::memcpy(&check->record, check->game.bytes + check->info_offset, TAV_INFO_BYTES);
    check->boot = reinterpret_cast<const BootData *>(check->game.bytes);

    // The sound space as a load finds it: space 8, else space 1. Not answering is judged
    // later, against what the record says was loaded.
    if (flash_query(FLASH_SPACE_SOUND, &check->sound.fsi) == 1 ||
        flash_query(FLASH_SPACE_GAME_HIGH, &check->sound.fsi) == 1) {
        set_block_count(&check->sound);
        if (read_space(&check->sound, "sound FLASH") != 1) return -1;
    }
    return 1;
}

void check_free(BoardCheck *check) {
    std::free(check->game.bytes);
    std::free(check->sound.bytes);
    check->game.bytes = nullptr;
    check->sound.bytes = nullptr;
    check->game.present = 0;
    check->sound.present = 0;
    check->boot = nullptr;
}
