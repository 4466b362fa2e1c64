// Comparing the board with an update set, byte for byte: each image at its offset, BootData,
// tavboot.rom with its zero fill, and sf.rom as the sound space shows it.
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "check/board_check.h"
#include "loader/update_files.h"

namespace {

constexpr uint32_t SOUND_IMAGE_BYTES = 1048576;

const uint8_t zero_fill[TRANSFER_BYTES] = {};

// Compares the first count bytes of the file with the space from offset. A file that ends
// early differs by its missing bytes' absence, noted.
void compare_file(SpaceView *view, const char *base, uint32_t offset, uint32_t count, int zero_filled,
                  RegionCheck *region) {
    std::string name = update_file_name(base);
    int fd = open_update_file(name.c_str());
    if (fd < 0) {
        check_note(region, REGION_DIFFERS, "unable to open file (%s) - %s", name.c_str(), std::strerror(errno));
        return;
    }
    uint32_t done = 0;
    int ended = 0;
    while (done < count) {
        uint32_t want = count - done < TRANSFER_BYTES ? count - done : TRANSFER_BYTES;
        long n = ended ? 0 : read_update_chunk(fd, transfer_buffer, want);
        if (n < 0) {
            check_note(region, REGION_DIFFERS, "unable to read file (%s) - %s", name.c_str(), std::strerror(errno));
            close_update_file(fd);
            return;
        }
        if (n == 0) {
            if (!zero_filled) {
                check_note(region, REGION_DIFFERS, "file (%s) ends after %lu of %lu bytes", name.c_str(),
                           static_cast<unsigned long>(done), static_cast<unsigned long>(count));
                break;
            }
            // The rest of a short boot image is zeros, as a load writes it.
            ended = 1;
            check_compare(view, offset + done, zero_fill, want, region);
            done += want;
            continue;
        }
        check_compare(view, offset + done, transfer_buffer, static_cast<uint32_t>(n), region);
        done += static_cast<uint32_t>(n);
        if (static_cast<uint32_t>(n) < want) ended = 1;
    }
    close_update_file(fd);
    if (region->differing != 0) {
        check_note(region, REGION_DIFFERS, "%lu byte%s from (%s), the first at offset 0x%06lx (erase block %lu)",
                   static_cast<unsigned long>(region->differing), region->differing == 1 ? " differs" : "s differ",
                   name.c_str(), static_cast<unsigned long>(region->first),
                   static_cast<unsigned long>(region->first_block));
    } else if (region->verdict != REGION_DIFFERS) {
        check_note(region, REGION_OK, "equal to (%s)", name.c_str());
    }
}

void compare_sound(BoardCheck *check) {
    RegionCheck *r = &check->region[CHECK_SOUND];
    std::string name = update_file_name("sf.rom");
    struct stat info;
    if (stat(name.c_str(), &info) != 0) {
        check_note(r, REGION_NOT_CHECKED, "no (%s) in the set", name.c_str());
        return;
    }
    if (check->record_state == RECORD_LOADED && check->record.sound_size == 0) return;
    if (info.st_size != static_cast<long long>(SOUND_IMAGE_BYTES)) {
        check_note(r, REGION_DIFFERS, "file (%s) holds %lld bytes, not %lu", name.c_str(),
                   static_cast<long long>(info.st_size), static_cast<unsigned long>(SOUND_IMAGE_BYTES));
        return;
    }
    if (!check->sound.present) {
        check_note(r, REGION_DIFFERS, "no sound FLASH answers (space 8 or 1)");
        return;
    }
    // A sound device smaller than its space shows up repeatedly through it, so the whole
    // space compares with the whole image the load accepted for it.
    compare_file(&check->sound, "sf.rom", 0, SOUND_IMAGE_BYTES, 0, r);
}

}  // namespace

void check_against_set(BoardCheck *check) {
    SpaceView *game = &check->game;
    // After a sound-only load the game images are an older load's: not this set's to judge.
    int game_loaded = check->record_state != RECORD_LOADED || check->record.game_size != 0;
    if (game_loaded) compare_file(game, "bootdata.rom", 0, BOOT_DATA_BYTES, 0, &check->region[CHECK_BOOTDATA]);
    if (game_loaded && check->images_fit) {
        for (int i = 0; i < 3; i++) {
            compare_file(game, check_region_file(CHECK_IM_FLSH0 + i), check->image_offset[i], check->image_bytes[i], 0,
                         &check->region[CHECK_IM_FLSH0 + i]);
        }
    }
    std::string boot_name = update_file_name("tavboot.rom");
    struct stat info;
    if (stat(boot_name.c_str(), &info) == 0 && info.st_size > static_cast<long long>(TAVBOOT_BYTES)) {
        check_note(&check->region[CHECK_TAVBOOT], REGION_DIFFERS, "file (%s) holds %lld bytes, more than %lu",
                   boot_name.c_str(), static_cast<long long>(info.st_size), static_cast<unsigned long>(TAVBOOT_BYTES));
    } else {
        compare_file(game, "tavboot.rom", TAVBOOT_OFFSET, TAVBOOT_BYTES, 1, &check->region[CHECK_TAVBOOT]);
    }
    compare_sound(check);
}
