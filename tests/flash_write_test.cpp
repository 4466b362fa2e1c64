// Write and read: chunks at page and erase-unit ends, buffered against single-word
// programming, the count byte, erase on first touch, verification, the failure paths and
// every argument check; and whole-space round trips through the model board.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "flash/flash.h"
#include "tests/flash_fake_bus.h"
#include "tests/model_fixture.h"

namespace {

using tavboard::Access;
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

// Deterministic pseudo-random bytes (xorshift32).
std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> out(count);
    uint32_t x = seed;
    for (size_t i = 0; i < count; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = uint8_t(x >> 24);
    }
    return out;
}

void add_fault(tavboard::Board &board, const tavboard::Fault &fault) {
    std::string error;
    ASSERT_TRUE(board.add_fault(fault, &error)) << error;
}

tavboard::Fault fault_of(tavboard::FaultKind kind, Device device, int64_t offset = -1, uint8_t mask = 0) {
    tavboard::Fault f;
    f.kind = kind;
    f.device = device;
    f.offset = offset;
    f.mask = mask;
    return f;
}

// Buffered chunks in a log: the offset of each write-to-buffer request and the count
// byte that followed it. Data written must not contain 0xE8.
std::vector<std::pair<uint32_t, uint32_t>> buffered_chunks(const std::vector<SpaceAccess> &log) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    bool requested = false;
    for (const SpaceAccess &a : log) {
        if (a.kind != Access::write8) continue;
        if (a.value == 0xE8) {
            requested = true;
        } else if (requested) {
            out.push_back({a.offset, a.value});
            requested = false;
        }
    }
    return out;
}

// Offsets of single-word program commands (0x40). Data written must not contain 0x40.
std::vector<uint32_t> program_commands(const std::vector<SpaceAccess> &log) {
    std::vector<uint32_t> out;
    for (const SpaceAccess &a : log)
        if (a.kind == Access::write8 && a.value == 0x40) out.push_back(a.offset);
    return out;
}

std::vector<SpaceAccess> writes_of(const std::vector<SpaceAccess> &log) {
    std::vector<SpaceAccess> out;
    for (const SpaceAccess &a : log)
        if (a.kind == Access::write8 || a.kind == Access::write16) out.push_back(a);
    return out;
}

class WriteTest : public ModelBoardTest {
  protected:
    void TearDown() override {
        release();
        ModelBoardTest::TearDown();
    }

    // Queries `space` and gives it a fresh erase table.
    void prepare(int32_t space) {
        release();
        fsi = FSI{};
        ASSERT_EQ(flash_query(space, &fsi), 1);
        table = flash_alloc_erase_table(&fsi);
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(flash_init_erase_table(&fsi, table), 1);
    }

    void release() {
        if (table != nullptr) flash_free_erase_table(&fsi, table);
        table = nullptr;
    }

    std::vector<uint8_t> read_back(uint32_t offset, uint32_t count) {
        std::vector<uint8_t> out(count);
        EXPECT_EQ(flash_read(&fsi, offset, out.data(), count), 1);
        return out;
    }

    FSI fsi{};
    uint8_t *table = nullptr;
};

// ---- chunks and methods

TEST_F(WriteTest, ChunksStopAtThePageEndThenGo32BytesAtATime) {
    prepare(0);
    std::vector<uint8_t> data(8192, 0x55);
    start_log();
    ASSERT_EQ(flash_write(&fsi, 0x3FF0, data.data(), 8192, table), 1);
    std::vector<std::pair<uint32_t, uint32_t>> expected = {{0x3FF0, 15}};
    for (uint32_t i = 0; i < 255; i++) expected.push_back({0x4000 + 32 * i, 31});
    expected.push_back({0x4000 + 32 * 255, 15});
    std::vector<SpaceAccess> log = space_log();
    EXPECT_EQ(buffered_chunks(log), expected);
    EXPECT_TRUE(program_commands(log).empty());
    EXPECT_EQ(read_back(0x3FF0, 8192), data);
}

struct MethodRow {
    const char *name;
    int32_t space;
    uint32_t offset, count;
    std::vector<std::pair<uint32_t, uint32_t>> buffered;   // (chunk offset, count byte)
    std::vector<uint32_t> programs;                         // offsets of 0x40 commands
};

