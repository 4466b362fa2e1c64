// The board model against the behaviour of the flash parts: identification and query,
// what reads return in each mode, programming, the write buffer rules, erase layouts,
// page decoding, busy time, sticky status and the bookkeeping tests rely on.
#include "board/model.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace tavboard;
using namespace boardtest;

namespace {

class BoardModel : public ::testing::Test {
  protected:
    std::unique_ptr<Board> open(const Fit &fit = {}) { return make_board(dir_.file("board.img"), fit); }
    ScratchDir dir_;
};

// Programs one byte of the game device (single-byte program) and returns the final status.
uint8_t program_game(Board &b, uint32_t device_offset, uint8_t value) {
    uint32_t w = at_game(b, device_offset);
    b.write(w, 0x40);
    b.write(w, value);
    uint8_t s = poll_ready(b, w);
    b.write(w, 0xFF);
    return s;
}

uint8_t program_sound(Board &b, uint32_t device_offset, uint8_t value) {
    uint32_t w = at_sound(b, device_offset);
    b.write(w, 0x40);
    b.write(w, value);
    uint8_t s = poll_ready(b, w);
    b.write(w, 0xFF);
    return s;
}

uint8_t erase_game(Board &b, uint32_t device_offset) {
    uint32_t w = at_game(b, device_offset);
    b.write(w, 0x20);
    b.write(w, 0xD0);
    uint8_t s = poll_ready(b, w);
    b.write(w, 0xFF);
    return s;
}

uint8_t erase_sound(Board &b, uint32_t device_offset) {
    uint32_t w = at_sound(b, device_offset);
    b.write(w, 0x20);
    b.write(w, 0xD0);
    uint8_t s = poll_ready(b, w);
    b.write(w, 0xFF);
    return s;
}

// --- identification -------------------------------------------------------------------

struct IdCase {
    const char *name;
    Fit fit;
    uint32_t page_address;
    uint8_t device_code;
};

class Identification : public BoardModel, public ::testing::WithParamInterface<IdCase> {};

TEST_P(Identification, ReadIdentifierGivesIntelAndTheDeviceCodeAtBytes0And2) {
    const IdCase &c = GetParam();
    auto b = open(c.fit);
    select_page(*b, c.page_address);
    b->write(0, 0x90);
    EXPECT_EQ(b->read(0), 0x89);
    EXPECT_EQ(b->read(1), 0x89);  // A0 is not decoded for identifier reads
    EXPECT_EQ(b->read(2), c.device_code);
    EXPECT_EQ(b->read(3), c.device_code);
    b->write(0, 0xFF);
    EXPECT_EQ(b->read(0), 0xFF);  // back to the (erased) array
}

Fit fit_of(uint32_t game, uint32_t block, uint32_t sound) {
    Fit f;
    f.game_size = game;
    f.game_block = block;
    f.sound_size = sound;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Identification,
    ::testing::Values(IdCase{"game4M", fit_of(4 << 20, 128 << 10, 1 << 20), 0x0000, 0x16},
                      IdCase{"game8M", fit_of(8 << 20, 128 << 10, 1 << 20), 0x0000, 0x17},
                      IdCase{"game8M_space1", fit_of(8 << 20, 128 << 10, 1 << 20), 0x1100, 0x17},
                      IdCase{"sound256K", fit_of(4 << 20, 128 << 10, 256 << 10), 0x8000, 0x75},
                      IdCase{"sound512K", fit_of(4 << 20, 128 << 10, 512 << 10), 0x8000, 0x71},
                      IdCase{"sound1M", fit_of(4 << 20, 128 << 10, 1 << 20), 0x8000, 0x9D}),
    [](const auto &info) { return std::string(info.param.name); });

// --- query structure ------------------------------------------------------------------

struct QueryCase {
    uint32_t game_size;
    uint32_t block;
};

class Query : public BoardModel, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(Query, QueryStructureDescribesTheFittedGeometryTruthfully) {
    const QueryCase &c = GetParam();
    auto b = open(fit_of(c.game_size, c.block, 1 << 20));
    select_page(*b, 0);
    b->write(0, 0x98);
    auto q = [&](uint32_t index) {
        uint8_t even = b->read(2 * index);
        EXPECT_EQ(even, b->read(2 * index + 1)) << "query byte " << index << " differs at its odd address";
        return even;
    };
    EXPECT_EQ(q(0x10), 'Q');
    EXPECT_EQ(q(0x11), 'R');
    EXPECT_EQ(q(0x12), 'Y');
    EXPECT_EQ(q(0x13) | q(0x14) << 8, 0x0001);  // Intel/Sharp extended command set
    EXPECT_EQ(q(0x28), 0x02);                   // x8/x16 interface
    EXPECT_EQ(1u << q(0x2A), 32u);              // write buffer
    EXPECT_EQ(q(0x2C), 1);                      // one erase region
    EXPECT_NE(q(0x1F), 0);                      // typical program time given
    EXPECT_NE(q(0x21), 0);                      // typical erase time given
    uint32_t size = 1u << q(0x27);
    uint32_t blocks = (q(0x2D) | q(0x2E) << 8) + 1u;
    uint32_t block_size = (q(0x2F) | q(0x30) << 8) * 256u;
    EXPECT_EQ(size, c.game_size);
    EXPECT_EQ(block_size, c.block);
    EXPECT_EQ(blocks * block_size, size);
    // The same structure through space 1 on an 8 MB part (page 0 of space 1).
    if (c.game_size == (8u << 20)) {
        b->write(0, 0xFF);
        select_page(*b, 0x1100);
        b->write(0, 0x98);
        EXPECT_EQ(b->read(0x20), 'Q');
        EXPECT_EQ(b->read(0x4E), 0x17);
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, Query,
                         ::testing::Values(QueryCase{4 << 20, 128 << 10}, QueryCase{8 << 20, 128 << 10},
                                           QueryCase{4 << 20, 64 << 10}, QueryCase{4 << 20, 32 << 10},
                                           QueryCase{8 << 20, 32 << 10}));

// --- what reads return in each mode ---------------------------------------------------

TEST_F(BoardModel, ReadsFollowTheModeTheLastCommandSelected) {
    auto b = open();
    ASSERT_EQ(program_game(*b, 0x10, 0x5A), 0x80);
    select_page(*b, 0);
    struct Step {
        uint8_t command;
        uint32_t read_at;
        uint8_t expected;
    } steps[] = {
        {0xFF, 0x10, 0x5A},  // array
        {0x70, 0x10, 0x80},  // status, at any address
        {0x70, 0x3FFF, 0x80},
        {0x90, 0x00, 0x89},  // identifier
        {0x98, 0x20, 'Q'},   // query
        {0xFF, 0x10, 0x5A},
        {0x50, 0x10, 0x5A},  // clear status keeps the read mode
    };
    for (const Step &s : steps) {
        b->write(0, s.command);
        EXPECT_EQ(b->read(s.read_at), s.expected) << "after command 0x" << std::hex << int(s.command);
    }
}

struct BadCommand {
    const char *name;
    uint32_t page_address;
    std::vector<uint8_t> writes;
};

class SequenceErrors : public BoardModel, public ::testing::WithParamInterface<BadCommand> {};

TEST_P(SequenceErrors, GiveStatusB0AndChangeNothing) {
    auto b = open();
    select_page(*b, GetParam().page_address);
    for (uint8_t v : GetParam().writes) b->write(0, v);
    EXPECT_EQ(b->read(0), 0xB0);
    b->write(0, 0xFF);
    EXPECT_EQ(b->read(0), 0xFF) << "the array must be untouched";
    EXPECT_EQ(b->counters().erases, 0u);
    EXPECT_EQ(b->counters().programmed_bytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SequenceErrors,
    ::testing::Values(BadCommand{"erase_not_confirmed", 0x0000, {0x20, 0xFF}},
                      BadCommand{"erase_confirmed_with_zero", 0x0000, {0x20, 0x00}},
                      BadCommand{"sound_erase_not_confirmed", 0x8000, {0x20, 0x70}},
                      BadCommand{"confirm_alone", 0x0000, {0xD0}},
                      BadCommand{"unknown_command", 0x0000, {0x33}},
                      BadCommand{"suspend_not_modelled", 0x0000, {0xB0}},
                      BadCommand{"write_buffer_on_boot_block", 0x8000, {0xE8}},
                      BadCommand{"query_on_boot_block", 0x8000, {0x98}},
                      BadCommand{"buffer_count_over_31", 0x0000, {0xE8, 32}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BoardModel, ErrorBitsStaySetUntilClearStatus) {
    auto b = open();
    select_page(*b, 0);
    b->write(0, 0x20);
    b->write(0, 0x00);  // bad confirm
    b->write(0, 0xFF);
    b->write(0, 0x70);
    EXPECT_EQ(b->read(0), 0xB0);
    // A later good operation still reports the old error bits ...
    EXPECT_EQ(program_game(*b, 0x100, 0x12), 0xB0);
    EXPECT_EQ(b->data(Device::game)[0x100], 0x12) << "... although it was carried out";
    // ... until 0x50, which keeps the ready bit.
    select_page(*b, 0);
    b->write(0, 0x50);
    b->write(0, 0x70);
    EXPECT_EQ(b->read(0), 0x80);
}

// --- programming ----------------------------------------------------------------------

struct AndCase {
    uint8_t first, second, stored;
    uint64_t not_erased_bits;  // attempted 0 -> 1 bits of the second program
};

class AndProgramming : public BoardModel, public ::testing::WithParamInterface<AndCase> {};

TEST_P(AndProgramming, StoredByteIsOldAndNewAndRaisedBitsAreCounted) {
    const AndCase &c = GetParam();
    auto b = open();
    for (Device dev : {Device::game, Device::sound}) {
        uint32_t at = 0x4321;
        auto prog = dev == Device::game ? program_game : program_sound;
        ASSERT_EQ(prog(*b, at, c.first), 0x80);
        uint64_t before = b->counters().not_erased_bits;
        EXPECT_EQ(prog(*b, at, c.second), 0x80) << "programming over old data reports success";
        EXPECT_EQ(b->data(dev)[at], c.stored);
        EXPECT_EQ(b->counters().not_erased_bits - before, c.not_erased_bits);
        uint32_t w = dev == Device::game ? at_game(*b, at) : at_sound(*b, at);
        EXPECT_EQ(b->read(w), c.stored) << "read back in array mode";
    }
}

INSTANTIATE_TEST_SUITE_P(Bytes, AndProgramming,
                         ::testing::Values(AndCase{0xFF, 0x5A, 0x5A, 0}, AndCase{0x5A, 0x5A, 0x5A, 0},
                                           AndCase{0x5A, 0xFF, 0x5A, 4}, AndCase{0xF0, 0x0F, 0x00, 4},
                                           AndCase{0x00, 0xFF, 0x00, 8}, AndCase{0xFE, 0x01, 0x00, 1}));

TEST_F(BoardModel, SixteenBitWriteIsTwoByteCyclesButOneAccess) {
    auto b = open();
    select_page(*b, 0);
    Counters before = b->counters();
    // Low byte 0x40 is the program command at 0x200, high byte 0x5A the data at 0x201.
    b->write16(0x200, 0x5A40);
    Counters after = b->counters();
    EXPECT_EQ(after.accesses - before.accesses, 1u);
    EXPECT_EQ(after.writes - before.writes, 1u);
    EXPECT_EQ(poll_ready(*b, 0), 0x80);
    b->write(0, 0xFF);
    EXPECT_EQ(b->data(Device::game)[0x200], 0xFF);
    EXPECT_EQ(b->data(Device::game)[0x201], 0x5A);
}

// --- write buffer ---------------------------------------------------------------------

struct BufferCase {
    const char *name;
    uint32_t block_size;
    uint32_t e8_at;                // device offsets
    uint32_t count_at;
    uint8_t count;
    std::vector<uint32_t> data_at;
    uint32_t confirm_at;
    uint8_t confirm;
    uint8_t status;                // after the confirm, once ready
    bool programmed;
};

class WriteBuffer : public BoardModel, public ::testing::WithParamInterface<BufferCase> {};

std::vector<uint32_t> run(uint32_t from, uint32_t n) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; i++) v.push_back(from + i);
    return v;
}

TEST_P(WriteBuffer, ProgramsOnlyAWellFormedBuffer) {
    const BufferCase &c = GetParam();
    auto b = open(fit_of(4 << 20, c.block_size, 1 << 20));
    // Everything happens inside one window page in these cases, except where a case
    // deliberately leaves the block; pages are selected per address.
    auto put = [&](uint32_t device_offset, uint8_t value) { b->write(at_game(*b, device_offset), value); };
    put(c.e8_at, 0xE8);
    EXPECT_EQ(b->read(at_game(*b, c.e8_at)), 0x80) << "extended status: buffer free";
    put(c.count_at, c.count);
    for (size_t i = 0; i < c.data_at.size(); i++) put(c.data_at[i], uint8_t(0xA0 + i));
    put(c.confirm_at, c.confirm);
    uint32_t w = at_game(*b, c.confirm_at);
    EXPECT_EQ(poll_ready(*b, w), c.status);
    const uint8_t *d = b->data(Device::game);
    for (size_t i = 0; i < c.data_at.size(); i++) {
        uint32_t at = c.data_at[i];
        if (c.programmed) {
            EXPECT_EQ(d[at], uint8_t(0xA0 + i)) << "byte at 0x" << std::hex << at;
        } else {
            EXPECT_EQ(d[at], 0xFF) << "nothing may be programmed; byte at 0x" << std::hex << at;
        }
    }
    EXPECT_EQ(b->counters().programmed_bytes, c.programmed ? c.data_at.size() : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WriteBuffer,
    ::testing::Values(
        BufferCase{"one_byte_count_zero", 128 << 10, 0x1000, 0x1000, 0, {0x1000}, 0x1000, 0xD0, 0x80, true},
        BufferCase{"full_32_bytes", 128 << 10, 0x1000, 0x1000, 31, run(0x1000, 32), 0x1000, 0xD0, 0x80, true},
        BufferCase{"unaligned_start", 128 << 10, 0x1000, 0x1000, 3, run(0x1011, 4), 0x1000, 0xD0, 0x80, true},
        BufferCase{"confirm_anywhere_in_block", 128 << 10, 0x1000, 0x1000, 1, run(0x1000, 2), 0x1FFFF, 0xD0,
                   0x80, true},
        BufferCase{"data_after_start_in_any_order", 128 << 10, 0x1000, 0x1000, 2, {0x1000, 0x1002, 0x1001},
                   0x1000, 0xD0, 0x80, true},
        BufferCase{"first_data_byte_is_the_start", 128 << 10, 0x1000, 0x1000, 2, {0x1002, 0x1000, 0x1001},
                   0x1000, 0xD0, 0xB0, false},
        BufferCase{"data_below_start", 128 << 10, 0x1000, 0x1000, 1, {0x1001, 0x1000}, 0x1000, 0xD0, 0xB0, false},
        BufferCase{"data_beyond_count", 128 << 10, 0x1000, 0x1000, 1, {0x1000, 0x1002}, 0x1000, 0xD0, 0xB0, false},
        BufferCase{"data_across_block_end", 32 << 10, 0x7FFE, 0x7FFE, 3, run(0x7FFE, 4), 0x7FFE, 0xD0, 0xB0,
                   false},
        BufferCase{"data_in_other_block", 32 << 10, 0x0000, 0x0000, 0, {0x8000}, 0x0000, 0xD0, 0xB0, false},
        BufferCase{"wrong_confirm", 128 << 10, 0x1000, 0x1000, 1, run(0x1000, 2), 0x1000, 0xFF, 0xB0, false},
        BufferCase{"confirm_in_other_block", 32 << 10, 0x1000, 0x1000, 1, run(0x1000, 2), 0x8000, 0xD0, 0xB0,
                   false},
        BufferCase{"count_in_other_block", 32 << 10, 0x1000, 0x9000, 0, {}, 0x9000, 0x70, 0xB0, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BoardModel, UnalignedBuffersAreCounted) {
    auto b = open();
    select_page(*b, 0);
    for (uint32_t start : {0x00u, 0x20u, 0x45u, 0x61u}) {
        b->write(start, 0xE8);
        b->write(start, 1);
        b->write(start, 0x00);
        b->write(start + 1, 0x00);
        b->write(start, 0xD0);
        ASSERT_EQ(poll_ready(*b, 0), 0x80);
    }
    EXPECT_EQ(b->counters().unaligned_buffers, 2u);
    EXPECT_EQ(b->command_count(0xE8), 4u);
    EXPECT_EQ(b->command_count(0xD0), 4u);
}

// --- erase layouts --------------------------------------------------------------------

struct LayoutCase {
    Device device;
    uint32_t size;
    uint32_t block;  // game block size
    std::vector<uint32_t> starts;
};

class EraseLayout : public BoardModel, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(EraseLayout, EachEraseClearsExactlyItsBlock) {
    const LayoutCase &c = GetParam();
    bool game = c.device == Device::game;
    auto b = open(game ? fit_of(c.size, c.block, 1 << 20) : fit_of(4 << 20, 128 << 10, c.size));
    auto prog = game ? program_game : program_sound;
    auto erase = game ? erase_game : erase_sound;
    // Mark every 8 KB, plus the byte before each mark, with zeros.
    for (uint32_t at = 0; at < c.size; at += 0x2000) {
        ASSERT_EQ(prog(*b, at, 0x00), 0x80);
        if (at > 0) {
            ASSERT_EQ(prog(*b, at - 1, 0x00), 0x80);
        }
    }
    ASSERT_EQ(prog(*b, c.size - 1, 0x00), 0x80);
    for (size_t k = 0; k < c.starts.size(); k++) {
        uint32_t start = c.starts[k];
        uint32_t end = k + 1 < c.starts.size() ? c.starts[k + 1] : c.size;
        // Erase through an address in the middle of the block.
        ASSERT_EQ(erase(*b, start + (end - start) / 2 + 3), 0x80);
        EXPECT_EQ(b->erase_count(c.device, uint32_t(k)), 1u);
        const uint8_t *d = b->data(c.device);
        for (uint32_t at = 0; at < c.size; at += 0x2000) {
            for (uint32_t probe : {at, at == 0 ? 0u : at - 1}) {
                bool erased = probe < end;  // blocks are erased in order, so all below `end`
                EXPECT_EQ(d[probe], erased ? 0xFF : 0x00)
                    << "after erasing block " << k << " (0x" << std::hex << start << "), byte 0x" << probe;
            }
        }
    }
    EXPECT_EQ(b->counters().erases, c.starts.size());
    EXPECT_EQ(b->data(c.device)[c.size - 1], 0xFF);
}

std::vector<uint32_t> uniform(uint32_t size, uint32_t block) {
    std::vector<uint32_t> v;
    for (uint32_t at = 0; at < size; at += block) v.push_back(at);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, EraseLayout,
    ::testing::Values(
        LayoutCase{Device::sound, 256 << 10, 0, {0x0, 0x4000, 0x6000, 0x8000, 0x20000}},
        LayoutCase{Device::sound, 512 << 10, 0, {0x0, 0x4000, 0x6000, 0x8000, 0x20000, 0x40000, 0x60000}},
        LayoutCase{Device::sound,
                   1 << 20,
                   0,
                   {0x0, 0x4000, 0x6000, 0x8000, 0x20000, 0x40000, 0x60000, 0x80000, 0xA0000, 0xC0000, 0xE0000}},
        LayoutCase{Device::game, 4 << 20, 128 << 10, uniform(4 << 20, 128 << 10)},
        LayoutCase{Device::game, 4 << 20, 64 << 10, uniform(4 << 20, 64 << 10)},
        LayoutCase{Device::game, 4 << 20, 32 << 10, uniform(4 << 20, 32 << 10)}));

// --- page decoding --------------------------------------------------------------------

struct DecodeCase {
    const char *name;
    Fit fit;
    uint32_t page_address;
    int device;             // 0 game, 1 sound, -1 open bus
    uint32_t device_offset; // of window offset 0
};

class Decoding : public BoardModel, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(Decoding, PageAddressSelectsDeviceBytesOrOpenBus) {
    const DecodeCase &c = GetParam();
    auto b = open(c.fit);
    // Give every fitted 16 KB page a signature: its page number's low byte at window offset
    // 0x123, its upper bits and the device at 0x3FFF.
    auto lo = [](uint32_t device_offset, int dev) { return uint8_t((device_offset >> 14) + dev * 0x55); };
    auto hi = [](uint32_t device_offset, int dev) { return uint8_t(0x40 | (device_offset >> 22) | dev << 4); };
    for (uint32_t at = 0; at < c.fit.game_size; at += kWindow) {
        program_game(*b, at + 0x123, lo(at, 0));
        program_game(*b, at + 0x3FFF, hi(at, 0));
    }
    for (uint32_t at = 0; at < c.fit.sound_size; at += kWindow) {
        program_sound(*b, at + 0x123, lo(at, 1));
        program_sound(*b, at + 0x3FFF, hi(at, 1));
    }
    select_page(*b, c.page_address);
    if (c.device < 0) {
        EXPECT_EQ(b->read(0x123), 0xFF);
        EXPECT_EQ(b->read(0x3FFF), 0xFF);
        // Writes go nowhere: a command sent to open bus leaves every device in array mode.
        b->write(0x123, 0x90);
        b->write(0, 0x40);
        b->write(0, 0x00);
        select_page(*b, 0);
        EXPECT_EQ(b->read(0x123), lo(0, 0));
        EXPECT_EQ(b->data(Device::game)[0], 0xFF);
        return;
    }
    const Device dev = c.device == 0 ? Device::game : Device::sound;
    ASSERT_EQ(b->data(dev)[c.device_offset + 0x123], lo(c.device_offset, c.device)) << "signatures in place";
    EXPECT_EQ(b->read(0x123), lo(c.device_offset, c.device));
    EXPECT_EQ(b->read(0x3FFF), hi(c.device_offset, c.device));
    uint8_t copy[3];
    b->copy_out(0x122, copy, 3);
    EXPECT_EQ(copy[1], lo(c.device_offset, c.device));
}

Fit absent_board() {
    Fit f;
    f.board_absent = true;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Spaces, Decoding,
    ::testing::Values(
        DecodeCase{"space0_page0", fit_of(4 << 20, 128 << 10, 1 << 20), 0x0000, 0, 0},
        DecodeCase{"space0_page255", fit_of(4 << 20, 128 << 10, 1 << 20), 0x00FF, 0, 0x3FC000},
        DecodeCase{"space0_page256_on_4M", fit_of(4 << 20, 128 << 10, 1 << 20), 0x0100, -1, 0},
        DecodeCase{"space0_page256_on_8M", fit_of(8 << 20, 128 << 10, 1 << 20), 0x0100, 0, 0x400000},
        DecodeCase{"space1_page0_on_8M", fit_of(8 << 20, 128 << 10, 1 << 20), 0x1100, 0, 0x400000},
        DecodeCase{"space1_page63_on_8M", fit_of(8 << 20, 128 << 10, 1 << 20), 0x113F, 0, 0x4FC000},
        DecodeCase{"space1_page0_on_4M", fit_of(4 << 20, 128 << 10, 1 << 20), 0x1100, -1, 0},
        DecodeCase{"space8_page0", fit_of(4 << 20, 128 << 10, 1 << 20), 0x8000, 1, 0},
        DecodeCase{"space8_page63", fit_of(4 << 20, 128 << 10, 1 << 20), 0x803F, 1, 0xFC000},
        DecodeCase{"space8_256K_wraps", fit_of(4 << 20, 128 << 10, 256 << 10), 0x8010, 1, 0},
        DecodeCase{"space8_256K_page21", fit_of(4 << 20, 128 << 10, 256 << 10), 0x8015, 1, 0x14000},
        DecodeCase{"space8_512K_wraps", fit_of(4 << 20, 128 << 10, 512 << 10), 0x8028, 1, 0x20000},
        DecodeCase{"space8_no_sound", fit_of(4 << 20, 128 << 10, 0), 0x8000, -1, 0},
        DecodeCase{"space2", fit_of(4 << 20, 128 << 10, 1 << 20), 0x2000, -1, 0},
        DecodeCase{"space4", fit_of(4 << 20, 128 << 10, 1 << 20), 0x4000, -1, 0},
        DecodeCase{"space9", fit_of(4 << 20, 128 << 10, 1 << 20), 0x9000, -1, 0},
        DecodeCase{"spaceF", fit_of(4 << 20, 128 << 10, 1 << 20), 0xF000, -1, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BoardModel, RegistersReadOpenAndUpperRangeIsOpenBus) {
    auto b = open();
    ASSERT_EQ(program_game(*b, 0x5, 0x00), 0x80);
    select_page(*b, 0);
    for (uint32_t at : {0x4000u, 0x4001u, 0x4002u, 0x4003u, 0x4004u, 0x5000u, 0x7FFFu}) {
        EXPECT_EQ(b->read(at), 0xFF) << std::hex << at;
        b->write(at, 0x90);  // ignored: neither a register nor a device cycle
    }
    EXPECT_EQ(b->read(0x5), 0x00) << "the page and the array mode survive writes to open bus";
    // Only the low four bits of a register count.
    b->write(0x4000, 0xF0);
    EXPECT_EQ(b->read(0x5), 0x00);
}

TEST_F(BoardModel, AbsentBoardAnswersNothing) {
    auto b = open(absent_board());
    select_page(*b, 0);
    b->write(0, 0x90);
    EXPECT_EQ(b->read(0), 0xFF);
    EXPECT_EQ(b->read(2), 0xFF);
    select_page(*b, 0x8000);
    b->write(0, 0x70);
    EXPECT_EQ(b->read(0), 0xFF);
    b->set_board_absent(false);
    select_page(*b, 0x8000);
    b->write(0, 0x90);
    EXPECT_EQ(b->read(2), 0x9D);
}

// --- busy time ------------------------------------------------------------------------

class BusyReads : public BoardModel, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(BusyReads, StatusShowsBusyForTheConfiguredReadsAndIgnoresWrites) {
    const uint32_t n = GetParam();
    auto b = open();
    b->set_timing(Timing::instant, n);
    int hook_calls = 0;
    b->set_status_read_hook([&] { hook_calls++; });
    for (int op = 0; op < 2; op++) {
        hook_calls = 0;
        select_page(*b, 0);
        if (op == 0) {
            b->write(0x40, 0x40);
            b->write(0x40, 0x00);
        } else {
            b->write(0x40, 0x20);
            b->write(0x40, 0xD0);
        }
        for (uint32_t i = 0; i < n; i++) {
            b->write(0x40, 0xFF);  // ignored while busy
            EXPECT_EQ(b->read(0x40), 0x00) << "busy read " << i;
        }
        EXPECT_EQ(b->read(0x40), 0x80);
        EXPECT_EQ(b->read(0x40), 0x80) << "status until read array";
        EXPECT_EQ(hook_calls, int(n + 2)) << "the hook sees every status read";
        b->write(0x40, 0xFF);
        EXPECT_EQ(b->read(0x40), op == 0 ? 0x00 : 0xFF);
        EXPECT_EQ(hook_calls, int(n + 2)) << "array reads are not status reads";
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, BusyReads, ::testing::Values(0u, 1u, 2u, 7u));

TEST_F(BoardModel, DefaultTimingIsInstantWithTwoBusyReads) {
    auto b = open();
    EXPECT_EQ(b->timing(), Timing::instant);
    EXPECT_EQ(b->busy_reads(), 2u);
}

TEST_F(BoardModel, ExtendedStatusReadsCallTheHook) {
    auto b = open();
    int calls = 0;
    b->set_status_read_hook([&] { calls++; });
    select_page(*b, 0);
    b->write(0, 0xE8);
    EXPECT_EQ(b->read(0), 0x80);
    EXPECT_EQ(b->read(0), 0x80);
    EXPECT_EQ(calls, 2);
    b->set_status_read_hook(nullptr);
    EXPECT_EQ(b->read(0), 0x80);
    EXPECT_EQ(calls, 2);
}

TEST_F(BoardModel, DatasheetTimingIsBusyInWallClockTimeAndCountsDeviceTime) {
    auto b = open();
    b->set_timing(Timing::datasheet, 0);
    select_page(*b, 0);
    b->write(0, 0x40);
    b->write(0, 0x00);
    EXPECT_EQ(b->read(0), 0x00) << "a byte program takes about 210 us";
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(b->read(0), 0x80);
    uint64_t program_us = b->counters().busy_us;
    EXPECT_GE(program_us, 100u);
    EXPECT_LE(program_us, 1000u);
    // Instant timing accumulates the same device time: an erase counts its typical second.
    b->set_timing(Timing::instant, 2);
    EXPECT_EQ(erase_game(*b, 0), 0x80);
    EXPECT_GE(b->counters().busy_us - program_us, 500000u);
}

// --- bookkeeping ----------------------------------------------------------------------

TEST_F(BoardModel, AccessLogRecordsEveryAccessInOrderWhenEnabled) {
    auto b = open();
    select_page(*b, 0);
    EXPECT_TRUE(b->log().empty()) << "off by default";
    b->enable_log(true);
    uint8_t buf[4];
    b->write(0x4000, 3);
    b->write(0x10, 0xFF);
    b->write16(0x12, 0xFFFF);
    uint8_t v = b->read(0x10);
    b->copy_out(0x20, buf, 4);
    const auto &log = b->log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].kind, Access::reg_write);
    EXPECT_EQ(log[0].offset, 0x4000u);
    EXPECT_EQ(log[0].value, 3u);
    EXPECT_EQ(log[1].kind, Access::write8);
    EXPECT_EQ(log[2].kind, Access::write16);
    EXPECT_EQ(log[2].value, 0xFFFFu);
    EXPECT_EQ(log[3].kind, Access::read);
    EXPECT_EQ(log[3].value, v);
    EXPECT_EQ(log[4].kind, Access::copy);
    EXPECT_EQ(log[4].value, 4u);
    b->clear_log();
    EXPECT_TRUE(b->log().empty());
}

TEST_F(BoardModel, CountersCountAccessesByKindAndReset) {
    auto b = open();
    select_page(*b, 0);  // 4 register writes
    uint8_t buf[100];
    b->read(0);
    b->copy_out(0, buf, 100);
    b->write(0, 0x70);
    Counters c = b->counters();
    EXPECT_EQ(c.accesses, 7u);
    EXPECT_EQ(c.register_writes, 4u);
    EXPECT_EQ(c.reads, 101u);
    EXPECT_EQ(c.writes, 1u);
    EXPECT_EQ(b->command_count(0x70), 1u);
    ASSERT_EQ(erase_game(*b, 0x20000), 0x80);
    EXPECT_EQ(b->erase_count(Device::game, 1), 1u);
    b->reset_counters();
    c = b->counters();
    EXPECT_EQ(c.accesses, 0u);
    EXPECT_EQ(c.erases, 0u);
    EXPECT_EQ(c.busy_us, 0u);
    EXPECT_EQ(b->command_count(0x70), 0u);
    EXPECT_EQ(b->erase_count(Device::game, 1), 0u);
}

}  // namespace
