// Judging what was read from the board: the information record, BootData, and the game
// and sound sums recomputed exactly as a load accumulates them while it writes.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "check/board_check.h"
#include "loader/update_files.h"

namespace {

const char *const region_names[CHECK_REGIONS] = {"bootdata.rom", "im_flsh0.rom", "game.rom", "symbols.rom",
                                                 "tavboot.rom",  "record",       "sound"};

constexpr uint32_t SOUND_IMAGE_BYTES = 1048576;

// The running word sum of count bytes from data, cut into the chunks a load reads and
// writes (TRANSFER_BYTES each, the last one shorter).
void sum_in_chunks(const uint8_t *data, uint32_t count, uint32_t *sum) {
    while (count != 0) {
        uint32_t n = count < TRANSFER_BYTES ? count : TRANSFER_BYTES;
        sum_longs(data, n, sum);
        data += n;
        count -= n;
    }
}

int record_is_erased(const TAVInfo *record) {
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(record);
    for (uint32_t i = 0; i < TAV_INFO_BYTES; i++)
        if (bytes[i] != 0xFF) return 0;
    return 1;
}

void judge_record(BoardCheck *check) {
    RegionCheck *r = &check->region[CHECK_RECORD];
    if (tav_info_valid(&check->record)) {
        check->record_state = RECORD_LOADED;
        check_mark_range(&check->game, check->info_offset, TAV_INFO_BYTES, MARK_MATCH);
        return;
    }
    check_mark_range(&check->game, check->info_offset, TAV_INFO_BYTES, MARK_DIFFER);
    r->block_known = 1;
    r->first_block = check_block_of(&check->game, check->info_offset);
    if (record_is_erased(&check->record)) {
        check->record_state = RECORD_ERASED;
        check_note(r, REGION_DIFFERS, "TAV is not currently loaded.");
        return;
    }
    uint32_t sum = 0;
    sum_longs(reinterpret_cast<const uint8_t *>(&check->record), TAV_INFO_BYTES, &sum);
    check->record_state = RECORD_INVALID;
    check_note(r, REGION_DIFFERS, "the information record is invalid (size %lu, its words sum to 0x%lx)",
               static_cast<unsigned long>(check->record.tav_info_size), static_cast<unsigned long>(sum));
}

// BootData's layout of the images; 1 when they end below the record.
int lay_out_images(BoardCheck *check) {
    const BootData *boot = check->boot;
    uint64_t declared = boot_data_image_bytes(boot);
    if (GAME_IMAGES_OFFSET + declared > check->info_offset) {
        // Without a loaded board BootData is whatever a load left; a set comparison judges it.
        if (check->record_state != RECORD_LOADED) return 0;
        check_note(&check->region[CHECK_BOOTDATA], REGION_DIFFERS,
                   "declares %llu bytes of game images, %lu fit below the information record",
                   static_cast<unsigned long long>(declared),
                   static_cast<unsigned long>(check->info_offset - GAME_IMAGES_OFFSET));
        for (int i = CHECK_IM_FLSH0; i <= CHECK_SYMBOLS; i++)
            check_note(&check->region[i], REGION_NOT_CHECKED, "BootData does not say where it lies");
        return 0;
    }
    const uint32_t longs[3] = {boot->boot_im_flsh0_longs, boot->boot_game_longs, boot->boot_symbols_longs};
    uint32_t offset = GAME_IMAGES_OFFSET;
    for (int i = 0; i < 3; i++) {
        check->image_offset[i] = offset;
        check->image_bytes[i] = 4 * longs[i];
        offset += check->image_bytes[i];
    }
    return 1;
}

// The game sums as a load accumulates them: each image in its chunks, then BootData.
void judge_game(BoardCheck *check) {
    const TAVInfo *record = &check->record;
    const BootData *boot = check->boot;
    RegionCheck *boot_region = &check->region[CHECK_BOOTDATA];
    if (check->record_state == RECORD_LOADED) {
        check_note(boot_region, REGION_NOT_CHECKED, "GameID %ld V%ld.%ld", static_cast<long>(boot->boot_game_id),
                   static_cast<long>(boot->boot_version_major), static_cast<long>(boot->boot_version_minor));
    }
    if (check->record_state == RECORD_LOADED && boot->boot_game_id != record->game_id) {
        check_note(boot_region, REGION_DIFFERS, "the record says GameID %ld", static_cast<long>(record->game_id));
    }
    check->images_fit = lay_out_images(check);
    if (!check->images_fit) return;

    check->game_checksum = 0;
    check->game_size = 0;
    for (int i = 0; i < 3; i++) {
        sum_in_chunks(check->game.bytes + check->image_offset[i], check->image_bytes[i], &check->game_checksum);
        check->game_size += check->image_bytes[i];
    }
    sum_longs(check->game.bytes, BOOT_DATA_BYTES, &check->game_checksum);
    check->game_size += BOOT_DATA_BYTES;
    if (check->record_state != RECORD_LOADED) return;

    int sums_match = check->game_checksum == record->game_checksum &&
                     check->game_size == static_cast<uint32_t>(record->game_size);
    // The sum judges the images and BootData only as a whole; with a set, the byte for byte
    // comparison judges each of them, and the sum only the record.
    int verdict = check->with_set ? REGION_NOT_CHECKED : sums_match ? REGION_OK : REGION_DIFFERS;
    const char *judged = check->with_set ? "" : sums_match ? ", in the game checksum" : ", in the game checksum, which does not match";
    if (!check->with_set) check_note(boot_region, verdict, "%s", judged + 2);
    for (int i = 0; i < 3; i++) {
        check_note(&check->region[CHECK_IM_FLSH0 + i], verdict, "%lu bytes at 0x%06lx%s",
                   static_cast<unsigned long>(check->image_bytes[i]), static_cast<unsigned long>(check->image_offset[i]),
                   judged);
    }
    if (!check->with_set) {
        check_mark_range(&check->game, 0, check->image_offset[2] + check->image_bytes[2],
                         sums_match ? MARK_MATCH : MARK_DIFFER);
    }
    if (!sums_match) {
        check_note(&check->region[CHECK_RECORD], REGION_DIFFERS,
                   "game %lu bytes with checksum 0x%lx on the board, %ld bytes with 0x%lx in the record",
                   static_cast<unsigned long>(check->game_size), static_cast<unsigned long>(check->game_checksum),
                   static_cast<long>(record->game_size), static_cast<unsigned long>(record->game_checksum));
    }
}

void judge_sound(BoardCheck *check) {
    const TAVInfo *record = &check->record;
    RegionCheck *r = &check->region[CHECK_SOUND];
    if (record->sound_size == 0) {
        check_note(r, REGION_NOT_CHECKED, "the last load left the sound FLASH alone");
        return;
    }
    if (!check->sound.present) {
        check_note(r, REGION_DIFFERS, "no sound FLASH answers (space 8 or 1)");
        return;
    }
    check->sound_checksum = 0;
    sum_in_chunks(check->sound.bytes, SOUND_IMAGE_BYTES, &check->sound_checksum);
    int match = record->sound_size == static_cast<int32_t>(SOUND_IMAGE_BYTES) &&
                check->sound_checksum == record->sound_checksum;
    if (!check->with_set) check_mark_range(&check->sound, 0, check->sound.fsi.size, match ? MARK_MATCH : MARK_DIFFER);
    if (match) {
        check_note(r, REGION_OK, "%lu bytes in space %ld, checksum 0x%lx", static_cast<unsigned long>(SOUND_IMAGE_BYTES),
                   static_cast<long>(check->sound.fsi.space), static_cast<unsigned long>(check->sound_checksum));
    } else {
        check_note(r, REGION_DIFFERS, "checksum 0x%lx on the board, %ld bytes with 0x%lx in the record",
                   static_cast<unsigned long>(check->sound_checksum), static_cast<long>(record->sound_size),
                   static_cast<unsigned long>(record->sound_checksum));
    }
}

}  // namespace

