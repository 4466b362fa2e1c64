// Result codes of loader_main: 0 for success, one small positive number per failure cause.
// Codes 1 and 11 are never returned. 6, 8 and 9 are used by the loader's own guards
// (a sound image that does not fit its device, BootData sizes that do not fit below the
// information record, game erase blocks too small for the update layout).
#pragma once

enum LoaderResult {
    RESULT_OK = 0,
    RESULT_BAD_OPTION = 2,               // option letter with a wrong rest, or an unknown option
    RESULT_OPTION_CONFLICT = 3,          // -status with others, -gfonly with -sfonly, -sfonly without sf.rom
    RESULT_BAD_GAME_NUMBER = 4,          // GAME# outside 10000..99999
    RESULT_NO_GAME_NUMBER = 5,           // not exactly one word after the options
    RESULT_SOUND_TOO_LARGE = 6,          // sf.rom does not fit a smaller sound device
    RESULT_SOUND_WRONG_SIZE = 7,         // sf.rom present but not 1048576 bytes
    RESULT_IMAGES_TOO_LARGE = 8,         // BootData declares more game image bytes than fit
    RESULT_BLOCKS_TOO_SMALL = 9,         // game flash erase blocks below 64 KB
    RESULT_SOUND_OPEN = 10,
    RESULT_BOOTDATA_OPEN = 12,
    RESULT_BOOTDATA_READ = 13,
    RESULT_BOOTDATA_SIZE = 14,
    RESULT_BOOTDATA_WRITE = 15,
    RESULT_NOT_RESPONDING = 16,          // flash_query failed
    RESULT_ERASE_TABLE_ALLOC = 17,
    RESULT_ERASE_TABLE_INIT = 18,
    RESULT_IM_FLSH0_OPEN = 19,
    RESULT_IM_FLSH0_READ = 20,           // also the sound image read
    RESULT_IM_FLSH0_WRITE = 21,          // also the sound image write
    RESULT_GAME_OPEN = 22,
    RESULT_GAME_READ = 23,
    RESULT_GAME_WRITE = 24,
    RESULT_SYMBOLS_OPEN = 25,
    RESULT_SYMBOLS_READ = 26,
    RESULT_SYMBOLS_WRITE = 27,
    RESULT_TAVBOOT_SIZE = 28,
    RESULT_TAVBOOT_OPEN = 29,
    RESULT_TAVBOOT_READ = 30,
    RESULT_TAVBOOT_WRITE = 31,
    RESULT_INFO_ERASE = 32,              // erase of the information block
    RESULT_INFO_ACCESS = 33,             // status read or final write of TAVInfo
    RESULT_NOT_LOADED = 34,              // status report: no valid record
    RESULT_GAME_ID_MISMATCH = 35,
};

// The sound read and write failures share the codes of im_flsh0.rom.
constexpr int RESULT_SOUND_READ = RESULT_IM_FLSH0_READ;
constexpr int RESULT_SOUND_WRITE = RESULT_IM_FLSH0_WRITE;
