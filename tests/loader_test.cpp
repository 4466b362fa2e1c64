// The loader's outcomes on the model board, as tables: the status report for each kind of
// record, loads over sets and board fits (stored -debug transcripts, the board's contents,
// the erase blocks and spaces written), and every failure before or during a load and of
// each damaged update file (message, code, and the board left not loaded).
#include <signal.h>
#include <sys/stat.h>

#include <functional>
#include <set>
#include <thread>

#include "loader/update_files.h"
#include "model_fixture.h"

namespace jobs_test {
namespace {

tavboard::Fit fit(uint32_t game_mb = 4, uint32_t block_kb = 128, uint32_t sound_kb = 1024) {
    return tavboard::Fit{game_mb << 20, block_kb << 10, sound_kb << 10, false};
}

// The spaces (0, 1, 8) whose pages the run wrote to.
std::string spaces_written(const std::vector<SpaceAccess> &log) {
    std::set<int> spaces;
    for (const SpaceAccess &a : log)
        if (a.kind == tavboard::Access::write8 || a.kind == tavboard::Access::write16) spaces.insert(a.space);
    std::string text;
    for (int s : spaces) text.append(text.empty() ? "" : " ").append(std::to_string(s));
    return text;
}

using LoaderTest = LoaderJobsTest;

const std::string kDump1996 = "TAVInfo structure:\n  tav_info_timestamp: \"Fri Dec 13 16:03:17 1996\"\n"
                              "  tav_info_size:       64\n  tav_info_checksum:   ";
const std::string kLoaded1996 = "TAV loaded on Fri Dec 13 16:03:17 1996 with GameID 40215 ";

// The report reads the record at the start of the last erase block and writes nothing.
TEST_F(LoaderTest, StatusReportOfEachRecord) {
    const struct {
        uint32_t block_kb;
        int32_t game_size, sound_size, record;   // record 0: none (erased block), 1: sealed, 2: a word changed after sealing
        std::vector<std::string> args;
        int code;
        std::string out_start, out_end, err;
    } rows[] = {
        {128, 3332772, 1048576, 1, {"-status"}, 0, kLoaded1996 + "Game & Sound updates.\n", "", ""},
        {64, 3332772, 0, 1, {"-debug", "-status"}, 0, kDump1996, kLoaded1996 + "Game update.\n", ""},
        {128, 0, 1048576, 1, {"-status"}, 0, kLoaded1996 + "Sound update.\n", "", ""},
        {128, 0, 0, 1, {"-status"}, 0, kLoaded1996 + " update.\n", "", ""},
        {128, 0, 0, 0, {"-status"}, 34, "", "", kNotLoaded},
        {128, 0, 0, 0, {"-debug", "-status", "40215"}, 34, transcript("erased_dump", ""), "", kNotLoaded + kBanner},
        {64, 3332772, 1048576, 2, {"-status"}, 34, "", "", kNotLoaded},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args) + std::to_string(row.record));
        remake_board(fit(4, row.block_kb));
        if (row.record != 0) put_record(40215, row.game_size, row.sound_size, row.record == 2);
        board->reset_counters();
        start_log();
        RunResult r = run(row.args);
        EXPECT_EQ(std::make_pair(r.code, r.err), std::make_pair(row.code, row.err));
        EXPECT_TRUE(r.out.starts_with(row.out_start) && r.out.ends_with(row.out_end)) << r.out;
        EXPECT_EQ(board->counters().erases + board->counters().programmed_bytes, 0u);
        for (uint8_t command : {0x20, 0x40, 0xE8, 0xD0}) EXPECT_EQ(board->command_count(command), 0u) << int(command);
        EXPECT_EQ(spaces_written(space_log()), "0");   // commands and page registers only, never the sound flash
    }
}