const char *check_region_name(int region) { return region_names[region]; }

const char *check_region_file(int region) { return region <= CHECK_TAVBOOT ? region_names[region] : nullptr; }

void check_note(RegionCheck *region, int verdict, const char *format, ...) {
    if (verdict > region->verdict) region->verdict = verdict;
    size_t used = std::strlen(region->note);
    if (used + 3 >= sizeof region->note) return;
    if (used != 0) {
        std::memcpy(region->note + used, "; ", 3);
        used += 2;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(region->note + used, sizeof region->note - used, format, args);
    va_end(args);
}

void check_mark_range(SpaceView *view, uint32_t offset, uint32_t count, int mark) {
    if (!view->present || count == 0) return;
    uint32_t end = offset + count;
    while (offset < end && offset < view->fsi.size) {
        uint32_t block = check_block_of(view, offset);
        if (mark > view->marks[block]) view->marks[block] = static_cast<uint8_t>(mark);
        offset = check_segment_end(view, offset);
    }
}

void check_compare(SpaceView *view, uint32_t offset, const uint8_t *expected, uint32_t count, RegionCheck *region) {
    uint32_t end = offset + count;
    while (offset < end) {
        uint32_t segment_end = check_segment_end(view, offset);
        uint32_t n = (segment_end < end ? segment_end : end) - offset;
        const uint8_t *board = view->bytes + offset;
        int mark = MARK_MATCH;
        if (std::memcmp(board, expected, n) != 0) {
            mark = MARK_DIFFER;
            for (uint32_t i = 0; i < n; i++) {
                if (board[i] == expected[i]) continue;
                if (region->differing == 0) {
                    region->first = offset + i;
                    region->first_block = check_block_of(view, offset + i);
                    region->block_known = 1;
                }
                region->differing++;
            }
        }
        check_mark_range(view, offset, n, mark);
        offset += n;
        expected += n;
    }
}

void check_board(BoardCheck *check, int with_set) {
    check->with_set = with_set;
    judge_record(check);
    if (check->record_state == RECORD_LOADED && check->record.game_size == 0) {
        for (int i = CHECK_BOOTDATA; i <= CHECK_SYMBOLS; i++)
            check_note(&check->region[i], REGION_NOT_CHECKED, "the last load left the game images alone");
    } else {
        judge_game(check);
    }
    if (check->record_state == RECORD_LOADED) {
        judge_sound(check);
        if (check->region[CHECK_RECORD].verdict != REGION_DIFFERS) {
            check_note(&check->region[CHECK_RECORD], REGION_OK, "GameID %ld, loaded on ",
                       static_cast<long>(check->record.game_id));
            // The timestamp as the status report shows it: printable characters only.
            RegionCheck *r = &check->region[CHECK_RECORD];
            size_t used = std::strlen(r->note);
            for (uint32_t i = 0; i < sizeof check->record.tav_info_timestamp && used + 1 < sizeof r->note; i++) {
                unsigned char c = static_cast<unsigned char>(check->record.tav_info_timestamp[i]);
                if (c < 0x20 || c > 0x7E) break;
                r->note[used++] = static_cast<char>(c);
            }
            r->note[used] = '\0';
        }
    }
    if (!with_set) check_note(&check->region[CHECK_TAVBOOT], REGION_NOT_CHECKED, "compared only with an update set (-p)");
}

int check_passed(const BoardCheck *check) {
    if (check->record_state != RECORD_LOADED) return 0;
    for (int i = 0; i < CHECK_REGIONS; i++)
        if (check->region[i].verdict == REGION_DIFFERS) return 0;
    return 1;
}
