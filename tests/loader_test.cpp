// The loader's runs on the model board, one ctest case per run. The tables (each file's head says how
// to read it): tests/data/loader/options.txt (the command line, the run state a job receives, the way
// out), runs.txt (the status report over each kind of record, loads over sets and fits, every failure
// before or during a load and of each damaged update file) and faults.txt (each fault the model
// injects, in each phase of a load and in the report). The oracles: the model board (what it holds,
// erases and was sent), the update set, and stored outputs beside the tables. Then the record's and
// the file names' own checks.
#include <signal.h>
#include <sys/stat.h>

#include <map>
#include <optional>
#include <thread>

#include "loader/update_files.h"
#include "model_fixture.h"
#include "tests/bus_trace.h"

namespace jobs_test {
namespace {

const std::string kStars = std::string(79, '*') + "\n";
const std::string kBlank = "*" + std::string(77, ' ') + "*\n";
const std::string kFailed = "* TAV board load failed!!!" + std::string(52, ' ') + "*\n";
const std::string kBanner = kStars + kBlank + kFailed + kBlank + kStars;

const std::map<std::string, tavboard::FaultKind> kFaults = {
    {"erase-fail", tavboard::FaultKind::erase_fail}, {"program-fail", tavboard::FaultKind::program_fail},
    {"stuck", tavboard::FaultKind::stuck},           {"vpp-low", tavboard::FaultKind::vpp_low},
    {"locked", tavboard::FaultKind::locked},         {"never-ready", tavboard::FaultKind::never_ready},
    {"buffer-busy", tavboard::FaultKind::buffer_busy}, {"absent", tavboard::FaultKind::absent}};

const std::vector<tavtest::Row> kFaultTables = tavtest::read_rows("loader/faults.txt");

const tavtest::Row &row_named(const std::string &key, const std::string &name) {
    for (const tavtest::Row &row : kFaultTables) {
        if (row.text(key) == name) return row;
    }
    throw std::out_of_range("no row " + key + "=" + name);
}

// The fault matrix as runs: each kind in each phase its row names for an outcome. Failing, the run
// gives the driver's message and then the phase's; a failing erase meets the phase's first erase,
// other faults its first program (or erase), a vanished device or board comes whole. The fault
// appears as the phase begins (a vanished device once it has programmed a byte), for any other
// outcome before the run.
std::vector<tavtest::Row> fault_runs() {
    std::vector<tavtest::Row> runs;
    const tavtest::Row &all = row_named("phases", "all");
    for (const tavtest::Row &kind : kFaultTables) {
        for (const std::string outcome : {"fails", "unaffected", "not_loaded", "not_responding"}) {
            for (const std::string &name : tavtest::split(kind.text(outcome), " ")) {
                const tavtest::Row &phase = row_named("phase", name);
                const tavtest::Row &result = outcome == "fails" ? phase : row_named("outcome", outcome);
                const std::string fault = kind.text("kind");
                const bool vanishes = fault == "absent" || fault == "board-absent";
                tavtest::Row run;
                run.where = kind.where + " in " + phase.where;
                run.fields = {{"name", fault + " in " + name}, {"fault", fault}};
                for (const auto &[key, value] : all.fields) run.fields[key] = all.text(key);
                for (const std::string key : {"fit", "record", "words", "device", "code", "err", "out", "board"}) {
                    if (phase.has(key)) run.fields[key] = phase.text(key);
                    if (result.has(key)) run.fields[key] = result.text(key);
                }
                const bool at_block = fault == "erase-fail" || !phase.has("offset");
                if (!vanishes) run.fields[at_block ? "block" : "offset"] = phase.text(at_block ? "block" : "offset");
                std::string driver = kind.text("text") + kind.text(phase.text("op"));
                if (fault == "stuck") driver = phase.text("stuck");
                if (outcome == "fails") run.fields["err"] = driver + phase.text("err");
                if (outcome == "fails" && (phase.has("start") || vanishes)) {
                    run.fields["armed"] = std::to_string(phase.number("start") + (vanishes ? 1 : 0));
                }
                run.fields.erase("phases");
                runs.push_back(run);
            }
        }
    }
    return runs;
}

// The fault tables name no field that the runs above leave unread (a misspelt one).
TEST(FaultTables, HaveNoUnreadField) {
    for (const tavtest::Row &row : kFaultTables) EXPECT_EQ(row.unread(), "") << row.where;
}

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

// The row's update set: the options of tools/update_set.h by name.
UpdateSetOptions set_of(const tavtest::Row &row) {
    UpdateSetOptions o;
    o.unchecked = true;
    for (auto [key, value] : std::map<std::string, uint32_t *>{
             {"game_number", &o.game_number}, {"im_flsh0_bytes", &o.im_flsh0_bytes}, {"game_bytes", &o.game_bytes},
             {"symbols_bytes", &o.symbols_bytes}, {"tavboot_bytes", &o.tavboot_bytes}, {"sound_bytes", &o.sound_bytes},
             {"bootdata_bytes", &o.bootdata_bytes}, {"sound_period", &o.sound_period}}) {
        *value = uint32_t(row.number(key, *value));
    }
    for (auto [key, value] : std::map<std::string, std::optional<uint32_t> *>{
             {"declared_im_flsh0_longs", &o.declared_im_flsh0_longs}, {"declared_game_longs", &o.declared_game_longs},
             {"declared_symbols_longs", &o.declared_symbols_longs}}) {
        if (row.has(key)) *value = uint32_t(row.number(key));
    }
    o.version_major = int32_t(row.number("version_major", o.version_major));
    o.version_minor = int32_t(row.number("version_minor", o.version_minor));
    o.sound = row.number("sound", 1) == 1;
    o.prefix = row.text("prefix");
    if (row.has("bootdata_game_id")) o.bootdata_game_id = int32_t(row.number("bootdata_game_id"));
    return o;
}

// Writes `bytes` into the FIFO `path` in pieces of 1001 and 4099 bytes in turn, a little apart, so
// that its reader's reads come back short and at odd lengths.
void feed_in_pieces(const std::string &path, const std::string &bytes) {
    const int fd = open(path.c_str(), O_WRONLY);
    size_t done = 0;
    size_t piece = 1001;
    while (fd >= 0 && done < bytes.size()) {
        const size_t n = std::min(piece, bytes.size() - done);
        if (write(fd, bytes.data() + done, n) != static_cast<ssize_t>(n)) break;
        done += n;
        piece = piece == 1001 ? 4099 : 1001;
        usleep(2000);
    }
    close(fd);
}

long open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

class LoaderRuns : public ModelBoardTest, public testing::WithParamInterface<tavtest::Row> {
  protected:
    // The record of a load of game 40215 long ago with these sizes, written through the driver where a
    // load writes it; `changed`: a word changed after sealing.
    void put_record(int32_t game_size, int32_t sound_size, bool changed) {
        TAVInfo record = {};
        std::strcpy(record.tav_info_timestamp, "Fri Dec 13 16:03:17 1996");
        record.tav_info_size = 64;
        record.game_id = 40215;
        record.game_size = game_size;
        record.sound_size = sound_size;
        std::memcpy(record.magic_cookie, "14Jan97", 8);
        record.tav_info_checksum = 0u - word_sum(&record, sizeof record) + (changed ? 1 : 0);
        FSI fsi;
        ASSERT_EQ(flash_query(0, &fsi), 1);
        uint8_t *table = flash_alloc_erase_table(&fsi);
        ASSERT_EQ(flash_init_erase_table(&fsi, table), 1);
        EXPECT_EQ(flash_write(&fsi, fsi.size - fsi.block_size, reinterpret_cast<uint8_t *>(&record), 256, table), 1);
        flash_free_erase_table(&fsi, table);
    }

