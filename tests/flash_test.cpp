// The flash driver's contracts. On a scripted bus (bus shapes the model board cannot show): page
// selection, commands, the status register's judgement and messages, the argument checks. On the
// model board: identification of each fit, erase order, write chunks, first-touch erase, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "flash/board_access.h"
#include "flash/flash.h"
#include "flash/ticks.h"
#include "tests/model_fixture.h"

namespace {

using tavboard::Device;
using K = tavboard::FaultKind;
using U32s = std::vector<uint32_t>;
using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

enum Kind { REG, RD, W8, W16 };
struct Acc {
    int kind;
    uint32_t offset, value;
    bool operator==(const Acc &) const = default;
};

// Records every access; reads answer through on_read (default: a clean status).
struct FakeBus {
    std::function<uint8_t(uint32_t)> on_read = [](uint32_t) -> uint8_t { return 0x80; };
    std::vector<Acc> log;
    uint8_t memory[16] = {};
    static void add(void *c, int k, uint32_t o, uint32_t v) { static_cast<FakeBus *>(c)->log.push_back({k, o, v}); }
    static uint8_t rd(void *c, uint32_t o) {
        uint8_t v = static_cast<FakeBus *>(c)->on_read(o);
        return add(c, RD, o, v), v;
    }
    const BoardAccessOps ops = {[](void *c, uint32_t r, uint8_t v) { add(c, REG, r, v); }, rd,
                                [](void *c, uint32_t o, uint8_t v) { add(c, W8, o, v); },
                                [](void *c, uint32_t o, uint16_t v) { add(c, W16, o, v); },
                                [](void *c, uint32_t o, uint8_t *d, uint32_t n) { while (n--) *d++ = static_cast<FakeBus *>(c)->on_read(o++); }};
    FakeBus() { tick_clock_hold(), board_access_bind(board_window = memory, &ops, this); }
    ~FakeBus() { board_access_unbind(memory); }
    std::vector<Acc> writes() const {
        std::vector<Acc> w;
        std::copy_if(log.begin(), log.end(), std::back_inserter(w), [&](const Acc &a) { return a.kind >= W8; });
        return w;
    }
    U32s reads() const {
        U32s r;
        for (const Acc &a : log) a.kind == RD ? r.push_back(a.offset) : void();
        return r;
    }
    uint32_t last_written() const { return writes().empty() ? 0 : writes().back().value; }
};

FSI fake(uint32_t size, uint32_t interleave, uint32_t width, uint32_t block) {
    return {board_window, size, interleave, width, block, 0, block, 0, 0, 0x4000, size / 0x4000};
}

struct Out {
    int result;
    std::string out, err;
};
// The call's result and what it printed on standard output and standard error.
Out run(const std::function<int()> &call) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = call();
    std::string out = testing::internal::GetCapturedStdout();
    return {result, out, testing::internal::GetCapturedStderr()};
}

tavboard::Fit fit(uint32_t game, uint32_t block, uint32_t sound) { return {game, block, sound, false}; }
tavboard::Fault fault(K kind, Device device, int32_t block = -1, int64_t offset = -1, uint8_t mask = 0) {
    return {kind, device, block, offset, mask, 0};
}

const std::string kT0 = "flash_wait(): device 0 WSM ready timeout ", kT1 = "flash_wait(): device 1 WSM ready timeout ";
// Each status bit's message is pinned by the loader's fault matrix (an absent device shows them all).
const std::string kWErr = "flash_wait(): write/set block lock error\n", kEErr = "flash_wait(): erase/clear block lock error\n",
                  kWidth = "flash_set_mode(): bad device width (3)\n";
// A query that finds no device: the recovery that starts every identification (33 read-array
// writes that end any half-written sequence, read status, clear status, read array), the query
// command, read array.
const U32s kFailedQuery = [] {
    U32s c(33, 0xFF);
    return c.insert(c.end(), {0x70, 0x50, 0xFF, 0x98, 0xFF}), c;
}();

