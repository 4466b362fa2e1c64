// The power-cut sweep (tav-powercut): cut the power of a real tavload run after N bus
// accesses, for many N, and check what the board says afterwards.
//
// Pieces shared by the sweep's files:
//   reference_load   one load in this process with the access log on, to learn how many bus
//                    accesses a load makes and where its information-block erase and its
//                    final record write fall;
//   expected_image / check_loaded_board   what a board loaded with an update set holds, and
//                    whether a board that reads as loaded holds exactly that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/model.h"
#include "tools/update_set.h"

namespace tavcut {

// Access numbers are 1-based, as the power-cut fault counts them: cutting "after N" means
// access N never completes and accesses 1 .. N-1 did.
struct LoadMap {
    uint64_t total = 0;            // bus accesses of a whole load
    uint32_t info_offset = 0;      // the information record's offset in space 0
    uint64_t erase_first = 0;      // information-block erase: first page-register write
    uint64_t erase_confirm = 0;    //   the erase confirm (0xD0): the block changes here
    uint64_t erase_last = 0;       //   the read-array command that ends it
    uint64_t sound_first = 0;      // first access of the sound flash update (0: none)
    uint64_t game_first = 0;       // first access of the game flash update
    uint64_t tavboot_first = 0;    // first access of the tavboot.rom write
    uint64_t record_first = 0;     // record write: first access after tavboot.rom
    uint64_t record_busy_last = 0; //   last status read that still saw the final program busy
    uint64_t record_ready = 0;     //   the status read that saw it finished
    // Stops inside command sequences, by kind (SequenceStop): each access number leaves a
    // device half-way through a sequence when that access never completes.
    std::vector<uint64_t> inside[7];
};

enum SequenceStop {
    after_buffer_request,   // after 0xE8, before its count
    after_buffer_count,     // after the count, before the data
    among_buffer_data,      // after some of the data
    before_buffer_confirm,  // after the last data, before 0xD0
    after_program_setup,    // after 0x40, before its data (a sound byte program)
    after_erase_setup,      // after 0x20, before its 0xD0
    while_erase_busy,       // the erase confirmed, its first status read
};

// Runs one load of `set_dir` (game `game`) with loader_main in this process on the board
// file `board_path`, with the tick clock held and moved one tick per status read (a load
// that goes wrong ends at the driver's time limits at once). Fills *log with its bus
// accesses when log is not null. The result code of the load; -1 with *error when the
// board cannot be opened.
int load_in_process(const std::string &board_path, const std::string &set_dir, uint32_t game,
                    std::vector<tavboard::Access> *log, std::string *error);

// Runs one load of `set_dir` (game `game`) with loader_main in this process on the board
// file `board_path` (whose contents it changes), with the access log on, and maps it.
// false with *error when the load fails or its log does not show the expected shape.
bool reference_load(const std::string &board_path, const std::string &set_dir, uint32_t game, LoadMap *map,
                    std::string *error);

// Where a phase of a load begins, by access number, for messages: "information-block
// erase", "sound flash", ...
const char *phase_of(const LoadMap &map, uint64_t access);

// What a load of an update set leaves on the board.
struct ExpectedImage {
    uint32_t game_id = 0;
    std::vector<uint8_t> game;    // the whole game-flash space 0 as the load leaves it, but
                                  // the record (its 256 bytes are not compared)
    std::vector<uint8_t> sound;   // the sound space (space 8, or space 1)
    uint32_t info_offset = 0;
};
ExpectedImage expected_image(const tavtools::UpdateSetOptions &set, uint32_t game_block);

// The board file holds a valid record that names `want.game_id`, whose sizes and checksums
// agree with the board's contents, and the contents are exactly those of `want`. Empty when
// so, else what differs. `sound_on_space1`: the sound image sits in the upper half of an
// 8 MB game flash instead of a sound device.
std::string check_loaded_board(const tavboard::Board &board, const ExpectedImage &want, bool sound_on_space1);

// 32-bit sum of the little-endian words of data (trailing bytes left out).
uint32_t word_sum(const uint8_t *data, size_t length);

}  // namespace tavcut
