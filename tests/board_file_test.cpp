// The board file: what outlives a process, the lock within a process, refusal of damaged or
// foreign files and of impossible fits, and creation over an existing file.
#include "board/board_file.h"
#include "board/model.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

using namespace tavboard;
using namespace boardtest;

namespace {


// The counters change on every access without the consistency check being redone: a board
// whose process wrote through it and died unclosed must open again with all it stored.
TEST(BoardFile, ContentsConfigurationFaultsAndCountersOutliveTheProcess) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    make_board(path).reset();
    int status = in_child([&] {
        std::string error;
        auto b = Board::open(path, &error);
        Fault f;
        f.kind = FaultKind::erase_fail;
        f.block = 7;
        if (!b || program(*b, Device::game, 0x10, 0x3C) != 0x80 || !b->add_fault(f, &error)) return 3;
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
    // The device state is stored too: this process finds the device in query mode, until
    // the board is switched off and on.
    select_page(*b, 0);
    EXPECT_EQ(b->read(0x20), 'Q');
    b->power_cycle();
    EXPECT_EQ(b->read(0x10), 0x3C);
}

TEST(BoardFile, SecondHolderInTheSameProcessIsRefused) {
    ScratchDir dir;
    auto first = make_board(dir.file("b.img"));
    std::string error;
    EXPECT_FALSE(Board::open(dir.file("b.img"), &error));
    EXPECT_NE(error.find("in use by another process"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(Board::create(dir.file("b.img"), Fit(), true, &error)) << "--force must not clobber a held board";
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_EQ(first->data(Device::game)[0], 0xFF);
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
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    std::string error;
    EXPECT_FALSE(Board::open(path, &error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
    EXPECT_NE(error.find(path), std::string::npos) << "the message names the file: " << error;
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

TEST(BoardFile, CreateRefusesAnExistingFileUnlessForcedAndImpossibleFits) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    auto b = make_board(path);
    ASSERT_EQ(program(*b, Device::game, 0, 0x00), 0x80);
    b.reset();
    std::string error;
    EXPECT_FALSE(Board::create(path, Fit(), false, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    b = Board::open(path, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->data(Device::game)[0], 0x00) << "untouched by the refused create";
    b.reset();
    b = Board::create(path, Fit(), true, &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->data(Device::game)[0], 0xFF) << "forced: fresh, erased flash";
    EXPECT_EQ(b->counters().accesses, 0u);
    for (Fit fit : {fit_of(2u << 20, 128u << 10, 1u << 20), fit_of(4u << 20, 16u << 10, 1u << 20),
                    fit_of(4u << 20, 128u << 10, 2u << 20)}) {
        error.clear();
        EXPECT_FALSE(Board::create(dir.file("bad.img"), fit, true, &error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