const MethodRow kMethodRows[] = {
    {"one byte: single word", 0, 0x100, 1, {}, {0x100}},
    {"two bytes: buffered, count 1", 0, 0x100, 2, {{0x100, 1}}, {}},
    {"33 bytes: 32 buffered, the last byte single", 0, 0x100, 33, {{0x100, 31}}, {0x120}},
    {"34 bytes: two buffered chunks", 0, 0x100, 34, {{0x100, 31}, {0x120, 1}}, {}},
    {"unaligned start is not realigned", 0, 0x105, 40, {{0x105, 31}, {0x125, 7}}, {}},
    {"page end cuts one byte off each side", 0, 0x3FFF, 2, {}, {0x3FFF, 0x4000}},
    {"page end after two bytes", 0, 0x3FFE, 3, {{0x3FFE, 1}}, {0x4000}},
    {"erase unit and page end", 0, 0x1FFF0, 48, {{0x1FFF0, 15}, {0x20000, 31}}, {}},
    {"boot-block device: every byte on its own, command at the chunk start", 8, 0x10, 5, {},
     {0x10, 0x10, 0x10, 0x10, 0x10}},
    {"boot-block device across a page end", 8, 0x3FFE, 4, {}, {0x3FFE, 0x3FFE, 0x4000, 0x4000}},
};

TEST_F(WriteTest, MethodAndChunksOfEachWrite) {
    for (const MethodRow &row : kMethodRows) {
        SCOPED_TRACE(row.name);
        remake_board(tavboard::Fit{});
        prepare(row.space);
        std::vector<uint8_t> data(row.count, 0x55);
        start_log();
        ASSERT_EQ(flash_write(&fsi, row.offset, data.data(), row.count, table), 1);
        std::vector<SpaceAccess> log = space_log();
        EXPECT_EQ(buffered_chunks(log), row.buffered);
        EXPECT_EQ(program_commands(log), row.programs);
        EXPECT_EQ(read_back(row.offset, row.count), data);
    }
}

// The exact accesses of one chunk of each method, on a unit already erased.
TEST_F(WriteTest, BufferedChunkSequence) {
    prepare(0);
    table[0] = 1;
    const uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
    start_log();
    ASSERT_EQ(flash_write(&fsi, 0x4100, data, 4, table), 1);
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const SpaceAccess &a : writes_of(space_log())) writes.push_back({a.offset, a.value});
    std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0x4100, 0xE8}, {0x4100, 3},    {0x4100, 0x11}, {0x4101, 0x22},
        {0x4102, 0x33}, {0x4103, 0x44}, {0x4100, 0xD0}, {0x4100, 0xFF},
    };
    EXPECT_EQ(writes, expected);
    // The read-back is one copy of the chunk after read array.
    std::vector<SpaceAccess> log = space_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().kind, Access::copy);
    EXPECT_EQ(log.back().offset, 0x4100u);
    EXPECT_EQ(log.back().value, 4u);
    EXPECT_EQ(board->counters().erases, 0u);
}

TEST_F(WriteTest, SingleWordSequenceOnTheBootBlockDevice) {
    prepare(8);
    table[0] = 1;
    const uint8_t data[2] = {0x12, 0x34};
    start_log();
    ASSERT_EQ(flash_write(&fsi, 0x4010, data, 2, table), 1);
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const SpaceAccess &a : writes_of(space_log())) {
        EXPECT_EQ(a.space, 8);
        writes.push_back({a.offset, a.value});
    }
    std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0x4010, 0x40}, {0x4010, 0x12}, {0x4010, 0x40}, {0x4011, 0x34}, {0x4010, 0xFF},
    };
    EXPECT_EQ(writes, expected);
}

// ---- erase on first touch