TEST(FlashBus, MapPageWritesTheFourRegistersOrRefuses) {
    const struct { int32_t space; uint32_t page; U32s registers; /* none: refused */ std::string out; } rows[] = {
        {0, 0x5A, {0xA, 0x5, 0, 0}, ""}, {0, 256, {}, "isa_tav_map_page(0, 256): page (256) is out of range (0-255)\n"},
        {0, 0xFFFFFFFF, {}, "isa_tav_map_page(0, -1): page (-1) is out of range (0-255)\n"}, {1, 63, {0xF, 3, 1, 1}, ""},
        {1, 64, {}, "isa_tav_map_page(1, 64): page (64) is out of range (0-63)\n"}, {8, 63, {0xF, 3, 0, 8}, ""},
        {8, 64, {}, "isa_tav_map_page(8, 64): page (64) is out of range (0-63)\n"}, {2, 0, {}, ""}, {-1, 0, {}, ""},
    };
    for (const auto &row : rows) {
        FakeBus bus;
        Out r = run([&] { return isa_tav_map_page(row.space, row.page); });
        EXPECT_EQ(r.out + "|" + r.err, row.out + "|") << row.space << " " << row.page;
        EXPECT_EQ(r.result, row.registers.empty() ? 0 : 1);
        std::vector<Acc> expected;
        for (uint32_t i = 0; i < row.registers.size(); i++) expected.push_back({REG, i, row.registers[i]});
        EXPECT_EQ(bus.log, expected);
    }
}

// The devices present the statuses in order (the last repeats), one tick per read; the limit
// is 10 ticks. No command is written, every read is at the offset inside its page.
TEST(FlashBus, WaitJudgesTheStatusAfterPolling) {
    const struct { std::vector<uint8_t> statuses; int result; size_t reads; std::string err; } rows[] = {
        {{0, 0, 0, 0, 0x80}, 1, 6, ""}, {{0xC0}, -1, 2, kT0 + "(0xc0)\n"}, {{0x81}, -1, 2, kT0 + "(0x81)\n"},
        {{0x00}, -1, 12, kT0 + "(0x00)\n"}, {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, 1, 12, ""}, {{0x80, 0x90}, -1, 2, kWErr + kT0 + "(0x90)\n"},
    };
    for (const auto &row : rows) {
        FakeBus bus;
        size_t reads = 0;
        bus.on_read = [&](uint32_t) -> uint8_t {
            tick_clock_advance(1);
            return row.statuses[std::min(reads++, row.statuses.size() - 1)];
        };
        FSI fsi = fake(0x400000, 1, 1, 0x20000);
        Out r = run([&] { return flash_wait(&fsi, 0x12345, 10); });
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.result, row.result);
        EXPECT_TRUE(bus.writes().empty());
        EXPECT_EQ(bus.reads(), U32s(row.reads, 0x2345)) << row.err;
    }
}

// Each device of a bus word presents its own status; the first bad one is named. An odd
// offset is aligned down to the bus word.
TEST(FlashBus, WaitExaminesEachDeviceOfTheBusWord) {
    const struct { uint8_t status0, status1; U32s reads; std::string err; } rows[] = {
        {0x80, 0x90, {0x1000, 0x1000, 0x1001, 0x1001}, kWErr + kT1 + "(0x90)\n"}, {0xA0, 0x80, {0x1000, 0x1000}, kEErr + kT0 + "(0xa0)\n"}};
    for (const auto &row : rows) {
        FakeBus bus;
        bus.on_read = [&](uint32_t offset) -> uint8_t { return offset == 0x1000 ? row.status0 : row.status1; };
        FSI fsi = fake(0x400000, 2, 1, 0x20000);
        EXPECT_EQ(run([&] { return flash_wait(&fsi, 0x1001, 10); }).err, row.err);
        EXPECT_EQ(bus.reads(), row.reads);
    }
}

