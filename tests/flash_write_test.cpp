// Write and read: chunks at page and erase-unit ends, buffered against single-word
// programming, the count byte, erase on first touch, verification, the failure paths and
// the argument checks; whole-space round trips through the model board; other bus shapes
// on the scripted bus.
#include <gtest/gtest.h>

#include <algorithm>
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
using tavboard::FaultKind;
using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

// Deterministic pseudo-random bytes (xorshift32).
std::vector<uint8_t> random_bytes(size_t count, uint32_t x) {
    std::vector<uint8_t> out(count);
    for (uint8_t &byte : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = uint8_t(x >> 24);
    }
    return out;
}

// (offset, value) of the byte writes in a log whose value satisfies `pick`.
template <class Pick>
Pairs byte_writes(const std::vector<SpaceAccess> &log, Pick pick) {
    Pairs out;
    for (const SpaceAccess &a : log)
        if (a.kind == Access::write8 && pick(a.value)) out.push_back({a.offset, a.value});
    return out;
}

// Buffered chunks: the offset of each write-to-buffer request (0xE8) and the count byte
// that followed it. Data written must not contain 0xE8.
Pairs buffered_chunks(const std::vector<SpaceAccess> &log) {
    Pairs out, writes = byte_writes(log, [](uint32_t) { return true; });
    for (size_t i = 0; i + 1 < writes.size(); i++)
        if (writes[i].second == 0xE8) out.push_back(writes[i + 1]);
    return out;
}

// Offsets of the writes of command `code`. Data written must not contain it.
std::vector<uint32_t> commands(const std::vector<SpaceAccess> &log, uint32_t code) {
    std::vector<uint32_t> out;
    for (const auto &w : byte_writes(log, [code](uint32_t v) { return v == code; })) out.push_back(w.first);
    return out;
}

class WriteTest : public ModelBoardTest {
  protected:
    void TearDown() override {
        flash_free_erase_table(&fsi, table);
        ModelBoardTest::TearDown();
    }

    // A fresh board with `fit`, `space` queried, a fresh erase table.
    void prepare(int32_t space, const tavboard::Fit &fit = tavboard::Fit{}) {
        remake_board(fit);
        flash_free_erase_table(&fsi, table);
        table = nullptr;
        fsi = FSI{};
        ASSERT_EQ(flash_query(space, &fsi), 1);
        table = flash_alloc_erase_table(&fsi);
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(flash_init_erase_table(&fsi, table), 1);
    }

    // Reads back with the devices left in read-status mode: the read must select read array
    // itself, on each page it crosses.
    std::vector<uint8_t> read_back(uint32_t offset, uint32_t count) {
        flash_set_mode(&fsi, offset, 0x70);
        std::vector<uint8_t> out(count + 1, 0x77);
        EXPECT_EQ(flash_read(&fsi, offset, out.data(), count), 1);
        EXPECT_EQ(out[count], 0x77);   // nothing beyond count
        out.resize(count);
        return out;
    }

    FSI fsi{};
    uint8_t *table = nullptr;
};

// ---- chunks and methods

TEST_F(WriteTest, MethodChunksAndErasesOfEachWrite) {
    const struct {
        const char *name;
        int32_t space;
        uint32_t offset, count;
        Pairs buffered;                   // (chunk offset, count byte)
        std::vector<uint32_t> programs;   // offsets of single-word program commands
        uint64_t erases;                  // blocks erased on the fresh board
    } rows[] = {
        {"one byte: single word", 0, 0x100, 1, {}, {0x100}, 1},
        {"two bytes: buffered, count 1", 0, 0x100, 2, {{0x100, 1}}, {}, 1},
        {"33 bytes: 32 buffered, the last byte single", 0, 0x100, 33, {{0x100, 31}}, {0x120}, 1},
        {"34 bytes: two buffered chunks", 0, 0x100, 34, {{0x100, 31}, {0x120, 1}}, {}, 1},
        {"unaligned start is not realigned", 0, 0x105, 40, {{0x105, 31}, {0x125, 7}}, {}, 1},
        {"page end after two bytes", 0, 0x3FFE, 3, {{0x3FFE, 1}}, {0x4000}, 1},
        {"erase unit and page end", 0, 0x1FFF0, 48, {{0x1FFF0, 15}, {0x20000, 31}}, {}, 2},
        {"zero bytes erase the unit and program nothing", 0, 0x60000, 0, {}, {}, 1},
        {"boot-block device: every byte on its own, command at the chunk start", 8, 0x10, 5, {}, {0x10, 0x10, 0x10, 0x10, 0x10}, 11},
        {"boot-block device across a page end", 8, 0x3FFE, 4, {}, {0x3FFE, 0x3FFE, 0x4000, 0x4000}, 11},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        prepare(row.space);
        std::vector<uint8_t> data(row.count, 0x55);
        uint8_t none = 0;
        start_log();
        ASSERT_EQ(flash_write(&fsi, row.offset, row.count ? data.data() : &none, row.count, table), 1);
        std::vector<SpaceAccess> log = space_log();
        EXPECT_EQ(buffered_chunks(log), row.buffered);
        EXPECT_EQ(commands(log, 0x40), row.programs);
        EXPECT_EQ(board->counters().erases, row.erases);
        EXPECT_EQ(board->counters().programmed_bytes, row.count);
        EXPECT_EQ(read_back(row.offset, row.count), data);
    }
}

