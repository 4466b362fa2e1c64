// -status through loader_main on the model board: the report for each kind of record, the
// dump under -debug, records that do not count as a load, and that the report reads only
// the last erase block and writes nothing into the flash.
#include "loader_jobs_support.h"

namespace jobs_test {
namespace {

class StatusTest : public LoaderJobsTest {};

const std::string kLoaded1996 = "TAV loaded on Fri Dec 13 16:03:17 1996 with GameID 40215 ";

// The cookie is not part of validity; under -debug the record's dump comes first.
TEST_F(StatusTest, ReportNamesWhatTheRecordSaysWasLoaded) {
    const struct {
        int32_t game_size, sound_size;
        bool debug;
        const char *ending;
    } rows[] = {
        {3332772, 1048576, false, "Game & Sound updates.\n"},
        {3332772, 0, true, "Game update.\n"},
        {0, 1048576, false, "Sound update.\n"},
        {0, 0, false, " update.\n"},   // two spaces before "update"
    };
    for (const auto &row : rows) {
        TAVInfo record = sealed_record(row.game_size, row.sound_size);
        std::memcpy(record.magic_cookie, "14Jan97", 8);
        seal_tav_info(&record);
        put_record(record);
        RunResult r = run(row.debug ? std::vector<std::string>{"-debug", "-status"} : std::vector<std::string>{"-status"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.err, "");
        const std::string line = kLoaded1996 + row.ending;
        if (!row.debug) {
            EXPECT_EQ(r.out, line);
            continue;
        }
        EXPECT_EQ(r.out.rfind("TAVInfo structure:\n  tav_info_timestamp: \"Fri Dec 13 16:03:17 1996\"\n", 0), 0u) << r.out;
        EXPECT_TRUE(ends_with(r.out, line)) << r.out;
    }
}

// An erased block (plain, and under -debug: the dump of all ones, the message, the
// banner), and a sealed record with one word changed afterwards.
TEST_F(StatusTest, RecordsThatAreNotALoad) {
    RunResult r = run({"-status"});
    EXPECT_EQ(r.code, 34);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNotLoaded);

    r = run({"-debug", "-status", "40215"});
    EXPECT_EQ(r.code, 34);
    EXPECT_EQ(r.out, "TAVInfo structure:\n"
                     "  tav_info_timestamp: \"\"\n"
                     "  tav_info_size:       -1\n"
                     "  tav_info_checksum:   0xffffffff\n"
                     "  game_id:             -1\n"
                     "  game_size:           -1\n"
                     "  game_checksum:       0xffffffff\n"
                     "  sound_size:          -1\n"
                     "  sound_checksum:      0xffffffff\n"
                     "  magic_cookie:        \"\"\n");
    EXPECT_EQ(r.err, kNotLoaded + kBanner);

    TAVInfo record = sealed_record(3332772, 1048576);
    record.game_id = 40216;
    put_record(record);
    r = run({"-status"});
    EXPECT_EQ(r.code, 34);
    EXPECT_EQ(r.err, kNotLoaded);
}

TEST_F(StatusTest, ReportReadsTheLastEraseBlockAndWritesNothing) {
    // 64 KB blocks: the record lies 64 KB below the top, and a record 128 KB below it is
    // not looked at.
    tavboard::Fit fit;
    fit.game_block = 64u << 10;
    remake_board(fit);
    put_record(sealed_record(3332772, 0));
    board->reset_counters();
    start_log();
    RunResult r = run({"-status"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kLoaded1996 + "Game update.\n");
    bool read_record = false;
    for (const SpaceAccess &a : space_log()) {
        EXPECT_NE(a.space, 8) << "the report has no business with the sound flash";
        read_record |= a.kind == tavboard::Access::copy && a.space == 0 && a.offset == (4u << 20) - (64u << 10);
    }
    EXPECT_TRUE(read_record);
    for (uint8_t command : {0x20, 0x40, 0xE8, 0xD0}) EXPECT_EQ(board->command_count(command), 0u) << int(command);
    EXPECT_EQ(board->counters().erases, 0u);
    EXPECT_EQ(board->counters().programmed_bytes, 0u);
}

}  // namespace
}  // namespace jobs_test
