// The board file: persistence across processes, the lock, refusal of damaged or foreign
// files, creation rules and the default location.
#include "board/board_file.h"
#include "board/model.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <unistd.h>

using namespace tavboard;
using namespace boardtest;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spill(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

TEST(BoardFile, ContentsConfigurationFaultsAndCountersOutliveTheProcess) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    make_board(path).reset();
    int status = in_child([&] {
        std::string error;
        auto b = Board::open(path, &error);
        if (!b) return 3;
        select_page(*b, 0);
        b->write(0x10, 0x40);
        b->write(0x10, 0x3C);
        while (!(b->read(0) & 0x80)) {
        }
        Fault f;
        f.kind = FaultKind::erase_fail;
        f.block = 7;
        if (!b->add_fault(f, &error)) return 4;
        b->set_timing(Timing::instant, 5);
        b->write(0, 0x98);  // leave the device in query mode
        _exit(0);           // without closing: the mapping has already put everything in the file
    });
    ASSERT_EQ(status, 0);
    std::string error;
    auto b = Board::open(path, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->data(Device::game)[0x10], 0x3C);
    ASSERT_EQ(b->faults().size(), 1u);
    EXPECT_EQ(b->faults()[0].kind, FaultKind::erase_fail);
    EXPECT_EQ(b->faults()[0].block, 7);
    EXPECT_EQ(b->busy_reads(), 5u);
    EXPECT_GE(b->counters().accesses, 8u);
    EXPECT_EQ(b->counters().programmed_bytes, 1u);
    EXPECT_EQ(b->command_count(0x98), 1u);
    // The device state machine is not stored: this process finds it in read-array mode.
    select_page(*b, 0);
    EXPECT_EQ(b->read(0x10), 0x3C);
    EXPECT_EQ(b->read(0x20), 0xFF) << "not the query letter Q";
}

TEST(BoardFile, FitAndAbsenceAreStoredWithTheBoard) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    Fit fit;
    fit.game_size = 8u << 20;
    fit.game_block = 32u << 10;
    fit.sound_size = 256u << 10;
    make_board(path, fit)->set_board_absent(true);
    std::string error;
    auto b = Board::open(path, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->fit().game_size, 8u << 20);
    EXPECT_EQ(b->fit().game_block, 32u << 10);
    EXPECT_EQ(b->fit().sound_size, 256u << 10);
    EXPECT_TRUE(b->fit().board_absent);
    EXPECT_EQ(b->device_size(Device::sound), 256u << 10);
}