// Each refusal: its message, its result, no bus access, and a refused table left as it was.
TEST(FlashBus, ArgumentChecksOfEveryRoutine) {
    FakeBus bus;
    FSI fsi = fake(0x400000, 4, 1, 0x20000), pair = fake(0x100000, 2, 1, 0x20000);
    FSI odd = fake(0x400000, 1, 1, 0x30000);
    FSI none = fake(0x100000, 1, 1, 0), wide = fake(0x100000, 2, 1, 0x80000000), one = fake(0x400000, 1, 1, 0x20000), two = fake(0x400000, 2, 2, 0x20000);
    uint8_t byte = 0, table[128] = {9}, data[16] = {};
    auto ok = [](const void *p) { return p != nullptr ? 1 : -1; };
    const std::string range = " out of range (0 - 0x400000)\n", divide = "erase unit (0x30000) does not divide size (0x400000)\n";
    struct Row { std::function<int()> call; int result; std::string err; };
    std::vector<Row> rows = {
        {[&] { return flash_wait(&pair, 0x100001, 10); }, -1, "flash_wait(): offset (0x100000) out of range (0 - 0x100000)\n"},
        {[&] { return flash_set_mode(&pair, 0x100001, 0x70), 0; }, 0, "flash_set_mode(): offset (0x100000) out of range (0 - 0x100000)\n"},
        {[&] { return flash_check_status(nullptr, 0); }, -1, "flash_check_status(): NULL FSI pointer\n"},
        {[&] { return flash_check_status(&fsi, 0x400003); }, -1, "flash_check_status(): offset (0x400000)" + range},
        {[&] { return flash_query(2, &fsi); }, -1, "flash_query(): invalid memory space 0x2\n"},
        {[&] { return flash_query(0, nullptr); }, -1, "flash_query(): NULL FSI pointer\n"},
        {[&] { return flash_erase(nullptr, 0); }, -1, "flash_erase(): NULL FSI pointer\n"},
        {[&] { return flash_erase(&fsi, 0x400000); }, -1, "flash_erase(): offset (0x400000)" + range},
        {[&] { return flash_get_write_buffer(nullptr, 0); }, -1, "flash_get_write_buffer(): NULL FSI pointer\n"},
        {[&] { return flash_get_write_buffer(&fsi, 0x400000); }, -1, "flash_get_write_buffer(): offset (0x400000)" + range},
        {[&] { return flash_check_write_buffer(&fsi, 0x400000); }, -1, "flash_check_write_buffer(): offset (0x400000)" + range},
        {[&] { return flash_write(&odd, 0, &byte, 1, table); }, -1, "flash_write(): " + divide},
        {[&] { return ok(flash_alloc_erase_table(nullptr)); }, -1, "flash_alloc_erase_table(): NULL FSI pointer\n"},
        {[&] { return ok(flash_alloc_erase_table(&odd)); }, -1, "flash_alloc_erase_table(): " + divide},
        {[&] { return ok(flash_alloc_erase_table(&none)); }, -1, "flash_alloc_erase_table(): erase unit (0x0) does not divide size (0x100000)\n"},
        {[&] { return ok(flash_alloc_erase_table(&wide)); }, -1,
         "flash_alloc_erase_table(): erase unit (0x100000000) does not divide size (0x100000)\n"},
        {[&] { return flash_init_erase_table(&odd, table); }, -1, "flash_init_erase_table(): " + divide},
        {[&] { return flash_init_erase_table(nullptr, table); }, -1, "flash_init_erase_table(): NULL FSI pointer\n"},
        {[&] { return flash_init_erase_table(&fsi, nullptr); }, -1, "flash_init_erase_table(): NULL erase table pointer\n"},
        {[&] { return flash_free_erase_table(&fsi, nullptr); }, 1, ""},
        // A null record keeps the table: the caller still owns it (a double free shows under ASan).
        {[&] {
             uint8_t *owned = static_cast<uint8_t *>(malloc(4));
             int result = flash_free_erase_table(nullptr, owned);
             return free(owned), result;
         },
         -1, "flash_free_erase_table(): NULL FSI pointer\n"},
    };
    // Write and read check their arguments in this order (each row also fails the later checks).
    const struct { FSI *fsi; uint32_t offset, count; bool data, table; std::string err; } io[] = {
        {nullptr, 0, 4, true, true, "NULL FSI pointer\n"}, {&two, 0x400001, 3, false, false, "offset (0x400001) not aligned to (2) bytes\n"},
        {&two, 0x400002, 3, false, false, "count (3) not a multiple of (2) bytes\n"},
        {&one, 0x400000, 0, false, false, "offset (0x400000) out of range (0 - 0x400000)\n"},
        {&one, 0x3FFFF0, 17, false, false, "offset (0x3ffff0) + count (17) > (0x400000)\n"},
        {&one, 0x10, 0xFFFFFFF8, false, false, "offset (0x10) + count (-8) > (0x400000)\n"},
        {&one, 0x3FFFF0, 16, false, false, "NULL data pointer\n"}, {&one, 0x3FFFF0, 16, true, false, "NULL erase table\n"}};
    for (const auto &c : io) {
        uint8_t *d = c.data ? data : nullptr;
        rows.push_back({[=, &table] { return flash_write(c.fsi, c.offset, d, c.count, c.table ? table : nullptr); }, -1, "flash_write(): " + c.err});
        if (c.data && !c.table && c.fsi) continue;   // read takes no table
        rows.push_back({[=] { return flash_read(c.fsi, c.offset, d, c.count); }, -1, "flash_read(): " + c.err});
    }
    for (const auto &row : rows) {
        Out r = run(row.call);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.result, row.result) << row.err;
        EXPECT_TRUE(bus.log.empty()) << row.err;
        EXPECT_EQ(table[0], 9) << row.err;
    }
}

