// Checking a loaded board: the game and sound flash read whole through the flash driver,
// the information record and BootData judged as a load wrote them, the sums recomputed
// the way a load accumulates them, and optionally every region compared with an update set.
// Shared by tavverify and tavbackup.
//
// The check's convention: its steps return 1 on success and -1 on failure after printing
// their own message; the judging routines write what they find into the BoardCheck (the
// report prints it) and return nothing; the program bodies return an exit status
// (CHECK_EXIT_*). The set files (check/set_file.h) return 1 or -1 with errno.
#pragma once

#include <cstdint>

#include "flash/flash.h"
#include "loader/boot_data.h"
#include "loader/tav_info.h"

// The regions a check reports on, one line each, in this order.
enum CheckRegionId {
    CHECK_BOOTDATA,
    CHECK_IM_FLSH0,
    CHECK_GAME,
    CHECK_SYMBOLS,
    CHECK_TAVBOOT,
    CHECK_RECORD,
    CHECK_SOUND,
    CHECK_REGIONS
};

// A region's verdict; a later finding only ever raises it.
enum RegionVerdict { REGION_NOT_CHECKED = 0, REGION_OK = 1, REGION_DIFFERS = 2 };

// What the board's information record says.
enum RecordState { RECORD_LOADED, RECORD_ERASED, RECORD_INVALID };

// Block marks of the map line.
enum BlockMark { MARK_NONE = 0, MARK_MATCH = 1, MARK_DIFFER = 2 };

constexpr uint32_t CHECK_MAX_BLOCKS = 256;
constexpr uint32_t CHECK_NOTE_BYTES = 320;

struct RegionCheck {
    int verdict;              // RegionVerdict
    uint32_t differing;       // bytes found different by a comparison
    uint32_t first;           // offset in its space of the first of them
    uint32_t first_block;     // erase block holding `first`
    int block_known;          // 1 when first_block names where the region differs
    char note[CHECK_NOTE_BYTES];   // what the line says after the verdict
};

// One flash space, read whole.
struct SpaceView {
    FSI fsi;
    int present;              // 1 when the space answered and was read
    uint8_t *bytes;           // fsi.size bytes (heap), null when not present
    uint32_t block_count;     // blocks in the map line
    uint8_t marks[CHECK_MAX_BLOCKS];
};

struct BoardCheck {
    SpaceView game;           // space 0
    SpaceView sound;          // space 8, else space 1
    uint32_t info_offset;     // start of the last erase block of space 0
    TAVInfo record;           // the board's record
    int record_state;         // RecordState
    const BootData *boot;     // the board's BootData (inside game.bytes)
    int images_fit;           // 1 when BootData's images end below the record
    uint32_t image_offset[3];
    uint32_t image_bytes[3];
    uint32_t game_checksum;   // recomputed from the board
    uint32_t game_size;
    uint32_t sound_checksum;
    int with_set;             // 1: a set comparison judges the regions byte for byte
    RegionCheck region[CHECK_REGIONS];
};

// File names of the regions that come from update files (null for the record and sound).
const char *check_region_file(int region);
// Names of the regions on their report lines.
const char *check_region_name(int region);

// Reads space 0 and the sound space (8, else 1) whole into *check, with -debug progress.
// 1 ok; -1 after "<program>: TAV not responding ..." or the read message. Call check_free
// on every path.
int check_read_board(BoardCheck *check);
// Releases what check_read_board allocated; check may be partly filled.
void check_free(BoardCheck *check);

// Judges the record, BootData and the sums recomputed from the board. with_set: a set
// comparison follows (regions only it can judge are then not marked as unchecked).
void check_board(BoardCheck *check, int with_set);
// Compares every region with the update set named by run_options.path and prefix.
void check_against_set(BoardCheck *check);

// 1 when every checked region is ok and the board reads as loaded.
int check_passed(const BoardCheck *check);

// The erase block of a space offset as the map shows it.
uint32_t check_block_of(const SpaceView *view, uint32_t offset);
// Offset just behind the block segment that holds offset (a boot-block device repeated
// through its space has one segment per block and copy).
uint32_t check_segment_end(const SpaceView *view, uint32_t offset);
// Marks the blocks of [offset, offset + count) with mark, never lowering one.
void check_mark_range(SpaceView *view, uint32_t offset, uint32_t count, int mark);
// Compares count bytes of the space from offset with expected: counts the differing bytes
// into *region (the first one kept) and marks each block match or differ.
void check_compare(SpaceView *view, uint32_t offset, const uint8_t *expected, uint32_t count, RegionCheck *region);
// Raises the region's verdict and appends a note ("; " between notes), printf-style.
void check_note(RegionCheck *region, int verdict, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Prints one line per region, the two block map lines and the verdict line (standard
// output).
void print_check_report(const BoardCheck *check);

// Exit statuses of tavverify and tavbackup (a toolkit failure gives -1, 255 to the shell).
constexpr int CHECK_EXIT_OK = 0;
constexpr int CHECK_EXIT_FAILED = 1;   // differs, not loaded, refused, or a read or write failed
constexpr int CHECK_EXIT_USAGE = 2;

// 1 when word is an option word: "-..." (and "/..." on Windows).
int check_is_option(const char *word);

// The bodies run on the board window (access/RunOnBoardWindow). Each returns its exit status,
// or -1 (255 to the shell) when the tick clock cannot start (start_board_work's message; the
// board is not touched).
int verify_main(uint8_t *window, int argc, char **argv);
int backup_main(uint8_t *window, int argc, char **argv);
