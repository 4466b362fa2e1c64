// A whole load: the new record prepared, the old one erased, the sound and game updates,
// the boot image, and the sealed record written last.
#include <cstdio>
#include <cstring>

#include "loader/input_check.h"
#include "loader/loader.h"
#include "loader/tav_info.h"
#include "loader/update.h"
#include "loader/update_files.h"

uint32_t info_offset;

namespace {

// The record and tavboot.rom share the last erase block of the game flash; below this
// block size they would overlap.
constexpr uint32_t MIN_GAME_BLOCK_BYTES = 65536;

int write_tav_info(FSI *fsi, uint8_t *table) {
    seal_tav_info(&tav_info);
    if (flash_write(fsi, info_offset, reinterpret_cast<const uint8_t *>(&tav_info), TAV_INFO_BYTES, table) != 1) {
        std::fprintf(stderr, "%s: unable to write FLASH from TAVInfo\n", program_name);
        return RESULT_INFO_ACCESS;
    }
    return RESULT_OK;
}

// The game flash part of a load, with the one erase table it shares; the table is
// released on every path.
int update_game_side(FSI *fsi) {
    uint8_t *table = nullptr;
    int code = run_options.sfonly ? setup_game_space(fsi, &table) : update_game_flash(fsi, &table);
    if (code == RESULT_OK) code = write_boot_image(fsi, table);
    if (code == RESULT_OK) code = write_tav_info(fsi, table);
    if (table != nullptr) flash_free_erase_table(fsi, table);
    return code;
}

// What the load leaves in [offset, offset + count) of the space *fsi, for a load that writes
// only the erase blocks whose contents change. The information record is left out: its block is
// erased at the start, so the record is always written onto erased cells.
int planned_contents(void *, const FSI *fsi, uint32_t offset, uint8_t *dest, uint32_t count) {
    std::memset(dest, 0xFF, count);
    if (fsi->space != FLASH_SPACE_GAME) return plan_sound_image(offset, dest, count);
    if (!run_options.sfonly && plan_game_images(offset, dest, count) != 1) return -1;
    return plan_boot_image(offset, dest, count);
}

int run_load(void) {
    FSI fsi;
    prepare_tav_info(&tav_info, run_options.game_number);

    if (flash_query(FLASH_SPACE_GAME, &fsi) != 1) return report_not_responding();
    if (fsi.block_size < MIN_GAME_BLOCK_BYTES) {
        std::fprintf(stderr, "%s: game FLASH erase blocks of %lu bytes are too small for the update layout\n",
                     program_name, static_cast<unsigned long>(fsi.block_size));
        return RESULT_BLOCKS_TOO_SMALL;
    }
    info_offset = tav_info_offset(&fsi);
    // Every file the load needs is found and checked before the erase: a mistake in them
    // leaves the board as it was.
    int code = check_load_inputs();
    if (code != RESULT_OK) return code;

    // The old record goes before anything is written: from here on the board reads as not
    // loaded until the new record is written at the very end.
    if (flash_erase(&fsi, info_offset) != 1) {
        std::fprintf(stderr, "%s: unable to erase update FLASH\n", program_name);
        return RESULT_INFO_ERASE;
    }

    if (!run_options.gfonly) {
        code = update_sound_flash(&fsi);
        if (code != RESULT_OK) return code;
    }
    code = update_game_side(&fsi);
    if (code != RESULT_OK) return code;

    progress(PROGRESS_SEPARATOR "ISA update board load complete.\n");
    return RESULT_OK;
}

}  // namespace

int load_board(void) {
    if (run_options.changed) flash_changed_begin(planned_contents, nullptr);
    int code = run_load();
    if (run_options.changed) flash_changed_end();
    return code;
}
