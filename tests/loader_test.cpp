// The loader's outcomes on the model board, as tables: the status report for each kind of
// record, loads over sets and board fits (stored -debug transcripts, the board's contents,
// the erase blocks and spaces written), and every failure before or during a load and of
// each damaged update file (message, code, and the board left not loaded).
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <thread>

#include "loader/update_files.h"
#include "model_fixture.h"

namespace jobs_test {
namespace {

tavboard::Fit fit(uint32_t game_mb = 4, uint32_t block_kb = 128, uint32_t sound_kb = 1024) {
    return tavboard::Fit{game_mb << 20, block_kb << 10, sound_kb << 10, false};
}

using LoaderTest = LoaderJobsTest;

// The rows of tests/data/loader/status.txt (its head says how to read them). The report reads the record at the
// start of the last erase block and writes nothing.
TEST_F(LoaderTest, StatusReportOfEachRecord) {
    for (const std::vector<std::string> &row : data_rows("status", 9)) {
        SCOPED_TRACE(row[3] + " " + row[4]);
        remake_board(fit(4, std::stoul(row[0])));
        if (row[3] != "none") put_record(40215, std::stoi(row[1]), std::stoi(row[2]), row[3] == "changed");
        board->reset_counters();
        start_log();
        RunResult r = run(tavtest::split(row[4], ","));
        EXPECT_EQ(std::make_pair(r.code, r.err), std::make_pair(std::stoi(row[5]), replaced(row[8], "@B@", kBanner)));
        EXPECT_TRUE(r.out.starts_with(replaced(row[6], "@T@", transcript("erased_dump", ""))) && r.out.ends_with(row[7])) << r.out;
        EXPECT_EQ(board->counters().erases + board->counters().programmed_bytes, 0u);
        for (uint8_t command : {0x20, 0x40, 0xE8, 0xD0}) EXPECT_EQ(board->command_count(command), 0u) << int(command);
        EXPECT_EQ(spaces_written(), "0");   // commands and page registers only, never the sound flash
    }
}

// Applies the words "name=value" (split by ",") to a set's options.
void set_options(UpdateSetOptions &o, const std::string &words) {
    std::map<std::string, uint32_t *> sizes = {{"game_number", &o.game_number},     {"im_flsh0_bytes", &o.im_flsh0_bytes},
                                               {"game_bytes", &o.game_bytes},       {"symbols_bytes", &o.symbols_bytes},
                                               {"tavboot_bytes", &o.tavboot_bytes}, {"sound_period", &o.sound_period}};
    for (const std::string &word : tavtest::split(words, ",")) {
        const std::string key = word.substr(0, word.find('=')), value = word.substr(word.find('=') + 1);
        const uint32_t n = key == "prefix" ? 0 : uint32_t(std::stoul(value, nullptr, 0));
        if (key == "prefix") o.prefix = value;
        else if (key == "sound") o.sound = n != 0;
        else if (key == "bootdata_game_id") o.bootdata_game_id = int32_t(n);
        else if (key == "declared_game_longs") o.declared_game_longs = n;
        else if (key == "version_major") o.version_major = int32_t(n);
        else if (key == "version_minor") o.version_minor = int32_t(n);
        else *sizes.at(key) = n;
    }
}

// The board fit "game MB,erase block KB,sound KB"; empty: the usual one.
tavboard::Fit fit_of(const std::string &text) {
    const std::vector<std::string> n = tavtest::split(text, ",");
    return text.empty() ? fit() : fit(std::stoul(n[0]), std::stoul(n[1]), std::stoul(n[2]));
}

// The rows of tests/data/loader/loads.txt (its head says how to read them).
TEST_F(LoaderTest, LoadsOverSetsAndFits) {
    for (const std::vector<std::string> &row : data_rows("loads", 11)) {
        SCOPED_TRACE(row[0]);
        const tavboard::Fit board_fit = fit_of(row[2]);
        remake_board(board_fit);
        put_record(11111);
        UpdateSetOptions o;
        set_options(o, row[1]);
        std::string dir = make_set(o, row[4].empty() ? "set" : row[4]);
        for (const std::string &base : tavtest::split(row[7], ","))
            tavtest::write_file(dir + "/" + base, tavtest::read_file(dir + "/" + base) + std::string(5000, '\x11'));
        std::vector<std::string> words = tavtest::split(row[3], ",");
        words.insert(words.end(), {"-p" + dir + row[5], std::to_string(o.game_number)});
        board->reset_counters();
        if (!row[9].empty()) start_log();
        const Descriptors descriptors = row[10] == "stdin_closed" ? Descriptors::stdin_closed : Descriptors::as_is;
        RunResult r = run_loader(board->window_address(), words, "tavload", descriptors);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err + r.out, row[6].empty() ? "" : transcript(row[6], dir + row[5] + "/" + o.prefix));
        if (!row[9].empty()) { EXPECT_EQ(spaces_written(), row[9]); }
        const LoadShape shape{row[8].find("sound") != std::string::npos, row[8].find("game") != std::string::npos};
        board->enable_log(false);
        expect_loaded(*board, o, shape);
        // Each block of space 0 is erased once where images go; the record's block at the
        // start and once more through the erase table; no other.
        const uint32_t block = board_fit.game_block, last = (4u << 20) / block - 1;
        const uint32_t images_end = 32768 + o.im_flsh0_bytes + o.game_bytes + o.symbols_bytes;
        for (uint32_t b = 0; b <= last; b++)
            EXPECT_EQ(board->erase_count(tavboard::Device::game, b), b == last ? 2u : shape.game && b * block < images_end ? 1u : 0u) << b;
    }
}

// Does a failure row's damage (see tests/data/loader/failures.txt) to the set in `dir`.
void damage(tavboard::Board &board, const std::string &dir, const std::string &what) {
    if (what.empty()) return;
    const std::vector<std::string> w = tavtest::split(what, " ");
    const bool counted = w[0] == "size" || w[0] == "cut" || w[0] == "program_fail";
    const uint32_t n = counted ? uint32_t(std::stoul(w[1])) : 0;
    std::string error;
    if (w[0] == "program_fail") {
        ASSERT_TRUE(board.add_fault({tavboard::FaultKind::program_fail, tavboard::Device::game, -1, n}, &error)) << error;
        return;
    }
    const std::string path = dir + "/" + what.substr(w[0].size() + (counted ? w[1].size() + 2 : 1));
    const std::string bytes = tavtest::read_file(path);
    ASSERT_EQ(unlink(path.c_str()), 0);
    if (w[0] == "directory") { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }
    if (w[0] == "fifo") { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }
    if (w[0] == "size") { ASSERT_TRUE(tavtest::write_file(path, std::string(n, 'Z'))); }
    if (w[0] == "cut") { ASSERT_TRUE(tavtest::write_file(path, bytes.substr(0, n))); }
}

// The rows of tests/data/loader/failures.txt (its head says how to read them).
TEST_F(LoaderTest, EachFailureHasItsMessageCodeAndLeavesTheBoardNotLoaded) {
    for (const std::vector<std::string> &c : data_rows("failures", 11)) {
        SCOPED_TRACE(c[0]);
        remake_board(fit_of(c[6]));
        put_record(11111);   // the old record a load must remove first
        UpdateSetOptions o;
        o.unchecked = true;
        set_options(o, c[1]);
        std::string dir = make_set(o);
        damage(*board, dir, c[2]);
        struct stat info = {};
        stat((dir + "/sf.rom").c_str(), &info);   // a directory's size is the file system's
        const std::vector<std::pair<std::string, std::string>> marks = {
            {"@D@", dir}, {"@X@", std::string(5000, 'x')}, {"@S@", std::to_string(info.st_size)}, {"@B@", kBanner}};
        std::vector<std::string> words = tavtest::split(c[3], ",");
        std::string err = c[5];
        for (const auto &[mark, by] : marks) {
            err = replaced(err, mark, by);
            for (std::string &w : words) w = replaced(w, mark, by);
        }
        board->reset_counters();
        const int descriptors = open_descriptors();
        const Descriptors limit = c[9] == "none_left" ? Descriptors::none_left : Descriptors::as_is;
        RunResult r = run_loader(board->window_address(), words, "tavload", limit);
        EXPECT_EQ(r.code, std::stoi(c[4]));
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, c[10].empty() ? "" : transcript(c[10], dir + "/"));
        EXPECT_EQ(open_descriptors(), descriptors) << "a file was left open";
        if (c[8] == "1") { EXPECT_EQ(board->erase_count(tavboard::Device::sound, 0), 0u); }
        const uint8_t *game = board->data(tavboard::Device::game);
        if (c[7] == "game_erased") { EXPECT_TRUE(std::all_of(game, game + (4u << 20), [](uint8_t b) { return b == 0xFF; })); }
        if (c[7] == "old_record") {
            EXPECT_EQ(board->counters().erases + board->counters().programmed_bytes + run({"-status"}).code, 0u) << "the old record is still there";
            continue;
        }
        board->clear_faults();
        TAVInfo record;
        std::memcpy(&record, game + (4u << 20) - board->fit().game_block, sizeof record);
        EXPECT_EQ(tav_info_valid(&record), 0);
        if (c[7] == "sticky_fault") continue;
        RunResult status = run({"-status"});
        EXPECT_EQ(std::make_pair(status.code, status.err), std::make_pair(34, kNotLoaded));
    }
}

