// The boot image tavboot.rom: the last 32768 bytes of the game flash, the file followed by
// zero bytes when it is shorter.
#include <string>

#include "loader/boot_data.h"
#include "loader/input_check.h"
#include "loader/loader.h"
#include "loader/update.h"
#include "loader/update_files.h"

namespace {

const uint8_t zero_fill[TAVBOOT_BYTES] = {};

}  // namespace

int plan_boot_image(uint32_t offset, uint8_t *dest, uint32_t count) {
    return put_planned_file(update_file_name("tavboot.rom").c_str(), TAVBOOT_OFFSET, TAVBOOT_BYTES, 1, offset, dest,
                            count);
}

int write_boot_image(FSI *fsi, uint8_t *table) {
    std::string name = update_file_name("tavboot.rom");
    // Checked again: it may have changed since the load checked its files.
    int code = check_boot_image(name.c_str());
    if (code != RESULT_OK) return code;
    progress(PROGRESS_SEPARATOR "Updating information database and (%s)...%8lu", name.c_str(),
             static_cast<unsigned long>(TAVBOOT_BYTES));
    int fd = open_update_file(name.c_str());
    if (fd < 0) return report_open_failure(name.c_str(), 1, RESULT_TAVBOOT_OPEN);
    uint32_t offset = TAVBOOT_OFFSET;
    uint32_t remaining = TAVBOOT_BYTES;
    while (remaining != 0) {
        uint32_t want = remaining < TRANSFER_BYTES ? remaining : TRANSFER_BYTES;
        long n = read_update_chunk(fd, transfer_buffer, want);
        if (n < 0) {
            report_read_failure(name.c_str(), read_error_text(n), RESULT_TAVBOOT_READ);
            close_update_file(fd);
            return RESULT_TAVBOOT_READ;
        }
        uint32_t got = static_cast<uint32_t>(n);
        if (got != 0 && flash_write(fsi, offset, transfer_buffer, got, table) != 1) {
            close_update_file(fd);
            return report_write_failure(name.c_str(), RESULT_TAVBOOT_WRITE);
        }
        if (got != 0) progress_counter(remaining);
        remaining -= got;
        offset += got;
        // A short chunk, or none, is the end of the file (an empty file, or one that ended
        // with the last full chunk): the rest of the 32768 bytes are zeros.
        if (got < want && remaining != 0) {
            if (flash_write(fsi, offset, zero_fill, remaining, table) != 1) {
                close_update_file(fd);
                return report_write_failure(name.c_str(), RESULT_TAVBOOT_WRITE);
            }
            offset += remaining;
            remaining = 0;
        }
    }
    close_update_file(fd);
    progress(PROGRESS_COUNTER_END);
    return RESULT_OK;
}