TEST_F(WriteTest, EachUnitIsErasedBeforeItsFirstWriteOnly) {
    prepare(0);
    std::vector<uint8_t> first = random_bytes(100, 1), second = random_bytes(100, 2);
    ASSERT_EQ(flash_write(&fsi, 0x20000, first.data(), 100, table), 1);
    ASSERT_EQ(flash_write(&fsi, 0x20064, second.data(), 100, table), 1);
    EXPECT_EQ(board->erase_count(Device::game, 1), 1u);
    EXPECT_EQ(board->counters().erases, 1u);
    EXPECT_EQ(read_back(0x20000, 100), first);
    EXPECT_EQ(read_back(0x20064, 100), second);
    EXPECT_EQ(table[1], 1);
    EXPECT_EQ(table[0], 0);
    // A write across the end of the unit erases the next unit once, and only it.
    std::vector<uint8_t> across = random_bytes(64, 3);
    ASSERT_EQ(flash_write(&fsi, 0x3FFE0, across.data(), 64, table), 1);
    EXPECT_EQ(board->erase_count(Device::game, 1), 1u);
    EXPECT_EQ(board->erase_count(Device::game, 2), 1u);
    EXPECT_EQ(read_back(0x3FFE0, 64), across);
}

TEST_F(WriteTest, ZeroBytesEraseTheUnitAndProgramNothing) {
    prepare(0);
    uint8_t byte = 0;
    start_log();
    EXPECT_EQ(flash_write(&fsi, 0x60000, &byte, 0, table), 1);
    EXPECT_EQ(board->erase_count(Device::game, 3), 1u);
    EXPECT_EQ(board->counters().programmed_bytes, 0u);
    std::vector<SpaceAccess> log = space_log();
    EXPECT_TRUE(buffered_chunks(log).empty());
    EXPECT_TRUE(program_commands(log).empty());
    EXPECT_EQ(table[3], 1);
}

TEST_F(WriteTest, AUnitMarkedErasedIsNotErased) {
    prepare(0);
    table[0] = 1;
    std::vector<uint8_t> data = random_bytes(64, 4);
    ASSERT_EQ(flash_write(&fsi, 0, data.data(), 64, table), 1);
    EXPECT_EQ(board->counters().erases, 0u);
}

TEST_F(WriteTest, BootBlockDeviceIsErasedWholeOncePerEntry) {
    struct Row {
        uint32_t sound_size;
        std::vector<uint32_t> offsets;   // one write at each
        uint64_t erases_per_block;
        uint32_t blocks;
    };
    const Row rows[] = {
        {1 << 20, {0x90000}, 1, 11},
        {1 << 20, {0x90000, 0x10, 0xFFFF0}, 1, 11},
        // A 512 KB device behind a 1 MB space: each half has its entry, both erase the device.
        {512 << 10, {0x10, 0x80010}, 2, 7},
        {256 << 10, {0x0, 0x40000, 0x80000, 0xC0000}, 4, 5},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.sound_size) + " with " + std::to_string(row.offsets.size()) + " writes");
        remake_board(fit_of(4 << 20, 128 << 10, row.sound_size));
        prepare(8);
        std::vector<uint8_t> data = random_bytes(16, 5);
        for (uint32_t offset : row.offsets) ASSERT_EQ(flash_write(&fsi, offset, data.data(), 16, table), 1);
        for (uint32_t b = 0; b < row.blocks; b++) EXPECT_EQ(board->erase_count(Device::sound, b), row.erases_per_block) << b;
        EXPECT_EQ(board->counters().erases, row.erases_per_block * row.blocks);
    }
}

// A unit smaller than a page (a geometry the driver is written for, though no fitted
// device has it) also ends a chunk, and each unit is erased on its first touch.
TEST_F(WriteTest, EraseUnitEndCutsAChunk) {
    prepare(0);
    fsi.block_size = 0x1000;
    fsi.block_shift = 12;
    release();
    table = flash_alloc_erase_table(&fsi);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(flash_init_erase_table(&fsi, table), 1);
    std::vector<uint8_t> data(0x40, 0x55);
    start_log();
    ASSERT_EQ(flash_write(&fsi, 0xFF0, data.data(), 0x40, table), 1);
    std::vector<SpaceAccess> log = space_log();
    std::vector<std::pair<uint32_t, uint32_t>> expected = {{0xFF0, 15}, {0x1000, 31}, {0x1020, 15}};
    EXPECT_EQ(buffered_chunks(log), expected);
    std::vector<uint32_t> erases;
    for (const SpaceAccess &a : log)
        if (a.kind == Access::write8 && a.value == 0x20) erases.push_back(a.offset);
    EXPECT_EQ(erases, (std::vector<uint32_t>{0xFF0, 0x1000}));
    EXPECT_EQ(table[0], 1);
    EXPECT_EQ(table[1], 1);
    EXPECT_EQ(table[2], 0);
}