TEST_F(LoaderTest, LoadsOverSetsAndFits) {
    using Set = std::function<void(UpdateSetOptions &)>;
    const struct {
        const char *what;
        Set set;
        tavboard::Fit fit;
        std::vector<std::string> options;   // before -pDIR and the game number
        std::string folder, dir_tail;       // the set's folder; appended to it after -p
        const char *transcript;             // stored -debug output; null: a quiet load
        std::vector<const char *> longer;   // files 5000 bytes longer than BootData declares
        LoadShape shape;
        const char *spaces;                 // the spaces written (null: not logged)
        Descriptors descriptors = Descriptors::as_is;
    } rows[] = {
        {"small game-only set", [](auto &o) { o.game_number = 12345, o.version_major = 1, o.version_minor = 2, o.im_flsh0_bytes = 4, o.game_bytes = 8196, o.symbols_bytes = 0, o.tavboot_bytes = 20000, o.sound = false; },
         fit(), {"-debug", "-gfonly"}, "set", "", "small_game_only", {}, {false, true}, "0"},
        {"sound only", [](auto &o) { o.im_flsh0_bytes = o.game_bytes = o.symbols_bytes = 0; }, fit(), {"-debug", "-sfonly"}, "set", "", "sound_only", {}, {true, false}, nullptr},
        {"no sf.rom: the sound section is only announced", [](auto &o) { o.sound = false; }, fit(), {"-debug"}, "set", "", "no_sound", {}, {false, true}, "0"},
        {"prefix and a path ending in a slash", [](auto &o) { o.prefix = "new"; }, fit(), {"-debug", "-fnew"}, "set", "/", "default", {}, {}, nullptr},
        {"whole chunks, an empty image, short tavboot.rom", [](auto &o) { o.im_flsh0_bytes = 3 * 8192, o.game_bytes = 0, o.symbols_bytes = 8192 + 4, o.tavboot_bytes = 3000, o.version_major = 3, o.version_minor = 14; },
         fit(), {"-debug"}, "set", "", "chunks", {}, {}, nullptr},
        {"8 MB without a sound device: space 1", nullptr, fit(8, 128, 0), {"-debug"}, "set", "", "default", {}, {}, "0 1 8"},
        {"8 MB with a sound device", nullptr, fit(8), {}, "set", "", nullptr, {}, {}, "0 8"},
        {"256 KB sound device, repeats of 256 KB", [](auto &o) { o.sound_period = 256u << 10; }, fit(4, 128, 256), {}, "set", "", nullptr, {}, {}, nullptr},
        {"512 KB sound device, repeats of 256 KB", [](auto &o) { o.sound_period = 256u << 10; }, fit(4, 128, 512), {}, "set", "", nullptr, {}, {}, nullptr},
        {"64 KB erase blocks, longer files stop at the declared size", [](auto &o) { o.symbols_bytes = 0, o.tavboot_bytes = 32768; }, fit(4, 64), {}, "set", "", nullptr, {"game.rom", "bootdata.rom"}, {}, nullptr},
        {"images that end right at the record", [](auto &o) { o.im_flsh0_bytes = 1u << 20, o.game_bytes = tavtools::kImagesEnd - tavtools::kImagesOffset - (1u << 20) - 4, o.symbols_bytes = 4; },
         fit(), {}, "set", "", nullptr, {}, {}, nullptr},
        {"tavboot.rom empty", [](auto &o) { o.tavboot_bytes = 0; }, fit(), {}, "set", "", nullptr, {}, {}, nullptr},
        {"tavboot.rom ending on a chunk", [](auto &o) { o.tavboot_bytes = 16384; }, fit(), {}, "set", "", nullptr, {}, {}, nullptr},
        {"full names beyond 255 characters", nullptr, fit(), {"-debug"}, std::string(200, 'a') + "/" + std::string(100, 'b'), "", "default", {}, {}, nullptr},
        {"standard input closed: an update file opens as descriptor 0", nullptr, fit(), {}, "set", "", nullptr, {}, {}, nullptr, Descriptors::stdin_closed},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        remake_board(row.fit);
        put_record(11111);
        UpdateSetOptions o;
        if (row.set) row.set(o);
        std::string dir = make_set(o, row.folder);
        for (const char *base : row.longer) tavtest::write_file(dir + "/" + base, tavtest::read_file(dir + "/" + base) + std::string(5000, '\x11'));
        std::vector<std::string> words = row.options;
        words.insert(words.end(), {"-p" + dir + row.dir_tail, std::to_string(o.game_number)});
        board->reset_counters();
        if (row.spaces) start_log();
        RunResult r = run_loader(board->window_address(), words, "tavload", row.descriptors);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err + r.out,  row.transcript ? transcript(row.transcript, dir + row.dir_tail + "/" + o.prefix) : "");
        if (row.spaces) { EXPECT_EQ(spaces_written(space_log()), row.spaces); }
        board->enable_log(false);
        expect_loaded(*board, o, row.shape);
        // Each block of space 0 is erased once where images go; the record's block at the
        // start and once more through the erase table; no other.
        const uint32_t block = row.fit.game_block, last = (4u << 20) / block - 1;
        const uint32_t images_end = 32768 + o.im_flsh0_bytes + o.game_bytes + o.symbols_bytes;
        for (uint32_t b = 0; b <= last; b++)
            EXPECT_EQ(board->erase_count(tavboard::Device::game, b), b == last ? 2u : row.shape.game && b * block < images_end ? 1u : 0u) << b;
    }
}

enum class After { not_loaded, sticky_fault, old_record, game_erased };

struct Failure {   // "@D@" in options and err: the set's folder
    std::string what;
    std::function<void(UpdateSetOptions &)> set;
    std::function<void(tavboard::Board &, const std::string &dir)> prepare;   // after the set is written
    std::vector<std::string> options;
    int code;
    std::string err;
    tavboard::Fit fit = tavboard::Fit{};
    After after = After::not_loaded;
    bool sound_untouched = false;
    Descriptors descriptors = Descriptors::as_is;
    const char *transcript = nullptr;                            // stored -debug output
};

