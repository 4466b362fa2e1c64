// Loads through loader_main on the model board, with update sets made by the generator of
// `tavsim make-update`: the -debug text byte for byte, the board's contents against the
// files, the spaces a load may touch, every failure with its message and code and the board
// reading "not loaded" afterwards, and the time a full load takes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "loader_jobs_support.h"

namespace jobs_test {
namespace {

class LoadTest : public LoaderJobsTest {
  protected:
    // After a failed load: the record in the flash is not a valid one, and -status says
    // so. A device that reported a program or erase error keeps the error bits in its
    // status register (the driver never clears them), so every later query of that space
    // fails until the board is powered off; there only the flash contents are checked.
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

// A small set whose -debug text can be written out by hand.
UpdateSetOptions small_set() {
    UpdateSetOptions o;
    o.game_number = 12345;
    o.version_major = 1;
    o.version_minor = 2;
    o.im_flsh0_bytes = 4;
    o.game_bytes = 8196;
    o.symbols_bytes = 0;
    o.tavboot_bytes = 20000;
    o.sound = false;
    return o;
}

TEST_F(LoadTest, DebugTextOfASmallGameOnlyLoad) {
    UpdateSetOptions o = small_set();
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
    RunResult status = run({"-status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(status.out.find(" with GameID 12345 Game update.\n"), std::string::npos) << status.out;
}

TEST_F(LoadTest, LoadsOverOptionAndUpdateSets) {
    struct Row {
        const char *what;
        void (*set)(UpdateSetOptions *);
        std::vector<std::string> options;   // before -pDIR and the game number
        bool trailing_slash;                // -pDIR/
        LoadShape shape;
        const char *status_ending;
    };
    const Row rows[] = {
        {"full load", [](UpdateSetOptions *) {}, {"-debug"}, false, {true, true}, "Game & Sound updates.\n"},
        {"full load, quiet", [](UpdateSetOptions *) {}, {}, false, {true, true}, "Game & Sound updates.\n"},
        {"game only", [](UpdateSetOptions *) {}, {"-debug", "-gfonly"}, false, {false, true}, "Game update.\n"},
        {"sound only", [](UpdateSetOptions *) {}, {"-debug", "-sfonly"}, false, {true, false}, "Sound update.\n"},
        {"sound only without the game files",
         [](UpdateSetOptions *o) {
             o->im_flsh0_bytes = o->game_bytes = o->symbols_bytes = 0;
         },
         {"-debug", "-sfonly"}, false, {true, false}, "Sound update.\n"},
        {"no sf.rom: the sound section is only announced", [](UpdateSetOptions *o) { o->sound = false; },
         {"-debug"}, false, {false, true}, "Game update.\n"},
        {"prefix and a path ending in a slash", [](UpdateSetOptions *o) { o->prefix = "new"; },
         {"-debug", "-fnew"}, true, {true, true}, "Game & Sound updates.\n"},
        {"images of whole chunks, an empty image, short tavboot.rom",
         [](UpdateSetOptions *o) {
             o->im_flsh0_bytes = 3 * 8192;
             o->game_bytes = 0;
             o->symbols_bytes = 8192 + 4;
             o->tavboot_bytes = 3000;
             o->version_major = 3;
             o->version_minor = 14;
         },
         {"-debug"}, false, {true, true}, "Game & Sound updates.\n"},
        {"images right up to the record",
         [](UpdateSetOptions *o) {
             o->im_flsh0_bytes = 4;
             o->game_bytes = tavtools::kImagesEnd - tavtools::kImagesOffset - 8;
             o->symbols_bytes = 4;
         },
         {"-debug", "-gfonly"}, false, {false, true}, "Game update.\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        remake_board(board_fit());
        UpdateSetOptions o;
        row.set(&o);
        std::string dir = make_set(o, "set");
        std::string p = dir + (row.trailing_slash ? "/" : "");
        std::vector<std::string> words = row.options;
        words.push_back("-p" + p);
        words.push_back(std::to_string(o.game_number));
        RunResult r = run(words);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        bool debug = !row.options.empty() && row.options[0] == "-debug";
        bool gfonly = std::find(words.begin(), words.end(), "-gfonly") != words.end();
        bool sfonly = std::find(words.begin(), words.end(), "-sfonly") != words.end();
        std::string shown_dir = row.trailing_slash ? dir + "/" : dir;
        EXPECT_EQ(r.out, debug ? expected_progress(o, shown_dir, gfonly, sfonly, o.sound) : "");
        expect_board_loaded(o, row.shape);
        RunResult status = run({"-status"});
        EXPECT_EQ(status.code, 0);
        EXPECT_TRUE(ends_with(status.out, row.status_ending)) << status.out;
        EXPECT_NE(status.out.find(fmt(" with GameID %u ", o.game_number)), std::string::npos) << status.out;
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
    ASSERT_EQ(run({"-gfonly", "-p" + dir, "40215"}).code, 0);
    size_t register_writes = 0;
    for (const SpaceAccess &a : space_log()) {
        if (a.kind == tavboard::Access::reg_write) {
            register_writes++;
            // Registers 2 and 3 carry the space: 0 for every page of the game flash.
            if (a.offset >= 0x4002) {
                EXPECT_EQ(a.value, 0u) << "register " << a.offset - 0x4000;
            }
            continue;
        }
        EXPECT_EQ(a.space, 0) << "access outside the game flash at " << a.offset;
    }
    EXPECT_GT(register_writes, 0u);
    const uint8_t *sound = board->data(tavboard::Device::sound);
    for (uint32_t i = 0; i < board->device_size(tavboard::Device::sound); i++) ASSERT_EQ(sound[i], 0xFF) << i;
}

TEST_F(LoadTest, SoundGoesToSpaceOneWhenSpaceEightDoesNotAnswer) {
    tavboard::Fit fit;
    fit.game_size = 8u << 20;
    fit.sound_size = 0;
    remake_board(fit);
    UpdateSetOptions o;
    std::string dir = make_set(o);
    start_log();
    RunResult r = run({"-debug", "-p" + dir, "40215"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, expected_progress(o, dir, false, false, true));
    bool space1_written = false;
    for (const SpaceAccess &a : space_log()) {
        if (a.space == 1 && (a.kind == tavboard::Access::write8 || a.kind == tavboard::Access::write16)) {
            space1_written = true;
        }
    }
    EXPECT_TRUE(space1_written);
    std::vector<uint8_t> sf = tavtools::update_file_bytes(o, UpdateFile::sound);
    const uint8_t *game = board->data(tavboard::Device::game);
    EXPECT_TRUE(std::equal(sf.begin(), sf.end(), game + (4u << 20))) << "space 1 is the upper half's first MB";
    // The record still counts the sound image.
    EXPECT_EQ(le_word(game + info_at() + 52), 1048576u);
    EXPECT_EQ(le_word(game + info_at() + 56), word_sum(sf.data(), sf.size()));
    RunResult status = run({"-status"});
    EXPECT_NE(status.out.find("Game & Sound updates.\n"), std::string::npos) << status.out;
}

TEST_F(LoadTest, SpaceOneIsNotAskedWhenSpaceEightAnswers) {
    tavboard::Fit fit;
    fit.game_size = 8u << 20;
    remake_board(fit);
    UpdateSetOptions o;
    std::string dir = make_set(o);
    start_log();
    ASSERT_EQ(run({"-p" + dir, "40215"}).code, 0);
    for (const SpaceAccess &a : space_log()) EXPECT_NE(a.space, 1) << "offset " << a.offset;
    const uint8_t *game = board->data(tavboard::Device::game);
    for (uint32_t i = 4u << 20; i < 5u << 20; i++) ASSERT_EQ(game[i], 0xFF) << i;
    expect_board_loaded(o, {true, true});
}

TEST_F(LoadTest, SmallerSoundDevicesTakeOnlyRepeatingImages) {
    struct Row {
        uint32_t device;
        uint32_t period;   // 0: no repetition in sf.rom
        int code;
    };
    const Row rows[] = {
        {256u << 10, 256u << 10, 0},
        {512u << 10, 512u << 10, 0},
        {512u << 10, 256u << 10, 0},   // repeats of 256 KB also repeat every 512 KB
        {256u << 10, 0, 6},
        {512u << 10, 0, 6},
        {256u << 10, 512u << 10, 6},
    };
    for (const Row &row : rows) {
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
        for (uint32_t i = 0; i < row.device; i++) ASSERT_EQ(sound[i], 0xFF) << i;
        expect_not_loaded("sound image too large");
    }
}

// One failing load: how to break the set or the board, and what the run must say.
struct FailureRow {
    const char *what;
    void (*set)(UpdateSetOptions *);               // the update set
    void (*board)(tavboard::Board &, const std::string &dir);   // after the set was written
    std::vector<std::string> options;              // before -pDIR and the game number
    uint32_t game_number;                          // 0: the set's
    int code;
    const char *message;                           // %1$s: the folder
    bool exact;                                    // false: the driver's own lines come first
    bool after_erase;                              // the old record is gone
};

void add_fault(tavboard::Board &b, tavboard::FaultKind kind, tavboard::Device device, int64_t offset) {
    tavboard::Fault fault;
    fault.kind = kind;
    fault.device = device;
    fault.offset = offset;
    std::string error;
    ASSERT_TRUE(b.add_fault(fault, &error)) << error;
}

void write_bytes(const std::string &path, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string bytes(size, '\x5A');
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void truncate_to(const std::string &path, size_t size) { fs::resize_file(path, size); }

void replace_with_directory(const std::string &path) {
    fs::remove(path);
    fs::create_directory(path);
}

const uint32_t kFirstImage = 32768;
const uint32_t kDefaultGame = 32768 + 300004;         // game.rom of the default set
const uint32_t kDefaultSymbols = kDefaultGame + 2500000;
const uint32_t kInfo = (4u << 20) - (128u << 10);

const FailureRow kFailures[] = {
    {"board absent", nullptr, [](tavboard::Board &b, const std::string &) { b.set_board_absent(true); }, {}, 0, 16,
     "tavload: TAV not responding - check if board and jumper are both present\n", true, false},
    {"erase of the record block fails", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::erase_fail, tavboard::Device::game, kInfo);
     },
     {}, 0, 32, "tavload: unable to erase update FLASH\n", false, false},
    {"sf.rom one byte short", nullptr,
     [](tavboard::Board &, const std::string &dir) { truncate_to(dir + "/sf.rom", 1048575); }, {}, 0, 7,
     "tavload: file (%1$s/sf.rom) present but wrong size 1048575 != 1048576\n", true, true},
    {"sf.rom one byte long", nullptr,
     [](tavboard::Board &, const std::string &dir) { write_bytes(dir + "/sf.rom", 1048577); }, {}, 0, 7,
     "tavload: file (%1$s/sf.rom) present but wrong size 1048577 != 1048576\n", true, true},
    {"sf.rom a FIFO", nullptr,
     [](tavboard::Board &, const std::string &dir) {
         fs::remove(dir + "/sf.rom");
         ASSERT_EQ(mkfifo((dir + "/sf.rom").c_str(), 0600), 0);
     },
     {}, 0, 7, "tavload: file (%1$s/sf.rom) present but wrong size 0 != 1048576\n", true, true},
    {"-sfonly without sf.rom", [](UpdateSetOptions *o) { o->sound = false; }, nullptr, {"-sfonly"}, 0, 3,
     "tavload: -sfonly specified, but file (%1$s/sf.rom) is not present\n", true, true},
    {"no sound device anywhere", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::absent, tavboard::Device::sound, -1);
     },
     {}, 0, 16, "tavload: TAV not responding - check if board and jumper are both present\n", true, true},
    {"sound flash program failure", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::sound, 0x12345);
     },
     {}, 0, 21, "\ntavload: unable to write FLASH from (%1$s/sf.rom)\n", false, true},
    {"bootdata.rom missing", nullptr, [](tavboard::Board &, const std::string &dir) { fs::remove(dir + "/bootdata.rom"); },
     {}, 0, 12, "\ntavload: unable to open file (%1$s/bootdata.rom) - No such file or directory\n", true, true},
    {"bootdata.rom is a directory", nullptr,
     [](tavboard::Board &, const std::string &dir) { replace_with_directory(dir + "/bootdata.rom"); }, {}, 0, 13,
     "\ntavload: unable to read file (%1$s/bootdata.rom) - Is a directory\n", true, true},
    {"bootdata.rom one byte short", [](UpdateSetOptions *o) { o->bootdata_bytes = 32767; }, nullptr, {}, 0, 14,
     "\ntavload: file (%1$s/bootdata.rom) is not 32768 bytes\n", true, true},
    {"bootdata.rom empty", [](UpdateSetOptions *o) { o->bootdata_bytes = 0; }, nullptr, {}, 0, 14,
     "\ntavload: file (%1$s/bootdata.rom) is not 32768 bytes\n", true, true},
    {"bootdata.rom a FIFO nobody writes", nullptr,
     [](tavboard::Board &, const std::string &dir) {
         fs::remove(dir + "/bootdata.rom");
         ASSERT_EQ(mkfifo((dir + "/bootdata.rom").c_str(), 0600), 0);
     },
     {}, 0, 14, "\ntavload: file (%1$s/bootdata.rom) is not 32768 bytes\n", true, true},
    {"BootData of another game", [](UpdateSetOptions *o) { o->bootdata_game_id = 12345; }, nullptr, {}, 12346, 35,
     "\ntavload: GamdID (12345) of file (%1$s/bootdata.rom) does not match GAME# 12346\n", true, true},
    {"BootData declares images that wrap 32 bits",
     [](UpdateSetOptions *o) { o->declared_game_longs = 0xFFFFFFFF; }, nullptr, {}, 0, 8,
     "\ntavload: file (%1$s/bootdata.rom) declares 17180669184 bytes of game images, 4030464 fit below the "
     "information record\n",
     true, true},
    {"BootData declares four bytes too many",
     [](UpdateSetOptions *o) {
         o->declared_game_longs = (tavtools::kImagesEnd - tavtools::kImagesOffset - 300004 - 500000) / 4 + 1;
     },
     nullptr, {}, 0, 8,
     "\ntavload: file (%1$s/bootdata.rom) declares 4030468 bytes of game images, 4030464 fit below the information "
     "record\n",
     true, true},
    {"im_flsh0.rom missing", nullptr, [](tavboard::Board &, const std::string &dir) { fs::remove(dir + "/im_flsh0.rom"); },
     {}, 0, 19, "\ntavload: unable to open file (%1$s/im_flsh0.rom) - No such file or directory\n", true, true},
    {"im_flsh0.rom short", nullptr,
     [](tavboard::Board &, const std::string &dir) { truncate_to(dir + "/im_flsh0.rom", 300000); }, {}, 0, 20,
     "\ntavload: unable to read file (%1$s/im_flsh0.rom) - unexpected end of file\n", true, true},
    {"im_flsh0.rom program failure", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::game, kFirstImage + 100);
     },
     {}, 0, 21, "\ntavload: unable to write FLASH from (%1$s/im_flsh0.rom)\n", false, true},
    {"game.rom missing", nullptr, [](tavboard::Board &, const std::string &dir) { fs::remove(dir + "/game.rom"); }, {}, 0,
     22, "\ntavload: unable to open file (%1$s/game.rom) - No such file or directory\n", true, true},
    {"game.rom a directory", nullptr,
     [](tavboard::Board &, const std::string &dir) { replace_with_directory(dir + "/game.rom"); }, {}, 0, 23,
     "\ntavload: unable to read file (%1$s/game.rom) - Is a directory\n", true, true},
    {"game.rom empty", nullptr, [](tavboard::Board &, const std::string &dir) { truncate_to(dir + "/game.rom", 0); }, {}, 0,
     23, "\ntavload: unable to read file (%1$s/game.rom) - unexpected end of file\n", true, true},
    {"game.rom program failure", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::game, kDefaultGame + 2000000);
     },
     {}, 0, 24, "\ntavload: unable to write FLASH from (%1$s/game.rom)\n", false, true},
    {"symbols.rom missing", nullptr, [](tavboard::Board &, const std::string &dir) { fs::remove(dir + "/symbols.rom"); }, {},
     0, 25, "\ntavload: unable to open file (%1$s/symbols.rom) - No such file or directory\n", true, true},
    {"symbols.rom short", nullptr,
     [](tavboard::Board &, const std::string &dir) { truncate_to(dir + "/symbols.rom", 8192); }, {}, 0, 26,
     "\ntavload: unable to read file (%1$s/symbols.rom) - unexpected end of file\n", true, true},
    {"symbols.rom program failure", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::game, kDefaultSymbols + 499996);
     },
     {}, 0, 27, "\ntavload: unable to write FLASH from (%1$s/symbols.rom)\n", false, true},
    {"BootData program failure", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::game, 60);
     },
     {}, 0, 15, "\ntavload: unable to write FLASH from (%1$s/bootdata.rom)\n", false, true},
    {"tavboot.rom one byte long", [](UpdateSetOptions *o) { o->unchecked = true; },
     [](tavboard::Board &, const std::string &dir) { write_bytes(dir + "/tavboot.rom", 32769); }, {}, 0, 28,
     "\ntavload: file (%1$s/tavboot.rom) present but wrong size 32769 != 32768\n", true, true},
    {"tavboot.rom missing", nullptr, [](tavboard::Board &, const std::string &dir) { fs::remove(dir + "/tavboot.rom"); }, {},
     0, 29, "\ntavload: unable to open file (%1$s/tavboot.rom) - No such file or directory\n", true, true},
    {"tavboot.rom ends on a chunk boundary", [](UpdateSetOptions *o) {
         o->unchecked = true;
         o->tavboot_bytes = 16384;
     },
     nullptr, {}, 0, 30, "\ntavload: unable to read file (%1$s/tavboot.rom) - unexpected end of file\n", true, true},
    {"tavboot.rom is a directory", nullptr,
     [](tavboard::Board &, const std::string &dir) { replace_with_directory(dir + "/tavboot.rom"); }, {}, 0, 30,
     "\ntavload: unable to read file (%1$s/tavboot.rom) - Is a directory\n", true, true},
    {"tavboot.rom program failure", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::game, 0x3F8000 + 9000);
     },
     {}, 0, 31, "\ntavload: unable to write FLASH from (%1$s/tavboot.rom)\n", false, true},
    {"zero fill program failure", [](UpdateSetOptions *o) { o->tavboot_bytes = 3000; },
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::game, 0x3F8000 + 5000);
     },
     {}, 0, 31, "\ntavload: unable to write FLASH from (%1$s/tavboot.rom)\n", false, true},
    {"record program failure", nullptr,
     [](tavboard::Board &b, const std::string &) {
         add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::game, kInfo + 40);
     },
     {}, 0, 33, "tavload: unable to write FLASH from TAVInfo\n", false, true},
};