// ---- failures

struct FailureRow {
    const char *name;
    int32_t space;
    tavboard::Fault fault;
    uint32_t offset, count;
    uint8_t fill;
    std::string err;
    uint32_t last_command;   // the last command byte written
};

const std::string kTimeout = "flash_wait(): device 0 WSM ready timeout ";

const FailureRow kFailureRows[] = {
    {"read-back difference in a buffered chunk", 0, fault_of(tavboard::FaultKind::stuck, Device::game, 0x1004, 0x01),
     0x1000, 32, 0x5B, "flash_write(): data (0x5a) != (0x5b) at offset (0x1004)\n", 0xFF},
    {"read-back difference in a single-word chunk", 8,
     fault_of(tavboard::FaultKind::stuck, Device::sound, 0x2, 0x80), 0x0, 8, 0xF5,
     "flash_write(): data (0x75) != (0xf5) at offset (0x2)\n", 0xFF},
    {"read-back difference deep in a long single-word chunk", 8,
     fault_of(tavboard::FaultKind::stuck, Device::sound, 0x1234, 0x80), 0x0, 8192, 0xF5,
     "flash_write(): data (0x75) != (0xf5) at offset (0x1234)\n", 0xFF},
    {"buffered program failure", 0, fault_of(tavboard::FaultKind::program_fail, Device::game), 0x100, 32, 0x5B,
     "flash_wait(): write/set block lock error\n" + kTimeout + "(0x90)\n", 0xD0},
    {"single-word program failure", 8, fault_of(tavboard::FaultKind::program_fail, Device::sound), 0x100, 4, 0x5B,
     "flash_wait(): write/set block lock error\n" + kTimeout + "(0x90)\n", 0x40},
    {"low programming voltage refuses the first-touch erase", 0, fault_of(tavboard::FaultKind::vpp_low, Device::game),
     0x100, 32, 0x5B,
     "flash_wait(): device is write protected\nflash_wait(): erase/clear block lock error\n" + kTimeout + "(0xa8)\n",
     0xFF},
    {"erase failure before the first program", 0, fault_of(tavboard::FaultKind::erase_fail, Device::game), 0x100, 32,
     0x5B, "flash_wait(): erase/clear block lock error\n" + kTimeout + "(0xa0)\n", 0xFF},
    {"write buffer never available", 0, fault_of(tavboard::FaultKind::buffer_busy, Device::game), 0x100, 32, 0x5B,
     "", 0xFF},
};

