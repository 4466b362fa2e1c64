// The boot image tavboot.rom: the last 32768 bytes of the game flash, the file followed by
// zero bytes when it is shorter.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "loader/boot_data.h"
#include "loader/loader.h"
#include "loader/update.h"
#include "loader/update_files.h"

namespace {

const uint8_t zero_fill[TAVBOOT_BYTES] = {};

}  // namespace

int write_boot_image(FSI *fsi, uint8_t *table) {
    std::string name = update_file_name("tavboot.rom");
    struct stat info;
    if (stat(name.c_str(), &info) == 0 && info.st_size > static_cast<long long>(TAVBOOT_BYTES)) {
        std::fprintf(stderr, "\n%s: file (%s) present but wrong size %lld != %lu\n", program_name, name.c_str(),
                     static_cast<long long>(info.st_size), static_cast<unsigned long>(TAVBOOT_BYTES));
        return RESULT_TAVBOOT_SIZE;
    }
    progress(PROGRESS_SEPARATOR "Updating information database and (%s)...%8lu", name.c_str(),
             static_cast<unsigned long>(TAVBOOT_BYTES));
    int fd = open_update_file(name.c_str());
    if (fd < 0) {
        std::fprintf(stderr, "\n%s: unable to open file (%s) - %s\n", program_name, name.c_str(), std::strerror(errno));
        return RESULT_TAVBOOT_OPEN;
    }
    uint32_t offset = TAVBOOT_OFFSET;
    uint32_t remaining = TAVBOOT_BYTES;
    while (remaining != 0) {
        uint32_t want = remaining < TRANSFER_BYTES ? remaining : TRANSFER_BYTES;
        long n = read_update_chunk(fd, transfer_buffer, want);
        if (n < 0) {
            const char *text = read_error_text(n);
            std::fprintf(stderr, "\n%s: unable to read file (%s) - %s\n", program_name, name.c_str(), text);
            close_update_file(fd);
            return RESULT_TAVBOOT_READ;
        }
        uint32_t got = static_cast<uint32_t>(n);
        if (got != 0 && flash_write(fsi, offset, transfer_buffer, got, table) != 1) {
            std::fprintf(stderr, "\n%s: unable to write FLASH from (%s)\n", program_name, name.c_str());
            close_update_file(fd);
            return RESULT_TAVBOOT_WRITE;
        }
        if (got != 0) progress_counter(remaining);
        remaining -= got;
        offset += got;
        // A short chunk, or none, is the end of the file (an empty file, or one that ended
        // with the last full chunk): the rest of the 32768 bytes are zeros.
        if (got < want && remaining != 0) {
            if (flash_write(fsi, offset, zero_fill, remaining, table) != 1) {
                std::fprintf(stderr, "\n%s: unable to write FLASH from (%s)\n", program_name, name.c_str());
                close_update_file(fd);
                return RESULT_TAVBOOT_WRITE;
            }
            offset += remaining;
            remaining = 0;
        }
    }
    close_update_file(fd);
    progress(PROGRESS_COUNTER_END);
    return RESULT_OK;
}