// ---- erase on first touch

TEST_F(WriteTest, EachUnitIsErasedBeforeItsFirstWriteOnly) {
    prepare(0);
    std::vector<uint8_t> first = random_bytes(100, 1), second = random_bytes(100, 2), across = random_bytes(64, 3);
    ASSERT_EQ(flash_write(&fsi, 0x20000, first.data(), 100, table), 1);
    ASSERT_EQ(flash_write(&fsi, 0x20064, second.data(), 100, table), 1);
    EXPECT_EQ(board->erase_count(Device::game, 1), 1u);
    EXPECT_EQ(board->counters().erases, 1u);
    EXPECT_EQ(read_back(0x20000, 100), first);
    EXPECT_EQ(read_back(0x20064, 100), second);
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[1], 1);
    // A write across the end of the unit erases the next unit once, and only it.
    ASSERT_EQ(flash_write(&fsi, 0x3FFE0, across.data(), 64, table), 1);
    EXPECT_EQ(board->erase_count(Device::game, 1), 1u);
    EXPECT_EQ(board->erase_count(Device::game, 2), 1u);
    EXPECT_EQ(read_back(0x3FFE0, 64), across);
}

// The whole device is erased once per table entry: a smaller device behind the 1 MB space
// has an entry per copy and is erased again for each.
TEST_F(WriteTest, BootBlockDeviceIsErasedWholeOncePerEntry) {
    const struct {
        uint32_t sound_size;
        std::vector<uint32_t> offsets;   // one write at each
        uint64_t erases_per_block;
        uint32_t blocks;
    } rows[] = {
        {1 << 20, {0x90000, 0x10, 0xFFFF0}, 1, 11},
        {512 << 10, {0x10, 0x80010}, 2, 7},
        {256 << 10, {0x0, 0x40000, 0x80000, 0xC0000}, 4, 5},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.sound_size);
        prepare(8, fit_of(4 << 20, 128 << 10, row.sound_size));
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
    uint8_t small_table[1024] = {};
    std::vector<uint8_t> data(0x40, 0x55);
    start_log();
    ASSERT_EQ(flash_write(&fsi, 0xFF0, data.data(), 0x40, small_table), 1);
    std::vector<SpaceAccess> log = space_log();
    EXPECT_EQ(buffered_chunks(log), (Pairs{{0xFF0, 15}, {0x1000, 31}, {0x1020, 15}}));
    EXPECT_EQ(commands(log, 0x20), (std::vector<uint32_t>{0xFF0, 0x1000}));
    EXPECT_EQ(std::vector<uint8_t>(small_table, small_table + 3), (std::vector<uint8_t>{1, 1, 0}));
}

// ---- failures