// Two devices side by side: 16-bit devices get words and each its count; single-word
// programming takes one bus word at a time, a short last word ends after one device.
TEST(FlashBus, WritesBusWordsOfTwoDevices) {
    const struct { uint32_t width; int32_t boot_block; uint32_t offset; std::vector<uint8_t> data; std::vector<Acc> writes; U32s reads; } rows[] = {
        {2, 0, 0x100, {1, 2, 3, 4, 5, 6, 7, 8},
         {{W16, 0x100, 0xE8}, {W16, 0x102, 0xE8}, {W16, 0x100, 1}, {W16, 0x102, 1}, {W16, 0x100, 0x0201}, {W16, 0x102, 0x0403},
          {W16, 0x104, 0x0605}, {W16, 0x106, 0x0807}, {W16, 0x100, 0xD0}, {W16, 0x102, 0xD0}, {W16, 0x100, 0xFF}, {W16, 0x102, 0xFF}},
         {0x100, 0x102, 0x100, 0x100, 0x102, 0x102}}, {1, 1, 0x200, {0xA1, 0xA2, 0xA3},
         {{W8, 0x200, 0x40}, {W8, 0x201, 0x40}, {W8, 0x200, 0xA1}, {W8, 0x201, 0xA2}, {W8, 0x200, 0x40}, {W8, 0x201, 0x40},
          {W8, 0x202, 0xA3}, {W8, 0x200, 0xFF}, {W8, 0x201, 0xFF}}, {0x200, 0x200, 0x201, 0x201, 0x200, 0x200, 0x201, 0x201}},
    };
    for (const auto &row : rows) {
        FakeBus bus;
        FSI fsi = fake(0x400000, 2, row.width, 0x20000);
        fsi.boot_block = row.boot_block;
        bus.on_read = [&](uint32_t o) -> uint8_t { return bus.last_written() != 0xFF ? 0x80 : o >= row.offset ? row.data.at(o - row.offset) : 0; };
        uint8_t table[64] = {1};
        ASSERT_EQ(flash_write(&fsi, row.offset, row.data.data(), (uint32_t)row.data.size(), table), 1);
        EXPECT_EQ(bus.writes(), row.writes);
        EXPECT_EQ(bus.reads(), row.reads);
    }
    FakeBus bus;
    FSI fsi = fake(0x400000, 1, 3, 0x20000);
    uint8_t table[32] = {1}, data[6] = {};
    Out r = run([&] { return flash_write(&fsi, 0, data, 6, table); });
    EXPECT_EQ(r.err, kWidth + kWidth + "flash_write(): bad device width (3)\n" + kWidth);
    EXPECT_EQ(r.result, -1);
}