// Descriptors the process holds: a failure path that forgets to close its file shows here.
size_t open_descriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd")) n++;
    return n;
}

TEST_F(LoadTest, EachFailureHasItsMessageCodeAndLeavesTheBoardNotLoaded) {
    const size_t descriptors = open_descriptors();
    for (const FailureRow &row : kFailures) {
        SCOPED_TRACE(row.what);
        remake_board(board_fit());
        put_record(sealed_record(1, 1, 11111));   // the old record a load must remove first
        UpdateSetOptions o;
        o.unchecked = true;
        if (row.set != nullptr) row.set(&o);
        std::string dir = make_set(o);
        if (row.board != nullptr) row.board(*board, dir);
        uint32_t game_number = row.game_number != 0 ? row.game_number : o.game_number;
        std::vector<std::string> words = row.options;
        words.push_back("-p" + dir);
        words.push_back(std::to_string(game_number));

        board->reset_counters();
        RunResult r = run(words);
        EXPECT_EQ(r.code, row.code);
        EXPECT_EQ(open_descriptors(), descriptors) << "a file was left open";
        std::string message = row.message;
        for (size_t at; (at = message.find("%1$s")) != std::string::npos;) message.replace(at, 4, dir);
        if (row.exact) {
            EXPECT_EQ(r.err, message);
        } else {
            ASSERT_GE(r.err.size(), message.size()) << r.err;
            EXPECT_EQ(r.err.substr(r.err.size() - message.size()), message) << r.err;
        }
        EXPECT_EQ(r.out, "") << "a quiet load prints nothing";

        if (!row.after_erase) {
            // Stopped before anything was programmed.
            EXPECT_EQ(board->counters().programmed_bytes, 0u);
            EXPECT_EQ(board->erase_count(tavboard::Device::sound, 0), 0u);
        }
        bool sticky = false;
        for (const tavboard::Fault &f : board->faults()) {
            sticky |= f.kind == tavboard::FaultKind::program_fail || f.kind == tavboard::FaultKind::erase_fail;
        }
        board->clear_faults();
        board->set_board_absent(false);
        if (row.after_erase) expect_not_loaded(row.what, !sticky);
        fs::remove_all(dir);
    }
}