TEST(BoardFile, SecondHolderInTheSameProcessIsRefused) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    auto first = make_board(path);
    std::string error;
    EXPECT_FALSE(Board::open(path, &error));
    EXPECT_NE(error.find("in use by another process"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(Board::create(path, Fit(), true, &error)) << "--force must not clobber a held board";
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_EQ(first->data(Device::game)[0], 0xFF);
}

TEST(BoardFile, AnotherProcessIsRefusedWhileTheBoardIsHeldAndAdmittedWhenTheHolderDies) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    make_board(path).reset();
    int to_parent[2], to_child[2];
    ASSERT_EQ(pipe(to_parent), 0);
    ASSERT_EQ(pipe(to_child), 0);
    pid_t pid = fork();
    if (pid == 0) {
        std::string error;
        auto b = Board::open(path, &error);
        char c = b ? 'y' : 'n';
        if (write(to_parent[1], &c, 1) != 1) _exit(2);
        if (read(to_child[0], &c, 1) != 1) _exit(2);
        _exit(137);  // dies holding the board, as a power cut would
    }
    char c = 0;
    ASSERT_EQ(read(to_parent[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    std::string error;
    EXPECT_FALSE(Board::open(path, &error));
    EXPECT_NE(error.find("in use by another process"), std::string::npos) << error;
    ASSERT_EQ(write(to_child[1], "x", 1), 1);
    int status = 0;
    waitpid(pid, &status, 0);
    for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) close(fd);
    auto b = Board::open(path, &error);
    EXPECT_TRUE(b) << "no stale lock after the holder died: " << error;
}

struct DamageCase {
    const char *name;
    std::function<void(std::string &)> damage;
    const char *message;
};

class DamagedFile : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedFile, IsRefusedWithAClearMessageAndLeftAsItIs) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    make_board(path).reset();
    std::string bytes = slurp(path);
    GetParam().damage(bytes);
    spill(path, bytes);
    std::string error;
    EXPECT_FALSE(Board::open(path, &error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
    EXPECT_NE(error.find(path), std::string::npos) << "the message names the file: " << error;
    error.clear();
    EXPECT_FALSE(Board::open_or_create(path, &error)) << "never reinitialised";
    EXPECT_TRUE(slurp(path) == bytes) << "the file is not touched";
}

BoardHeader *header_of(std::string &bytes) { return reinterpret_cast<BoardHeader *>(bytes.data()); }

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedFile,
    ::testing::Values(
        DamageCase{"one_byte_short", [](std::string &b) { b.pop_back(); }, "truncated"},
        DamageCase{"header_only_partly", [](std::string &b) { b.resize(200); }, "truncated"},
        DamageCase{"empty", [](std::string &b) { b.clear(); }, "not a TAV board file"},
        DamageCase{"foreign", [](std::string &b) { b = std::string(20000, 'x'); }, "not a TAV board file"},
        DamageCase{"other_version", [](std::string &b) { header_of(b)->version = 7; }, "version 7"},
        DamageCase{"fit_changed", [](std::string &b) { header_of(b)->game_size = 8u << 20; }, "corrupt"},
        DamageCase{"fault_table_changed", [](std::string &b) { header_of(b)->faults[0].kind = 3; }, "corrupt"},
        DamageCase{"impossible_fit_with_good_checksum",
                   [](std::string &b) {
                       header_of(b)->game_block = 12345;
                       header_of(b)->config_check = board_config_check(*header_of(b));
                   },
                   "corrupt"},
        DamageCase{"longer_than_fit", [](std::string &b) { b.push_back('\xFF'); }, "corrupt"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BoardFile, CountersAreNotPartOfTheConsistencyCheck) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    make_board(path).reset();
    std::string bytes = slurp(path);
    header_of(bytes)->counters.accesses = 12345;
    spill(path, bytes);
    std::string error;
    auto b = Board::open(path, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->counters().accesses, 12345u);
}

TEST(BoardFile, CreateRefusesAnExistingFileUnlessForced) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    {
        auto b = make_board(path);
        select_page(*b, 0);
        b->write(0, 0x40);
        b->write(0, 0x00);
    }
    std::string error;
    EXPECT_FALSE(Board::create(path, Fit(), false, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    {
        auto b = Board::open(path, &error);
        ASSERT_TRUE(b) << error;
        EXPECT_EQ(b->data(Device::game)[0], 0x00) << "untouched by the refused create";
    }
    auto b = Board::create(path, Fit(), true, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->data(Device::game)[0], 0xFF) << "forced: fresh, erased flash";
    EXPECT_EQ(b->counters().accesses, 0u);
}

TEST(BoardFile, UnsupportedFitsAreRefused) {
    ScratchDir dir;
    struct {
        uint32_t game, block, sound;
    } bad[] = {{2u << 20, 128u << 10, 1u << 20}, {4u << 20, 16u << 10, 1u << 20}, {4u << 20, 128u << 10, 2u << 20}};
    for (const auto &f : bad) {
        Fit fit;
        fit.game_size = f.game;
        fit.game_block = f.block;
        fit.sound_size = f.sound;
        std::string error;
        EXPECT_FALSE(Board::create(dir.file("bad.img"), fit, true, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(BoardFile, DefaultBoardLivesInTavHomeAndIsMadeOnFirstUse) {
    ScratchDir dir;
    std::string home = dir.file("home");
    const char *saved = std::getenv("TAV_HOME");
    std::string saved_value = saved ? saved : "";
    setenv("TAV_HOME", home.c_str(), 1);
    std::string path = Board::default_path();
    EXPECT_EQ(path, home + "/board.img");
    std::string error;
    {
        auto b = Board::open_or_create(path, &error);
        ASSERT_TRUE(b) << error;
        EXPECT_EQ(b->fit().game_size, 4u << 20);
        EXPECT_EQ(b->fit().game_block, 128u << 10);
        EXPECT_EQ(b->fit().sound_size, 1u << 20);
        EXPECT_FALSE(b->fit().board_absent);
        select_page(*b, 0);
        b->write(0, 0x40);
        b->write(0, 0x11);
    }
    auto b = Board::open_or_create(path, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->data(Device::game)[0], 0x11) << "the second use opens the same board";
    if (saved) {
        setenv("TAV_HOME", saved_value.c_str(), 1);
    } else {
        unsetenv("TAV_HOME");
    }
}

}  // namespace
