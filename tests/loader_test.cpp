// The loader's runs on the model board, one ctest case per row of tests/data/loader/*.txt (each file's head says how
// to read it), judged by the model board, the update set and stored outputs.
#include <sys/stat.h>
#include <sys/wait.h>

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

using tavboard::Device;

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
    o.game_number = uint32_t(row.number("game_number", o.game_number));
    o.seed = uint64_t(row.number("seed", 1));
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

// Does one item of a row's damage to the set in `dir`: "KIND FILE" or "KIND N FILE" (runs.txt's head).
void damage(const std::string &dir, const std::string &item) {
    const std::vector<std::string> words = tavtest::split(item, " ");
    const std::string &kind = words[0];
    const bool counted = kind == "cut" || kind == "grow" || kind == "invert";
    const size_t n = counted ? std::stoul(words.at(1), nullptr, 0) : 0;
    const std::string path = dir + "/" + item.substr(kind.size() + 1 + (counted ? words[1].size() + 1 : 0));
    const std::string bytes = tavtest::read_file(path);
    ASSERT_EQ(unlink(path.c_str()), 0) << item;
    bool done = kind == "missing";
    if (kind == "directory") done = mkdir(path.c_str(), 0755) == 0;
    if (kind == "fifo") done = mkfifo(path.c_str(), 0644) == 0;
    if (kind == "cut") done = tavtest::write_file(path, bytes.substr(0, n));
    if (kind == "grow") done = tavtest::write_file(path, bytes + std::string(n, 'Z'));
    if (kind == "invert") {
        done = tavtest::write_file(path, bytes.substr(0, n) + char(~bytes.at(n)) + bytes.substr(n + 1));
    }
    ASSERT_TRUE(done) << item;
}