// A CFI device in 8-bit mode: query byte c answers at bus offsets 2c and 2c + 1.
TEST(FlashBus, QueryGeometryFromTheQueryAnswer) {
    const struct { int32_t space; std::vector<uint8_t> fields; /* Q R Y, size exponent, block count lo/hi, block size lo/hi */ int result; uint32_t block_size, device_size; std::string err; } rows[] = {
        {0, {'Q', 'R', 'Y', 22, 0x20, 0, 0, 2}, 1, 0x20000, 0x400000, "flash_query(0x0): device geometry error 33 * 131072 != 4194304\n"},
        {1, {'Q', 'R', 'Y', 23, 0, 1, 0x80, 0}, 1, 0x8000, 0x800000, "flash_query(0x1): device geometry error 257 * 32768 != 8388608\n"},
        {0, {'Q', 'R', 'Y', 54, 0x1F, 0, 0, 2}, 1, 0x20000, 0x400000, ""},   // exponent modulo 32
        {0, {'Q', 'X', 'Y'}, -1, 0, 0, ""}, {0, {'Q', 'R', 'X'}, -1, 0, 0, ""},
    };
    const uint32_t at[] = {0x10, 0x11, 0x12, 0x27, 0x2D, 0x2E, 0x2F, 0x30};
    for (const auto &row : rows) {
        FakeBus bus;
        bus.on_read = [&](uint32_t offset) -> uint8_t {
            if (bus.last_written() != 0x98) return bus.last_written() == 0x70 ? 0x80 : 0xFF;
            for (size_t i = 0; i < row.fields.size(); i++)
                if (offset / 2 == at[i]) return row.fields[i];
            return 0;
        };
        FSI fsi{};
        Out r = run([&] { return flash_query(row.space, &fsi); });
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.err, row.err);
        if (row.result < 0) {
            std::vector<Acc> writes;
            for (uint32_t command : kFailedQuery) writes.push_back({W8, 0, command});
            EXPECT_EQ(bus.writes(), writes);
            // The page registers: page 0 of the space selected first, then again by each command.
            EXPECT_EQ(std::count_if(bus.log.begin(), bus.log.end(), [](const Acc &a) { return a.kind == REG; }), 4 * 39);
        } else {
            EXPECT_EQ(fsi.block_size, row.block_size);
            EXPECT_EQ(fsi.device_size, row.device_size);
        }
    }
}

// ---- on the model board

class FlashModel : public ModelBoardTest {
  protected:
    void TearDown() override {
        flash_free_erase_table(&fsi, table);
        ModelBoardTest::TearDown();
    }
    // A fresh board with `f`, `space` queried, a fresh erase table, the log started.
    void prepare(int32_t space, const tavboard::Fit &f = {}) {
        remake_board(f);
        flash_free_erase_table(&fsi, table);
        fsi = FSI{};
        ASSERT_EQ(flash_query(space, &fsi), 1);
        table = flash_alloc_erase_table(&fsi);
        ASSERT_EQ(flash_init_erase_table(&fsi, table), 1);
        board->reset_counters();
        start_log();
    }
    // (offset, value) of the byte writes whose value is one of `codes` (all when empty).
    Pairs writes(U32s codes = {}) const {
        Pairs out;
        for (const SpaceAccess &a : space_log())
            if (a.kind == tavboard::Access::write8 && (codes.empty() || std::count(codes.begin(), codes.end(), a.value)))
                out.push_back({a.offset, a.value});
        return out;
    }
    U32s at(uint32_t code) const {
        U32s out;
        for (auto &w : writes({code})) out.push_back(w.first);
        return out;
    }
    void add_fault(const tavboard::Fault &f) {
        std::string error;
        ASSERT_TRUE(board->add_fault(f, &error)) << error;
    }
    FSI fsi{};
    uint8_t *table = nullptr;
};