TEST_F(LoadTest, FailuresUnderDebugEndWithTheBanner) {
    struct Row {
        const char *what;
        void (*board)(tavboard::Board &, const std::string &dir);
        int code;
    };
    const Row rows[] = {
        {"open failure", [](tavboard::Board &, const std::string &dir) { fs::remove(dir + "/game.rom"); }, 22},
        {"write failure",
         [](tavboard::Board &b, const std::string &) {
             add_fault(b, tavboard::FaultKind::program_fail, tavboard::Device::game, kFirstImage + 8);
         },
         21},
        {"board absent", [](tavboard::Board &b, const std::string &) { b.set_board_absent(true); }, 16},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        remake_board(board_fit());
        UpdateSetOptions o;
        o.sound = false;
        std::string dir = make_set(o);
        row.board(*board, dir);
        RunResult r = run({"-debug", "-p" + dir, "40215"});
        EXPECT_EQ(r.code, row.code);
        ASSERT_GT(r.err.size(), kBanner.size());
        EXPECT_EQ(r.err.substr(r.err.size() - kBanner.size()), kBanner);
        EXPECT_EQ(r.err.find("tavload: "), r.err.rfind("tavload: ")) << "one loader message only:\n" << r.err;
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
    // The heading line shows the file's game number, then the check fails.
    std::string sound = counted(kSep + "Updating sound FLASH with (" + dir + "/sf.rom)...", 1048576) + kEnd;
    EXPECT_EQ(r.out, kSep + "Preparing to update sound FLASH...\n" + sound + kSep +
                         "Preparing to update game FLASH...(12345 - V1.0)\n");
    const uint8_t *game = board->data(tavboard::Device::game);
    for (uint32_t i = 0; i < 4u << 20; i++) ASSERT_EQ(game[i], 0xFF) << "game flash byte " << i;
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
    UpdateSetOptions o;
    std::string dir = make_set(o);
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
    UpdateSetOptions o;
    std::string dir = make_set(o);
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
    std::string number = "40215";
    char argv0[] = "tavload";
    char *argv[] = {argv0, p.data(), number.data(), nullptr};
    int code = loader_main(board->window_address(), 3, argv);
    setrlimit(RLIMIT_NOFILE, &saved);
    std::fflush(stdout);
    std::fflush(stderr);
    std::string out = testing::internal::GetCapturedStdout();
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
        std::ofstream extra(dir + "/" + base, std::ios::binary | std::ios::app);
        extra << std::string(5000, '\x11');
    }
    RunResult r = run({"-debug", "-p" + dir, "40215"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, expected_progress(o, dir, false, false, true));
    expect_board_loaded(o, {true, true});   // includes the erased bytes behind game.rom
}

TEST_F(LoadTest, NamesLongerThan255CharactersAreUsed) {
    UpdateSetOptions o;
    o.sound = false;
    std::string dir = sets_;
    for (int i = 0; i < 3; i++) dir += "/" + std::string(100, static_cast<char>('a' + i));
    make_set(o, dir.substr(sets_.size() + 1));
    ASSERT_GT(dir.size() + std::strlen("/bootdata.rom"), 255u);
    RunResult r = run({"-debug", "-p" + dir, "40215"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, expected_progress(o, dir, false, false, false));
    expect_board_loaded(o, {false, true});
}

TEST_F(LoadTest, FullLoadTimeOnTheModel) {
    // The fullest set: the images fill everything below the record, and 1 MB of sound.
    UpdateSetOptions o;
    o.im_flsh0_bytes = 1u << 20;
    o.game_bytes = tavtools::kImagesEnd - tavtools::kImagesOffset - (1u << 20) - 4;
    o.symbols_bytes = 4;
    std::string dir = make_set(o);
    auto start = std::chrono::steady_clock::now();
    RunResult r = run({"-p" + dir, "40215"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.code, 0) << r.err;
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
