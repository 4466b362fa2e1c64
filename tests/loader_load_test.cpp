// Loads through loader_main on the model board, with update sets made by the generator of
// `tavsim make-update`: the -debug text byte for byte, the board's contents against the
// files, the spaces a load may touch, the failures of the update files and of the checks
// before the flash is touched, with message and code and the board reading "not loaded"
// afterwards, and the time a full load takes. Device faults in every phase and damaged
// files (directories, FIFOs, cut short) are in the reliability tests.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "loader_jobs_support.h"
#include "reliability_support.h"

namespace jobs_test {
namespace {

class LoadTest : public LoaderJobsTest {
  protected:
    // After a failed load: the record in the flash is not a valid one, and -status says
    // so. A device that reported a program error keeps the error bits in its status
    // register until power-off, so there only the flash contents are checked.
    void expect_not_loaded(const std::string &what, bool ask_status = true) {
        TAVInfo record;
        std::memcpy(&record, board->data(tavboard::Device::game) + info_at(), sizeof record);
        EXPECT_EQ(tav_info_valid(&record), 0) << what;
        if (!ask_status) return;
        RunResult status = run({"-status"});
        EXPECT_EQ(status.code, 34) << what;
        EXPECT_EQ(status.err, kNotLoaded) << what;
    }
};

void write_bytes(const std::string &path, size_t size) { std::ofstream(path, std::ios::binary) << std::string(size, 'Z'); }

// The expected -debug text written out by hand, once, for a small set: the anchor for
// expected_progress() used everywhere else.
TEST_F(LoadTest, DebugTextOfASmallGameOnlyLoad) {
    UpdateSetOptions o;
    o.game_number = 12345;
    o.version_major = 1;
    o.version_minor = 2;
    o.im_flsh0_bytes = 4;
    o.game_bytes = 8196;
    o.symbols_bytes = 0;
    o.tavboot_bytes = 20000;
    o.sound = false;
    std::string dir = make_set(o);
    RunResult r = run({"-debug", "-gfonly", "-p" + dir, "12345"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string d = dir + "/";
    EXPECT_EQ(r.out, kSep + "Preparing to update game FLASH...(12345 - V1.2)\n" +
                         kSep + "Updating game FLASH with (" + d + "im_flsh0.rom)...       4" + kBs8 + "       4" +
                         kEnd + kSep + "Updating game FLASH with (" + d + "game.rom)...    8196" + kBs8 + "    8196" +
                         kBs8 + "       4" +
                         kEnd + kSep + "Updating game FLASH with (" + d + "symbols.rom)...       0" +
                         kEnd + kSep + "Updating game FLASH with (" + d + "bootdata.rom)...   32768" + kEnd +
                         kSep + "Updating information database and (" + d + "tavboot.rom)...   32768" +
                         kBs8 + "   32768" + kBs8 + "   24576" + kBs8 + "   16384" + kEnd +
                         kSep + "ISA update board load complete.\n");
    EXPECT_EQ(r.err, "");
    expect_board_loaded(o, {false, true});
}

// -debug loads over option and update sets. (A full load of the default set is the
// command-line chain test, a quiet one the timing test below, -gfonly the test of the
// spaces it touches.)
TEST_F(LoadTest, LoadsOverOptionAndUpdateSets) {
    struct Row {
        const char *what;
        void (*set)(UpdateSetOptions *);
        const char *option;   // after -debug, before -pDIR and the game number
        const char *slash;    // appended to DIR
        LoadShape shape;
    };
    const Row rows[] = {
        {"sound only, without the game files", [](UpdateSetOptions *o) { o->im_flsh0_bytes = o->game_bytes = o->symbols_bytes = 0; },
         "-sfonly", "", {true, false}},
        {"no sf.rom: the sound section is only announced", [](UpdateSetOptions *o) { o->sound = false; }, "", "",
         {false, true}},
        {"prefix and a path ending in a slash", [](UpdateSetOptions *o) { o->prefix = "new"; }, "-fnew", "/", {true, true}},
        {"images of whole chunks, an empty image, short tavboot.rom",
         [](UpdateSetOptions *o) {
             o->im_flsh0_bytes = 3 * 8192;
             o->game_bytes = 0;
             o->symbols_bytes = 8192 + 4;
             o->tavboot_bytes = 3000;
             o->version_major = 3;
             o->version_minor = 14;
         },
         "", "", {true, true}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        remake_board(board_fit());
        UpdateSetOptions o;
        row.set(&o);
        std::string dir = make_set(o, "set");
        std::vector<std::string> words = {"-debug", row.option, "-p" + dir + row.slash, std::to_string(o.game_number)};
        if (words[1].empty()) words.erase(words.begin() + 1);
        RunResult r = run(words);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, expected_progress(o, dir + row.slash, false, !row.shape.game, o.sound));
        expect_board_loaded(o, row.shape);
        fs::remove_all(dir);
    }
}

TEST_F(LoadTest, EachBlockIsErasedOnceAndOnlyWhatIsWritten) {
    UpdateSetOptions o;
    std::string dir = make_set(o);
    put_record(sealed_record(1, 1, 11111));
    board->reset_counters();
    ASSERT_EQ(run({"-p" + dir, "40215"}).code, 0);
    const uint32_t block = board->fit().game_block;
    const uint32_t images_end = 32768 + o.im_flsh0_bytes + o.game_bytes + o.symbols_bytes;
    const uint32_t last = (4u << 20) / block - 1;
    for (uint32_t b = 0; b <= last; b++) {
        // The record's block is erased at the start and once more through the erase table.
        uint64_t expected = b == last ? 2 : (b * block < images_end ? 1 : 0);
        EXPECT_EQ(board->erase_count(tavboard::Device::game, b), expected) << "block " << b;
    }
    expect_board_loaded(o, {true, true});
}

TEST_F(LoadTest, GameOnlyNeverTouchesTheSoundSpaces) {
    UpdateSetOptions o;
    std::string dir = make_set(o);
    start_log();
    RunResult r = run({"-debug", "-gfonly", "-p" + dir, "40215"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, expected_progress(o, dir, true, false, true));
    size_t register_writes = 0;
    for (const SpaceAccess &a : space_log()) {
        if (a.kind == tavboard::Access::reg_write) {
            register_writes++;
            // Registers 2 and 3 carry the space: 0 for every page of the game flash.
            EXPECT_TRUE(a.offset < 0x4002 || a.value == 0) << "register " << a.offset - 0x4000;
        } else {
            EXPECT_EQ(a.space, 0) << "access outside the game flash at " << a.offset;
        }
    }
    EXPECT_GT(register_writes, 0u);
    expect_board_loaded(o, {false, true});   // the sound flash still erased
}

// An 8 MB board: sf.rom goes to space 8 when it answers, else to space 1 (the upper half's
// first MB); space 1 is not touched otherwise. The record counts the image either way.
TEST_F(LoadTest, SoundGoesToSpaceOneOnlyWhenSpaceEightDoesNotAnswer) {
    for (uint32_t sound_size : {0u, 1u << 20}) {
        SCOPED_TRACE(fmt("sound device of %u bytes", sound_size));
        tavboard::Fit fit;
        fit.game_size = 8u << 20;
        fit.sound_size = sound_size;
        remake_board(fit);
        UpdateSetOptions o;
        std::string dir = make_set(o);
        start_log();
        RunResult r = run({"-debug", "-p" + dir, "40215"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, expected_progress(o, dir, false, false, true));
        bool space1_written = false;
        for (const SpaceAccess &a : space_log()) {
            space1_written |= a.space == 1 && (a.kind == tavboard::Access::write8 || a.kind == tavboard::Access::write16);
        }
        EXPECT_EQ(space1_written, sound_size == 0);
        std::vector<uint8_t> sf = tavtools::update_file_bytes(o, UpdateFile::sound);
        const uint8_t *upper = board->data(tavboard::Device::game) + (4u << 20);
        EXPECT_TRUE(sound_size == 0 ? std::equal(sf.begin(), sf.end(), upper)
                                    : std::all_of(upper, upper + sf.size(), [](uint8_t b) { return b == 0xFF; }));
        expect_board_loaded(o, {true, true});
        fs::remove_all(dir);
    }
}

TEST_F(LoadTest, SmallerSoundDevicesTakeOnlyRepeatingImages) {
    const struct {
        uint32_t device, period;   // period 0: no repetition in sf.rom
        int code;
    } rows[] = {
        {256u << 10, 256u << 10, 0}, {512u << 10, 256u << 10, 0},   // repeats of 256 KB also repeat every 512 KB
        {256u << 10, 0, 6},          {512u << 10, 0, 6},          {256u << 10, 512u << 10, 6},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(fmt("device %u, period %u", row.device, row.period));
        tavboard::Fit fit;
        fit.sound_size = row.device;
        remake_board(fit);
        put_record(sealed_record(1, 1, 11111));
        UpdateSetOptions o;
        o.sound_period = row.period;
        std::string dir = make_set(o);
        board->reset_counters();
        RunResult r = run({"-p" + dir, "40215"});
        EXPECT_EQ(r.code, row.code);
        if (row.code == 0) {
            EXPECT_EQ(r.err, "");
            expect_board_loaded(o, {true, true});
            continue;
        }
        EXPECT_EQ(r.err, fmt("tavload: file (%s/sf.rom) does not fit the %u byte sound FLASH\n", dir.c_str(), row.device));
        EXPECT_EQ(board->erase_count(tavboard::Device::sound, 0), 0u) << "the sound flash was touched";
        const uint8_t *sound = board->data(tavboard::Device::sound);
        EXPECT_TRUE(std::all_of(sound, sound + row.device, [](uint8_t b) { return b == 0xFF; }));
        expect_not_loaded("sound image too large");
    }
}

// One failing load: how to break the set or the board, and what the run must say.
struct FailureRow {
    const char *what;
    void (*set)(UpdateSetOptions *);                             // the update set
    void (*board)(tavboard::Board &, const std::string &dir);   // after the set was written
    std::vector<std::string> options;                            // before -pDIR and the game number
    int code;
    const char *message;   // %1$s: the folder
};

const FailureRow kFailures[] = {
    {"sf.rom one byte long", nullptr, [](tavboard::Board &, const std::string &dir) { write_bytes(dir + "/sf.rom", 1048577); },
     {}, 7, "tavload: file (%1$s/sf.rom) present but wrong size 1048577 != 1048576\n"},
    {"-sfonly without sf.rom", [](UpdateSetOptions *o) { o->sound = false; }, nullptr, {"-sfonly"}, 3,
     "tavload: -sfonly specified, but file (%1$s/sf.rom) is not present\n"},
    {"BootData declares images that wrap 32 bits", [](UpdateSetOptions *o) { o->declared_game_longs = 0xFFFFFFFF; },
     nullptr, {}, 8,
     "\ntavload: file (%1$s/bootdata.rom) declares 17180669184 bytes of game images, 4030464 fit below the "
     "information record\n"},
    {"BootData declares four bytes too many",
     [](UpdateSetOptions *o) {
         o->declared_game_longs = (tavtools::kImagesEnd - tavtools::kImagesOffset - 300004 - 500000) / 4 + 1;
     },
     nullptr, {}, 8,
     "\ntavload: file (%1$s/bootdata.rom) declares 4030468 bytes of game images, 4030464 fit below the information "
     "record\n"},
    {"tavboot.rom one byte long", nullptr,
     [](tavboard::Board &, const std::string &dir) { write_bytes(dir + "/tavboot.rom", 32769); }, {}, 28,
     "\ntavload: file (%1$s/tavboot.rom) present but wrong size 32769 != 32768\n"},
    {"zero fill program failure", [](UpdateSetOptions *o) { o->tavboot_bytes = 3000; },
     [](tavboard::Board &b, const std::string &) {
         tavboard::Fault fault;
         fault.kind = tavboard::FaultKind::program_fail;
         fault.offset = 0x3F8000 + 5000;
         std::string error;
         ASSERT_TRUE(b.add_fault(fault, &error)) << error;
     },
     {}, 31,
     "flash_wait(): write/set block lock error\nflash_wait(): device 0 WSM ready timeout (0x90)\n"
     "\ntavload: unable to write FLASH from (%1$s/tavboot.rom)\n"},
};

TEST_F(LoadTest, EachFailureHasItsMessageCodeAndLeavesTheBoardNotLoaded) {
    const int descriptors = reliability_test::open_descriptors();
    for (const FailureRow &row : kFailures) {
        SCOPED_TRACE(row.what);
        remake_board(board_fit());
        put_record(sealed_record(1, 1, 11111));   // the old record a load must remove first
        UpdateSetOptions o;
        o.unchecked = true;
        if (row.set != nullptr) row.set(&o);
        std::string dir = make_set(o);
        if (row.board != nullptr) row.board(*board, dir);
        std::vector<std::string> words = row.options;
        words.push_back("-p" + dir);
        words.push_back(std::to_string(o.game_number));

        RunResult r = run(words);
        EXPECT_EQ(r.code, row.code);
        EXPECT_EQ(reliability_test::open_descriptors(), descriptors) << "a file was left open";
        std::string message = row.message;
        for (size_t at; (at = message.find("%1$s")) != std::string::npos;) message.replace(at, 4, dir);
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "") << "a quiet load prints nothing";
        bool sticky = !board->faults().empty();
        board->clear_faults();
        expect_not_loaded(row.what, !sticky);
        fs::remove_all(dir);
    }
}

TEST_F(LoadTest, GameNumberMismatchLeavesTheGameFlashUntouched) {
    put_record(sealed_record(1, 1, 11111));
    UpdateSetOptions o;
    o.bootdata_game_id = 12345;
    o.game_number = 12346;
    o.unchecked = true;
    std::string dir = make_set(o);
    RunResult r = run({"-debug", "-p" + dir, "12346"});
    EXPECT_EQ(r.code, 35);
    EXPECT_EQ(r.err, "\ntavload: GamdID (12345) of file (" + dir + "/bootdata.rom) does not match GAME# 12346\n" + kBanner);
    // The heading line shows the file's game number, then the check fails.
    std::string sound = counted(kSep + "Updating sound FLASH with (" + dir + "/sf.rom)...", 1048576) + kEnd;
    EXPECT_EQ(r.out, kSep + "Preparing to update sound FLASH...\n" + sound + kSep +
                         "Preparing to update game FLASH...(12345 - V1.0)\n");
    const uint8_t *game = board->data(tavboard::Device::game);
    EXPECT_TRUE(std::all_of(game, game + (4u << 20), [](uint8_t b) { return b == 0xFF; })) << "game flash written";
    // The sound flash was updated before the check.
    std::vector<uint8_t> sf = tavtools::update_file_bytes(o, UpdateFile::sound);
    EXPECT_TRUE(std::equal(sf.begin(), sf.end(), board->data(tavboard::Device::sound)));
    expect_not_loaded("mismatch");
}

TEST_F(LoadTest, SmallEraseBlocksStopBeforeTheRecordIsErased) {
    tavboard::Fit fit;
    fit.game_block = 32u << 10;
    remake_board(fit);
    put_record(sealed_record(1, 1, 11111));
    std::string dir = make_set(UpdateSetOptions{});
    board->reset_counters();
    RunResult r = run({"-p" + dir, "40215"});
    EXPECT_EQ(r.code, 9);
    EXPECT_EQ(r.err, "tavload: game FLASH erase blocks of 32768 bytes are too small for the update layout\n");
    EXPECT_EQ(board->counters().erases, 0u);
    EXPECT_EQ(board->counters().programmed_bytes, 0u);
    EXPECT_EQ(run({"-status"}).code, 0) << "the old record is still there";
}

TEST_F(LoadTest, SoundOpenFailureWhenNoDescriptorIsLeft) {
    // Running as root, permissions cannot make a file unreadable; a used-up descriptor
    // limit makes the open fail the same way for anyone.
    put_record(sealed_record(1, 1, 11111));
    std::string dir = make_set(UpdateSetOptions{});
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Capture first: the captures hold descriptors of their own.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string p = "-p" + dir;
    char argv0[] = "tavload", number[] = "40215";
    char *argv[] = {argv0, p.data(), number, nullptr};
    int code = loader_main(board->window_address(), 3, argv);
    setrlimit(RLIMIT_NOFILE, &saved);
    std::fflush(stderr);
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 10);
    EXPECT_EQ(err, "tavload: unable to open file (" + dir + "/sf.rom) - Too many open files\n");
    EXPECT_EQ(board->erase_count(tavboard::Device::sound, 0), 0u);
    expect_not_loaded("sound open");
}

TEST_F(LoadTest, LongerImagesStopAtTheDeclaredSize) {
    UpdateSetOptions o;
    o.symbols_bytes = 0;
    o.tavboot_bytes = 32768;
    std::string dir = make_set(o);
    // 5000 more bytes behind game.rom and behind bootdata.rom.
    for (const char *base : {"game.rom", "bootdata.rom"}) {
        std::ofstream(dir + "/" + base, std::ios::binary | std::ios::app) << std::string(5000, '\x11');
    }
    RunResult r = run({"-debug", "-p" + dir, "40215"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, expected_progress(o, dir, false, false, true));
    expect_board_loaded(o, {true, true});   // includes the erased bytes behind game.rom
}

// The fullest set: the images end right at the record, and 1 MB of sound.
TEST_F(LoadTest, FullLoadTimeOnTheModel) {
    UpdateSetOptions o;
    o.im_flsh0_bytes = 1u << 20;
    o.game_bytes = tavtools::kImagesEnd - tavtools::kImagesOffset - (1u << 20) - 4;
    o.symbols_bytes = 4;
    std::string dir = make_set(o);
    auto start = std::chrono::steady_clock::now();
    RunResult r = run({"-p" + dir, "40215"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    tavboard::Counters c = board->counters();
    std::printf("full load (%u game bytes, 1048576 sound bytes): %.3f s, %llu bus accesses, %llu erases\n",
                32768 + o.im_flsh0_bytes + o.game_bytes + o.symbols_bytes, seconds,
                static_cast<unsigned long long>(c.accesses), static_cast<unsigned long long>(c.erases));
    RecordProperty("full_load_ms", static_cast<int>(seconds * 1000));
    expect_board_loaded(o, {true, true});
    // Generous: the machine is shared and sanitizers slow everything down several times.
    EXPECT_LT(seconds, 20.0);
}

}  // namespace
}  // namespace jobs_test
