// The update files of a load checked before anything is written: each one present, a
// regular file that opens, of a size the load can use, and BootData consistent with the
// command line and the game flash.
#include "loader/input_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "loader/loader.h"
#include "loader/update.h"
#include "loader/update_files.h"

namespace {

// Second buffer of the sound image comparison (transfer_buffer is the first).
uint8_t compare_buffer[TRANSFER_BYTES];

// BootData as the check reads it; the game update reads the file again into its own copy.
BootData checked_boot_data;

// An update file's open and read failures: their result codes, and whether the open
// message starts with a newline (it ends a progress line left open under -debug).
struct FileCodes {
    int open_code;
    int read_code;
    int open_newline;
};

const FileCodes SOUND_CODES = {RESULT_SOUND_OPEN, RESULT_SOUND_READ, 0};
const FileCodes BOOTDATA_CODES = {RESULT_BOOTDATA_OPEN, RESULT_BOOTDATA_READ, 1};
const FileCodes TAVBOOT_CODES = {RESULT_TAVBOOT_OPEN, RESULT_TAVBOOT_READ, 1};

struct GameImageFile {
    const char *base;
    FileCodes codes;
};

const GameImageFile GAME_IMAGE_FILES[3] = {
    {"im_flsh0.rom", {RESULT_IM_FLSH0_OPEN, RESULT_IM_FLSH0_READ, 1}},
    {"game.rom", {RESULT_GAME_OPEN, RESULT_GAME_READ, 1}},
    {"symbols.rom", {RESULT_SYMBOLS_OPEN, RESULT_SYMBOLS_READ, 1}},
};

// Why a file that is not a regular one cannot be read as an update file.
const char *kind_text(int kind) {
    if (kind == UPDATE_FILE_DIRECTORY) return std::strerror(EISDIR);
    if (kind == UPDATE_FILE_FIFO) return "Is a FIFO, not a regular file";
    if (kind == UPDATE_FILE_DEVICE) return "Is a device, not a regular file";
    return "Not a regular file";
}

// Opens the file and checks that it is a regular one. The descriptor, with the file's size
// in *size; or -1 with the open or read code in *code after its message.
int open_regular_file(const char *name, const FileCodes *codes, unsigned long long *size, int *code) {
    int fd = open_update_file(name);
    if (fd < 0) {
        *code = report_open_failure(name, codes->open_newline, codes->open_code);
        return -1;
    }
    int kind = UPDATE_FILE_OTHER;
    const char *refusal = nullptr;
    if (describe_update_file(fd, &kind, size) != 1) {
        refusal = std::strerror(errno);
    } else if (kind != UPDATE_FILE_REGULAR) {
        refusal = kind_text(kind);
    }
    if (refusal == nullptr) return fd;
    *code = report_read_failure(name, refusal, codes->read_code);
    close_update_file(fd);
    return -1;
}

// Opens and closes a regular file. 0 with its size in *size, or the open or read code after
// its message.
int check_regular_file(const char *name, const FileCodes *codes, unsigned long long *size) {
    int code = RESULT_OK;
    int fd = open_regular_file(name, codes, size, &code);
    if (fd >= 0) close_update_file(fd);
    return code;
}

// Compares byte k of the sound image with byte k - device_size, streamed through two
// descriptors. 0 when the image repeats, else a result code after its message.
int check_sound_repeats(const char *name, uint32_t device_size) {
    int lead = open_update_file(name);
    if (lead < 0) return report_open_failure(name, SOUND_CODES.open_newline, RESULT_SOUND_OPEN);
    int follow = open_update_file(name);
    if (follow < 0) {
        report_open_failure(name, SOUND_CODES.open_newline, RESULT_SOUND_OPEN);
        close_update_file(lead);
        return RESULT_SOUND_OPEN;
    }
    int code = RESULT_OK;
    // Move the leading descriptor one device ahead by reading through the first copy.
    uint32_t skip = device_size;
    while (skip != 0 && code == RESULT_OK) {
        uint32_t want = skip < TRANSFER_BYTES ? skip : TRANSFER_BYTES;
        long n = read_update_chunk(lead, transfer_buffer, want);
        if (n != static_cast<long>(want)) code = report_read_failure(name, read_error_text(n), RESULT_SOUND_READ);
        skip -= want;
    }
    uint32_t remaining = SOUND_IMAGE_BYTES - device_size;
    while (remaining != 0 && code == RESULT_OK) {
        uint32_t want = remaining < TRANSFER_BYTES ? remaining : TRANSFER_BYTES;
        long a = read_update_chunk(lead, transfer_buffer, want);
        long b = a;
        if (a == static_cast<long>(want)) b = read_update_chunk(follow, compare_buffer, want);
        if (a != static_cast<long>(want)) {
            code = report_read_failure(name, read_error_text(a), RESULT_SOUND_READ);
        } else if (b != static_cast<long>(want)) {
            code = report_read_failure(name, read_error_text(b), RESULT_SOUND_READ);
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

// sf.rom and the sound device it goes to.
int check_sound_input(void) {
    std::string name = update_file_name("sf.rom");
    int present = 0;
    int code = check_sound_file(name.c_str(), &present);
    if (code != RESULT_OK || present == 0) return code;
    FSI fsi;
    if (flash_query(FLASH_SPACE_SOUND, &fsi) != 1 && flash_query(FLASH_SPACE_GAME_HIGH, &fsi) != 1) {
        return report_not_responding();
    }
    return check_sound_fits(name.c_str(), &fsi);
}

// BootData and the three images it declares.
int check_game_input(void) {
    std::string name = update_file_name("bootdata.rom");
    int code = read_boot_data(name.c_str(), &checked_boot_data);
    if (code == RESULT_OK) code = check_boot_data(name.c_str(), &checked_boot_data);
    if (code == RESULT_OK) code = check_game_images(&checked_boot_data);
    return code;
}

}  // namespace

int check_sound_file(const char *name, int *present) {
    struct stat info;
    *present = stat(name, &info) == 0;
    if (*present == 0) {
        if (run_options.sfonly == 0) return RESULT_OK;
        std::fprintf(stderr, "%s: -sfonly specified, but file (%s) is not present\n", program_name, name);
        return RESULT_OPTION_CONFLICT;
    }
    unsigned long long size = 0;
    int code = check_regular_file(name, &SOUND_CODES, &size);
    if (code != RESULT_OK) return code;
    if (size != SOUND_IMAGE_BYTES) return report_wrong_size(name, size, SOUND_IMAGE_BYTES, 0, RESULT_SOUND_WRONG_SIZE);
    return RESULT_OK;
}

int check_sound_fits(const char *name, const FSI *fsi) {
    if (fsi->boot_block != 1 || fsi->device_size == 0 || fsi->device_size >= SOUND_IMAGE_BYTES) return RESULT_OK;
    return check_sound_repeats(name, fsi->device_size);
}

int read_boot_data(const char *name, BootData *boot) {
    unsigned long long size = 0;
    int code = RESULT_OK;
    int fd = open_regular_file(name, &BOOTDATA_CODES, &size, &code);
    if (fd < 0) return code;
    // Read whole: a network share may hand the file over in pieces.
    long n = read_update_chunk(fd, reinterpret_cast<uint8_t *>(boot), BOOT_DATA_BYTES);
    if (n < 0) {
        report_read_failure(name, std::strerror(errno), RESULT_BOOTDATA_READ);
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

int check_boot_data(const char *name, const BootData *boot) {
    if (static_cast<uint32_t>(boot->boot_game_id) != run_options.game_number) {
        std::fprintf(stderr, "\n%s: GamdID (%ld) of file (%s) does not match GAME# %ld\n", program_name,
                     static_cast<long>(boot->boot_game_id), name, static_cast<long>(run_options.game_number));
        return RESULT_GAME_ID_MISMATCH;
    }
    // The images must end below the information record.
    uint64_t declared = boot_data_image_bytes(boot);
    if (GAME_IMAGES_OFFSET + declared > info_offset) {
        std::fprintf(stderr,
                     "\n%s: file (%s) declares %llu bytes of game images, %lu fit below the information record\n",
                     program_name, name, static_cast<unsigned long long>(declared),
                     static_cast<unsigned long>(info_offset - GAME_IMAGES_OFFSET));
        return RESULT_IMAGES_TOO_LARGE;
    }
    return RESULT_OK;
}

int check_game_images(const BootData *boot) {
    const uint32_t longs[3] = {boot->boot_im_flsh0_longs, boot->boot_game_longs, boot->boot_symbols_longs};
    for (int i = 0; i < 3; i++) {
        std::string name = update_file_name(GAME_IMAGE_FILES[i].base);
        unsigned long long size = 0;
        int code = check_regular_file(name.c_str(), &GAME_IMAGE_FILES[i].codes, &size);
        if (code != RESULT_OK) return code;
        // The copy of a shorter file would end early, with this failure.
        if (size < 4ull * longs[i]) {
            return report_read_failure(name.c_str(), read_error_text(0), GAME_IMAGE_FILES[i].codes.read_code);
        }
    }
    return RESULT_OK;
}

int check_boot_image(const char *name) {
    unsigned long long size = 0;
    int code = check_regular_file(name, &TAVBOOT_CODES, &size);
    if (code != RESULT_OK) return code;
    if (size > TAVBOOT_BYTES) return report_wrong_size(name, size, TAVBOOT_BYTES, 1, RESULT_TAVBOOT_SIZE);
    return RESULT_OK;
}

int check_load_inputs(void) {
    int code = RESULT_OK;
    if (run_options.gfonly == 0) code = check_sound_input();
    if (code == RESULT_OK && run_options.sfonly == 0) code = check_game_input();
    if (code == RESULT_OK) code = check_boot_image(update_file_name("tavboot.rom").c_str());
    return code;
}
