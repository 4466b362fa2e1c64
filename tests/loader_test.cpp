// The loader's runs on the model board, one ctest case per row of tests/data/loader/options.txt, runs.txt and
// faults.txt (each file's head says how to read it), judged by the model board, the update set and stored outputs.
#include <sys/stat.h>

#include <cerrno>

#include "model_fixture.h"
#include "tools/tavsim_common.h"

// The link wraps read for this program: while short_reads is set, each read is cut to 1001 bytes and every other
// one is first interrupted by a signal, as reads from a pipe or a network share can be.
static bool short_reads = false;
static int reads_seen = 0;
extern "C" ssize_t __real_read(int fd, void *buffer, size_t count);
extern "C" ssize_t __wrap_read(int fd, void *buffer, size_t count) {
    if (!short_reads) return __real_read(fd, buffer, count);
    reads_seen++;
    if (reads_seen % 2 == 1) {
        errno = EINTR;
        return -1;
    }
    return __real_read(fd, buffer, std::min<size_t>(count, 1001));
}

namespace jobs_test {
namespace {

const std::string kStars = std::string(79, '*') + "\n";
const std::string kBlank = "*" + std::string(77, ' ') + "*\n";
const std::string kFailed = "* TAV board load failed!!!" + std::string(52, ' ') + "*\n";
const std::string kBanner = kStars + kBlank + kFailed + kBlank + kStars;

// The rows of a table, a row whose words= hold alternatives (split by ";") one run for each.
std::vector<tavtest::Row> runs_of(const std::string &table) {
    std::vector<tavtest::Row> runs;
    for (tavtest::Row row : tavtest::read_rows(table)) {
        const std::vector<std::string> each = tavtest::split(row.fields["words"], ";");
        for (size_t i = 0; i < std::max<size_t>(each.size(), 1); i++) {
            if (!row.has("name") || each.size() > 1) row.fields["name"] = row.where + " " + std::to_string(i + 1);
            row.fields["words"] = i < each.size() ? each[i] : "";
            runs.push_back(row);
        }
    }
    return runs;
}

// The row's update set: options of tools/update_set.h by name.
UpdateSetOptions set_of(const tavtest::Row &row) {
    UpdateSetOptions o;
    o.unchecked = true;
    o.im_flsh0_bytes = uint32_t(row.number("im_flsh0_bytes", o.im_flsh0_bytes));
    o.game_bytes = uint32_t(row.number("game_bytes", o.game_bytes));
    o.symbols_bytes = uint32_t(row.number("symbols_bytes", o.symbols_bytes));
    o.tavboot_bytes = uint32_t(row.number("tavboot_bytes", o.tavboot_bytes));
    o.sound_period = uint32_t(row.number("sound_period"));
    o.sound = row.text("sound") != "none";
    o.prefix = row.text("prefix");
    if (row.has("declared_game_longs")) o.declared_game_longs = uint32_t(row.number("declared_game_longs"));
    return o;
}

// Does one item of a row's damage ("KIND FILE") to the set in `dir`.
void damage(const std::string &dir, const std::string &item) {
    const std::string kind = item.substr(0, item.find(' '));
    const std::string path = dir + "/" + item.substr(kind.size() + 1);
    const std::string bytes = tavtest::read_file(path);
    ASSERT_EQ(unlink(path.c_str()), 0) << path;
    if (kind == "cut") { ASSERT_TRUE(tavtest::write_file(path, bytes.substr(0, bytes.size() / 2))); }
    if (kind == "longer") { ASSERT_TRUE(tavtest::write_file(path, bytes + std::string(5000, '\x11'))); }
    if (kind == "directory") { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }
    if (kind == "fifo") { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }
}

// The sealed record of a load of game 40215 long ago, put straight into the stored game flash (no bus cycle).
void put_record(tavboard::Board &board, const tavtest::Row &row) {
    TAVInfo record = {};
    std::strcpy(record.tav_info_timestamp, "Fri Dec 13 16:03:17 1996");
    record.tav_info_size = row.text("record") == "63 words" ? 63 : 64;
    record.game_id = 40215;
    record.game_size = int32_t(row.number("game_size", 3332772));
    record.sound_size = int32_t(row.number("sound_size", 1048576));
    std::memcpy(record.magic_cookie, "14Jan97", 8);
    record.tav_info_checksum = 0u - word_sum(&record, sizeof record) + (row.text("record") == "changed" ? 1 : 0);
    uint8_t *game = const_cast<uint8_t *>(board.data(tavboard::Device::game));
    std::memcpy(game + (4u << 20) - board.fit().game_block, &record, sizeof record);
}

// Arms the row's fault: the board gone, or a kind the model injects at its device, block or offset.
void arm(tavboard::Board &board, const tavtest::Row &row) {
    tavboard::Fault fault{.device = row.text("device") == "sound" ? tavboard::Device::sound : tavboard::Device::game,
                          .block = int32_t(row.number("block", -1)), .offset = row.number("offset", -1), .mask = 0xFF};
    std::string error;
    if (row.text("fault") == "board-absent") {
        board.set_board_absent(true);
    } else {
        EXPECT_TRUE(tavsim::fault_kind_from_name(row.text("fault"), &fault.kind)) << row.text("fault");
        EXPECT_TRUE(board.add_fault(fault, &error)) << error;
    }
}

long open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

class LoaderRuns : public ModelBoardTest, public testing::WithParamInterface<tavtest::Row> {};

TEST_P(LoaderRuns, GiveTheirCodeOutputsAndBoard) {
    const tavtest::Row &row = GetParam();
    SCOPED_TRACE(row.where + ": " + row.text("name"));
    remake_board({uint32_t(row.number("game_mb", 4)) << 20, uint32_t(row.number("block_kb", 128)) << 10,
                  uint32_t(row.number("sound_kb", 1024)) << 10});
    if (row.text("record") != "none") put_record(*board, row);
    const UpdateSetOptions set = set_of(row);
    const tavtest::TempDir files;
    const std::string dir = files.file(row.has("folder") ? row.text("folder") : "set");
    std::string error;
    ASSERT_TRUE(tavtools::write_update_set(dir, set, &error)) << error;
    for (const std::string &item : tavtest::split(row.text("damage"), ",")) damage(dir, item);
    const RunSetup setup{.name = row.has("argv0") ? row.text("argv0") : "tavload", .input = files.file("input"),
                         .console = row.has("console"), .descriptors = row.text("descriptors")};
    tavtest::write_file(setup.input, row.text("input"));
    const std::string usage = replaced(run_loader(nullptr, {"-?"}).err, "tavload", "@N@");
    const std::string words = row.text("words");
    auto filled = [&](std::string text) {
        text = replaced(text, "@WS@", " \t\n\v\f\r");
        text = replaced(text, "@U@", usage);
        text = replaced(text, "@R@", "@N@: TAV not responding - check if board and jumper are both present\n");
        text = replaced(text, "@N@", row.has("shown") ? row.text("shown") : "tavload");
        text = replaced(text, "@W@", words.substr(0, words.find(',')));
        text = replaced(text, "@P@", "\nPress ENTER to continue...");
        text = replaced(text, "@D@", dir);
        return replaced(text, "@B@", kBanner);
    };
    if (row.has("fault") && !row.has("armed")) arm(*board, row);
    bool armed = !row.has("armed");
    const uint64_t armed_at = uint64_t(row.number("armed"));
    board->set_status_read_hook([&] {
        tick_clock_advance(1);
        if (armed || board->counters().programmed_bytes < armed_at) return;
        armed = true;
        arm(*board, row);
    });
    board->reset_counters();
    const long open_before = open_descriptors();
    short_reads = row.text("reads") == "short";
    const RunResult r = run_loader(board->window_address(), tavtest::split(filled(words), ","), setup);
    EXPECT_TRUE(!short_reads || reads_seen > 0) << "no read was cut short";
    short_reads = false;
    EXPECT_TRUE(armed) << "the fault's phase did not begin";
    EXPECT_EQ(r.code, row.number("code"));
    EXPECT_EQ(r.err, filled(row.text("err")));
    std::string out = filled(row.text(setup.console ? "console" : "out"));
    if (row.has("transcript")) {
        const std::string seen = replaced(r.out, dir + "/", "@P@");
        out = replaced(tavtest::stored_output("loader/" + row.text("transcript") + ".txt", seen), "@P@", dir + "/");
    }
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.rest, row.text("rest")) << "what the ENTER wait leaves";
    EXPECT_EQ(open_descriptors(), open_before) << "a file was left open";
    for (const std::string &fact : tavtest::split(row.text("board"), ", ")) {
        if (fact.starts_with("loaded")) {
            const LoadShape shape{fact.find("sound") != std::string::npos, fact.find("game") != std::string::npos};
            expect_loaded(*board, set, shape);
            // Each erase block of space 0 erased once where images go, the record's twice, no other.
            const uint32_t block = board->fit().game_block;
            const uint32_t images_end = 32768 + set.im_flsh0_bytes + set.game_bytes + set.symbols_bytes;
            for (uint32_t b = 0; b < (4u << 20) / block; b++) {
                uint64_t erases = shape.game && b * block < images_end ? 1 : 0;
                if (b == (4u << 20) / block - 1) erases = 2;
                EXPECT_EQ(board->erase_count(tavboard::Device::game, b), erases) << "erase block " << b;
            }
        } else if (fact == "untouched") {
            EXPECT_EQ(board->counters().accesses, 0u);
        } else if (fact == "unchanged") {
            for (uint8_t command : {0x20, 0x40, 0xE8, 0xD0}) EXPECT_EQ(board->command_count(command), 0u) << +command;
        } else if (fact == "game erased") {
            const uint8_t *game = board->data(tavboard::Device::game);
            EXPECT_TRUE(std::all_of(game, game + (4u << 20), [](uint8_t b) { return b == 0xFF; }));
        } else if (fact == "sound untouched") {
            EXPECT_EQ(board->erase_count(tavboard::Device::sound, 0), 0u);
        } else if (fact == "not loaded" || fact == "still loaded") {
            board->clear_faults();
            board->set_board_absent(false);
            reopen_board();   // the power cycled: a status register's error bits are gone
            const RunResult status = run_loader(board->window_address(), {"-status"});
            EXPECT_EQ(status.err, fact == "not loaded" ? "TAV is not currently loaded.\n" : "") << fact;
        } else {
            ADD_FAILURE() << "no such board fact: " << fact;
        }
    }
    EXPECT_EQ(row.unread(), "");
}

std::string test_name(const testing::TestParamInfo<tavtest::Row> &info) { return tavtest::row_test_name(info.param); }
INSTANTIATE_TEST_SUITE_P(Options, LoaderRuns, testing::ValuesIn(runs_of("loader/options.txt")), test_name);
INSTANTIATE_TEST_SUITE_P(EachRow, LoaderRuns, testing::ValuesIn(runs_of("loader/runs.txt")), test_name);
INSTANTIATE_TEST_SUITE_P(Faults, LoaderRuns, testing::ValuesIn(runs_of("loader/faults.txt")), test_name);

// The record's date text, and its texts as the dump and the report show them (loads and the report pin the rest).
TEST(TavInfoRecord, DateTextAndPrintableText) {
    setenv("TZ", "UTC0", 1);
    tzset();
    char field[32];
    std::memset(field, 0x55, sizeof field);
    format_tav_timestamp(-1, field);   // no time of day: a fixed date
    EXPECT_EQ(std::string(field, 32), "Fri Dec 13 16:03:17 1996" + std::string(8, '\0'));
    format_tav_timestamp(253402300800LL, field);   // a five-digit year kept whole
    EXPECT_EQ(std::string(field, 32), "Sat Jan  1 00:00:00 10000" + std::string(7, '\0'));
    unsetenv("TZ");
    tzset();
    testing::internal::CaptureStdout();
    print_printable("Fri\x7F" "Dec", 7);   // up to the first byte outside 0x20..0x7E
    print_printable("13Dec96XZ", 8);        // or the field's end
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Fri13Dec96X");
}

}  // namespace
}  // namespace jobs_test