void resize(const std::string &path, size_t size) { tavtest::write_file(path, std::string(size, 'Z')); }

std::vector<Failure> failures() {
    const std::vector<std::string> load = {"-p@D@", "40215"};
    const std::string room = "4030464 fit below the information record\n", sound = "tavload: file (@D@/sf.rom) does not fit the ";
    const auto fill_fault = [](tavboard::Board &b, auto &) {
        std::string error;
        ASSERT_TRUE(b.add_fault({tavboard::FaultKind::program_fail, tavboard::Device::game, -1, 0x3F8000 + 5000}, &error)) << error;
    };
    return {
        {"sf.rom one byte long", nullptr, [](auto &, auto &dir) { resize(dir + "/sf.rom", 1048577); }, load, 7, "tavload: file (@D@/sf.rom) present but wrong size 1048577 != 1048576\n"},
        {"-sfonly without sf.rom", [](auto &o) { o.sound = false; }, nullptr, {"-sfonly", "-p@D@", "40215"}, 3, "tavload: -sfonly specified, but file (@D@/sf.rom) is not present\n"},
        {"images that wrap 32 bits", [](auto &o) { o.declared_game_longs = 0xFFFFFFFF; }, nullptr, load, 8, "\ntavload: file (@D@/bootdata.rom) declares 17180669184 bytes of game images, " + room},
        {"four bytes too many", [](auto &o) { o.declared_game_longs = (tavtools::kImagesEnd - tavtools::kImagesOffset - 800004) / 4 + 1; }, nullptr, load, 8,
         "\ntavload: file (@D@/bootdata.rom) declares 4030468 bytes of game images, " + room},
        {"tavboot.rom one byte long", nullptr, [](auto &, auto &dir) { resize(dir + "/tavboot.rom", 32769); }, load, 28, "\ntavload: file (@D@/tavboot.rom) present but wrong size 32769 != 32768\n"},
        {"zero fill program failure", [](auto &o) { o.tavboot_bytes = 3000; }, fill_fault, load, 31,
         "flash_wait(): write/set block lock error\nflash_wait(): device 0 WSM ready timeout (0x90)\n\ntavload: unable to write FLASH from (@D@/tavboot.rom)\n", {}, After::sticky_fault},
        {"sf.rom without repeats, 256 KB", nullptr, nullptr, load, 6, sound + "262144 byte sound FLASH\n", fit(4, 128, 256), After::not_loaded, true},
        {"sf.rom without repeats, 512 KB", nullptr, nullptr, load, 6, sound + "524288 byte sound FLASH\n", fit(4, 128, 512), After::not_loaded, true},
        {"sf.rom repeating every 512 KB, 256 KB", [](auto &o) { o.sound_period = 512u << 10; }, nullptr, load, 6, sound + "262144 byte sound FLASH\n", fit(4, 128, 256), After::not_loaded, true},
        {"BootData's game number differs: the sound flash is loaded, the heading shows the file's", [](auto &o) { o.bootdata_game_id = 12345, o.game_number = 12346; }, nullptr,
         {"-debug", "-p@D@", "12346"}, 35, "\ntavload: GamdID (12345) of file (@D@/bootdata.rom) does not match GAME# 12346\n" + kBanner, {}, After::game_erased, false, Descriptors::as_is, "mismatch"},
        {"erase blocks of 32 KB", nullptr, nullptr, load, 9, "tavload: game FLASH erase blocks of 32768 bytes are too small for the update layout\n", fit(4, 32), After::old_record, true},
        {"a folder name the system refuses", nullptr, nullptr, {"-p/" + std::string(5000, 'x'), "40215"}, 12,
         "\ntavload: unable to open file (/" + std::string(5000, 'x') + "/bootdata.rom) - File name too long\n"},
        {"spaces in path and prefix, game.rom missing", [](auto &o) { o.prefix = "new set "; }, [](auto &, auto &dir) { std::remove((dir + "/new set game.rom").c_str()); },
         {"-p@D@", "-fnew set ", "40215"}, 22, "\ntavload: unable to open file (@D@/new set game.rom) - No such file or directory\n"},
        // Running as root, permissions cannot make a file unreadable; a used-up descriptor limit makes the open fail for anyone.
        {"no descriptor left for sf.rom", nullptr, nullptr, load, 10, "tavload: unable to open file (@D@/sf.rom) - Too many open files\n", {}, After::not_loaded, true, Descriptors::none_left},
    };
}

