// The sound flash update: sf.rom into the boot-block sound device of space 8, or into
// space 1 on boards where space 8 does not answer.
#include <string>

#include "loader/input_check.h"
#include "loader/loader.h"
#include "loader/tav_info.h"
#include "loader/update.h"
#include "loader/update_files.h"

int plan_sound_image(uint32_t offset, uint8_t *dest, uint32_t count) {
    return put_planned_file(update_file_name("sf.rom").c_str(), 0, SOUND_IMAGE_BYTES, 0, offset, dest, count);
}

int update_sound_flash(FSI *fsi) {
    progress(PROGRESS_SEPARATOR "Preparing to update sound FLASH...\n");
    std::string name = update_file_name("sf.rom");

    // The file is checked again before the sound flash is touched at all: it may have
    // changed since the load checked its files.
    int present = 0;
    int code = check_sound_file(name.c_str(), &present);
    if (code != RESULT_OK || present == 0) return code;

    if (flash_query(FLASH_SPACE_SOUND, fsi) != 1 && flash_query(FLASH_SPACE_GAME_HIGH, fsi) != 1) {
        return report_not_responding();
    }
    code = check_sound_fits(name.c_str(), fsi);
    if (code != RESULT_OK) return code;

    uint8_t *table = nullptr;
    code = setup_erase_table(fsi, &table);
    if (code != RESULT_OK) {
        flash_free_erase_table(fsi, table);
        return code;
    }

    CopyJob job = {};
    job.file_name = name.c_str();
    job.lead = PROGRESS_SEPARATOR;
    job.title = "Updating sound FLASH with";
    job.offset = 0;
    job.count = SOUND_IMAGE_BYTES;
    job.checksum = &tav_info.sound_checksum;
    job.size = nullptr;
    job.open_code = RESULT_SOUND_OPEN;
    job.read_code = RESULT_SOUND_READ;
    job.write_code = RESULT_SOUND_WRITE;
    job.open_newline = 0;
    uint32_t end = 0;
    code = copy_file_to_flash(fsi, table, &job, &end);
    flash_free_erase_table(fsi, table);
    if (code != RESULT_OK) return code;

    progress(PROGRESS_COUNTER_END);
    tav_info.sound_size = static_cast<int32_t>(SOUND_IMAGE_BYTES);
    return RESULT_OK;
}
