// The status report of -status: read the board information record back from the game
// flash and say what the board holds.
#include <cstdio>

#include "flash/flash.h"
#include "loader/loader.h"
#include "loader/tav_info.h"

int show_status(void) {
    FSI fsi;
    if (flash_query(FLASH_SPACE_GAME, &fsi) != 1) return report_not_responding();
    if (flash_read(&fsi, tav_info_offset(&fsi), reinterpret_cast<uint8_t *>(&tav_info), TAV_INFO_BYTES) != 1) {
        std::fprintf(stderr, "%s: unable to read FLASH from TAVInfo\n", program_name);
        return RESULT_INFO_ACCESS;
    }
    if (debug == 1) print_tav_info(&tav_info);
    if (!tav_info_valid(&tav_info)) {
        std::fprintf(stderr, "TAV is not currently loaded.\n");
        return RESULT_NOT_LOADED;
    }
    int game = tav_info.game_size != 0;
    int sound = tav_info.sound_size != 0;
    std::printf("TAV loaded on ");
    print_printable(tav_info.tav_info_timestamp, sizeof tav_info.tav_info_timestamp);
    std::printf(" with GameID %ld %s%s%s update%s.\n", static_cast<long>(tav_info.game_id), game ? "Game" : "",
                game && sound ? " & " : "", sound ? "Sound" : "", game && sound ? "s" : "");
    std::fflush(stdout);
    return RESULT_OK;
}
