// The board model against the behaviour of the flash parts: identification and query, what
// reads return in each mode, sticky status, programming, the write buffer rules, erase
// layouts, page decoding, busy time and the bookkeeping other tests rely on.
#include "board/model.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace tavboard;
using namespace boardtest;

namespace {

constexpr uint32_t K = 1u << 10, M = 1u << 20;
const Device G = Device::game, S = Device::sound;

class BoardModel : public ::testing::Test {
  protected:
    std::unique_ptr<Board> open(const Fit &fit = {}) { return make_board(dir_.file("board.img"), fit); }
    ScratchDir dir_;
};

template <class P> class BoardModelP : public BoardModel, public ::testing::WithParamInterface<P> {};

// --- identification and query ---------------------------------------------------------

struct FitCase {
    Fit fit;
    uint8_t game_code, sound_code;
};
using FitIds = BoardModelP<FitCase>;

TEST_P(FitIds, IdentifierAndQueryDescribeTheFittedParts) {
    const FitCase &c = GetParam();
    auto b = open(c.fit);
    const bool big = c.fit.game_size == 8 * M;
    struct {
        uint32_t page;
        uint8_t code;
    } ids[] = {{0x0000, c.game_code}, {0x8000, c.sound_code}, {big ? 0x1100u : 0x0000u, c.game_code}};
    for (const auto &id : ids) {
        select_page(*b, id.page);
        b->write(0, 0x90);
        EXPECT_EQ(b->read(0), 0x89);
        EXPECT_EQ(b->read(1), 0x89);  // A0 is not decoded for identifier reads
        EXPECT_EQ(b->read(2), id.code);
        EXPECT_EQ(b->read(3), id.code);
        b->write(0, 0xFF);
        EXPECT_EQ(b->read(0), 0xFF) << "back to the (erased) array";
    }
    select_page(*b, 0);
    b->write(0, 0x98);
    auto q = [&](uint32_t index) {
        uint8_t even = b->read(2 * index);
        EXPECT_EQ(even, b->read(2 * index + 1)) << "query byte " << index << " differs at its odd address";
        return uint32_t(even);
    };
    EXPECT_EQ(q(0x10), 'Q');
    EXPECT_EQ(q(0x11), 'R');
    EXPECT_EQ(q(0x12), 'Y');
    EXPECT_EQ(q(0x13) | q(0x14) << 8, 0x0001u);  // Intel/Sharp extended command set
    EXPECT_EQ(q(0x28), 0x02u);                   // x8/x16 interface
    EXPECT_EQ(1u << q(0x2A), 32u);               // write buffer
    EXPECT_EQ(q(0x2C), 1u);                      // one erase region
    EXPECT_NE(q(0x1F), 0u);                      // typical program time given
    EXPECT_NE(q(0x21), 0u);                      // typical erase time given
    uint32_t block_size = (q(0x2F) | q(0x30) << 8) * 256u;
    EXPECT_EQ(1u << q(0x27), c.fit.game_size);
    EXPECT_EQ(block_size, c.fit.game_block);
    EXPECT_EQ(((q(0x2D) | q(0x2E) << 8) + 1u) * block_size, c.fit.game_size);
    if (big) {  // the same structure through page 0 of space 1
        b->write(0, 0xFF);
        select_page(*b, 0x1100);
        b->write(0, 0x98);
        EXPECT_EQ(b->read(0x20), 'Q');
        EXPECT_EQ(b->read(0x4E), 0x17);
    }
}

INSTANTIATE_TEST_SUITE_P(Fits, FitIds,
                         ::testing::Values(FitCase{fit_of(4 * M, 128 * K, 1 * M), 0x16, 0x9D},
                                           FitCase{fit_of(8 * M, 128 * K, 256 * K), 0x17, 0x75},
                                           FitCase{fit_of(4 * M, 64 * K, 512 * K), 0x16, 0x71},
                                           FitCase{fit_of(4 * M, 32 * K, 1 * M), 0x16, 0x9D},
                                           FitCase{fit_of(8 * M, 32 * K, 1 * M), 0x17, 0x9D}));

// --- read modes and sequence errors ---------------------------------------------------

TEST_F(BoardModel, ReadsFollowTheModeTheLastCommandSelected) {
    auto b = open();
    ASSERT_EQ(program(*b, G, 0x10, 0x5A), 0x80);
    select_page(*b, 0);
    struct {
        uint8_t command;
        uint32_t read_at;
        uint8_t expected;
    } steps[] = {{0xFF, 0x10, 0x5A}, {0x70, 0x10, 0x80}, {0x70, 0x3FFF, 0x80},  // status at any address
                 {0x90, 0x00, 0x89}, {0x98, 0x20, 'Q'},  {0xFF, 0x10, 0x5A},
                 {0x50, 0x10, 0x5A}};  // clear status keeps the read mode
    for (const auto &s : steps) {
        b->write(0, s.command);
        EXPECT_EQ(b->read(s.read_at), s.expected) << "after command 0x" << std::hex << int(s.command);
    }
}

struct BadCommand {
    const char *name;
    uint32_t page_address;
    std::vector<uint8_t> writes;
};
using SequenceErrors = BoardModelP<BadCommand>;

TEST_P(SequenceErrors, GiveStickyStatusB0AndChangeNothing) {
    auto b = open();
    const Device dev = GetParam().page_address & 0x8000 ? S : G;
    select_page(*b, GetParam().page_address);
    for (uint8_t v : GetParam().writes) b->write(0, v);
    EXPECT_EQ(b->read(0), 0xB0);
    b->write(0, 0xFF);
    EXPECT_EQ(b->read(0), 0xFF) << "the array must be untouched";
    EXPECT_EQ(b->counters().erases, 0u);
    EXPECT_EQ(b->counters().programmed_bytes, 0u);
    // A later good operation still reports the error bits, although it is carried out ...
    EXPECT_EQ(program(*b, dev, 0x100, 0x12), 0xB0);
    EXPECT_EQ(b->data(dev)[0x100], 0x12);
    // ... until clear status, which keeps the ready bit.
    b->write(0, 0x50);
    b->write(0, 0x70);
    EXPECT_EQ(b->read(0), 0x80);
}

INSTANTIATE_TEST_SUITE_P(Commands, SequenceErrors,
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

// --- programming ----------------------------------------------------------------------

struct AndCase {
    uint8_t first, second, stored;
    uint64_t not_erased_bits;  // attempted 0 -> 1 bits of the second program
};
using AndProgramming = BoardModelP<AndCase>;

TEST_P(AndProgramming, StoredByteIsOldAndNewAndRaisedBitsAreCounted) {
    const AndCase &c = GetParam();
    auto b = open();
    for (Device dev : {G, S}) {
        ASSERT_EQ(program(*b, dev, 0x4321, c.first), 0x80);
        uint64_t before = b->counters().not_erased_bits;
        EXPECT_EQ(program(*b, dev, 0x4321, c.second), 0x80) << "programming over old data reports success";
        EXPECT_EQ(b->data(dev)[0x4321], c.stored);
        EXPECT_EQ(b->counters().not_erased_bits - before, c.not_erased_bits);
        EXPECT_EQ(b->read(at(*b, dev, 0x4321)), c.stored) << "read back in array mode";
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
    b->write16(0x200, 0x5A40);  // program command at 0x200, its data at 0x201
    EXPECT_EQ(b->counters().accesses - before.accesses, 1u);
    EXPECT_EQ(b->counters().writes - before.writes, 1u);
    EXPECT_EQ(poll_ready(*b, 0), 0x80);
    EXPECT_EQ(b->data(G)[0x200], 0xFF);
    EXPECT_EQ(b->data(G)[0x201], 0x5A);
}

// --- write buffer ---------------------------------------------------------------------

struct BufferCase {
    const char *name;
    uint32_t block, e8_at, count_at;  // device offsets
    uint8_t count;
    std::vector<uint32_t> data_at;
    uint32_t confirm_at;
    uint8_t confirm, status;  // status after the confirm, once ready
};
using WriteBuffer = BoardModelP<BufferCase>;

std::vector<uint32_t> run(uint32_t from, uint32_t n) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; i++) v.push_back(from + i);
    return v;
}

TEST_P(WriteBuffer, ProgramsOnlyAWellFormedBuffer) {
    const BufferCase &c = GetParam();
    const bool programmed = c.status == 0x80;
    auto b = open(fit_of(4 * M, c.block, 1 * M));
    auto put = [&](uint32_t offset, uint8_t value) { b->write(at(*b, G, offset), value); };
    put(c.e8_at, 0xE8);
    EXPECT_EQ(b->read(at(*b, G, c.e8_at)), 0x80) << "extended status: buffer free";
    put(c.count_at, c.count);
    for (size_t i = 0; i < c.data_at.size(); i++) put(c.data_at[i], uint8_t(0xA0 + i));
    put(c.confirm_at, c.confirm);
    EXPECT_EQ(poll_ready(*b, at(*b, G, c.confirm_at)), c.status);
    for (size_t i = 0; i < c.data_at.size(); i++)
        EXPECT_EQ(b->data(G)[c.data_at[i]], programmed ? uint8_t(0xA0 + i) : 0xFF) << std::hex << c.data_at[i];
    EXPECT_EQ(b->counters().programmed_bytes, programmed ? c.data_at.size() : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WriteBuffer,
    ::testing::Values(
        BufferCase{"one_byte_count_zero", 128 * K, 0x1000, 0x1000, 0, {0x1000}, 0x1000, 0xD0, 0x80},
        BufferCase{"full_32_bytes", 128 * K, 0x1000, 0x1000, 31, run(0x1000, 32), 0x1000, 0xD0, 0x80},
        BufferCase{"unaligned_start", 128 * K, 0x1000, 0x1000, 3, run(0x1011, 4), 0x1000, 0xD0, 0x80},
        BufferCase{"confirm_anywhere_in_block", 128 * K, 0x1000, 0x1000, 1, run(0x1000, 2), 0x1FFFF, 0xD0, 0x80},
        BufferCase{"data_after_start_any_order", 128 * K, 0x1000, 0x1000, 2, {0x1000, 0x1002, 0x1001}, 0x1000, 0xD0,
                   0x80},
        BufferCase{"first_data_is_the_start", 128 * K, 0x1000, 0x1000, 2, {0x1002, 0x1000, 0x1001}, 0x1000, 0xD0,
                   0xB0},
        BufferCase{"data_below_start", 128 * K, 0x1000, 0x1000, 1, {0x1001, 0x1000}, 0x1000, 0xD0, 0xB0},
        BufferCase{"data_beyond_count", 128 * K, 0x1000, 0x1000, 1, {0x1000, 0x1002}, 0x1000, 0xD0, 0xB0},
        BufferCase{"data_across_block_end", 32 * K, 0x7FFE, 0x7FFE, 3, run(0x7FFE, 4), 0x7FFE, 0xD0, 0xB0},
        BufferCase{"data_in_other_block", 32 * K, 0x0000, 0x0000, 0, {0x8000}, 0x0000, 0xD0, 0xB0},
        BufferCase{"wrong_confirm", 128 * K, 0x1000, 0x1000, 1, run(0x1000, 2), 0x1000, 0xFF, 0xB0},
        BufferCase{"confirm_in_other_block", 32 * K, 0x1000, 0x1000, 1, run(0x1000, 2), 0x8000, 0xD0, 0xB0},
        BufferCase{"count_in_other_block", 32 * K, 0x1000, 0x9000, 0, {}, 0x9000, 0x70, 0xB0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BoardModel, UnalignedBuffersAreCounted) {
    auto b = open();
    select_page(*b, 0);
    for (uint32_t start : {0x00u, 0x20u, 0x45u, 0x61u}) {
        for (uint8_t v : {0xE8, 1, 0x00}) b->write(start, v);
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
    uint32_t size, block;  // block: game block size
    std::vector<uint32_t> starts;
};
using EraseLayout = BoardModelP<LayoutCase>;

TEST_P(EraseLayout, EachEraseClearsExactlyItsBlock) {
    const LayoutCase &c = GetParam();
    auto b = open(c.device == G ? fit_of(c.size, c.block, 1 * M) : fit_of(4 * M, 128 * K, c.size));
    // Zeros at every 8 KB mark, the byte before each mark and the last byte.
    for (uint32_t a = 0; a < c.size; a += 0x2000) {
        ASSERT_EQ(program(*b, c.device, a, 0x00), 0x80);
        if (a > 0) {
            ASSERT_EQ(program(*b, c.device, a - 1, 0x00), 0x80);
        }
    }
    ASSERT_EQ(program(*b, c.device, c.size - 1, 0x00), 0x80);
    for (size_t k = 0; k < c.starts.size(); k++) {
        uint32_t start = c.starts[k], end = k + 1 < c.starts.size() ? c.starts[k + 1] : c.size;
        ASSERT_EQ(erase(*b, c.device, start + (end - start) / 2 + 3), 0x80);  // through a middle address
        EXPECT_EQ(b->erase_count(c.device, uint32_t(k)), 1u);
        for (uint32_t a = 0; a < c.size; a += 0x2000) {
            for (uint32_t probe : {a, a == 0 ? 0u : a - 1}) {  // blocks go in order: all below `end` erased
                EXPECT_EQ(b->data(c.device)[probe], probe < end ? 0xFF : 0x00)
                    << "after erasing block " << k << ", byte 0x" << std::hex << probe;
            }
        }
    }
    EXPECT_EQ(b->counters().erases, c.starts.size());
    EXPECT_EQ(b->data(c.device)[c.size - 1], 0xFF);
}

std::vector<uint32_t> uniform(uint32_t size, uint32_t block) {
    std::vector<uint32_t> v;
    for (uint32_t a = 0; a < size; a += block) v.push_back(a);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, EraseLayout,
    ::testing::Values(LayoutCase{S, 256 * K, 0, {0x0, 0x4000, 0x6000, 0x8000, 0x20000}},
                      LayoutCase{S, 512 * K, 0, {0x0, 0x4000, 0x6000, 0x8000, 0x20000, 0x40000, 0x60000}},
                      LayoutCase{S, 1 * M, 0,
                                 {0x0, 0x4000, 0x6000, 0x8000, 0x20000, 0x40000, 0x60000, 0x80000, 0xA0000,
                                  0xC0000, 0xE0000}},
                      LayoutCase{G, 4 * M, 128 * K, uniform(4 * M, 128 * K)},
                      LayoutCase{G, 4 * M, 64 * K, uniform(4 * M, 64 * K)},
                      LayoutCase{G, 4 * M, 32 * K, uniform(4 * M, 32 * K)}));

// --- page decoding --------------------------------------------------------------------

struct DecodeCase {
    const char *name;
    uint32_t game, sound;  // fitted sizes
    uint32_t page_address;
    int device;             // 0 game, 1 sound, -1 open bus
    uint32_t device_offset; // of window offset 0
};
using Decoding = BoardModelP<DecodeCase>;

TEST_P(Decoding, PageAddressSelectsDeviceBytesOrOpenBus) {
    const DecodeCase &c = GetParam();
    auto b = open(fit_of(c.game, 128 * K, c.sound));
    // Every fitted 16 KB page gets a signature of its number and device at window offsets
    // 0x123 and 0x3FFF.
    auto lo = [](uint32_t offset, int dev) { return uint8_t((offset >> 14) + dev * 0x55); };
    auto hi = [](uint32_t offset, int dev) { return uint8_t(0x40 | (offset >> 22) | dev << 4); };
    for (int dev : {0, 1})
        for (uint32_t a = 0; a < (dev ? c.sound : c.game); a += kWindow) {
            program(*b, Device(dev), a + 0x123, lo(a, dev));
            program(*b, Device(dev), a + 0x3FFF, hi(a, dev));
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
        EXPECT_EQ(b->data(G)[0], 0xFF);
        return;
    }
    ASSERT_EQ(b->data(Device(c.device))[c.device_offset + 0x123], lo(c.device_offset, c.device));
    EXPECT_EQ(b->read(0x123), lo(c.device_offset, c.device));
    EXPECT_EQ(b->read(0x3FFF), hi(c.device_offset, c.device));
    uint8_t copy[3];
    b->copy_out(0x122, copy, 3);
    EXPECT_EQ(copy[1], lo(c.device_offset, c.device));
}

INSTANTIATE_TEST_SUITE_P(Spaces, Decoding,
                         ::testing::Values(DecodeCase{"space0_page0", 4 * M, 1 * M, 0x0000, 0, 0},
                                           DecodeCase{"space0_page255", 4 * M, 1 * M, 0x00FF, 0, 0x3FC000},
                                           DecodeCase{"space0_page256_on_4M", 4 * M, 1 * M, 0x0100, -1, 0},
                                           DecodeCase{"space0_page256_on_8M", 8 * M, 1 * M, 0x0100, 0, 0x400000},
                                           DecodeCase{"space1_page0_on_8M", 8 * M, 1 * M, 0x1100, 0, 0x400000},
                                           DecodeCase{"space1_page63_on_8M", 8 * M, 1 * M, 0x113F, 0, 0x4FC000},
                                           DecodeCase{"space1_page0_on_4M", 4 * M, 1 * M, 0x1100, -1, 0},
                                           DecodeCase{"space8_page0", 4 * M, 1 * M, 0x8000, 1, 0},
                                           DecodeCase{"space8_page63", 4 * M, 1 * M, 0x803F, 1, 0xFC000},
                                           DecodeCase{"space8_256K_wraps", 4 * M, 256 * K, 0x8010, 1, 0},
                                           DecodeCase{"space8_256K_page21", 4 * M, 256 * K, 0x8015, 1, 0x14000},
                                           DecodeCase{"space8_512K_wraps", 4 * M, 512 * K, 0x8028, 1, 0x20000},
                                           DecodeCase{"space8_no_sound", 4 * M, 0, 0x8000, -1, 0},
                                           DecodeCase{"space2", 4 * M, 1 * M, 0x2000, -1, 0},
                                           DecodeCase{"space9", 4 * M, 1 * M, 0x9000, -1, 0},
                                           DecodeCase{"spaceF", 4 * M, 1 * M, 0xF000, -1, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(BoardModel, RegistersReadOpenAndUpperRangeIsOpenBus) {
    auto b = open();
    ASSERT_EQ(program(*b, G, 0x5, 0x00), 0x80);
    select_page(*b, 0);
    for (uint32_t a : {0x4000u, 0x4001u, 0x4002u, 0x4003u, 0x4004u, 0x5000u, 0x7FFFu}) {
        EXPECT_EQ(b->read(a), 0xFF) << std::hex << a;
        b->write(a, 0x90);  // ignored: neither a register nor a device cycle
    }
    EXPECT_EQ(b->read(0x5), 0x00) << "the page and the array mode survive writes to open bus";
    b->write(0x4000, 0xF0);  // only the low four bits of a register count
    EXPECT_EQ(b->read(0x5), 0x00);
}

// --- busy time ------------------------------------------------------------------------

using BusyReads = BoardModelP<uint32_t>;

TEST_P(BusyReads, StatusShowsBusyForTheConfiguredReadsAndIgnoresWrites) {
    const uint32_t n = GetParam();
    auto b = open();
    b->set_timing(Timing::instant, n);
    int hook_calls = 0;
    b->set_status_read_hook([&] { hook_calls++; });
    for (uint8_t first : {0x40, 0x20}) {  // program 0x00, then erase
        hook_calls = 0;
        select_page(*b, 0);
        b->write(0x40, first);
        b->write(0x40, first == 0x40 ? 0x00 : 0xD0);
        for (uint32_t i = 0; i < n; i++) {
            b->write(0x40, 0xFF);  // ignored while busy
            EXPECT_EQ(b->read(0x40), 0x00) << "busy read " << i;
        }
        EXPECT_EQ(b->read(0x40), 0x80);
        EXPECT_EQ(b->read(0x40), 0x80) << "status until read array";
        EXPECT_EQ(hook_calls, int(n + 2)) << "the hook sees every status read";
        b->write(0x40, 0xFF);
        EXPECT_EQ(b->read(0x40), first == 0x40 ? 0x00 : 0xFF);
        EXPECT_EQ(hook_calls, int(n + 2)) << "array reads are not status reads";
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, BusyReads, ::testing::Values(0u, 1u, 2u, 7u));

TEST_F(BoardModel, DatasheetTimingIsBusyInWallClockTimeAndCountsDeviceTime) {
    auto b = open();
    b->set_timing(Timing::datasheet, 0);
    select_page(*b, 0);
    auto started = std::chrono::steady_clock::now();
    b->write(0, 0x40);
    b->write(0, 0x00);
    uint8_t status = b->read(0);
    // A byte program takes about 210 us; only a read that surely came before that is judged
    // (a loaded machine may have paused this thread longer).
    if (std::chrono::steady_clock::now() - started < std::chrono::microseconds(150)) {
        EXPECT_EQ(status, 0x00) << "a byte program takes about 210 us";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(b->read(0), 0x80);
    uint64_t program_us = b->counters().busy_us;
    EXPECT_GE(program_us, 100u);
    EXPECT_LE(program_us, 1000u);
    // Instant timing accumulates the same device time: an erase counts its typical second.
    b->set_timing(Timing::instant, 2);
    EXPECT_EQ(erase(*b, G, 0), 0x80);
    EXPECT_GE(b->counters().busy_us - program_us, 500000u);
}

// --- bookkeeping ----------------------------------------------------------------------

TEST_F(BoardModel, AccessLogAndCountersRecordEveryAccessAndReset) {
    auto b = open();
    select_page(*b, 0);  // 4 register writes, before the log is on
    EXPECT_TRUE(b->log().empty()) << "the log is off by default";
    b->enable_log(true);
    uint8_t buf[100];
    b->write(0x4000, 3);
    b->write(0x10, 0xFF);
    b->write16(0x12, 0xFFFF);
    uint8_t v = b->read(0x10);
    b->copy_out(0x20, buf, 100);
    b->write(0, 0x70);
    struct {
        Access::Kind kind;
        uint32_t offset, value;
    } want[] = {{Access::reg_write, 0x4000, 3}, {Access::write8, 0x10, 0xFF}, {Access::write16, 0x12, 0xFFFF},
                {Access::read, 0x10, v},        {Access::copy, 0x20, 100},    {Access::write8, 0, 0x70}};
    ASSERT_EQ(b->log().size(), std::size(want));
    for (size_t i = 0; i < std::size(want); i++) {
        EXPECT_EQ(b->log()[i].kind, want[i].kind) << i;
        EXPECT_EQ(b->log()[i].offset, want[i].offset) << i;
        EXPECT_EQ(b->log()[i].value, want[i].value) << i;
    }
    b->clear_log();
    EXPECT_TRUE(b->log().empty());
    Counters c = b->counters();
    EXPECT_EQ(c.accesses, 10u);  // a copy is one access
    EXPECT_EQ(c.register_writes, 5u);
    EXPECT_EQ(c.reads, 101u);
    EXPECT_EQ(c.writes, 3u);
    EXPECT_EQ(b->command_count(0x70), 1u);
    ASSERT_EQ(erase(*b, G, 0x20000), 0x80);
    EXPECT_EQ(b->erase_count(G, 1), 1u);
    b->reset_counters();
    c = b->counters();
    EXPECT_EQ(c.accesses + c.erases + c.busy_us + b->command_count(0x70) + b->erase_count(G, 1), 0u);
}

}  // namespace
