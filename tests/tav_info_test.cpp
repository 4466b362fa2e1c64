// The board information record and the helpers of the update files, without a board:
// word sums, the timestamp text, sealing and validity, the dump, and update file names.
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

uint32_t word_at(const TAVInfo &record, uint32_t offset) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&record) + offset;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Runs the test with the time zone set to UTC, so that local dates are known.
class UtcZone {
  public:
    UtcZone() {
        const char *tz = std::getenv("TZ");
        had_ = tz != nullptr;
        if (had_) old_ = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    ~UtcZone() {
        if (had_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

TEST(SumLongs, AddsLittleEndianWordsAndLeavesOutTrailingBytes) {
    struct Row {
        const char *what;
        std::vector<uint8_t> data;
        uint32_t start;
        uint32_t expected;
    };
    const Row rows[] = {
        {"empty leaves the sum", {}, 0x1234, 0x1234},
        {"one word, low byte first", {0x01, 0x02, 0x03, 0x04}, 0, 0x04030201},
        {"two words added to a running sum", {0x01, 0, 0, 0, 0x02, 0, 0, 0}, 10, 13},
        {"wraps modulo 2^32", {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0}, 0, 1},
        {"three trailing bytes left out", {0x05, 0, 0, 0, 0xAA, 0xBB, 0xCC}, 0, 5},
        {"fewer than four bytes add nothing", {0xAA, 0xBB}, 7, 7},
    };
    for (const Row &row : rows) {
        uint32_t sum = row.start;
        sum_longs(row.data.data(), static_cast<uint32_t>(row.data.size()), &sum);
        EXPECT_EQ(sum, row.expected) << row.what;
    }
}

TEST(Timestamp, LocalDateTextOrTheFallback) {
    UtcZone utc;
    struct Row {
        time_t now;
        const char *expected;
    };
    const Row rows[] = {
        {static_cast<time_t>(-1), "Fri Dec 13 16:03:17 1996"},
        {850492997, "Fri Dec 13 16:03:17 1996"},
        {0, "Thu Jan  1 00:00:00 1970"},           // day padded to two columns
        {253402300800LL, "Sat Jan  1 00:00:00 10000"},  // five-digit year still fits
    };
    for (const Row &row : rows) {
        char field[32];
        std::memset(field, 0x55, sizeof field);
        format_tav_timestamp(row.now, field);
        EXPECT_STREQ(field, row.expected) << row.now;
        for (size_t i = std::strlen(row.expected); i < sizeof field; i++) {
            EXPECT_EQ(field[i], '\0') << "byte " << i << " after the text of " << row.now;
        }
    }
}

TEST(TavInfoRecord, PreparedRecordHasTheStoredLayout) {
    TAVInfo record;
    std::memset(&record, 0xEE, sizeof record);
    time_t before = time(nullptr);
    prepare_tav_info(&record, 40215);

    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&record);
    EXPECT_EQ(word_at(record, 32), 64u);           // size in words
    EXPECT_EQ(word_at(record, 36), 0u);            // checksum not yet set
    EXPECT_EQ(word_at(record, 40), 40215u);        // game_id
    for (uint32_t offset : {44u, 48u, 52u, 56u}) EXPECT_EQ(word_at(record, offset), 0u) << offset;
    EXPECT_EQ(std::memcmp(bytes + 60, "13Dec96\0", 8), 0);
    for (uint32_t i = 68; i < 256; i++) ASSERT_EQ(bytes[i], 0) << "reserved byte " << i;

    // The timestamp is the 24-character date text of now, zero-padded, without a newline.
    EXPECT_EQ(std::strlen(record.tav_info_timestamp), 24u);
    for (uint32_t i = 24; i < 32; i++) EXPECT_EQ(bytes[i], 0) << "timestamp byte " << i;
    char expected[32];
    format_tav_timestamp(before, expected);
    char later[32];
    format_tav_timestamp(time(nullptr), later);
    EXPECT_TRUE(std::strcmp(record.tav_info_timestamp, expected) == 0 ||
                std::strcmp(record.tav_info_timestamp, later) == 0)
        << record.tav_info_timestamp;
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
    uint32_t sum = 0;
    sum_longs(reinterpret_cast<const uint8_t *>(&record), 256, &sum);
    EXPECT_EQ(sum, 0u);

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

    TAVInfo erased;
    std::memset(&erased, 0xFF, sizeof erased);
    EXPECT_EQ(tav_info_valid(&erased), 0);
}

TEST(TavInfoRecord, DumpShowsEveryFieldWithThePrintableRule) {
    struct Row {
        const char *what;
        void (*fill)(TAVInfo *);
        std::string expected;
    };
    const Row rows[] = {
        {"erased block",
         [](TAVInfo *r) { std::memset(r, 0xFF, sizeof *r); },
         "TAVInfo structure:\n"
         "  tav_info_timestamp: \"\"\n"
         "  tav_info_size:       -1\n"
         "  tav_info_checksum:   0xffffffff\n"
         "  game_id:             -1\n"
         "  game_size:           -1\n"
         "  game_checksum:       0xffffffff\n"
         "  sound_size:          -1\n"
         "  sound_checksum:      0xffffffff\n"
         "  magic_cookie:        \"\"\n"},
        {"full printable timestamp, cookie without its zero",
         [](TAVInfo *r) {
             std::memset(r, 0, sizeof *r);
             std::memcpy(r->tav_info_timestamp, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 32);
             std::memcpy(r->magic_cookie, "13Dec96X", 8);
             r->tav_info_size = 64;
             r->tav_info_checksum = 0x0000ABC0;
             r->game_id = 40215;
             r->game_size = 3332772;
             r->game_checksum = 0x10;
             r->sound_size = 0;
             r->sound_checksum = 0;
         },
         "TAVInfo structure:\n"
         "  tav_info_timestamp: \"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\"\n"
         "  tav_info_size:       64\n"
         "  tav_info_checksum:   0xabc0\n"
         "  game_id:             40215\n"
         "  game_size:           3332772\n"
         "  game_checksum:       0x10\n"
         "  sound_size:          0\n"
         "  sound_checksum:      0x0\n"
         "  magic_cookie:        \"13Dec96X\"\n"},
        {"0x7F and bytes above end the texts early",
         [](TAVInfo *r) {
             std::memset(r, 0, sizeof *r);
             std::memcpy(r->tav_info_timestamp, "Fri\x7F" "Dec", 7);
             std::memcpy(r->magic_cookie, "13\x80" "Dec", 6);
         },
         "TAVInfo structure:\n"
         "  tav_info_timestamp: \"Fri\"\n"
         "  tav_info_size:       0\n"
         "  tav_info_checksum:   0x0\n"
         "  game_id:             0\n"
         "  game_size:           0\n"
         "  game_checksum:       0x0\n"
         "  sound_size:          0\n"
         "  sound_checksum:      0x0\n"
         "  magic_cookie:        \"13\"\n"},
    };
    for (const Row &row : rows) {
        TAVInfo record;
        row.fill(&record);
        testing::internal::CaptureStdout();
        print_tav_info(&record);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.expected) << row.what;
    }
}

TEST(UpdateFileName, PathSeparatorPrefixAndBaseName) {
    const std::string long_path = "/" + std::string(300, 'd');
    struct Row {
        const char *path;
        const char *prefix;
        const char *base;
        std::string expected;
    };
    const Row rows[] = {
        {"", "", "sf.rom", "sf.rom"},
        {"/upd", "new", "sf.rom", "/upd/newsf.rom"},
        {"/upd/", "", "bootdata.rom", "/upd//bootdata.rom"},   // not normalised
        {"", "x-", "game.rom", "x-game.rom"},
        {"C:\\upd", "", "sf.rom", "C:\\upd/sf.rom"},          // a backslash is a name character here
        {long_path.c_str(), "p", "symbols.rom", long_path + "/psymbols.rom"},   // no 255-character limit
    };
    RunOptions saved = run_options;
    for (const Row &row : rows) {
        run_options.path = row.path;
        run_options.prefix = row.prefix;
        EXPECT_EQ(update_file_name(row.base), row.expected) << row.path << " + " << row.prefix;
    }
    run_options = saved;
}

}  // namespace