TEST_F(WriteTest, FailuresReportAndStop) {
    const std::string program_error = "flash_wait(): write/set block lock error\n" + kTimeout0 + "(0x90)\n";
    const struct {
        const char *name;
        int32_t space;
        tavboard::Fault fault;
        uint32_t offset, count;
        uint8_t fill;
        std::string err;
        uint32_t last_command;   // the last of 0xFF, 0xD0, 0x40 written
        uint8_t entry;           // the unit's table entry afterwards
    } rows[] = {
        {"read-back difference in a buffered chunk", 0, fault_of(FaultKind::stuck, Device::game, 0x1004, 0x01), 0x1000, 32, 0x5B,
         "flash_write(): data (0x5a) != (0x5b) at offset (0x1004)\n", 0xFF, 1},
        {"read-back difference deep in a long single-word chunk", 8, fault_of(FaultKind::stuck, Device::sound, 0x1234, 0x80), 0x0,
         8192, 0xF5, "flash_write(): data (0x75) != (0xf5) at offset (0x1234)\n", 0xFF, 1},
        // The devices are left as the failed program left them: no read array after it.
        {"buffered program failure", 0, fault_of(FaultKind::program_fail, Device::game), 0x100, 32, 0x5B, program_error, 0xD0, 1},
        {"single-word program failure", 8, fault_of(FaultKind::program_fail, Device::sound), 0x100, 4, 0x5B, program_error, 0x40, 1},
        {"erase failure before the first program", 0, fault_of(FaultKind::erase_fail, Device::game), 0x20100, 32, 0x5B,
         "flash_wait(): erase/clear block lock error\n" + kTimeout0 + "(0xa0)\n", 0xFF, 0},
        // Given up after 20000 ticks, silently; the devices are set back to read array.
        {"write buffer never available", 0, fault_of(FaultKind::buffer_busy, Device::game), 0x100, 32, 0x5B, "", 0xFF, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        prepare(row.space);
        add_fault(*board, row.fault);
        std::vector<uint8_t> data(row.count, row.fill);
        start_log();
        int result = 0;
        uint32_t ticks = get_ticks();
        EXPECT_EQ(captured_err([&] { result = flash_write(&fsi, row.offset, data.data(), row.count, table); }), row.err);
        ticks = get_ticks() - ticks;
        EXPECT_EQ(result, -1);
        auto last = byte_writes(space_log(), [](uint32_t v) { return v == 0xFF || v == 0xD0 || v == 0x40; });
        ASSERT_FALSE(last.empty());
        EXPECT_EQ(last.back().second, row.last_command);
        EXPECT_EQ(table[row.offset / (row.space == 8 ? 0x100000 : 0x20000)], row.entry);
        if (row.entry == 0) {
            EXPECT_EQ(board->counters().programmed_bytes, 0u);
        }
        if (row.err.empty()) {
            EXPECT_GT(ticks, 20000u);
        }
    }
}

// ---- argument checks, in their order, of write and read

TEST_F(WriteTest, ArgumentChecksInOrder) {
    const struct {
        const char *name;
        bool null_fsi;
        uint32_t interleave, width, offset, count;
        bool null_data, null_table;
        std::string write_err;   // "" = accepted
        std::string read_err;
    } rows[] = {
        {"null record", true, 1, 1, 0, 4, false, false, "flash_write(): NULL FSI pointer\n", "flash_read(): NULL FSI pointer\n"},
        {"offset not aligned comes first", false, 2, 2, 0x400001, 3, true, true,
         "flash_write(): offset (0x400001) not aligned to (2) bytes\n", "flash_read(): offset (0x400001) not aligned to (2) bytes\n"},
        {"count not a multiple of the width", false, 2, 2, 0x400002, 3, true, true,
         "flash_write(): count (3) not a multiple of (2) bytes\n", "flash_read(): count (3) not a multiple of (2) bytes\n"},
        {"offset out of range", false, 1, 1, 0x400000, 0, true, true, "flash_write(): offset (0x400000) out of range (0 - 0x400000)\n",
         "flash_read(): offset (0x400000) out of range (0 - 0x400000)\n"},
        {"offset plus count one beyond", false, 1, 1, 0x3FFFF0, 17, true, true,
         "flash_write(): offset (0x3ffff0) + count (17) > (0x400000)\n", "flash_read(): offset (0x3ffff0) + count (17) > (0x400000)\n"},
        {"offset plus count wrapping 32 bits", false, 1, 1, 0x10, 0xFFFFFFF8, true, true,
         "flash_write(): offset (0x10) + count (-8) > (0x400000)\n", "flash_read(): offset (0x10) + count (-8) > (0x400000)\n"},
        {"null data", false, 1, 1, 0x3FFFF0, 16, true, true, "flash_write(): NULL data pointer\n", "flash_read(): NULL data pointer\n"},
        {"null table", false, 1, 1, 0x3FFFF0, 16, false, true, "flash_write(): NULL erase table\n", ""},
        {"up to the end of the space", false, 1, 1, 0x3FFFF0, 16, false, false, "", ""},
    };
    prepare(0);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        FSI shaped = fsi;
        shaped.interleave = row.interleave;
        shaped.width = row.width;
        FSI *f = row.null_fsi ? nullptr : &shaped;
        std::vector<uint8_t> data(16, 0x5B), dest(16, 0);
        board->reset_counters();
        int result = 0;
        EXPECT_EQ(captured_err([&] {
                      result = flash_write(f, row.offset, row.null_data ? nullptr : data.data(), row.count, row.null_table ? nullptr : table);
                  }),
                  row.write_err);
        EXPECT_EQ(result, row.write_err.empty() ? 1 : -1);
        EXPECT_EQ(captured_err([&] { result = flash_read(f, row.offset, row.null_data ? nullptr : dest.data(), row.count); }), row.read_err);
        EXPECT_EQ(result, row.read_err.empty() ? 1 : -1);
        if (!row.read_err.empty()) {
            EXPECT_EQ(board->counters().accesses, 0u);
        } else {
            EXPECT_EQ(dest, row.write_err.empty() ? data : std::vector<uint8_t>(16, 0xFF));
        }
    }
}