// The damaged-file table: each file of the set missing, a directory, a FIFO no one writes,
// cut short inside a chunk, or empty. sf.rom is sized before it is opened (and may be
// absent); BootData is read once, so a FIFO reads as empty.
std::vector<Failure> damaged_files() {
    const struct {
        UpdateFile file;
        int open_code, directory_code, code;
        uint32_t keep;   // bytes a cut keeps; 0: a short file is allowed
    } files[] = {
        {UpdateFile::sound, 0, 7, 7, 1048576 - 5000}, {UpdateFile::bootdata, 12, 13, 14, 32767}, {UpdateFile::im_flsh0, 19, 20, 20, 12001},
        {UpdateFile::game, 22, 23, 23, 30002},        {UpdateFile::symbols, 25, 26, 26, 8195},   {UpdateFile::tavboot, 29, 30, 30, 0},
    };
    const char *const damages[] = {"missing", "a directory", "a FIFO", "cut short", "empty"};
    const char *const errors[] = {"open file (@N@) - No such file or directory", "read file (@N@) - Is a directory", "read file (@N@) - unexpected end of file"};
    std::vector<Failure> cases;
    for (const auto &f : files) {
        for (int d = 0; d < 5; d++) {
            if ((d == 0 && f.open_code == 0) || (d >= 2 && f.keep == 0)) continue;   // tavboot.rom may be short or empty
            const std::string name = std::string("@D@/") + tavtools::update_file_base(f.file);
            const uint32_t size = d == 3 ? f.keep : 0;
            std::string err = replaced("\ntavload: unable to " + std::string(errors[std::min(d, 2)]) + "\n", "@N@", name);
            if (f.file == UpdateFile::bootdata && d >= 2) err = "\ntavload: file (" + name + ") is not 32768 bytes\n";
            if (f.file == UpdateFile::sound) err = "tavload: file (" + name + ") present but wrong size " + (d == 1 ? "@S@" : std::to_string(size)) + " != 1048576\n";
            auto damage = [f, d, size](tavboard::Board &, const std::string &dir) {
                std::string path = dir + "/" + tavtools::update_file_base(f.file), bytes = tavtest::read_file(path);
                ASSERT_EQ(unlink(path.c_str()), 0);
                if (d == 1) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }
                if (d == 2) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }
                if (d >= 3) { ASSERT_TRUE(tavtest::write_file(path, bytes.substr(0, size))); }
            };
            cases.push_back({std::string(tavtools::update_file_base(f.file)) + " " + damages[d], nullptr, damage, {"-p@D@", "40215"},
                             d == 0 ? f.open_code : d == 1 ? f.directory_code : f.code, err});
        }
    }
    return cases;
}

TEST_F(LoaderTest, EachFailureHasItsMessageCodeAndLeavesTheBoardNotLoaded) {
    std::vector<Failure> cases = failures(), damaged = damaged_files();
    cases.insert(cases.end(), damaged.begin(), damaged.end());
    for (const Failure &c : cases) {
        SCOPED_TRACE(c.what);
        remake_board(c.fit);
        put_record(11111);   // the old record a load must remove first
        UpdateSetOptions o;
        o.unchecked = true;
        if (c.set) c.set(o);
        std::string dir = make_set(o);
        if (c.prepare) c.prepare(*board, dir);
        std::vector<std::string> words;
        for (const std::string &w : c.options) words.push_back(replaced(w, "@D@", dir));
        board->reset_counters();
        const int descriptors = open_descriptors();
        RunResult r = run_loader(board->window_address(), words, "tavload", c.descriptors);
        EXPECT_EQ(r.code, c.code);
        struct stat info = {};
        stat((dir + "/sf.rom").c_str(), &info);   // a directory's size is the file system's
        EXPECT_EQ(r.err, replaced(replaced(c.err, "@D@", dir), "@S@", std::to_string(info.st_size)));
        EXPECT_EQ(r.out, c.transcript ? transcript(c.transcript, dir + "/") : "");
        EXPECT_EQ(open_descriptors(), descriptors) << "a file was left open";
        if (c.sound_untouched) { EXPECT_EQ(board->erase_count(tavboard::Device::sound, 0), 0u); }
        const uint8_t *game = board->data(tavboard::Device::game);
        if (c.after == After::game_erased) { EXPECT_TRUE(std::all_of(game, game + (4u << 20), [](uint8_t b) { return b == 0xFF; })); }
        if (c.after == After::old_record) {
            EXPECT_EQ(board->counters().erases + board->counters().programmed_bytes + run({"-status"}).code, 0u) << "the old record is still there";
            continue;
        }
        // Not loaded, and (unless a device keeps error bits in its status register until
        // power-off) -status says so.
        board->clear_faults();
        TAVInfo record;
        std::memcpy(&record, game + (4u << 20) - board->fit().game_block, sizeof record);
        EXPECT_EQ(tav_info_valid(&record), 0);
        if (c.after == After::sticky_fault) continue;
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
