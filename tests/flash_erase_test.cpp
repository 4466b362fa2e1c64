// Erase and the erase table: block erase on the game flash, the fixed block order of a
// boot-block device with its stop at the first failing block, table sizes and refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash.h"
#include "tests/model_fixture.h"

namespace {

using EraseTest = ModelBoardTest;
using tavboard::Device;

std::string captured_err(const std::function<void()> &body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

tavboard::Fit fit_of(uint32_t game_size, uint32_t game_block, uint32_t sound_size) {
    tavboard::Fit f;
    f.game_size = game_size;
    f.game_block = game_block;
    f.sound_size = sound_size;
    return f;
}

// Index of a boot-block device's block by its start: the four small blocks, then 128 KB.
uint32_t boot_block_index(uint32_t start) {
    switch (start) {
        case 0x0: return 0;
        case 0x4000: return 1;
        case 0x6000: return 2;
        case 0x8000: return 3;
        default: return 3 + start / 0x20000;
    }
}

// Offsets in `space` at which a block erase set-up (0x20) was written, in order.
std::vector<uint32_t> erase_setups(const std::vector<SpaceAccess> &log, int space) {
    std::vector<uint32_t> out;
    for (const SpaceAccess &a : log)
        if (a.kind == tavboard::Access::write8 && a.value == 0x20 && a.space == space) out.push_back(a.offset);
    return out;
}

void add_fault(tavboard::Board &board, tavboard::FaultKind kind, Device device, int32_t block) {
    tavboard::Fault fault;
    fault.kind = kind;
    fault.device = device;
    fault.block = block;
    std::string error;
    ASSERT_TRUE(board.add_fault(fault, &error)) << error;
}

const std::vector<uint32_t> kOrder1M = {0x0,     0x4000,  0x6000,  0x8000,  0xE0000, 0xC0000,
                                        0xA0000, 0x80000, 0x60000, 0x40000, 0x20000};
const std::vector<uint32_t> kOrder512K = {0x0, 0x4000, 0x6000, 0x8000, 0x60000, 0x40000, 0x20000};
const std::vector<uint32_t> kOrder256K = {0x0, 0x4000, 0x6000, 0x8000, 0x20000};

struct BootRow {
    uint32_t sound_size;
    uint32_t offset;
    std::vector<uint32_t> order;
};

TEST_F(EraseTest, BootBlockDeviceErasesEveryBlockInItsOrder) {
    const BootRow rows[] = {
        {1 << 20, 0, kOrder1M},       {1 << 20, 0xFFFFF, kOrder1M}, {512 << 10, 0, kOrder512K},
        {512 << 10, 0x90000, kOrder512K}, {256 << 10, 0x3FFFF, kOrder256K},
    };
    for (const BootRow &row : rows) {
        SCOPED_TRACE(std::to_string(row.sound_size) + " at " + std::to_string(row.offset));
        remake_board(fit_of(4 << 20, 128 << 10, row.sound_size));
        FSI fsi{};
        ASSERT_EQ(flash_query(8, &fsi), 1);
        board->reset_counters();
        start_log();
        EXPECT_EQ(flash_erase(&fsi, row.offset), 1);
        EXPECT_EQ(erase_setups(space_log(), 8), row.order);
        for (uint32_t start : row.order) EXPECT_EQ(board->erase_count(Device::sound, boot_block_index(start)), 1u) << start;
        EXPECT_EQ(board->counters().erases, row.order.size());
        EXPECT_EQ(board->erase_count(Device::game, 0), 0u);
    }
}

struct StopRow {
    uint32_t failing_start;
    tavboard::FaultKind kind;
    std::string err_start;
};

TEST_F(EraseTest, BootBlockEraseStopsAtTheFirstFailingBlock) {
    const StopRow rows[] = {
        {0x4000, tavboard::FaultKind::erase_fail,
         "flash_wait(): erase/clear block lock error\nflash_wait(): device 0 WSM ready timeout (0xa0)\n"},
        {0xA0000, tavboard::FaultKind::erase_fail,
         "flash_wait(): erase/clear block lock error\nflash_wait(): device 0 WSM ready timeout (0xa0)\n"},
        // A block that never becomes ready is given up after 20000 ticks.
        {0x8000, tavboard::FaultKind::never_ready, "flash_wait(): device 0 WSM ready timeout (0x"},
    };
    for (const StopRow &row : rows) {
        SCOPED_TRACE(row.failing_start);
        remake_board(fit_of(4 << 20, 128 << 10, 1 << 20));
        add_fault(*board, row.kind, Device::sound, (int32_t)boot_block_index(row.failing_start));
        FSI fsi{};
        ASSERT_EQ(flash_query(8, &fsi), 1);
        start_log();
        int result = 0;
        std::string err = captured_err([&] { result = flash_erase(&fsi, 0); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err.substr(0, row.err_start.size()), row.err_start);
        // The blocks up to the failing one were started, none after it.
        std::vector<uint32_t> expected;
        for (uint32_t start : kOrder1M) {
            expected.push_back(start);
            if (start == row.failing_start) break;
        }
        std::vector<SpaceAccess> log = space_log();
        EXPECT_EQ(erase_setups(log, 8), expected);
        // The devices are set back to read array after the failing block.
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
    std::string err = captured_err([&] { result = flash_erase(&fsi, 0); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(erase_setups(space_log(), 8), (std::vector<uint32_t>{0x0, 0x4000, 0x6000, 0x8000}));
}

struct GameRow {
    tavboard::Fit fit;
    uint32_t offset;
    uint32_t block;
};

TEST_F(EraseTest, GameFlashErasesTheOneBlockHoldingTheOffset) {
    const GameRow rows[] = {
        {fit_of(4 << 20, 128 << 10, 1 << 20), 0x25000, 1},
        {fit_of(4 << 20, 128 << 10, 1 << 20), 0x3FFFFF, 31},
        {fit_of(4 << 20, 64 << 10, 1 << 20), 0x25000, 2},
        {fit_of(4 << 20, 32 << 10, 1 << 20), 0x0, 0},
    };
    for (const GameRow &row : rows) {
        SCOPED_TRACE(row.offset);
        remake_board(row.fit);
        FSI fsi{};
        ASSERT_EQ(flash_query(0, &fsi), 1);
        board->reset_counters();
        start_log();
        EXPECT_EQ(flash_erase(&fsi, row.offset), 1);
        EXPECT_EQ(board->counters().erases, 1u);
        EXPECT_EQ(board->erase_count(Device::game, row.block), 1u);
        // Set-up, confirm, then read array, all at the offset itself.
        std::vector<uint32_t> commands;
        for (const SpaceAccess &a : space_log()) {
            if (a.kind != tavboard::Access::write8) continue;
            commands.push_back(a.value);
            EXPECT_EQ(a.offset, row.offset);
            EXPECT_EQ(a.space, 0);
        }
        EXPECT_EQ(commands, (std::vector<uint32_t>{0x20, 0xD0, 0xFF}));
    }
}

TEST_F(EraseTest, GameBlockFailureIsReported) {
    add_fault(*board, tavboard::FaultKind::locked, Device::game, 3);
    FSI fsi{};
    ASSERT_EQ(flash_query(0, &fsi), 1);
    int result = 0;
    std::string err = captured_err([&] { result = flash_erase(&fsi, 3 * 0x20000); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err,
              "flash_wait(): device is block locked\nflash_wait(): erase/clear block lock error\n"
              "flash_wait(): device 0 WSM ready timeout (0xa2)\n");
}

TEST_F(EraseTest, EraseArgumentMessages) {
    FSI fsi{};
    ASSERT_EQ(flash_query(0, &fsi), 1);
    board->reset_counters();
    int result = 0;
    std::string err = captured_err([&] { result = flash_erase(nullptr, 0); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_erase(): NULL FSI pointer\n");
    err = captured_err([&] { result = flash_erase(&fsi, 0x400000); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_erase(): offset (0x400000) out of range (0 - 0x400000)\n");
    EXPECT_EQ(board->counters().erases, 0u);
}

// ---- erase table

struct TableRow {
    const char *name;
    tavboard::Fit fit;
    int32_t space;
    uint32_t entries;
};

TEST_F(EraseTest, TableHasOneEntryPerEraseUnit) {
    const TableRow rows[] = {
        {"4 MB, 128 KB blocks", fit_of(4 << 20, 128 << 10, 1 << 20), 0, 32},
        {"4 MB, 64 KB blocks", fit_of(4 << 20, 64 << 10, 1 << 20), 0, 64},
        {"4 MB, 32 KB blocks", fit_of(4 << 20, 32 << 10, 1 << 20), 0, 128},
        {"space 1 of 8 MB, 128 KB blocks", fit_of(8 << 20, 128 << 10, 1 << 20), 1, 8},
        {"1 MB boot-block device", fit_of(4 << 20, 128 << 10, 1 << 20), 8, 1},
        {"512 KB boot-block device", fit_of(4 << 20, 128 << 10, 512 << 10), 8, 2},
        {"256 KB boot-block device", fit_of(4 << 20, 128 << 10, 256 << 10), 8, 4},
    };
    for (const TableRow &row : rows) {
        SCOPED_TRACE(row.name);
        remake_board(row.fit);
        FSI fsi{};
        ASSERT_EQ(flash_query(row.space, &fsi), 1);
        uint8_t *table = flash_alloc_erase_table(&fsi);
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(flash_init_erase_table(&fsi, table), 1);
        EXPECT_EQ(flash_free_erase_table(&fsi, table), 1);
        // The initialisation clears exactly one byte per unit.
        std::vector<uint8_t> buffer(200, 0xAA);
        EXPECT_EQ(flash_init_erase_table(&fsi, buffer.data()), 1);
        uint32_t cleared = 0;
        while (cleared < buffer.size() && buffer[cleared] == 0) cleared++;
        EXPECT_EQ(cleared, row.entries);
        EXPECT_EQ(buffer[row.entries], 0xAA);
    }
}

struct GeometryRow {
    uint32_t size, block_size, interleave;
    std::string unit;
};

TEST_F(EraseTest, TableRefusesUnitsThatDoNotDivideTheSpace) {
    const GeometryRow rows[] = {
        {0x100000, 0x30000, 1, "0x30000"},   // does not divide
        {0x100000, 0x200000, 1, "0x200000"}, // larger than the space
        {0x100000, 0x0, 1, "0x0"},           // a query that gave no block size
        {0x400000, 0x80000000, 2, "0x100000000"},
    };
    for (const GeometryRow &row : rows) {
        SCOPED_TRACE(row.unit);
        FSI fsi{};
        fsi.size = row.size;
        fsi.block_size = row.block_size;
        fsi.interleave = row.interleave;
        fsi.width = 1;
        fsi.page_size = 0x4000;
        std::string size = row.size == 0x100000 ? "0x100000" : "0x400000";
        uint8_t *table = nullptr;
        std::string err = captured_err([&] { table = flash_alloc_erase_table(&fsi); });
        EXPECT_EQ(table, nullptr);
        EXPECT_EQ(err, "flash_alloc_erase_table(): erase unit (" + row.unit + ") does not divide size (" + size + ")\n");
        uint8_t own[4] = {9, 9, 9, 9};
        int result = 0;
        err = captured_err([&] { result = flash_init_erase_table(&fsi, own); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err, "flash_init_erase_table(): erase unit (" + row.unit + ") does not divide size (" + size + ")\n");
        EXPECT_EQ(own[0], 9);
    }
}

TEST_F(EraseTest, TableArgumentMessages) {
    FSI fsi{};
    ASSERT_EQ(flash_query(0, &fsi), 1);
    uint8_t *table = nullptr;
    int result = 0;
    std::string err = captured_err([&] { table = flash_alloc_erase_table(nullptr); });
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(err, "flash_alloc_erase_table(): NULL FSI pointer\n");
    err = captured_err([&] { result = flash_init_erase_table(nullptr, nullptr); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_init_erase_table(): NULL FSI pointer\n");
    err = captured_err([&] { result = flash_init_erase_table(&fsi, nullptr); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_init_erase_table(): NULL erase table pointer\n");
    err = captured_err([&] { result = flash_free_erase_table(&fsi, nullptr); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, "");
    // A null record keeps the table: the caller still owns it and frees it afterwards.
    table = flash_alloc_erase_table(&fsi);
    ASSERT_NE(table, nullptr);
    err = captured_err([&] { result = flash_free_erase_table(nullptr, table); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_free_erase_table(): NULL FSI pointer\n");
    EXPECT_EQ(flash_free_erase_table(&fsi, table), 1);
}

}  // namespace