// An image that arrives in pieces (a FIFO fed by a writer): reads come back short and at odd
// lengths; the record's sums still match, and a short read of tavboot.rom is not its end.
TEST_F(LoaderTest, ImagesArrivingInPiecesLoad) {
    signal(SIGPIPE, SIG_IGN);   // a reader that stops early must show as a wrong board
    for (UpdateFile file : {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game, UpdateFile::symbols, UpdateFile::tavboot}) {
        SCOPED_TRACE(tavtools::update_file_base(file));
        remake_board(fit());
        UpdateSetOptions o;
        o.im_flsh0_bytes = 20000, o.game_bytes = 40000, o.symbols_bytes = 12000, o.tavboot_bytes = 20000;
        std::string path = make_set(o, tavtools::update_file_base(file)) + "/" + tavtools::update_file_base(file), bytes = tavtest::read_file(path);
        ASSERT_TRUE(unlink(path.c_str()) == 0 && mkfifo(path.c_str(), 0644) == 0);
        std::thread writer([&] {
            int fd = open(path.c_str(), O_WRONLY);
            for (size_t done = 0, n, piece = 1001; fd >= 0 && done < bytes.size(); done += n, piece ^= 1001 ^ 4099) {
                n = std::min(piece, bytes.size() - done);
                if (write(fd, bytes.data() + done, n) != static_cast<ssize_t>(n)) break;
                usleep(2000);
            }
            close(fd);
        });
        RunResult r = run({"-p" + path.substr(0, path.rfind('/')), "40215"});
        int release = open(path.c_str(), O_RDONLY | O_NONBLOCK);   // a writer still waiting for a reader
        writer.join(), close(release);
        EXPECT_EQ(r.code, 0) << r.err;
        expect_loaded(*board, o, LoadShape{});
    }
}

