// Erase and the erase table on the model board: block erase on the game flash, the fixed
// block order of a boot-block device with its stop at the first failing block, table sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "flash/flash.h"
#include "tests/flash_fake_bus.h"
#include "tests/model_fixture.h"

namespace {

using EraseTest = ModelBoardTest;
using tavboard::Device;

// Index of a boot-block device's block by its start: the four small blocks, then 128 KB.
uint32_t boot_block_index(uint32_t start) {
    const uint32_t small[] = {0x0, 0x4000, 0x6000, 0x8000};
    for (uint32_t i = 0; i < 4; i++)
        if (start == small[i]) return i;
    return 3 + start / 0x20000;
}

// Offsets at which a block erase set-up (0x20) was written, in order.
std::vector<uint32_t> erase_setups(const std::vector<SpaceAccess> &log) {
    std::vector<uint32_t> out;
    for (const SpaceAccess &a : log)
        if (a.kind == tavboard::Access::write8 && a.value == 0x20) out.push_back(a.offset);
    return out;
}

const std::vector<uint32_t> kOrder1M = {0x0, 0x4000, 0x6000, 0x8000, 0xE0000, 0xC0000, 0xA0000, 0x80000, 0x60000, 0x40000, 0x20000};

// Each block erase is set-up, confirm and read array at the block; the game flash erases
// the one block holding the offset, a boot-block device all its blocks in their fixed order.
TEST_F(EraseTest, ErasesTheBlocksOfTheUnitInOrder) {
    const struct {
        uint32_t game_block, sound_size;
        int32_t space;
        uint32_t offset;
        std::vector<uint32_t> order;   // block starts
        int32_t block;                 // index of the one game block, -1: all sound blocks
    } rows[] = {
        {128 << 10, 1 << 20, 0, 0x25000, {0x25000}, 1},
        {128 << 10, 1 << 20, 0, 0x3FFFFF, {0x3FFFFF}, 31},
        {64 << 10, 1 << 20, 0, 0x25000, {0x25000}, 2},
        {128 << 10, 1 << 20, 8, 0xFFFFF, kOrder1M, -1},
        {128 << 10, 512 << 10, 8, 0x90000, {0x0, 0x4000, 0x6000, 0x8000, 0x60000, 0x40000, 0x20000}, -1},
        {128 << 10, 256 << 10, 8, 0x3FFFF, {0x0, 0x4000, 0x6000, 0x8000, 0x20000}, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.space) + " at " + std::to_string(row.offset));
        remake_board(fit_of(4 << 20, row.game_block, row.sound_size));
        FSI fsi{};
        ASSERT_EQ(flash_query(row.space, &fsi), 1);
        board->reset_counters();
        start_log();
        EXPECT_EQ(flash_erase(&fsi, row.offset), 1);
        std::vector<std::pair<uint32_t, uint32_t>> expected, writes;
        for (uint32_t start : row.order)
            for (uint32_t command : {0x20, 0xD0, 0xFF}) expected.push_back({start, command});
        for (const SpaceAccess &a : space_log()) {
            if (a.kind == tavboard::Access::reg_write) continue;
            EXPECT_EQ(a.space, row.space);
            if (a.kind == tavboard::Access::write8) writes.push_back({a.offset, a.value});
        }
        EXPECT_EQ(writes, expected);
        EXPECT_EQ(board->counters().erases, row.order.size());
        for (uint32_t start : row.order) {
            uint32_t index = row.block >= 0 ? (uint32_t)row.block : boot_block_index(start);
            EXPECT_EQ(board->erase_count(row.block >= 0 ? Device::game : Device::sound, index), 1u) << start;
        }
    }
}

TEST_F(EraseTest, BootBlockEraseStopsAtTheFirstFailingBlock) {
    const std::string erase_error = "flash_wait(): erase/clear block lock error\n" + kTimeout0 + "(0xa0)\n";
    const struct {
        uint32_t failing_start;
        tavboard::FaultKind kind;
        std::string err_start;
    } rows[] = {
        {0x4000, tavboard::FaultKind::erase_fail, erase_error},
        {0xA0000, tavboard::FaultKind::erase_fail, erase_error},
        // A block that never becomes ready is given up after 20000 ticks.
        {0x8000, tavboard::FaultKind::never_ready, kTimeout0 + "(0x"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.failing_start);
        remake_board(tavboard::Fit{});
        add_fault(*board, fault_of(row.kind, Device::sound, -1, 0, (int32_t)boot_block_index(row.failing_start)));
        FSI fsi{};
        ASSERT_EQ(flash_query(8, &fsi), 1);
        start_log();
        int result = 0;
        uint32_t ticks = get_ticks();
        std::string err = captured_err([&] { result = flash_erase(&fsi, 0); });
        ticks = get_ticks() - ticks;
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err.substr(0, row.err_start.size()), row.err_start);
        if (row.kind == tavboard::FaultKind::never_ready) {
            EXPECT_GT(ticks, 20000u);
            EXPECT_LT(ticks, 20100u);
        }
        // The blocks up to the failing one were started, none after it; then read array there.
        std::vector<uint32_t> expected(kOrder1M.begin(), std::find(kOrder1M.begin(), kOrder1M.end(), row.failing_start) + 1);
        std::vector<SpaceAccess> log = space_log();
        EXPECT_EQ(erase_setups(log), expected);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().kind, tavboard::Access::write8);
        EXPECT_EQ(log.back().value, 0xFFu);
        EXPECT_EQ(log.back().offset, row.failing_start);
    }
}

TEST_F(EraseTest, BootBlockDeviceOfUnknownSizeFailsSilentlyAfterTheSmallBlocks) {
    FSI fsi{};
    ASSERT_EQ(flash_query(8, &fsi), 1);
    fsi.device_size = 0x200000;
    start_log();
    int result = 0;
    EXPECT_EQ(captured_err([&] { result = flash_erase(&fsi, 0); }), "");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(erase_setups(space_log()), (std::vector<uint32_t>{0x0, 0x4000, 0x6000, 0x8000}));
}

// The table has one byte per erase unit: initialisation clears exactly that many.
TEST_F(EraseTest, TableHasOneEntryPerEraseUnit) {
    const struct {
        tavboard::Fit fit;
        int32_t space;
        uint32_t entries;
    } rows[] = {
        {fit_of(4 << 20, 32 << 10, 1 << 20), 0, 128},
        {fit_of(8 << 20, 128 << 10, 1 << 20), 1, 8},
        {fit_of(4 << 20, 128 << 10, 512 << 10), 8, 2},
        {fit_of(4 << 20, 128 << 10, 256 << 10), 8, 4},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.entries);
        remake_board(row.fit);
        FSI fsi{};
        ASSERT_EQ(flash_query(row.space, &fsi), 1);
        uint8_t *table = flash_alloc_erase_table(&fsi);
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(flash_init_erase_table(&fsi, table), 1);   // every entry written (the sanitizers see the bounds)
        EXPECT_EQ(flash_free_erase_table(&fsi, table), 1);
        std::vector<uint8_t> buffer(200, 0xAA);
        EXPECT_EQ(flash_init_erase_table(&fsi, buffer.data()), 1);
        EXPECT_EQ(std::find(buffer.begin(), buffer.end(), 0xAA) - buffer.begin(), (long)row.entries);
    }
}

}  // namespace