// Whatever an earlier run left the device in - the sticky bits of a failed erase, a command
// sequence cut short at each place, an erase still busy, a read mode - identification starts
// from read array with a clean status and programs nothing.
TEST_F(FlashModel, LeftoverDeviceStatesAreRecoveredWithoutProgramming) {
    const std::vector<uint8_t> rows[] = {{}, {0x20}, {0x40}, {0xE8}, {0xE8, 31}, {0xE8, 31, 0, 0}, {0xE8, 0, 0}, {0x20, 0xD0}, {0x98}};
    for (const auto &writes : rows) {   // at 0x100, 0x101, ... of page 0; none: a failed erase
        prepare(0);
        if (writes.empty()) {
            add_fault(fault(K::erase_fail, Device::game));
            EXPECT_EQ(run([&] { return flash_erase(&fsi, 0); }).result, -1);
            board->clear_faults();
        }
        isa_tav_map_page(0, 0);
        for (size_t i = 0; i < writes.size(); i++) board->write(uint32_t(0x100 + i), writes[i]);
        Out r = run([&] { return flash_query(0, &fsi); });
        EXPECT_EQ(std::to_string(r.result) + r.err, "1") << writes.size();
        const uint8_t *game = board->data(Device::game);
        EXPECT_EQ(std::count(game + 0x100, game + 0x120, 0xFF), 0x20) << "a cell was programmed";
    }
}

// Each block erase is set-up, confirm, read array at the block: the game flash erases the
// block holding the offset, a boot-block device all its blocks in their fixed order, stopping
// at the first failing block (a hung one given up after 20000 ticks).
TEST_F(FlashModel, EraseTakesTheBlocksOfTheUnitInOrder) {
    const U32s order1M = {0x0, 0x4000, 0x6000, 0x8000, 0xE0000, 0xC0000, 0xA0000, 0x80000, 0x60000, 0x40000, 0x20000};
    // A fault of `kind` on sound block `block` (-1: none; index: the 4 small blocks, then 128 KB ones).
    const struct { uint32_t sound_size; int32_t space; uint32_t offset; K kind; int32_t block; U32s order; std::string err; } rows[] = {
        {1 << 20, 0, 0x25000, K::absent, -1, {0x25000}, ""}, {1 << 20, 8, 0xFFFFF, K::absent, -1, order1M, ""},
        {512 << 10, 8, 0x90000, K::absent, -1, {0x0, 0x4000, 0x6000, 0x8000, 0x60000, 0x40000, 0x20000}, ""},
        {256 << 10, 8, 0x3FFFF, K::absent, -1, {0x0, 0x4000, 0x6000, 0x8000, 0x20000}, ""},
        {1 << 20, 8, 0, K::erase_fail, 1, {0x0, 0x4000}, kEErr + kT0 + "(0xa0)\n"},
        {1 << 20, 8, 0, K::erase_fail, 6, U32s(order1M.begin(), order1M.begin() + 9), kEErr + kT0 + "(0xa0)\n"},
        {1 << 20, 8, 0, K::never_ready, 3, U32s(order1M.begin(), order1M.begin() + 4), kT0 + "(0x00)\n"}};
    for (const auto &row : rows) {
        prepare(row.space, fit(4 << 20, 128 << 10, row.sound_size));
        if (row.block >= 0) add_fault(fault(row.kind, Device::sound, row.block));
        uint32_t ticks = get_ticks();
        Out r = run([&] { return flash_erase(&fsi, row.offset); });
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.result, row.err.empty() ? 1 : -1);
        EXPECT_EQ(get_ticks() - ticks > 20000, row.kind == K::never_ready);
        Pairs expected;
        for (uint32_t start : row.order)
            for (uint32_t command : {0x20, 0xD0, 0xFF}) expected.push_back({start, command});
        EXPECT_EQ(writes(), expected) << row.err;
    }
    // A boot-block device of unknown size: silent failure after the four small blocks.
    prepare(8);
    fsi.device_size = 0x200000;
    EXPECT_EQ(run([&] { return flash_erase(&fsi, 0); }).err, "");
    EXPECT_EQ(at(0x20), (U32s{0x0, 0x4000, 0x6000, 0x8000}));
}

