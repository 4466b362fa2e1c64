// The game flash update: BootData read and checked, the three game images copied back to
// back from offset 32768, then BootData written at offset 0.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "loader/boot_data.h"
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

// Reads bootdata.rom into boot_data. 0, or the result code after its message.
int read_boot_data(const char *name) {
    int fd = open_update_file(name);
    if (fd < 0) {
        std::fprintf(stderr, "\n%s: unable to open file (%s) - %s\n", program_name, name, std::strerror(errno));
        return RESULT_BOOTDATA_OPEN;
    }
    // Read whole: a pipe or a network share may hand the file over in pieces.
    long n = read_update_chunk(fd, reinterpret_cast<uint8_t *>(&boot_data), BOOT_DATA_BYTES);
    if (n < 0) {
        std::fprintf(stderr, "\n%s: unable to read file (%s) - %s\n", program_name, name, std::strerror(errno));
        close_update_file(fd);
        return RESULT_BOOTDATA_READ;
    }
    close_update_file(fd);
    if (n != static_cast<long>(BOOT_DATA_BYTES)) {
        std::fprintf(stderr, "\n%s: file (%s) is not %lu bytes\n", program_name, name,
                     static_cast<unsigned long>(BOOT_DATA_BYTES));
        return RESULT_BOOTDATA_SIZE;
    }
    return RESULT_OK;
}

}  // namespace

int update_game_flash(FSI *fsi, uint8_t **table) {
    progress(PROGRESS_SEPARATOR "Preparing to update game FLASH...");
    std::string boot_name = update_file_name("bootdata.rom");
    int code = read_boot_data(boot_name.c_str());
    if (code != RESULT_OK) return code;
    progress("(%ld - V%ld.%ld)\n", static_cast<long>(boot_data.boot_game_id),
             static_cast<long>(boot_data.boot_version_major), static_cast<long>(boot_data.boot_version_minor));

    if (static_cast<uint32_t>(boot_data.boot_game_id) != run_options.game_number) {
        std::fprintf(stderr, "\n%s: GamdID (%ld) of file (%s) does not match GAME# %ld\n", program_name,
                     static_cast<long>(boot_data.boot_game_id), boot_name.c_str(),
                     static_cast<long>(run_options.game_number));
        return RESULT_GAME_ID_MISMATCH;
    }

    // The images must end below the information record.
    uint64_t declared = boot_data_image_bytes(&boot_data);
    if (GAME_IMAGES_OFFSET + declared > info_offset) {
        std::fprintf(stderr, "\n%s: file (%s) declares %llu bytes of game images, %lu fit below the information record\n",
                     program_name, boot_name.c_str(), static_cast<unsigned long long>(declared),
                     static_cast<unsigned long>(info_offset - GAME_IMAGES_OFFSET));
        return RESULT_IMAGES_TOO_LARGE;
    }

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
        std::fprintf(stderr, "\n%s: unable to write FLASH from (%s)\n", program_name, boot_name.c_str());
        return RESULT_BOOTDATA_WRITE;
    }
    sum_longs(reinterpret_cast<const uint8_t *>(&boot_data), BOOT_DATA_BYTES, &tav_info.game_checksum);
    tav_info.game_size += static_cast<int32_t>(BOOT_DATA_BYTES);
    progress(PROGRESS_COUNTER_END);
    return RESULT_OK;
}
