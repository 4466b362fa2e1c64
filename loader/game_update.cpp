// The game flash update: BootData read and checked, the three game images copied back to
// back from offset 32768, then BootData written at offset 0.
#include <string>

#include "loader/boot_data.h"
#include "loader/input_check.h"
#include "loader/loader.h"
#include "loader/tav_info.h"
#include "loader/update.h"
#include "loader/update_files.h"

namespace {

// Held whole from its read until it is written last.
BootData boot_data;

struct GameImage {
    const char *base;
    const char *lead;
    int open_code;
    int read_code;
    int write_code;
};

const GameImage game_images[3] = {
    {"im_flsh0.rom", PROGRESS_SEPARATOR, RESULT_IM_FLSH0_OPEN, RESULT_IM_FLSH0_READ, RESULT_IM_FLSH0_WRITE},
    {"game.rom", PROGRESS_COUNTER_END PROGRESS_SEPARATOR, RESULT_GAME_OPEN, RESULT_GAME_READ, RESULT_GAME_WRITE},
    {"symbols.rom", PROGRESS_COUNTER_END PROGRESS_SEPARATOR, RESULT_SYMBOLS_OPEN, RESULT_SYMBOLS_READ,
     RESULT_SYMBOLS_WRITE},
};

}  // namespace

int plan_game_images(uint32_t offset, uint8_t *dest, uint32_t count) {
    const uint8_t *boot = reinterpret_cast<const uint8_t *>(&boot_data);
    for (uint32_t i = 0; i < count && offset + i < BOOT_DATA_BYTES; i++) dest[i] = boot[offset + i];
    const uint32_t longs[3] = {boot_data.boot_im_flsh0_longs, boot_data.boot_game_longs,
                               boot_data.boot_symbols_longs};
    uint32_t start = GAME_IMAGES_OFFSET;
    for (int i = 0; i < 3; i++) {
        std::string name = update_file_name(game_images[i].base);
        if (put_planned_file(name.c_str(), start, 4 * longs[i], 0, offset, dest, count) != 1) return -1;
        start += 4 * longs[i];
    }
    return 1;
}

int update_game_flash(FSI *fsi, uint8_t **table) {
    progress(PROGRESS_SEPARATOR "Preparing to update game FLASH...");
    std::string boot_name = update_file_name("bootdata.rom");
    int code = read_boot_data(boot_name.c_str(), &boot_data);
    if (code != RESULT_OK) return code;
    progress("(%ld - V%ld.%ld)\n", static_cast<long>(boot_data.boot_game_id),
             static_cast<long>(boot_data.boot_version_major), static_cast<long>(boot_data.boot_version_minor));
    code = check_boot_data(boot_name.c_str(), &boot_data);
    if (code != RESULT_OK) return code;

    code = setup_game_space(fsi, table);
    if (code != RESULT_OK) return code;

    const uint32_t longs[3] = {boot_data.boot_im_flsh0_longs, boot_data.boot_game_longs,
                               boot_data.boot_symbols_longs};
    uint32_t offset = GAME_IMAGES_OFFSET;
    for (int i = 0; i < 3; i++) {
        std::string name = update_file_name(game_images[i].base);
        CopyJob job = {};
        job.file_name = name.c_str();
        job.lead = game_images[i].lead;
        job.title = "Updating game FLASH with";
        job.offset = offset;
        job.count = 4 * longs[i];
        job.checksum = &tav_info.game_checksum;
        job.size = &tav_info.game_size;
        job.open_code = game_images[i].open_code;
        job.read_code = game_images[i].read_code;
        job.write_code = game_images[i].write_code;
        job.open_newline = 1;
        code = copy_file_to_flash(fsi, *table, &job, &offset);
        if (code != RESULT_OK) return code;
    }

    // BootData last, so that the board only boots the images once all three are in place.
    progress(PROGRESS_COUNTER_END PROGRESS_SEPARATOR "Updating game FLASH with (%s)...%8lu", boot_name.c_str(),
             static_cast<unsigned long>(BOOT_DATA_BYTES));
    if (flash_write(fsi, 0, reinterpret_cast<const uint8_t *>(&boot_data), BOOT_DATA_BYTES, *table) != 1) {
        return report_write_failure(boot_name.c_str(), RESULT_BOOTDATA_WRITE);
    }
    sum_longs(reinterpret_cast<const uint8_t *>(&boot_data), BOOT_DATA_BYTES, &tav_info.game_checksum);
    tav_info.game_size += static_cast<int32_t>(BOOT_DATA_BYTES);
    progress(PROGRESS_COUNTER_END);
    return RESULT_OK;
}