    // Does one item of a row's damage ("KIND FILE") to the set in `dir`.
    void damage(const std::string &dir, const std::string &item) {
        const std::string kind = item.substr(0, item.find(' '));
        const std::string path = dir + "/" + item.substr(kind.size() + 1);
        const std::string bytes = tavtest::read_file(path);
        ASSERT_EQ(unlink(path.c_str()), 0) << path;
        if (kind == "directory") { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }
        if (kind == "fifo" || kind == "pieces") { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }
        if (kind == "longer") { ASSERT_TRUE(tavtest::write_file(path, bytes + std::string(5000, '\x11'))); }
        if (kind == "pieces") writers_.emplace_back(path, std::thread(feed_in_pieces, path, bytes));
    }

    // Arms the row's fault: a kind the model injects at its device, block or offset, or the board gone.
    void arm(const tavtest::Row &row) {
        armed_ = true;
        tavboard::Fault fault;
        fault.device = row.text("device") == "sound" ? tavboard::Device::sound : tavboard::Device::game;
        fault.block = int32_t(row.number("block", -1));
        fault.offset = row.number("offset", -1);
        fault.mask = 0xFF;
        if (row.text("fault") == "board-absent") {
            board->set_board_absent(true);
            return;
        }
        fault.kind = kFaults.at(row.text("fault"));
        std::string error;
        EXPECT_TRUE(board->add_fault(fault, &error)) << error;
    }

