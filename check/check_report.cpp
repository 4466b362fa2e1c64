// The report of a board check: one line per region, the block map line and the verdict.
#include <cstdio>
#include <cstring>

#include "check/board_check.h"

namespace {

const char *verdict_word(int verdict) {
    if (verdict == REGION_OK) return "ok";
    if (verdict == REGION_DIFFERS) return "differs";
    return "not checked";
}

// One character per block: x differs, = matches, . erased, blank not covered.
void print_map(const SpaceView *view) {
    uint8_t erased[CHECK_MAX_BLOCKS];
    std::memset(erased, 1, sizeof erased);
    uint32_t offset = 0;
    while (offset < view->fsi.size) {
        uint32_t end = check_segment_end(view, offset);
        uint32_t block = check_block_of(view, offset);
        for (uint32_t at = offset; at < end && erased[block]; at++)
            if (view->bytes[at] != 0xFF) erased[block] = 0;
        offset = end;
    }
    std::fputc('|', stdout);
    for (uint32_t b = 0; b < view->block_count; b++) {
        char c = ' ';
        if (view->marks[b] == MARK_DIFFER) c = 'x';
        else if (view->marks[b] == MARK_MATCH) c = '=';
        else if (erased[b]) c = '.';
        std::fputc(c, stdout);
    }
    std::fputc('|', stdout);
}

void print_region(const BoardCheck *check, int i) {
    const RegionCheck *r = &check->region[i];
    const char *note = r->note[0] != '\0' ? r->note : "the board is not loaded";
    std::printf("%-13s %s: %s\n", check_region_name(i), verdict_word(r->verdict), note);
}

void print_verdict(const BoardCheck *check) {
    if (check_passed(check)) {
        std::printf("verdict: the board verifies: GameID %ld, every region checked matches\n",
                    static_cast<long>(check->record.game_id));
        return;
    }
    std::printf("verdict: the board does not verify:");
    const char *separator = " ";
    for (int i = 0; i < CHECK_REGIONS; i++) {
        const RegionCheck *r = &check->region[i];
        if (r->verdict != REGION_DIFFERS) continue;
        std::printf("%s%s", separator, check_region_name(i));
        if (r->block_known) {
            std::printf(" (erase block %lu of the %s FLASH)", static_cast<unsigned long>(r->first_block),
                        i == CHECK_SOUND ? "sound" : "game");
        }
        separator = ", ";
    }
    if (check->record_state == RECORD_ERASED) std::printf(" - TAV is not currently loaded.");
    if (check->record_state == RECORD_INVALID) std::printf(" - the information record is invalid");
    std::printf("\n");
}

}  // namespace

void print_check_report(const BoardCheck *check) {
    for (int i = 0; i < CHECK_REGIONS; i++) print_region(check, i);
    std::printf("blocks: game ");
    print_map(&check->game);
    std::printf(" sound ");
    if (check->sound.present) {
        print_map(&check->sound);
        std::printf(" space %ld", static_cast<long>(check->sound.fsi.space));
    } else {
        std::printf("(none answers)");
    }
    std::printf("\n");
    print_verdict(check);
    std::fflush(stdout);
}