TEST_F(WriteTest, FailuresReportAndStop) {
    for (const FailureRow &row : kFailureRows) {
        SCOPED_TRACE(row.name);
        remake_board(tavboard::Fit{});
        prepare(row.space);
        add_fault(*board, row.fault);
        std::vector<uint8_t> data(row.count, row.fill);
        start_log();
        int result = 0;
        std::string err = captured_err([&] { result = flash_write(&fsi, row.offset, data.data(), row.count, table); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err, row.err);
        uint32_t last = 0;
        for (const SpaceAccess &a : space_log())
            if (a.kind == Access::write8 && (a.value == 0xFF || a.value == 0xD0 || a.value == 0x40)) last = a.value;
        EXPECT_EQ(last, row.last_command);
    }
}

TEST_F(WriteTest, FailedEraseLeavesTheEntryUnset) {
    prepare(0);
    add_fault(*board, fault_of(tavboard::FaultKind::erase_fail, Device::game));
    uint8_t byte = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(flash_write(&fsi, 0x20000, &byte, 1, table), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(table[1], 0);
    EXPECT_EQ(board->counters().programmed_bytes, 0u);
}

TEST_F(WriteTest, LowVoltageProgramIsReportedAfterTheConfirm) {
    prepare(0);
    table[0] = 1;
    add_fault(*board, fault_of(tavboard::FaultKind::vpp_low, Device::game));
    std::vector<uint8_t> data(32, 0x5B);
    start_log();
    int result = 0;
    std::string err = captured_err([&] { result = flash_write(&fsi, 0x100, data.data(), 32, table); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_wait(): device is write protected\nflash_wait(): write/set block lock error\n" + kTimeout +
                       "(0x98)\n");
    // The devices are left as the failed program left them: no read array after the confirm.
    std::vector<SpaceAccess> writes = writes_of(space_log());
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().value, 0xD0u);
}

// ---- argument checks, in their order

struct ArgumentRow {
    const char *name;
    bool null_fsi;
    uint32_t interleave, width;
    uint32_t offset, count;
    bool null_data, null_table;
    std::string write_err;   // "" = accepted
    std::string read_err;
};

const ArgumentRow kArgumentRows[] = {
    {"null record", true, 1, 1, 0, 4, false, false, "flash_write(): NULL FSI pointer\n",
     "flash_read(): NULL FSI pointer\n"},
    {"offset not aligned comes before everything else", false, 2, 2, 0x400001, 3, true, true,
     "flash_write(): offset (0x400001) not aligned to (2) bytes\n",
     "flash_read(): offset (0x400001) not aligned to (2) bytes\n"},
    {"count not a multiple of the width", false, 2, 2, 0x400002, 3, true, true,
     "flash_write(): count (3) not a multiple of (2) bytes\n", "flash_read(): count (3) not a multiple of (2) bytes\n"},
    {"offset out of range", false, 1, 1, 0x400000, 0, true, true,
     "flash_write(): offset (0x400000) out of range (0 - 0x400000)\n",
     "flash_read(): offset (0x400000) out of range (0 - 0x400000)\n"},
    {"offset plus count one beyond", false, 1, 1, 0x3FFFF0, 17, true, true,
     "flash_write(): offset (0x3ffff0) + count (17) > (0x400000)\n",
     "flash_read(): offset (0x3ffff0) + count (17) > (0x400000)\n"},
    {"offset plus count wrapping 32 bits", false, 1, 1, 0x10, 0xFFFFFFF8, true, true,
     "flash_write(): offset (0x10) + count (-8) > (0x400000)\n",
     "flash_read(): offset (0x10) + count (-8) > (0x400000)\n"},
    {"null data", false, 1, 1, 0x3FFFF0, 16, true, true, "flash_write(): NULL data pointer\n",
     "flash_read(): NULL data pointer\n"},
    {"null table", false, 1, 1, 0x3FFFF0, 16, false, true, "flash_write(): NULL erase table\n", ""},
    {"up to the end of the space", false, 1, 1, 0x3FFFF0, 16, false, false, "", ""},
};

TEST_F(WriteTest, ArgumentChecksInOrder) {
    for (const ArgumentRow &row : kArgumentRows) {
        SCOPED_TRACE(row.name);
        prepare(0);
        FSI shaped = fsi;
        shaped.interleave = row.interleave;
        shaped.width = row.width;
        FSI *f = row.null_fsi ? nullptr : &shaped;
        std::vector<uint8_t> data(16, 0x5B);
        board->reset_counters();
        int result = 0;
        std::string err = captured_err([&] {
            result = flash_write(f, row.offset, row.null_data ? nullptr : data.data(), row.count,
                                 row.null_table ? nullptr : table);
        });
        EXPECT_EQ(err, row.write_err);
        EXPECT_EQ(result, row.write_err.empty() ? 1 : -1);
        std::vector<uint8_t> dest(16, 0);
        err = captured_err([&] { result = flash_read(f, row.offset, row.null_data ? nullptr : dest.data(), row.count); });
        EXPECT_EQ(err, row.read_err);
        EXPECT_EQ(result, row.read_err.empty() ? 1 : -1);
        if (!row.write_err.empty() && !row.read_err.empty()) {
            EXPECT_EQ(board->counters().accesses, 0u);
        }
        if (row.read_err.empty()) {
            EXPECT_EQ(dest, row.write_err.empty() ? data : std::vector<uint8_t>(16, 0xFF));
        }
    }
}

TEST_F(WriteTest, WriteRefusesAnEraseUnitThatDoesNotDivideTheSpace) {
    prepare(0);
    FSI odd = fsi;
    odd.block_size = 0x30000;
    uint8_t byte = 0;
    int result = 0;
    std::string err = captured_err([&] { result = flash_write(&odd, 0, &byte, 1, table); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_write(): erase unit (0x30000) does not divide size (0x400000)\n");
}

TEST_F(WriteTest, WriteBufferArgumentMessages) {
    prepare(0);
    int result = 0;
    std::string err = captured_err([&] { result = flash_get_write_buffer(nullptr, 0); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_get_write_buffer(): NULL FSI pointer\n");
    err = captured_err([&] { result = flash_get_write_buffer(&fsi, 0x400000); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_get_write_buffer(): offset (0x400000) out of range (0 - 0x400000)\n");
    err = captured_err([&] { result = flash_check_write_buffer(&fsi, 0x400000); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_check_write_buffer(): offset (0x400000) out of range (0 - 0x400000)\n");
}

// ---- read

TEST_F(WriteTest, ReadAcrossAPageEndCopiesFromBothPages) {
    prepare(0);
    std::vector<uint8_t> data = random_bytes(256, 6);
    ASSERT_EQ(flash_write(&fsi, 0x3FF80, data.data(), 256, table), 1);
    start_log();
    std::vector<uint8_t> dest(256);
    ASSERT_EQ(flash_read(&fsi, 0x3FF80, dest.data(), 256), 1);
    EXPECT_EQ(dest, data);
    // Each page: select, read array, one copy.
    std::vector<std::pair<uint32_t, uint32_t>> copies;
    uint32_t last_write = 0;
    for (const SpaceAccess &a : space_log()) {
        if (a.kind == Access::write8) last_write = a.value;
        if (a.kind == Access::copy) {
            EXPECT_EQ(last_write, 0xFFu);
            copies.push_back({a.offset, a.value});
        }
    }
    EXPECT_EQ(copies, (std::vector<std::pair<uint32_t, uint32_t>>{{0x3FF80, 128}, {0x40000, 128}}));
}

TEST_F(WriteTest, ReadOfZeroBytesSucceeds) {
    prepare(0);
    uint8_t byte = 0x77;
    EXPECT_EQ(flash_read(&fsi, 0x100, &byte, 0), 1);
    EXPECT_EQ(byte, 0x77);
}

// ---- whole spaces

TEST_F(WriteTest, FourMegabytesIntoTheGameFlashReadBackEqual) {
    prepare(0);
    ASSERT_EQ(fsi.block_size, 0x20000u);
    std::vector<uint8_t> data = random_bytes(0x400000, 0x40215);
    // In runs of 8192 bytes, as the loader copies its files.
    for (uint32_t offset = 0; offset < data.size(); offset += 8192)
        ASSERT_EQ(flash_write(&fsi, offset, data.data() + offset, 8192, table), 1) << offset;
    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(flash_read(&fsi, 0, back.data(), (uint32_t)back.size()), 1);
    EXPECT_TRUE(back == data);
    for (uint32_t block = 0; block < 32; block++) EXPECT_EQ(board->erase_count(Device::game, block), 1u) << block;
    EXPECT_EQ(board->counters().erases, 32u);
    EXPECT_EQ(board->counters().not_erased_bits, 0u);
    EXPECT_EQ(0, memcmp(board->data(Device::game), data.data(), data.size()));
}

TEST_F(WriteTest, OneMegabyteIntoTheSoundFlashReadBackEqual) {
    prepare(8);
    std::vector<uint8_t> data = random_bytes(0x100000, 0x5F);
    for (uint32_t offset = 0; offset < data.size(); offset += 8192)
        ASSERT_EQ(flash_write(&fsi, offset, data.data() + offset, 8192, table), 1) << offset;
    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(flash_read(&fsi, 0, back.data(), (uint32_t)back.size()), 1);
    EXPECT_TRUE(back == data);
    for (uint32_t block = 0; block < 11; block++) EXPECT_EQ(board->erase_count(Device::sound, block), 1u) << block;
    EXPECT_EQ(0, memcmp(board->data(Device::sound), data.data(), data.size()));
}

// ---- other bus shapes, on the scripted bus

// Devices that store what they are given and answer ready otherwise.
void script_storing_devices(FakeBus &bus, std::vector<uint8_t> &memory) {
    bus.on_read = [&bus, &memory](uint32_t offset) -> uint8_t {
        uint32_t last = 0;
        for (const FakeAccess &a : bus.log)
            if (a.kind == FakeAccess::write8 || a.kind == FakeAccess::write16) last = a.value;
        return last == 0xFF ? memory[offset] : 0x80;
    };
}

TEST_F(FakeBusTest, SixteenBitDevicesSideBySideGetWordsAndTheirCount) {
    FakeBus bus;
    board_window = bus.window();
    FSI fsi = fake_fsi(bus.window(), 0x400000, 2, 2, 0x20000);
    std::vector<uint8_t> memory(0x4000, 0);
    const uint8_t data[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    for (int i = 0; i < 8; i++) memory[0x100 + i] = data[i];
    script_storing_devices(bus, memory);
    uint8_t table[16] = {1};
    ASSERT_EQ(flash_write(&fsi, 0x100, data, 8, table), 1);
    std::vector<FakeAccess> expected = {
        {FakeAccess::write16, 0x100, 0xE8},   {FakeAccess::write16, 0x102, 0xE8},
        {FakeAccess::write16, 0x100, 1},      {FakeAccess::write16, 0x102, 1},
        {FakeAccess::write16, 0x100, 0x0201}, {FakeAccess::write16, 0x102, 0x0403},
        {FakeAccess::write16, 0x104, 0x0605}, {FakeAccess::write16, 0x106, 0x0807},
        {FakeAccess::write16, 0x100, 0xD0},   {FakeAccess::write16, 0x102, 0xD0},
        {FakeAccess::write16, 0x100, 0xFF},   {FakeAccess::write16, 0x102, 0xFF},
    };
    EXPECT_EQ(bus.writes(), expected);
    // Both devices' buffer and program statuses were read.
    std::vector<uint32_t> reads;
    for (const FakeAccess &a : bus.log)
        if (a.kind == FakeAccess::read) reads.push_back(a.offset);
    EXPECT_EQ(reads, (std::vector<uint32_t>{0x100, 0x102, 0x100, 0x100, 0x102, 0x102}));
}

TEST_F(FakeBusTest, SingleWordProgrammingTakesOneBusWordAtATime) {
    FakeBus bus;
    board_window = bus.window();
    FSI fsi = fake_fsi(bus.window(), 0x100000, 2, 1, 0x80000);
    fsi.boot_block = 1;
    std::vector<uint8_t> memory(0x4000, 0);
    const uint8_t data[3] = {0xA1, 0xA2, 0xA3};
    for (int i = 0; i < 3; i++) memory[0x200 + i] = data[i];
    script_storing_devices(bus, memory);
    uint8_t table[1] = {1};
    ASSERT_EQ(flash_write(&fsi, 0x200, data, 3, table), 1);
    // The last bus word is short: the chunk ends after one device's byte.
    std::vector<FakeAccess> expected = {
        {FakeAccess::write8, 0x200, 0x40}, {FakeAccess::write8, 0x201, 0x40}, {FakeAccess::write8, 0x200, 0xA1},
        {FakeAccess::write8, 0x201, 0xA2}, {FakeAccess::write8, 0x200, 0x40}, {FakeAccess::write8, 0x201, 0x40},
        {FakeAccess::write8, 0x202, 0xA3}, {FakeAccess::write8, 0x200, 0xFF}, {FakeAccess::write8, 0x201, 0xFF},
    };
    EXPECT_EQ(bus.writes(), expected);
}

TEST_F(FakeBusTest, BadDeviceWidthStopsTheBufferedWriteInReadArray) {
    FakeBus bus;
    board_window = bus.window();
    FSI fsi = fake_fsi(bus.window(), 0x400000, 1, 3, 0x20000);
    uint8_t table[32] = {1};
    const uint8_t data[6] = {};
    int result = 0;
    std::string err = captured_err([&] { result = flash_write(&fsi, 0, data, 6, table); });
    EXPECT_EQ(result, -1);
    const std::string bad_mode = "flash_set_mode(): bad device width (3)\n";
    EXPECT_EQ(err, bad_mode + bad_mode + "flash_write(): bad device width (3)\n" + bad_mode);
}

}  // namespace