// Buffered chunks of at most 32 bytes cut at page and unit ends (the last byte single);
// a boot-block device takes every byte on its own. Read back through read-status mode.
TEST_F(FlashModel, WriteChunksMethodsAndErases) {
    const struct { int32_t space; uint32_t offset, count; Pairs buffered; /* (chunk offset, count byte) */ U32s programs; /* offsets of single-word program commands */ uint64_t erases; } rows[] = {
        {0, 0x100, 1, {}, {0x100}, 1}, {0, 0x100, 33, {{0x100, 31}}, {0x120}, 1},
        {0, 0x105, 40, {{0x105, 31}, {0x125, 7}}, {}, 1}, {0, 0x3FFE, 3, {{0x3FFE, 1}}, {0x4000}, 1},
        {0, 0x1FFF0, 48, {{0x1FFF0, 15}, {0x20000, 31}}, {}, 2}, {0, 0x60000, 0, {}, {}, 1},
        {8, 0x3FFE, 4, {}, {0x3FFE, 0x3FFE, 0x4000, 0x4000}, 11},
    };
    for (const auto &row : rows) {
        prepare(row.space);
        std::vector<uint8_t> data(row.count + 1, 0x55), back(row.count + 1, 0x77);
        ASSERT_EQ(flash_write(&fsi, row.offset, data.data(), row.count, table), 1);
        Pairs buffered, all = writes();
        for (size_t i = 0; i + 1 < all.size(); i++)
            if (all[i].second == 0xE8) buffered.push_back(all[i + 1]);
        EXPECT_EQ(buffered, row.buffered) << row.offset;
        EXPECT_EQ(at(0x40), row.programs) << row.offset;
        EXPECT_EQ(board->counters().erases, row.erases);
        EXPECT_EQ(board->counters().programmed_bytes, row.count);
        flash_set_mode(&fsi, row.offset, 0x70);
        EXPECT_EQ(flash_read(&fsi, row.offset, back.data(), row.count), 1);
        EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + row.count), std::vector<uint8_t>(row.count, 0x55));
        EXPECT_EQ(back[row.count], 0x77);
    }
}

TEST_F(FlashModel, WriteFailuresReportAndStop) {
    const std::string program_error = kWErr + kT0 + "(0x90)\n";
    const struct { int32_t space; tavboard::Fault fault; uint32_t offset, count; std::string err; uint32_t last_command; /* the last of 0xFF, 0xD0, 0x40 written */ uint8_t entry; /* the unit's table entry afterwards */ } rows[] = {
        {0, fault(K::stuck, Device::game, -1, 0x1004, 1), 0x1000, 32, "flash_write(): data (0x5a) != (0x5b) at offset (0x1004)\n", 0xFF, 1},
        // The devices are left as the failed program left them: no read array after it.
        {0, fault(K::program_fail, Device::game), 0x100, 32, program_error, 0xD0, 1},
        {8, fault(K::program_fail, Device::sound), 0x100, 4, program_error, 0x40, 1},
        {0, fault(K::erase_fail, Device::game), 0x20100, 32, kEErr + kT0 + "(0xa0)\n", 0xFF, 0},
        // Given up after 20000 ticks, silently, back in read array.
        {0, fault(K::buffer_busy, Device::game), 0x100, 32, "", 0xFF, 1},
    };
    for (const auto &row : rows) {
        prepare(row.space);
        add_fault(row.fault);
        std::vector<uint8_t> data(row.count, row.space == 8 ? 0xDB : 0x5B);
        uint32_t ticks = get_ticks();
        Out r = run([&] { return flash_write(&fsi, row.offset, data.data(), row.count, table); });
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(writes({0xFF, 0xD0, 0x40}).back().second, row.last_command) << row.err;
        EXPECT_EQ(table[row.offset / (row.space == 8 ? 0x100000 : 0x20000)], row.entry);
        if (row.err.empty()) {
            EXPECT_GT(get_ticks() - ticks, 20000u);
        }
        if (row.entry == 0) {
            EXPECT_EQ(board->counters().programmed_bytes, 0u);
        }
    }
}

}  // namespace
