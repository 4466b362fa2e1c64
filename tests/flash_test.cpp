// The flash driver's contracts on a scripted bus (bus shapes the model board cannot show, and
// every access in order): page selection, commands, the status register's judgement and
// messages, the argument checks, write methods, erase order, identification by query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "flash/board_access.h"
#include "flash/flash.h"
#include "flash/ticks.h"

namespace {

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
        // One bus word is programmed, not buffered, on a device with a write buffer too.
        {1, 0, 0x300, {0xB1, 0xB2}, {{W8, 0x300, 0x40}, {W8, 0x301, 0x40}, {W8, 0x300, 0xB1}, {W8, 0x301, 0xB2}, {W8, 0x300, 0xFF}, {W8, 0x301, 0xFF}},
         {0x300, 0x300, 0x301, 0x301}},
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

// A read selects read array on each page it copies from.
TEST(FlashBus, ReadSelectsReadArrayOnEachPage) {
    FakeBus bus;
    FSI fsi = fake(0x400000, 1, 1, 0x20000);
    uint8_t dest[4];
    ASSERT_EQ(flash_read(&fsi, 0x3FFE, dest, 4), 1);
    EXPECT_EQ(bus.writes(), (std::vector<Acc>{{W8, 0x3FFE, 0xFF}, {W8, 0, 0xFF}}));
}

// The game flash erases the block holding the offset; a boot-block device (space 8) its four
// small blocks, then its main blocks from the top down, stopping at the first that fails (the
// n-th erase reads 0xA0), or after the small blocks when its size is none of the three.
// Each block: set-up, confirm, read array at the block's start.
TEST(FlashBus, EraseTakesTheBlocksOfTheUnitInOrder) {
    const U32s order1M = {0x0, 0x4000, 0x6000, 0x8000, 0xE0000, 0xC0000, 0xA0000, 0x80000, 0x60000, 0x40000, 0x20000};
    const struct { int32_t boot; uint32_t device_size, offset; size_t failing; U32s order; int result; std::string err; } rows[] = {
        {0, 0x400000, 0x25000, 0, {0x25000}, 1, ""}, {1, 0x100000, 0xFFFFF, 0, order1M, 1, ""},
        {1, 0x80000, 0x7FFFF, 0, {0x0, 0x4000, 0x6000, 0x8000, 0x60000, 0x40000, 0x20000}, 1, ""},
        {1, 0x40000, 0, 0, {0x0, 0x4000, 0x6000, 0x8000, 0x20000}, 1, ""}, {1, 0x200000, 0, 0, {0x0, 0x4000, 0x6000, 0x8000}, -1, ""},
        {1, 0x100000, 0, 2, {0x0, 0x4000}, -1, kEErr + kT0 + "(0xa0)\n"},
        {1, 0x100000, 0, 9, U32s(order1M.begin(), order1M.begin() + 9), -1, kEErr + kT0 + "(0xa0)\n"}};
    for (const auto &row : rows) {
        FakeBus bus;
        bus.on_read = [&](uint32_t) -> uint8_t {
            auto erases = std::count_if(bus.log.begin(), bus.log.end(), [](const Acc &a) { return a.kind == W8 && a.value == 0x20; });
            return size_t(erases) == row.failing ? 0xA0 : 0x80;
        };
        FSI fsi = {board_window, row.device_size, 1, 1, 0x20000, 17, row.device_size, row.boot, 8 * row.boot, 0x4000, row.device_size / 0x4000};
        Out r = run([&] { return flash_erase(&fsi, row.offset); });
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.result, row.result) << row.device_size;
        Pairs writes, expected;   // (device offset, value)
        uint32_t page = 0;
        for (const Acc &a : bus.log) {
            if (a.kind == REG && a.offset < 3) page = (page & ~(0xFu << 4 * a.offset)) | a.value << 4 * a.offset;
            if (a.kind == W8) writes.push_back({page * 0x4000 + a.offset, a.value});
        }
        for (uint32_t start : row.order)
            for (uint32_t command : {0x20, 0xD0, 0xFF}) expected.push_back({start, command});
        EXPECT_EQ(writes, expected) << row.device_size << " " << row.failing;
    }
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

}  // namespace