// The record and the update file names, without a board. Loads and the status table pin the
// rest of the record: its sums, fields after a load and dump.
TEST(TavInfoRecord, WordSumsTimestampsAndValidity) {
    uint8_t words[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0, 0, 0xAA, 0xBB, 0xCC};
    uint32_t sum = 10;   // low byte first, onto a running sum modulo 2^32, trailing bytes left out
    sum_longs(words, sizeof words, &sum);
    EXPECT_EQ(sum, 0x10bu);
    setenv("TZ", "UTC0", 1);
    tzset();
    // No time of day gives a fixed date; a five-digit year is kept whole.
    for (auto [now, text] : {std::pair<time_t, std::string>{-1, "Fri Dec 13 16:03:17 1996"}, {0, "Thu Jan  1 00:00:00 1970"}, {253402300800LL, "Sat Jan  1 00:00:00 10000"}}) {
        char field[32];
        std::memset(field, 0x55, sizeof field);
        format_tav_timestamp(now, field);
        EXPECT_EQ(std::string(field, 32), text + std::string(32 - text.size(), '\0'));
    }
    unsetenv("TZ");
    tzset();
    TAVInfo record;
    std::memset(&record, 0xEE, sizeof record);   // nothing of what was there shows through
    prepare_tav_info(&record, 12345);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&record);
    EXPECT_TRUE(std::all_of(bytes + 24, bytes + 32, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::memcmp(bytes + 32, "\x40\0\0\0\0\0\0\0\x39\x30\0\0", 12), 0);   // size 64, checksum 0, GAME#
    EXPECT_TRUE(std::all_of(record.reserved, record.reserved + sizeof record.reserved, [](uint8_t b) { return b == 0; }));
    record.tav_info_size = 63;   // a record of another size is not valid, whatever its sum
    seal_tav_info(&record);
    EXPECT_EQ(tav_info_valid(&record), 0);
    // The dump shows the texts up to the first byte outside 0x20..0x7E or the field's end.
    std::memcpy(record.tav_info_timestamp, "Fri\x7F" "Dec", 8);
    std::memcpy(record.magic_cookie, "13Dec96X", 8);
    testing::internal::CaptureStdout();
    print_tav_info(&record);
    std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(dump.starts_with("TAVInfo structure:\n  tav_info_timestamp: \"Fri\"\n")) << dump;
    EXPECT_NE(dump.find("  magic_cookie:        \"13Dec96X\"\n"), std::string::npos) << dump;
    RunOptions saved = run_options;   // "/" joins a non-empty path; a backslash is an ordinary character
    run_options.path = "C:\\upd";
    run_options.prefix = "new";
    EXPECT_EQ(update_file_name("sf.rom"), "C:\\upd/newsf.rom");
    run_options.path = "";
    run_options.prefix = "";
    EXPECT_EQ(update_file_name("sf.rom"), "sf.rom");
    run_options = saved;
}

}  // namespace
}  // namespace jobs_test
