// Injected faults of the board model: the status each one produces, where it applies, what
// it leaves in the array, and the power cut in a child process.
#include "board/model.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace tavboard;
using namespace boardtest;

namespace {

enum class Op { erase, program, buffer };

// Each operation targets device offset `at` of a device: erase its block, program one byte
// 0x00, or a 4-byte buffer of 0x00.
uint8_t run_op(Board &b, Device dev, Op op, uint32_t at) {
    uint32_t w = dev == Device::game ? at_game(b, at) : at_sound(b, at);
    switch (op) {
    case Op::erase:
        b.write(w, 0x20);
        b.write(w, 0xD0);
        break;
    case Op::program:
        b.write(w, 0x40);
        b.write(w, 0x00);
        break;
    case Op::buffer:
        b.write(w, 0xE8);
        if (b.read(w) != 0x80) return 0;
        b.write(w, 3);
        for (uint32_t i = 0; i < 4; i++) b.write(w + i, 0x00);
        b.write(w, 0xD0);
        break;
    }
    uint8_t s = poll_ready(b, w);
    b.write(w, 0xFF);
    return s;
}

Fault fault(FaultKind kind, Device dev = Device::game, int32_t block = -1, int64_t offset = -1) {
    Fault f;
    f.kind = kind;
    f.device = dev;
    f.block = block;
    f.offset = offset;
    return f;
}

struct StatusCase {
    const char *name;
    Fault fault;
    Device device;
    Op op;
    uint32_t at;
    uint8_t status;
    bool changes_data;
};

class FaultStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(FaultStatus, OperationEndsWithTheFaultsStatusAndItsEffect) {
    const StatusCase &c = GetParam();
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    // Something to erase: a zero byte 0x10 into the target.
    if (c.op == Op::erase) {
        ASSERT_EQ(run_op(*b, c.device, Op::program, c.at + 0x10), 0x80);
    }
    std::string error;
    ASSERT_TRUE(b->add_fault(c.fault, &error)) << error;
    EXPECT_EQ(run_op(*b, c.device, c.op, c.at), c.status);
    const uint8_t *d = b->data(c.device);
    if (c.op == Op::erase) {
        EXPECT_EQ(d[c.at + 0x10], c.changes_data ? 0xFF : 0x00);
    } else {
        uint32_t n = c.op == Op::buffer ? 4 : 1;
        for (uint32_t i = 0; i < n; i++) EXPECT_EQ(d[c.at + i], c.changes_data ? 0x00 : 0xFF) << i;
    }
    // The error bits stay until clear status: a read-status later still shows them.
    uint32_t w = c.device == Device::game ? at_game(*b, c.at) : at_sound(*b, c.at);
    b->write(w, 0x70);
    EXPECT_EQ(b->read(w), c.status);
}

constexpr uint32_t kBlock1 = 0x20000;  // game block 1 (128 KB blocks)

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultStatus,
    ::testing::Values(
        StatusCase{"erase_fail", fault(FaultKind::erase_fail), Device::game, Op::erase, kBlock1, 0xA0, false},
        StatusCase{"erase_fail_in_block", fault(FaultKind::erase_fail, Device::game, 1), Device::game, Op::erase,
                   kBlock1, 0xA0, false},
        StatusCase{"erase_fail_other_block", fault(FaultKind::erase_fail, Device::game, 2), Device::game,
                   Op::erase, kBlock1, 0x80, true},
        StatusCase{"erase_fail_at_offset", fault(FaultKind::erase_fail, Device::game, -1, kBlock1 + 0x777),
                   Device::game, Op::erase, kBlock1, 0xA0, false},
        StatusCase{"erase_fail_leaves_programs", fault(FaultKind::erase_fail), Device::game, Op::program, kBlock1,
                   0x80, true},
        StatusCase{"program_fail", fault(FaultKind::program_fail), Device::game, Op::program, kBlock1, 0x90, false},
        StatusCase{"program_fail_buffer", fault(FaultKind::program_fail), Device::game, Op::buffer, kBlock1, 0x90,
                   false},
        StatusCase{"program_fail_offset_in_buffer", fault(FaultKind::program_fail, Device::game, -1, kBlock1 + 2),
                   Device::game, Op::buffer, kBlock1, 0x90, false},
        StatusCase{"program_fail_offset_elsewhere", fault(FaultKind::program_fail, Device::game, -1, kBlock1 + 4),
                   Device::game, Op::buffer, kBlock1, 0x80, true},
        StatusCase{"vpp_low_erase", fault(FaultKind::vpp_low), Device::game, Op::erase, kBlock1, 0xA8, false},
        StatusCase{"vpp_low_program", fault(FaultKind::vpp_low), Device::game, Op::program, kBlock1, 0x98, false},
        StatusCase{"vpp_low_buffer", fault(FaultKind::vpp_low), Device::game, Op::buffer, kBlock1, 0x98, false},
        StatusCase{"locked_erase", fault(FaultKind::locked, Device::game, 1), Device::game, Op::erase, kBlock1,
                   0xA2, false},
        StatusCase{"locked_program", fault(FaultKind::locked, Device::game, 1), Device::game, Op::program, kBlock1,
                   0x92, false},
        StatusCase{"locked_other_block", fault(FaultKind::locked, Device::game, 0), Device::game, Op::program,
                   kBlock1, 0x80, true},
        StatusCase{"game_fault_spares_sound", fault(FaultKind::erase_fail), Device::sound, Op::erase, 0x4000, 0x80,
                   true},
        StatusCase{"sound_erase_fail_block1", fault(FaultKind::erase_fail, Device::sound, 1), Device::sound,
                   Op::erase, 0x4000, 0xA0, false},
        StatusCase{"sound_erase_fail_spares_block2", fault(FaultKind::erase_fail, Device::sound, 1), Device::sound,
                   Op::erase, 0x6000, 0x80, true},
        StatusCase{"sound_program_fail", fault(FaultKind::program_fail, Device::sound), Device::sound, Op::program,
                   0x4010, 0x90, false},
        StatusCase{"sound_locked_boot_block", fault(FaultKind::locked, Device::sound, 0), Device::sound, Op::erase,
                   0x0000, 0xA2, false},
        StatusCase{"sound_vpp_low", fault(FaultKind::vpp_low, Device::sound), Device::sound, Op::program, 0x8000,
                   0x98, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BoardFaults, StuckBitsStayZeroThroughEraseAndProgramWithoutStatusError) {
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    Fault f = fault(FaultKind::stuck, Device::game, -1, 0x30);
    f.mask = 0x81;
    std::string error;
    ASSERT_TRUE(b->add_fault(f, &error)) << error;
    EXPECT_EQ(b->data(Device::game)[0x30], 0x7E) << "the bits read 0 at once";
    uint32_t w = at_game(*b, 0);
    b->write(w, 0x20);
    b->write(w, 0xD0);
    EXPECT_EQ(poll_ready(*b, w), 0x80);
    b->write(w, 0xFF);
    EXPECT_EQ(b->read(0x30), 0x7E) << "an erase does not raise them";
    EXPECT_EQ(b->read(0x31), 0xFF);
    b->write(0x30, 0x40);
    b->write(0x30, 0xA5);
    EXPECT_EQ(poll_ready(*b, w), 0x80) << "no status error: only a read-back shows it";
    b->write(w, 0xFF);
    EXPECT_EQ(b->read(0x30), 0x24);
    // A stuck fault needs its place and its bits.
    Fault bad = fault(FaultKind::stuck, Device::game);
    EXPECT_FALSE(b->add_fault(bad, &error));
}

TEST(BoardFaults, NeverReadyHangsTheDeviceForTheRestOfTheProcess) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    {
        auto b = make_board(path);
        std::string error;
        ASSERT_TRUE(b->add_fault(fault(FaultKind::never_ready, Device::game, 3), &error));
        // Outside block 3 all is well.
        EXPECT_EQ(run_op(*b, Device::game, Op::program, 0x10), 0x80);
        int polls = 0;
        b->set_status_read_hook([&] { polls++; });
        uint32_t w = at_game(*b, 3 * 0x20000);
        b->write(w, 0x20);
        b->write(w, 0xD0);
        for (int i = 0; i < 1000; i++) ASSERT_EQ(b->read(w), 0x00);
        EXPECT_EQ(polls, 1000);
        b->write(w, 0xFF);  // ignored
        EXPECT_EQ(b->read(w), 0x00);
        // The whole device is hung now, block 0 too; the sound device is not.
        w = at_game(*b, 0x10);
        EXPECT_EQ(b->read(w), 0x00);
        EXPECT_EQ(run_op(*b, Device::sound, Op::program, 0x10), 0x80);
        EXPECT_EQ(b->data(Device::game)[3 * 0x20000], 0xFF);
    }
    // A new process powers the board up fresh.
    std::string error;
    auto b = Board::open(path, &error);
    ASSERT_TRUE(b) << error;
    select_page(*b, 0);
    EXPECT_EQ(b->read(0x10), 0x00) << "array data, not a busy status";
}

TEST(BoardFaults, BufferBusyNeverFreesTheBufferButSingleProgramsWork) {
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    std::string error;
    ASSERT_TRUE(b->add_fault(fault(FaultKind::buffer_busy, Device::game, 1), &error));
    int polls = 0;
    b->set_status_read_hook([&] { polls++; });
    uint32_t w = at_game(*b, kBlock1);
    for (int i = 0; i < 50; i++) {
        b->write(w, 0xE8);
        EXPECT_EQ(b->read(w), 0x00);
    }
    EXPECT_EQ(polls, 50);
    b->write(w, 0xFF);
    EXPECT_EQ(run_op(*b, Device::game, Op::program, kBlock1), 0x80);
    EXPECT_EQ(run_op(*b, Device::game, Op::buffer, 0x100), 0x80) << "block 0 has a free buffer";
    EXPECT_EQ(b->data(Device::game)[kBlock1], 0x00);
    EXPECT_EQ(b->counters().not_erased_bits, 0u);
}

struct AbsentCase {
    Device absent;
    uint32_t gone_page, there_page;
    uint8_t there_code;
};

class AbsentDevice : public ::testing::TestWithParam<AbsentCase> {};

TEST_P(AbsentDevice, AnAbsentDeviceIsOpenBusAndTheOtherAnswers) {
    const AbsentCase &c = GetParam();
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    std::string error;
    ASSERT_TRUE(b->add_fault(fault(FaultKind::absent, c.absent), &error));
    select_page(*b, c.gone_page);
    b->write(0, 0x90);
    EXPECT_EQ(b->read(0), 0xFF);
    EXPECT_EQ(b->read(2), 0xFF);
    select_page(*b, c.there_page);
    b->write(0, 0x90);
    EXPECT_EQ(b->read(2), c.there_code);
    b->clear_faults();
    select_page(*b, c.gone_page);
    b->write(0, 0x90);
    EXPECT_EQ(b->read(0), 0x89) << "cleared: it answers again";
}

INSTANTIATE_TEST_SUITE_P(Devices, AbsentDevice,
                         ::testing::Values(AbsentCase{Device::game, 0x0000, 0x8000, 0x9D},
                                           AbsentCase{Device::sound, 0x8000, 0x0000, 0x16}));

TEST(BoardFaults, FaultsOutsideTheDeviceAreRefused) {
    ScratchDir dir;
    Fit fit;
    fit.sound_size = 0;
    auto b = make_board(dir.file("b.img"), fit);
    std::string error;
    EXPECT_FALSE(b->add_fault(fault(FaultKind::erase_fail, Device::game, 32), &error));
    EXPECT_FALSE(b->add_fault(fault(FaultKind::erase_fail, Device::game, -1, 4 << 20), &error));
    EXPECT_FALSE(b->add_fault(fault(FaultKind::erase_fail, Device::sound), &error)) << "no sound device fitted";
    Fault cut = fault(FaultKind::power_cut);
    EXPECT_FALSE(b->add_fault(cut, &error)) << "a power cut needs its access number";
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

class PowerCut : public ::testing::TestWithParam<CutCase> {};

// Child accesses: 4 page register writes, then for an erase 0x20 (5), 0xD0 (6) and status
// reads from 7 (two busy, the third ready); for a single program 0x40 (5), data (6), status
// from 7; for a buffer 0xE8 (5), extended status (6), count (7), 4 data (8-11), 0xD0 (12),
// status from 13.
TEST_P(PowerCut, CutLeavesTheOperationOldNewOrUndefined) {
    const CutCase &c = GetParam();
    ScratchDir dir;
    std::string path = dir.file("b.img");
    const uint32_t length = c.op == Op::erase ? (c.device == Device::game ? 0x20000 : 0x2000)
                            : c.op == Op::buffer ? 4
                                                 : 1;
    std::vector<uint8_t> old_data, other_before;
    uint64_t accesses_before;
    {
        auto b = make_board(path);
        // Old contents of an erase target: a pattern with zeros in every byte.
        if (c.op == Op::erase) {
            for (uint32_t i = 0; i < length; i++) {
                uint32_t w = c.device == Device::game ? at_game(*b, c.at + i) : at_sound(*b, c.at + i);
                b->write(w, 0x40);
                b->write(w, uint8_t(0x5A ^ (i * 7)) & 0xF7);
                poll_ready(*b, w);
                b->write(w, 0xFF);
            }
        }
        const uint8_t *d = b->data(c.device);
        old_data.assign(d + c.at, d + c.at + length);
        other_before.assign(d, d + b->device_size(c.device));
        Fault cut = fault(FaultKind::power_cut);
        cut.after = c.after;
        std::string error;
        ASSERT_TRUE(b->add_fault(cut, &error)) << error;
        accesses_before = b->counters().accesses;
    }
    int status = in_child([&] {
        std::string error;
        auto b = Board::open(path, &error);
        if (!b) return 3;
        run_op(*b, c.device, c.op, c.at);
        run_op(*b, c.device, c.op, c.at);
        return 0;  // the cut never came
    });
    EXPECT_EQ(status, 137);

    std::string error;
    auto b = Board::open(path, &error);
    ASSERT_TRUE(b) << "the lock died with the process: " << error;
    EXPECT_TRUE(b->faults().empty()) << "the cut fires once and is taken off the board";
    EXPECT_EQ(b->counters().accesses - accesses_before, c.after - 1) << "the cut access never happened";
    const uint8_t *d = b->data(c.device);
    std::vector<uint8_t> now(d + c.at, d + c.at + length);
    std::vector<uint8_t> new_data(length);
    for (uint32_t i = 0; i < length; i++) new_data[i] = c.op == Op::erase ? 0xFF : uint8_t(old_data[i] & 0x00);
    switch (c.expect) {
    case Expect::old_data:
        EXPECT_EQ(now, old_data);
        break;
    case Expect::new_data:
        EXPECT_EQ(now, new_data);
        break;
    case Expect::undefined:
        EXPECT_NE(now, old_data) << "mid-operation data must not be the old data";
        EXPECT_NE(now, new_data) << "mid-operation data must not be the new data";
        break;
    }
    // Nothing outside the operation changed.
    for (uint32_t i = 0; i < other_before.size(); i++) {
        if (i >= c.at && i < c.at + length) continue;
        ASSERT_EQ(d[i], other_before[i]) << "byte 0x" << std::hex << i << " outside the operation";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, PowerCut,
    ::testing::Values(CutCase{"erase_before_confirm", Device::game, Op::erase, kBlock1, 6, Expect::old_data},
                      CutCase{"erase_first_busy_read", Device::game, Op::erase, kBlock1, 7, Expect::undefined},
                      CutCase{"erase_second_busy_read", Device::game, Op::erase, kBlock1, 8, Expect::undefined},
                      CutCase{"erase_after_ready", Device::game, Op::erase, kBlock1, 9, Expect::new_data},
                      CutCase{"sound_param_erase_busy", Device::sound, Op::erase, 0x4000, 7, Expect::undefined},
                      CutCase{"program_busy", Device::sound, Op::program, 0x4010, 7, Expect::undefined},
                      CutCase{"program_before_data", Device::game, Op::program, 0x10, 6, Expect::old_data},
                      CutCase{"buffer_before_confirm", Device::game, Op::buffer, 0x40, 12, Expect::old_data},
                      CutCase{"buffer_busy", Device::game, Op::buffer, 0x40, 13, Expect::undefined},
                      CutCase{"buffer_done", Device::game, Op::buffer, 0x40, 15, Expect::new_data}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BoardPowerCut, ProcessesThatStopShortOfTheAccessLeaveTheCutArmed) {
    ScratchDir dir;
    std::string path = dir.file("b.img");
    {
        auto b = make_board(path);
        Fault cut = fault(FaultKind::power_cut);
        cut.after = 10;
        std::string error;
        ASSERT_TRUE(b->add_fault(cut, &error));
    }
    // Two processes of 9 accesses each: the count is per process, so neither reaches 10.
    for (int run = 0; run < 2; run++) {
        int status = in_child([&] {
            std::string error;
            auto b = Board::open(path, &error);
            if (!b) return 3;
            for (int i = 0; i < 9; i++) b->read(0);
            return 0;
        });
        EXPECT_EQ(status, 0);
    }
    std::string error;
    auto b = Board::open(path, &error);
    ASSERT_TRUE(b) << error;
    ASSERT_EQ(b->faults().size(), 1u);
    EXPECT_EQ(b->faults()[0].after, 10u);
}

}  // namespace