    std::vector<std::pair<std::string, std::thread>> writers_;
    bool armed_ = false;
    tavtest::TempDir files_;
};

TEST_P(LoaderRuns, GiveTheirCodeOutputsAndBoard) {
    const tavtest::Row &row = GetParam();
    SCOPED_TRACE(row.where + ": " + row.text("name"));
    signal(SIGPIPE, SIG_IGN);   // a reader that stops early shows as a failed run, not a killed test
    if (row.has("fit")) {
        const std::vector<std::string> n = tavtest::split(row.text("fit"), ",");
        remake_board({uint32_t(std::stoul(n[0])) << 20, uint32_t(std::stoul(n[1])) << 10,
                      uint32_t(std::stoul(n[2])) << 10});
    }
    const int32_t game_size = int32_t(row.number("game_size", 3332772));
    const int32_t sound_size = int32_t(row.number("sound_size", 1048576));
    if (row.text("record") != "none") put_record(game_size, sound_size, row.text("record") == "changed");
    const UpdateSetOptions set = set_of(row);
    const std::string dir = files_.file(row.has("folder") ? row.text("folder") : "set");
    std::string error;
    ASSERT_TRUE(tavtools::write_update_set(dir, set, &error)) << error;
    for (const std::string &item : tavtest::split(row.text("damage"), ",")) damage(dir, item);
    struct stat info = {};
    stat((dir + "/sf.rom").c_str(), &info);
    RunSetup setup;
    setup.name = row.has("argv0") ? row.text("argv0") : "tavload";
    if (row.text("descriptors") == "none_left") setup.descriptors = Descriptors::none_left;
    if (row.text("descriptors") == "stdin_closed") setup.descriptors = Descriptors::stdin_closed;
    tavtest::write_file(files_.file("input"), row.text("input"));
    setup.input = row.text("input") == "@DIR@" ? "/" : files_.file("input");
    setup.console = row.has("console");
    const std::string usage = replaced(run_loader(nullptr, {"-?"}).err, "tavload", "@N@");
    const std::string words = row.text("words");
    auto filled = [&](std::string text) {
        text = replaced(text, "@WS@", " \t\n\v\f\r");
        text = replaced(text, "@U@", tavtest::stored_output("loader/usage.txt", usage));
        text = replaced(text, "@R@", "@N@: TAV not responding - check if board and jumper are both present\n");
        text = replaced(text, "@N@", row.has("shown") ? row.text("shown") : "tavload");
        text = replaced(text, "@W@", words.substr(0, words.find(',')));
        text = replaced(text, "@P@", "\nPress ENTER to continue...");
        text = replaced(text, "@D@", dir);
        text = replaced(text, "@X@", std::string(5000, 'x'));
        text = replaced(text, "@S@", std::to_string(info.st_size));
        return replaced(text, "@B@", kBanner);
    };
    const std::vector<std::string> facts = tavtest::split(row.text("board"), ", ");
    armed_ = !row.has("fault");
    if (!armed_ && !row.has("armed")) arm(row);
    const uint64_t armed_at = uint64_t(row.number("armed"));
    board->set_status_read_hook([&] {
        tick_clock_advance(1);
        if (!armed_ && board->counters().programmed_bytes >= armed_at) arm(row);
    });
    board->reset_counters();
    board_window = nullptr;
    const long open_before = open_descriptors();
    std::optional<tavtest::BusTrace> trace;
    if (std::find(facts.begin(), facts.end(), "unchanged") != facts.end()) trace.emplace(*board);
    const RunResult r = run_loader(board->window_address(), tavtest::split(filled(words), ","), setup);
    for (auto &[path, writer] : writers_) {
        const int release = open(path.c_str(), O_RDONLY | O_NONBLOCK);   // a writer still waiting for a reader
        writer.join();
        close(release);
    }
    EXPECT_TRUE(armed_) << "the fault's phase did not begin";
    EXPECT_EQ(r.code, row.number("code"));
    EXPECT_EQ(r.err, filled(row.text("err")));
    std::string out = filled(row.text(setup.console ? "console" : "out"));
    if (row.has("transcript")) {
        const std::string seen = replaced(r.out, dir + "/", "@P@");
        out = replaced(tavtest::stored_output("loader/" + row.text("transcript") + ".txt", seen), "@P@", dir + "/");
    }
    EXPECT_EQ(r.out, out);
    if (row.has("state")) { EXPECT_EQ(r.state, row.text("state")); }
    if (row.has("rest")) { EXPECT_EQ(r.rest, row.text("rest")) << "what the ENTER wait leaves"; }
    EXPECT_EQ(open_descriptors(), open_before) << "a file was left open";
    for (const std::string &fact : facts) {
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
            EXPECT_EQ(board_window, nullptr) << "the window reached the driver";
        } else if (fact == "unchanged") {
            EXPECT_EQ(board->counters().erases + board->counters().programmed_bytes, 0u);
            for (uint8_t command : {0x20, 0x40, 0xE8, 0xD0}) EXPECT_EQ(board->command_count(command), 0u) << +command;
            for (const std::string &line : trace->lines) EXPECT_TRUE(line.starts_with("game ")) << line;
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
            EXPECT_EQ(status.code, fact == "not loaded" ? 34 : 0) << fact;
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
INSTANTIATE_TEST_SUITE_P(EveryFaultInEveryPhase, LoaderRuns, testing::ValuesIn(fault_runs()), test_name);

// The record and the update file names, without a board (loads and the status report pin the rest).
TEST(TavInfoRecord, WordSumsTimestampsDumpAndNames) {
    const uint8_t words[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0, 0, 0xAA, 0xBB, 0xCC};
    uint32_t sum = 10;   // low byte first, onto a running sum modulo 2^32, trailing bytes left out
    sum_longs(words, sizeof words, &sum);
    EXPECT_EQ(sum, 0x10bu);
    setenv("TZ", "UTC0", 1);
    tzset();
    // No time of day gives a fixed date; a five-digit year is kept whole.
    const std::pair<time_t, std::string> dates[] = {{-1, "Fri Dec 13 16:03:17 1996"}, {0, "Thu Jan  1 00:00:00 1970"},
                                                    {253402300800LL, "Sat Jan  1 00:00:00 10000"}};
    for (const auto &[now, text] : dates) {
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
    auto zero = [](uint8_t b) { return b == 0; };
    EXPECT_TRUE(std::all_of(bytes + 24, bytes + 32, zero));
    EXPECT_EQ(std::memcmp(bytes + 32, "\x40\0\0\0\0\0\0\0\x39\x30\0\0", 12), 0);   // size 64, checksum 0, GAME#
    EXPECT_TRUE(std::all_of(record.reserved, record.reserved + sizeof record.reserved, zero));
    record.tav_info_size = 63;   // a record of another size is not valid, whatever its sum
    seal_tav_info(&record);
    EXPECT_EQ(tav_info_valid(&record), 0);
    // The dump shows a text up to its first byte outside 0x20..0x7E, or its field's end.
    std::memcpy(record.tav_info_timestamp, "Fri\x7F" "Dec", 8);
    std::memcpy(record.magic_cookie, "13Dec96X", 8);
    record.reserved[0] = 'Z';
    testing::internal::CaptureStdout();
    print_tav_info(&record);
    const std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(dump.starts_with("TAVInfo structure:\n  tav_info_timestamp: \"Fri\"\n")) << dump;
    EXPECT_NE(dump.find("  magic_cookie:        \"13Dec96X\"\n"), std::string::npos) << dump;
    // "/" joins a path that is not empty, even one that ends in "/"; a backslash is a character like any other.
    run_options.path = "C:\\upd/";
    run_options.prefix = "new";
    EXPECT_EQ(update_file_name("sf.rom"), "C:\\upd//newsf.rom");
    run_options.path = "";
    EXPECT_EQ(update_file_name("sf.rom"), "newsf.rom");
}

}  // namespace
}  // namespace jobs_test