// Writes set `o` into `dir` and does the row's damage (items split by ",") to it.
void write_set(const std::string &dir, const UpdateSetOptions &o, const tavtest::Row &row) {
    std::string error;
    ASSERT_TRUE(tavtools::write_update_set(dir, o, &error)) << error;
    for (const std::string &item : tavtest::split(row.text("damage"), ",")) damage(dir, item);
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
    UpdateSetOptions held;   // record=loaded: the usual set, sf.rom repeating within a smaller sound device
    if (board->device_size(Device::sound) < (1u << 20)) held.sound_period = board->device_size(Device::sound);
    if (row.text("record") == "loaded") {
        put_loaded(*board, held);
    } else if (row.text("record") != "none") {
        put_record(*board, row);
    }
    const UpdateSetOptions set = set_of(row);
    const tavtest::TempDir files;
    const std::string dir = files.file(row.has("folder") ? row.text("folder") : "set");
    write_set(dir, set, row);
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
    const std::vector<uint8_t> flash_before = flash_bytes(*board);
    const std::string report_before = run_loader(board->window_address(), {"-status"}).out;
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
            EXPECT_EQ(board->counters().erases, 0u);
            EXPECT_EQ(board->counters().programmed_bytes, 0u);
            EXPECT_TRUE(flash_bytes(*board) == flash_before) << "the stored flash changed";
        } else if (fact == "sound untouched") {
            EXPECT_EQ(board->erase_count(Device::sound, 0), 0u);
        } else if (fact == "not loaded" || fact == "still loaded") {
            board->clear_faults();
            board->set_board_absent(false);
            reopen_board();   // the power cycled: a status register's error bits are gone
            const RunResult status = run_loader(board->window_address(), {"-status"});
            const bool still = fact == "still loaded";
            EXPECT_EQ(status.code, still ? 0 : 34) << fact;
            EXPECT_EQ(status.out, still ? report_before : "") << fact << ": the report before the run, or none";
            EXPECT_EQ(status.err, still ? "" : "TAV is not currently loaded.\n") << fact;
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
INSTANTIATE_TEST_SUITE_P(InputFaults, LoaderRuns, testing::ValuesIn(runs_of("loader/input_faults.txt")), test_name);

// Loads with -changed, one ctest case per row of changed.txt: the erase blocks and bytes programmed on the model's
// counters, and the board byte for byte as a plain load leaves it.
class ChangedLoads : public ModelBoardTest, public testing::WithParamInterface<tavtest::Row> {
  protected:
    // A fresh board where the row starts: the load before, the row's plain load killed, the row's fault.
    void prepare(const tavtest::Row &row, const std::vector<std::string> &plain) {
        remake_board({4u << 20, 128u << 10, uint32_t(row.number("sound_kb", 1024)) << 10});
        UpdateSetOptions before;
        before.seed = row.text("before") == "other" ? 2 : 1;
        before.game_number = row.text("before") == "other" ? 40216 : 40215;
        if (row.has("before")) put_loaded(*board, before);
        if (row.has("killed")) kill_load(row, plain);
        if (row.has("fault")) arm(*board, row);
    }
    void kill_load(const tavtest::Row &row, const std::vector<std::string> &plain) {
        const pid_t child = fork();
        if (child == 0) {
            // The kill counts this process's accesses: all of them since the board was made, none reset.
            const uint64_t after = board->counters().accesses + uint64_t(row.number("killed"));
            std::string error;
            board->add_fault(tavboard::Fault{.kind = tavboard::FaultKind::kill, .after = after}, &error);
            run_loader(board->window_address(), plain);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        board->clear_faults();
        EXPECT_EQ(WEXITSTATUS(status), 137) << "the load was not killed";
    }
};

// Each block of `list` ("2 5-7") erased once, every other block of the device not at all.
void expect_erased(const tavboard::Board &board, Device device, uint32_t blocks, const std::string &list) {
    std::vector<uint64_t> want(blocks, 0);
    for (const std::string &item : tavtest::split(list, " ")) {
        for (uint32_t b = std::stoul(item); b <= std::stoul(item.substr(item.find('-') + 1)); b++) want.at(b) = 1;
    }
    for (uint32_t b = 0; b < blocks; b++) EXPECT_EQ(board.erase_count(device, b), want[b]) << "erase block " << b;
}

TEST_P(ChangedLoads, EraseAndProgramOnlyWhatChanges) {
    const tavtest::Row &row = GetParam();
    SCOPED_TRACE(row.where + ": " + row.text("name"));
    const UpdateSetOptions set = set_of(row);
    const tavtest::TempDir files;
    write_set(files.file("set"), set, row);
    std::vector<std::string> words = tavtest::split(row.text("words"), ",");
    words.push_back("-p" + files.file("set"));
    words.push_back(std::to_string(set.game_number));
    std::vector<std::string> plain = words;
    std::erase(plain, "-changed");
    prepare(row, plain);
    const RunResult reference = run_loader(board->window_address(), plain);
    const std::vector<uint8_t> reference_bytes = flash_bytes(*board);
    prepare(row, plain);
    board->reset_counters();
    const RunResult r = run_loader(board->window_address(), words);
    EXPECT_EQ(reference.code, row.number("code"));
    EXPECT_EQ(r.code, reference.code);
    EXPECT_EQ(r.err, reference.err);
    EXPECT_EQ(r.out, reference.out);
    // All but the record's date and seal, which differ between two loads; a load that failed is only not loaded.
    const std::vector<uint8_t> now = flash_bytes(*board);
    const uint32_t info = (4u << 20) - (128u << 10);
    EXPECT_EQ(tav_info_valid(reinterpret_cast<const TAVInfo *>(now.data() + info)), r.code == 0 ? 1 : 0);
    if (r.code == 0) {
        EXPECT_TRUE(std::equal(now.begin(), now.begin() + info, reference_bytes.begin())) << "below the record";
        EXPECT_TRUE(std::equal(now.begin() + info + 40, now.end(), reference_bytes.begin() + info + 40)) << "after it";
    }
    expect_erased(*board, Device::game, 32, row.text("game_erased"));
    const uint32_t sound_blocks = 4 + (board->device_size(Device::sound) >> 17) - 1;   // the first block in four
    expect_erased(*board, Device::sound, sound_blocks, row.text("sound_erased"));
    uint64_t programmed = 0;
    for (const std::string &term : tavtest::split(row.text("programmed"), "+")) programmed += std::stoull(term);
    const std::vector<uint8_t> sf = tavtools::update_file_bytes(set, UpdateFile::sound);
    const std::vector<std::string> range = tavtest::split(row.has("sf") ? row.text("sf") : "0-0", "-");
    programmed += std::count_if(sf.begin() + std::stoul(range[0], nullptr, 0),
                                sf.begin() + std::stoul(range[1], nullptr, 0), [](uint8_t b) { return b != 0xFF; });
    EXPECT_EQ(board->counters().programmed_bytes, programmed);
    EXPECT_EQ(row.unread(), "");
}

INSTANTIATE_TEST_SUITE_P(EachRow, ChangedLoads, testing::ValuesIn(tavtest::read_rows("loader/changed.txt")), test_name);

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