// ---- whole spaces

// The whole space in runs of 8192 bytes, as the loader copies its files: read back equal,
// the device holds it, each block erased exactly once.
TEST_F(WriteTest, WholeSpacesWrittenAndReadBackEqual) {
    const struct {
        int32_t space;
        Device device;
        uint32_t size, blocks;
    } rows[] = {{0, Device::game, 0x400000, 32}, {8, Device::sound, 0x100000, 11}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.space);
        prepare(row.space);
        std::vector<uint8_t> data = random_bytes(row.size, 0x40215 + row.space), back(row.size);
        for (uint32_t offset = 0; offset < row.size; offset += 8192)
            ASSERT_EQ(flash_write(&fsi, offset, data.data() + offset, 8192, table), 1) << offset;
        ASSERT_EQ(flash_read(&fsi, 0, back.data(), row.size), 1);
        EXPECT_TRUE(back == data);
        EXPECT_EQ(0, memcmp(board->data(row.device), data.data(), row.size));
        for (uint32_t block = 0; block < row.blocks; block++) EXPECT_EQ(board->erase_count(row.device, block), 1u) << block;
        EXPECT_EQ(board->counters().erases, row.blocks);
        EXPECT_EQ(board->counters().not_erased_bits, 0u);
    }
}

// ---- other bus shapes, on the scripted bus

// Two devices side by side: 16-bit devices get words and each its count; single-word
// programming takes one bus word at a time, and a short last word ends after one device.
// The devices answer ready, and the data after a read array command.
TEST_F(FakeBusTest, BusWordsOfTwoDevices) {
    constexpr FakeAccess::Kind W8 = FakeAccess::write8, W16 = FakeAccess::write16;
    const struct {
        uint32_t width;
        int32_t boot_block;
        uint32_t offset;
        std::vector<uint8_t> data;
        std::vector<FakeAccess> writes;
        std::vector<uint32_t> reads;   // offsets of the status reads
    } rows[] = {
        {2, 0, 0x100, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
         {{W16, 0x100, 0xE8}, {W16, 0x102, 0xE8}, {W16, 0x100, 1}, {W16, 0x102, 1}, {W16, 0x100, 0x0201}, {W16, 0x102, 0x0403},
          {W16, 0x104, 0x0605}, {W16, 0x106, 0x0807}, {W16, 0x100, 0xD0}, {W16, 0x102, 0xD0}, {W16, 0x100, 0xFF}, {W16, 0x102, 0xFF}},
         {0x100, 0x102, 0x100, 0x100, 0x102, 0x102}},
        {1, 1, 0x200, {0xA1, 0xA2, 0xA3},
         {{W8, 0x200, 0x40}, {W8, 0x201, 0x40}, {W8, 0x200, 0xA1}, {W8, 0x201, 0xA2}, {W8, 0x200, 0x40}, {W8, 0x201, 0x40},
          {W8, 0x202, 0xA3}, {W8, 0x200, 0xFF}, {W8, 0x201, 0xFF}},
         {0x200, 0x200, 0x201, 0x201, 0x200, 0x200, 0x201, 0x201}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.width);
        FakeBus bus;
        FSI fsi = fake_fsi(0x400000, 2, row.width, 0x20000);
        fsi.boot_block = row.boot_block;
        bus.on_read = [&](uint32_t offset) -> uint8_t {
            return bus.last_written() != 0xFF ? 0x80 : offset >= row.offset ? row.data.at(offset - row.offset) : 0;
        };
        uint8_t table[64] = {1};
        ASSERT_EQ(flash_write(&fsi, row.offset, row.data.data(), (uint32_t)row.data.size(), table), 1);
        EXPECT_EQ(bus.writes(), row.writes);
        EXPECT_EQ(bus.offsets(FakeAccess::read), row.reads);
    }
}

TEST_F(FakeBusTest, BadDeviceWidthStopsTheBufferedWriteInReadArray) {
    FakeBus bus;
    FSI fsi = fake_fsi(0x400000, 1, 3, 0x20000);
    uint8_t table[32] = {1};
    const uint8_t data[6] = {};
    int result = 0;
    const std::string bad_mode = "flash_set_mode(): bad device width (3)\n";
    EXPECT_EQ(captured_err([&] { result = flash_write(&fsi, 0, data, 6, table); }),
              bad_mode + bad_mode + "flash_write(): bad device width (3)\n" + bad_mode);
    EXPECT_EQ(result, -1);
}

}  // namespace
