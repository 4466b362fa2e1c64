// The sound flash update: sf.rom into the boot-block sound device of space 8, or into
// space 1 on boards where space 8 does not answer.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "loader/loader.h"
#include "loader/tav_info.h"
#include "loader/update.h"
#include "loader/update_files.h"

namespace {

constexpr uint32_t SOUND_IMAGE_BYTES = 1048576;

uint8_t compare_buffer[TRANSFER_BYTES];

// A sound device smaller than the space shows up repeatedly through it, and each repeat
// erases and rewrites the whole device: only an image made of identical copies of its first
// device_size bytes ends up stored as written. Compares byte k with byte k - device_size,
// streamed through two descriptors. 0 when the image repeats, else a result code.
int check_sound_repeats(const char *name, uint32_t device_size) {
    int lead = open_update_file(name);
    if (lead < 0) {
        std::fprintf(stderr, "%s: unable to open file (%s) - %s\n", program_name, name, std::strerror(errno));
        return RESULT_SOUND_OPEN;
    }
    int follow = open_update_file(name);
    if (follow < 0) {
        std::fprintf(stderr, "%s: unable to open file (%s) - %s\n", program_name, name, std::strerror(errno));
        close_update_file(lead);
        return RESULT_SOUND_OPEN;
    }
    int code = RESULT_OK;
    // Move the leading descriptor one device ahead by reading through the first copy.
    uint32_t skip = device_size;
    while (skip != 0 && code == RESULT_OK) {
        uint32_t want = skip < TRANSFER_BYTES ? skip : TRANSFER_BYTES;
        long n = read_update_chunk(lead, transfer_buffer, want);
        if (n != static_cast<long>(want)) {
            std::fprintf(stderr, "\n%s: unable to read file (%s) - %s\n", program_name, name, read_error_text(n));
            code = RESULT_SOUND_READ;
        }
        skip -= want;
    }
    uint32_t remaining = SOUND_IMAGE_BYTES - device_size;
    while (remaining != 0 && code == RESULT_OK) {
        uint32_t want = remaining < TRANSFER_BYTES ? remaining : TRANSFER_BYTES;
        long a = read_update_chunk(lead, transfer_buffer, want);
        long b = a == static_cast<long>(want) ? read_update_chunk(follow, compare_buffer, want) : a;
        if (a != static_cast<long>(want) || b != static_cast<long>(want)) {
            long failed = a != static_cast<long>(want) ? a : b;
            std::fprintf(stderr, "\n%s: unable to read file (%s) - %s\n", program_name, name, read_error_text(failed));
            code = RESULT_SOUND_READ;
        } else if (std::memcmp(transfer_buffer, compare_buffer, want) != 0) {
            std::fprintf(stderr, "%s: file (%s) does not fit the %lu byte sound FLASH\n", program_name, name,
                         static_cast<unsigned long>(device_size));
            code = RESULT_SOUND_TOO_LARGE;
        }
        remaining -= want;
    }
    close_update_file(follow);
    close_update_file(lead);
    return code;
}

}  // namespace

int update_sound_flash(FSI *fsi) {
    progress(PROGRESS_SEPARATOR "Preparing to update sound FLASH...\n");
    std::string name = update_file_name("sf.rom");

    // The file is checked before the sound flash is touched at all.
    struct stat info;
    if (stat(name.c_str(), &info) != 0) {
        if (run_options.sfonly) {
            std::fprintf(stderr, "%s: -sfonly specified, but file (%s) is not present\n", program_name, name.c_str());
            return RESULT_OPTION_CONFLICT;
        }
        return RESULT_OK;
    }
    if (info.st_size != static_cast<long long>(SOUND_IMAGE_BYTES)) {
        std::fprintf(stderr, "%s: file (%s) present but wrong size %lld != %lu\n", program_name, name.c_str(),
                     static_cast<long long>(info.st_size), static_cast<unsigned long>(SOUND_IMAGE_BYTES));
        return RESULT_SOUND_WRONG_SIZE;
    }

    if (flash_query(FLASH_SPACE_SOUND, fsi) != 1 && flash_query(FLASH_SPACE_GAME_HIGH, fsi) != 1) {
        return report_not_responding();
    }
    if (fsi->boot_block == 1 && fsi->device_size != 0 && fsi->device_size < SOUND_IMAGE_BYTES) {
        int code = check_sound_repeats(name.c_str(), fsi->device_size);
        if (code != RESULT_OK) return code;
    }

    uint8_t *table = nullptr;
    int code = setup_erase_table(fsi, &table);
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
