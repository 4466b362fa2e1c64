// Setting up a flash space for a load: the game flash query and the erase table that every
// copy into a space shares.
#include <cstdio>

#include "loader/loader.h"
#include "loader/update.h"

int setup_erase_table(FSI *fsi, uint8_t **table) {
    // A load that writes only what changes judges each erase block by a plan instead, which
    // comes ready to use.
    *table = run_options.changed ? flash_alloc_block_plan(fsi) : flash_alloc_erase_table(fsi);
    if (*table == nullptr) {
        std::fprintf(stderr, "%s: unable to allocate update FLASH erase table\n", program_name);
        return RESULT_ERASE_TABLE_ALLOC;
    }
    if (run_options.changed) return RESULT_OK;
    if (flash_init_erase_table(fsi, *table) != 1) {
        std::fprintf(stderr, "%s: unable to initialize update FLASH erase table\n", program_name);
        return RESULT_ERASE_TABLE_INIT;
    }
    return RESULT_OK;
}

int setup_game_space(FSI *fsi, uint8_t **table) {
    if (flash_query(FLASH_SPACE_GAME, fsi) != 1) return report_not_responding();
    return setup_erase_table(fsi, table);
}
