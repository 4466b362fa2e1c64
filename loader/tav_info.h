// The board information record: one 256-byte record at the start of the last erase block
// of the game flash that says what the board was last loaded with. A load erases it first
// and writes a new, sealed one last, so a valid record means the last load ran to its end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "flash/flash.h"

// The record is 64 little-endian 32-bit words; the fields below are native words, which is
// only the stored layout on a little-endian machine (the PCs this loader runs on).
static_assert(std::endian::native == std::endian::little, "the board record layout assumes little-endian words");

constexpr uint32_t TAV_INFO_BYTES = 256;
constexpr uint32_t TAV_INFO_WORDS = TAV_INFO_BYTES / 4;

struct TAVInfo {
    char tav_info_timestamp[32];   // local date text of the load, zero-terminated in the field
    uint32_t tav_info_size;        // length in 32-bit words: 64
    uint32_t tav_info_checksum;    // makes the 64 words sum to 0 modulo 2^32
    int32_t game_id;               // GAME# of the load
    int32_t game_size;             // bytes of game images written, 0 without a game update
    uint32_t game_checksum;        // word sum of the game data written
    int32_t sound_size;            // 1048576 with a sound update, else 0
    uint32_t sound_checksum;       // word sum of the sound image written
    char magic_cookie[8];          // "13Dec96" and a zero byte
    uint8_t reserved[188];         // zero
};

static_assert(sizeof(TAVInfo) == TAV_INFO_BYTES);
static_assert(offsetof(TAVInfo, tav_info_timestamp) == 0);
static_assert(offsetof(TAVInfo, tav_info_size) == 32);
static_assert(offsetof(TAVInfo, tav_info_checksum) == 36);
static_assert(offsetof(TAVInfo, game_id) == 40);
static_assert(offsetof(TAVInfo, game_size) == 44);
static_assert(offsetof(TAVInfo, game_checksum) == 48);
static_assert(offsetof(TAVInfo, sound_size) == 52);
static_assert(offsetof(TAVInfo, sound_checksum) == 56);
static_assert(offsetof(TAVInfo, magic_cookie) == 60);
static_assert(offsetof(TAVInfo, reserved) == 68);

// Where the record sits in the game flash *fsi: the start of its last erase block.
inline uint32_t tav_info_offset(const FSI *fsi) { return fsi->size - fsi->block_size; }

// The process-wide record: a load builds and writes it, the status report reads into it.
extern TAVInfo tav_info;

// Text stored when the clock cannot be read.
constexpr const char *TAV_INFO_FALLBACK_TIME = "Fri Dec 13 16:03:17 1996";
constexpr const char *TAV_INFO_COOKIE = "13Dec96";

// Adds the first length/4 little-endian 32-bit words of data to *sum, modulo 2^32. The one
// to three bytes of a length that is not a multiple of 4 are left out.
void sum_longs(const uint8_t *data, uint32_t length, uint32_t *sum);

// Writes into field the 24-character local date text of `now` ("Fri Dec 13 16:03:17 1996"),
// zero-padded to 32 bytes. `now` of (time_t)-1, or a time the calendar cannot express,
// gives the fallback text.
void format_tav_timestamp(time_t now, char field[32]);

// Fills *record for a load of game_number: zeros, size 64, the timestamp of the current
// local time, game_id, the cookie. Sizes and checksums are 0.
void prepare_tav_info(TAVInfo *record, uint32_t game_number);

// Sets tav_info_checksum so that the 64 words sum to 0. Every other field must be final.
void seal_tav_info(TAVInfo *record);

// 1 when the record reads as a loaded board (size 64 and the words sum to 0), else 0.
int tav_info_valid(const TAVInfo *record);

// Writes at most max characters of text to standard output, one by one, stopping before the
// first byte that is not printable (below 0x20 or above 0x7E).
void print_printable(const char *text, uint32_t max);

// Writes the field-by-field dump of one record to standard output.
void print_tav_info(const TAVInfo *record);
