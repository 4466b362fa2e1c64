// The board information record and the helpers of the update files, without a board:
// word sums, the timestamp text, preparing, sealing and validity, the dump's printable
// rule, and update file names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "loader/loader.h"
#include "loader/tav_info.h"
#include "loader/update_files.h"

namespace {

TEST(SumLongs, AddsLittleEndianWordsAndLeavesOutTrailingBytes) {
    const struct {
        std::vector<uint8_t> data;
        uint32_t start, expected;
    } rows[] = {
        {{0x01, 0x02, 0x03, 0x04}, 0, 0x04030201},             // low byte first
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0}, 10, 11},      // onto a running sum, modulo 2^32
        {{0x05, 0, 0, 0, 0xAA, 0xBB, 0xCC}, 0, 5},              // three trailing bytes left out
        {{0xAA, 0xBB}, 7, 7},                                   // fewer than four bytes add nothing
    };
    for (const auto &row : rows) {
        uint32_t sum = row.start;
        sum_longs(row.data.data(), static_cast<uint32_t>(row.data.size()), &sum);
        EXPECT_EQ(sum, row.expected) << row.data.size() << " bytes from " << row.start;
    }
}

TEST(Timestamp, LocalDateTextOrTheFallback) {
    const char *tz = std::getenv("TZ");
    const std::string saved = tz != nullptr ? tz : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    const struct {
        time_t now;
        const char *expected;
    } rows[] = {
        {static_cast<time_t>(-1), "Fri Dec 13 16:03:17 1996"},
        {0, "Thu Jan  1 00:00:00 1970"},                 // day padded to two columns
        {253402300800LL, "Sat Jan  1 00:00:00 10000"},   // five-digit year still fits
    };
    for (const auto &row : rows) {
        char field[32];
        std::memset(field, 0x55, sizeof field);
        format_tav_timestamp(row.now, field);
        EXPECT_STREQ(field, row.expected) << row.now;
        for (size_t i = std::strlen(row.expected); i < sizeof field; i++) EXPECT_EQ(field[i], '\0') << row.now << " " << i;
    }
    if (tz != nullptr) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

// Preparing clears what was there and stamps the record with now. (The stored layout of
// every field is checked on the board after each load.)
TEST(TavInfoRecord, PreparedRecordIsClearedAndStampedWithNow) {
    TAVInfo record;
    std::memset(&record, 0xEE, sizeof record);
    char before[32], after[32];
    format_tav_timestamp(time(nullptr), before);
    prepare_tav_info(&record, 40215);
    format_tav_timestamp(time(nullptr), after);
    EXPECT_TRUE(std::strcmp(record.tav_info_timestamp, before) == 0 || std::strcmp(record.tav_info_timestamp, after) == 0)
        << record.tav_info_timestamp;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&record);
    // Zero: the timestamp's padding, the checksum, the sizes and sums, the reserved words.
    for (uint32_t i = 24; i < 256; i++) {
        bool zero = i < 32 || (i >= 36 && i < 40) || (i >= 44 && i < 60) || i >= 68;
        ASSERT_TRUE(!zero || bytes[i] == 0) << "byte " << i;
    }
}

TEST(TavInfoRecord, SealedRecordIsValidAndAnyChangedWordBreaksIt) {
    TAVInfo record;
    prepare_tav_info(&record, 12345);
    record.game_size = 3332772;
    record.game_checksum = 0xDEADBEEF;
    record.sound_size = 1048576;
    record.sound_checksum = 0x01234567;
    seal_tav_info(&record);
    ASSERT_EQ(tav_info_valid(&record), 1);
    // Every word takes part in the sum, the reserved ones included.
    for (uint32_t word = 0; word < 64; word++) {
        TAVInfo changed = record;
        reinterpret_cast<uint8_t *>(&changed)[4 * word + 1] ^= 0x10;
        EXPECT_EQ(tav_info_valid(&changed), 0) << "word " << word;
    }
    // A record that sums to 0 but does not say 64 words is not a loaded board.
    TAVInfo wrong_size = record;
    wrong_size.tav_info_size = 63;
    seal_tav_info(&wrong_size);
    EXPECT_EQ(tav_info_valid(&wrong_size), 0);
    // Sealing again gives the same checksum: it is computed with the field at 0.
    TAVInfo again = record;
    seal_tav_info(&again);
    EXPECT_EQ(again.tav_info_checksum, record.tav_info_checksum);
}

// The texts end at the first byte outside 0x20..0x7E, or at the field's end when there
// is no zero in it. (The dump of an erased block is checked in the status tests.)
TEST(TavInfoRecord, DumpShowsOnlyThePrintableStartOfTheTexts) {
    const struct {
        const char *timestamp, *cookie, *shown_timestamp, *shown_cookie;
    } rows[] = {
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "13Dec96X", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "13Dec96X"},
        {"Fri\x7F" "Dec", "13\x80" "Dec", "Fri", "13"},
    };
    for (const auto &row : rows) {
        TAVInfo r;
        std::memset(&r, 0, sizeof r);
        std::memcpy(r.tav_info_timestamp, row.timestamp, std::strlen(row.timestamp));
        std::memcpy(r.magic_cookie, row.cookie, std::strlen(row.cookie));
        r.tav_info_size = 64;
        r.tav_info_checksum = 0x0000ABC0;
        r.game_id = 40215;
        r.game_size = 3332772;
        r.game_checksum = 0x10;
        testing::internal::CaptureStdout();
        print_tav_info(&r);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("TAVInfo structure:\n  tav_info_timestamp: \"") + row.shown_timestamp +
                      "\"\n"
                      "  tav_info_size:       64\n"
                      "  tav_info_checksum:   0xabc0\n"
                      "  game_id:             40215\n"
                      "  game_size:           3332772\n"
                      "  game_checksum:       0x10\n"
                      "  sound_size:          0\n"
                      "  sound_checksum:      0x0\n"
                      "  magic_cookie:        \"" + row.shown_cookie + "\"\n");
    }
}

// "/" joins a non-empty path, a backslash is an ordinary name character, and nothing is
// normalised. (Trailing slashes and names beyond 255 characters are loaded end to end.)
TEST(UpdateFileName, PathSeparatorPrefixAndBaseName) {
    const struct {
        const char *path, *prefix, *base, *expected;
    } rows[] = {
        {"", "", "sf.rom", "sf.rom"},
        {"/upd", "new", "sf.rom", "/upd/newsf.rom"},
        {"C:\\upd", "", "bootdata.rom", "C:\\upd/bootdata.rom"},
    };
    RunOptions saved = run_options;
    for (const auto &row : rows) {
        run_options.path = row.path;
        run_options.prefix = row.prefix;
        EXPECT_EQ(update_file_name(row.base), row.expected) << row.path << " + " << row.prefix;
    }
    run_options = saved;
}

}  // namespace
