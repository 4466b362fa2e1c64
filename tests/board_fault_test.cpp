// Injected faults of the board model: the status each one produces, where it applies, what
// it leaves in the array, and the power cut in a child process.
#include "board/model.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tavboard;
using namespace boardtest;

namespace {

const Device G = Device::game, S = Device::sound;
constexpr uint32_t kBlock1 = 0x20000;  // game block 1 (128 KB blocks)

enum class Op { erase, program, buffer };

// At device offset `at`: erase its block, program one byte 0x00, or a 4-byte buffer of 0x00.
uint8_t run_op(Board &b, Device dev, Op op, uint32_t at) {
    if (op == Op::erase) return erase(b, dev, at);
    if (op == Op::program) return program(b, dev, at, 0x00);
    uint32_t w = boardtest::at(b, dev, at);
    b.write(w, 0xE8);
    if (b.read(w) != 0x80) return 0;
    b.write(w, 3);
    for (uint32_t i = 0; i < 4; i++) b.write(w + i, 0x00);
    b.write(w, 0xD0);
    uint8_t s = poll_ready(b, w);
    b.write(w, 0xFF);
    return s;
}

Fault fault(FaultKind kind, Device dev = G, int32_t block = -1, int64_t offset = -1) {
    Fault f;
    f.kind = kind;
    f.device = dev;
    f.block = block;
    f.offset = offset;
    return f;
}

struct Scratch : ::testing::Test {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    std::unique_ptr<Board> reopen() {
        std::string error;
        auto b = Board::open(path, &error);
        EXPECT_TRUE(b) << error;
        return b;
    }
};

struct StatusCase {
    const char *name;
    Fault fault;
    Device device;
    Op op;
    uint32_t at;
    uint8_t status;  // 0x80: the operation is carried out
};

struct FaultStatus : Scratch, ::testing::WithParamInterface<StatusCase> {};

TEST_P(FaultStatus, OperationEndsWithTheFaultsStatusAndItsEffect) {
    const StatusCase &c = GetParam();
    const bool done = c.status == 0x80;
    auto b = make_board(path);
    if (c.op == Op::erase) {
        ASSERT_EQ(program(*b, c.device, c.at + 0x10, 0x00), 0x80);  // something to erase
    }
    std::string error;
    ASSERT_TRUE(b->add_fault(c.fault, &error)) << error;
    EXPECT_EQ(run_op(*b, c.device, c.op, c.at), c.status);
    const uint8_t *d = b->data(c.device);
    if (c.op == Op::erase) {
        EXPECT_EQ(d[c.at + 0x10], done ? 0xFF : 0x00);
    } else {
        for (uint32_t i = 0; i < (c.op == Op::buffer ? 4u : 1u); i++) EXPECT_EQ(d[c.at + i], done ? 0x00 : 0xFF) << i;
    }
    // The error bits stay until clear status.
    uint32_t w = at(*b, c.device, c.at);
    b->write(w, 0x70);
    EXPECT_EQ(b->read(w), c.status);
}

using K = FaultKind;
INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultStatus,
    ::testing::Values(
        StatusCase{"erase_fail", fault(K::erase_fail), G, Op::erase, kBlock1, 0xA0},
        StatusCase{"erase_fail_in_block", fault(K::erase_fail, G, 1), G, Op::erase, kBlock1, 0xA0},
        StatusCase{"erase_fail_other_block", fault(K::erase_fail, G, 2), G, Op::erase, kBlock1, 0x80},
        StatusCase{"erase_fail_at_offset", fault(K::erase_fail, G, -1, kBlock1 + 0x777), G, Op::erase, kBlock1, 0xA0},
        StatusCase{"erase_fail_leaves_programs", fault(K::erase_fail), G, Op::program, kBlock1, 0x80},
        StatusCase{"program_fail", fault(K::program_fail), G, Op::program, kBlock1, 0x90},
        StatusCase{"program_fail_buffer", fault(K::program_fail), G, Op::buffer, kBlock1, 0x90},
        StatusCase{"program_fail_in_buffer", fault(K::program_fail, G, -1, kBlock1 + 2), G, Op::buffer, kBlock1, 0x90},
        StatusCase{"program_fail_elsewhere", fault(K::program_fail, G, -1, kBlock1 + 4), G, Op::buffer, kBlock1, 0x80},
        StatusCase{"vpp_low_erase", fault(K::vpp_low), G, Op::erase, kBlock1, 0xA8},
        StatusCase{"vpp_low_program", fault(K::vpp_low), G, Op::program, kBlock1, 0x98},
        StatusCase{"vpp_low_buffer", fault(K::vpp_low), G, Op::buffer, kBlock1, 0x98},
        StatusCase{"locked_erase", fault(K::locked, G, 1), G, Op::erase, kBlock1, 0xA2},
        StatusCase{"locked_program", fault(K::locked, G, 1), G, Op::program, kBlock1, 0x92},
        StatusCase{"locked_other_block", fault(K::locked, G, 0), G, Op::program, kBlock1, 0x80},
        StatusCase{"game_fault_spares_sound", fault(K::erase_fail), S, Op::erase, 0x4000, 0x80},
        StatusCase{"sound_erase_fail_block1", fault(K::erase_fail, S, 1), S, Op::erase, 0x4000, 0xA0},
        StatusCase{"sound_erase_fail_spares_block2", fault(K::erase_fail, S, 1), S, Op::erase, 0x6000, 0x80},
        StatusCase{"sound_program_fail", fault(K::program_fail, S), S, Op::program, 0x4010, 0x90},
        StatusCase{"sound_locked_boot_block", fault(K::locked, S, 0), S, Op::erase, 0x0000, 0xA2},
        StatusCase{"sound_vpp_low", fault(K::vpp_low, S), S, Op::program, 0x8000, 0x98}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Scratch, StuckBitsStayZeroThroughEraseAndProgramWithoutStatusError) {
    auto b = make_board(path);
    Fault f = fault(K::stuck, G, -1, 0x30);
    f.mask = 0x81;
    std::string error;
    ASSERT_TRUE(b->add_fault(f, &error)) << error;
    EXPECT_EQ(b->data(G)[0x30], 0x7E) << "the bits read 0 at once";
    EXPECT_EQ(erase(*b, G, 0), 0x80);
    EXPECT_EQ(b->read(0x30), 0x7E) << "an erase does not raise them";
    EXPECT_EQ(b->read(0x31), 0xFF);
    EXPECT_EQ(program(*b, G, 0x30, 0xA5), 0x80) << "no status error: only a read-back shows it";
    EXPECT_EQ(b->read(0x30), 0x24);
    EXPECT_FALSE(b->add_fault(fault(K::stuck, G), &error)) << "a stuck fault needs its place and its bits";
}

TEST_F(Scratch, NeverReadyHangsTheDeviceForTheRestOfTheProcess) {
    {
        auto b = make_board(path);
        std::string error;
        ASSERT_TRUE(b->add_fault(fault(K::never_ready, G, 3), &error));
        EXPECT_EQ(run_op(*b, G, Op::program, 0x10), 0x80) << "outside block 3 all is well";
        int polls = 0;
        b->set_status_read_hook([&] { polls++; });
        uint32_t w = at(*b, G, 3 * 0x20000);
        b->write(w, 0x20);
        b->write(w, 0xD0);
        for (int i = 0; i < 1000; i++) ASSERT_EQ(b->read(w), 0x00);
        EXPECT_EQ(polls, 1000);
        b->write(w, 0xFF);  // ignored
        EXPECT_EQ(b->read(w), 0x00);
        // The whole device is hung now, block 0 too; the sound device is not.
        EXPECT_EQ(b->read(at(*b, G, 0x10)), 0x00);
        EXPECT_EQ(run_op(*b, S, Op::program, 0x10), 0x80);
        EXPECT_EQ(b->data(G)[3 * 0x20000], 0xFF);
    }
    auto b = reopen();  // a new process powers the board up fresh
    ASSERT_TRUE(b);
    select_page(*b, 0);
    EXPECT_EQ(b->read(0x10), 0x00) << "array data, not a busy status";
}

TEST_F(Scratch, BufferBusyNeverFreesTheBufferButSingleProgramsWork) {
    auto b = make_board(path);
    std::string error;
    ASSERT_TRUE(b->add_fault(fault(K::buffer_busy, G, 1), &error));
    int polls = 0;
    b->set_status_read_hook([&] { polls++; });
    uint32_t w = at(*b, G, kBlock1);
    for (int i = 0; i < 50; i++) {
        b->write(w, 0xE8);
        EXPECT_EQ(b->read(w), 0x00);
    }
    EXPECT_EQ(polls, 50) << "extended status reads are status reads";
    b->write(w, 0xFF);
    EXPECT_EQ(run_op(*b, G, Op::program, kBlock1), 0x80);
    EXPECT_EQ(run_op(*b, G, Op::buffer, 0x100), 0x80) << "block 0 has a free buffer";
    EXPECT_EQ(b->data(G)[kBlock1], 0x00);
    EXPECT_EQ(b->counters().not_erased_bits, 0u);
}

TEST_F(Scratch, AnAbsentDeviceIsOpenBusAndTheOtherAnswersUntilCleared) {
    for (Device gone : {G, S}) {
        auto b = make_board(path);
        std::string error;
        ASSERT_TRUE(b->add_fault(fault(K::absent, gone), &error));
        uint32_t gone_page = gone == G ? 0x0000 : 0x8000;
        select_page(*b, gone_page);
        b->write(0, 0x90);
        EXPECT_EQ(b->read(0), 0xFF);
        EXPECT_EQ(b->read(2), 0xFF);
        select_page(*b, gone_page ^ 0x8000);
        b->write(0, 0x90);
        EXPECT_EQ(b->read(2), gone == G ? 0x9D : 0x16);
        b->clear_faults();
        select_page(*b, gone_page);
        b->write(0, 0x90);
        EXPECT_EQ(b->read(0), 0x89) << "cleared: it answers again";
    }
}

TEST_F(Scratch, FaultsOutsideTheDeviceAreRefused) {
    auto b = make_board(path, fit_of(4 << 20, 128 << 10, 0));
    std::string error;
    EXPECT_FALSE(b->add_fault(fault(K::erase_fail, G, 32), &error));
    EXPECT_FALSE(b->add_fault(fault(K::erase_fail, G, -1, 4 << 20), &error));
    EXPECT_FALSE(b->add_fault(fault(K::erase_fail, S), &error)) << "no sound device fitted";
    EXPECT_FALSE(b->add_fault(fault(K::power_cut), &error)) << "a power cut needs its access number";
    EXPECT_TRUE(b->faults().empty());
}

// --- power cut ------------------------------------------------------------------------

enum class Expect { old_data, new_data, undefined };

struct CutCase {
    const char *name;
    Device device;
    Op op;
    uint32_t at;
    uint64_t after;  // bus access (1-based) of the child that never completes
    Expect expect;
};

struct PowerCut : Scratch, ::testing::WithParamInterface<CutCase> {};

// Child accesses: 4 page register writes, then for an erase 0x20 (5), 0xD0 (6) and status
// reads from 7 (two busy, the third ready); for a single program 0x40 (5), data (6), status
// from 7; for a buffer 0xE8 (5), extended status (6), count (7), 4 data (8-11), 0xD0 (12),
// status from 13.
TEST_P(PowerCut, CutLeavesTheOperationOldNewOrUndefined) {
    const CutCase &c = GetParam();
    const uint32_t length = c.op == Op::erase ? (c.device == G ? 0x20000 : 0x2000) : c.op == Op::buffer ? 4 : 1;
    std::vector<uint8_t> old_data, before;
    uint64_t accesses_before;
    {
        auto b = make_board(path);
        if (c.op == Op::erase) {  // old contents of an erase target: zeros in every byte
            for (uint32_t i = 0; i < length; i++) program(*b, c.device, c.at + i, uint8_t(0x5A ^ (i * 7)) & 0xF7);
        }
        const uint8_t *d = b->data(c.device);
        old_data.assign(d + c.at, d + c.at + length);
        before.assign(d, d + b->device_size(c.device));
        Fault cut = fault(K::power_cut);
        cut.after = c.after;
        std::string error;
        ASSERT_TRUE(b->add_fault(cut, &error)) << error;
        accesses_before = b->counters().accesses;
    }
    EXPECT_EQ(in_child([&] {
                  std::string error;
                  auto b = Board::open(path, &error);
                  if (!b) return 3;
                  run_op(*b, c.device, c.op, c.at);
                  run_op(*b, c.device, c.op, c.at);
                  return 0;  // the cut never came
              }),
              137);
    auto b = reopen();
    ASSERT_TRUE(b) << "the lock died with the process";
    EXPECT_TRUE(b->faults().empty()) << "the cut fires once and is taken off the board";
    EXPECT_EQ(b->counters().accesses - accesses_before, c.after - 1) << "the cut access never happened";
    const uint8_t *d = b->data(c.device);
    std::vector<uint8_t> now(d + c.at, d + c.at + length);
    std::vector<uint8_t> new_data(length, c.op == Op::erase ? 0xFF : 0x00);
    if (c.expect == Expect::undefined) {
        EXPECT_NE(now, old_data) << "mid-operation data must not be the old data";
        EXPECT_NE(now, new_data) << "mid-operation data must not be the new data";
    } else {
        EXPECT_EQ(now, c.expect == Expect::old_data ? old_data : new_data);
    }
    for (uint32_t i = 0; i < before.size(); i++) {
        if (i < c.at || i >= c.at + length) {
            ASSERT_EQ(d[i], before[i]) << "byte 0x" << std::hex << i << " outside the operation";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, PowerCut,
    ::testing::Values(CutCase{"erase_before_confirm", G, Op::erase, kBlock1, 6, Expect::old_data},
                      CutCase{"erase_first_busy_read", G, Op::erase, kBlock1, 7, Expect::undefined},
                      CutCase{"erase_second_busy_read", G, Op::erase, kBlock1, 8, Expect::undefined},
                      CutCase{"erase_after_ready", G, Op::erase, kBlock1, 9, Expect::new_data},
                      CutCase{"sound_param_erase_busy", S, Op::erase, 0x4000, 7, Expect::undefined},
                      CutCase{"program_busy", S, Op::program, 0x4010, 7, Expect::undefined},
                      CutCase{"program_before_data", G, Op::program, 0x10, 6, Expect::old_data},
                      CutCase{"buffer_before_confirm", G, Op::buffer, 0x40, 12, Expect::old_data},
                      CutCase{"buffer_busy", G, Op::buffer, 0x40, 13, Expect::undefined},
                      CutCase{"buffer_done", G, Op::buffer, 0x40, 15, Expect::new_data}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Scratch, ProcessesThatStopShortOfTheCutAccessLeaveItArmed) {
    {
        auto b = make_board(path);
        Fault cut = fault(K::power_cut);
        cut.after = 10;
        std::string error;
        ASSERT_TRUE(b->add_fault(cut, &error));
    }
    // Two processes of 9 accesses each: the count is per process, so neither reaches 10.
    for (int run = 0; run < 2; run++) {
        EXPECT_EQ(in_child([&] {
                      std::string error;
                      auto b = Board::open(path, &error);
                      for (int i = 0; b && i < 9; i++) b->read(0);
                      return b ? 0 : 3;
                  }),
                  0);
    }
    auto b = reopen();
    ASSERT_TRUE(b);
    ASSERT_EQ(b->faults().size(), 1u);
    EXPECT_EQ(b->faults()[0].after, 10u);
}

}  // namespace
