// On the scripted bus: page selection, commands on every bus shape, flash_wait's judgement
// of the status register with its messages and time limit, flash_check_status around it,
// and the argument checks of every driver routine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "flash/ticks.h"
#include "tests/flash_fake_bus.h"

namespace {

using StatusTest = FakeBusTest;
constexpr FakeAccess::Kind W8 = FakeAccess::write8, W16 = FakeAccess::write16, REG = FakeAccess::reg_write;

// ---- isa_tav_map_page

TEST_F(StatusTest, MapPageWritesTheFourRegistersOrRefuses) {
    const struct {
        int32_t space;
        uint32_t page;
        std::vector<uint32_t> registers;   // values written to registers 0..3; none when refused
        std::string out;                   // standard output
    } rows[] = {
        {0, 0x5A, {0xA, 0x5, 0, 0}, ""},
        {0, 255, {0xF, 0xF, 0, 0}, ""},
        {0, 256, {}, "isa_tav_map_page(0, 256): page (256) is out of range (0-255)\n"},
        {0, 0xFFFFFFFF, {}, "isa_tav_map_page(0, -1): page (-1) is out of range (0-255)\n"},
        {1, 63, {0xF, 3, 1, 1}, ""},
        {1, 64, {}, "isa_tav_map_page(1, 64): page (64) is out of range (0-63)\n"},
        {8, 63, {0xF, 3, 0, 8}, ""},
        {8, 64, {}, "isa_tav_map_page(8, 64): page (64) is out of range (0-63)\n"},
        {2, 0, {}, ""},
        {-1, 0, {}, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE("space " + std::to_string(row.space) + " page " + std::to_string(row.page));
        FakeBus bus;
        testing::internal::CaptureStdout();
        int result = 0;
        EXPECT_EQ(captured_err([&] { result = isa_tav_map_page(row.space, row.page); }), "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.out);
        EXPECT_EQ(result, row.registers.empty() ? 0 : 1);
        std::vector<FakeAccess> expected;
        for (uint32_t r = 0; r < row.registers.size(); r++) expected.push_back({REG, r, row.registers[r]});
        EXPECT_EQ(bus.log, expected);
    }
}

// ---- flash_set_mode

TEST_F(StatusTest, SetModeSelectsThePageAgainAndWritesOneCommandPerDevice) {
    const std::string bad_width = "flash_set_mode(): bad device width (3)\n";
    const struct {
        uint32_t interleave, width, offset;
        int mode;
        std::vector<FakeAccess> writes;
        std::string err;
    } rows[] = {
        {1, 1, 0x5003, 0x1234, {{W8, 0x1003, 0x34}}, ""},
        {2, 1, 0x5003, 0x98, {{W8, 0x1002, 0x98}, {W8, 0x1003, 0x98}}, ""},
        {2, 2, 0x5003, 0x1234, {{W16, 0x1002, 0x1234}, {W16, 0x1004, 0x1234}}, ""},
        {4, 2, 0x5007, 0xFF, {{W16, 0x1004, 0xFF}, {W16, 0x1006, 0xFF}, {W16, 0x1008, 0xFF}, {W16, 0x100A, 0xFF}}, ""},
        {2, 3, 0x5003, 0x70, {}, bad_width + bad_width},
        {2, 1, 0x100001, 0x70, {}, "flash_set_mode(): offset (0x100000) out of range (0 - 0x100000)\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE("interleave " + std::to_string(row.interleave) + " width " + std::to_string(row.width));
        FakeBus bus;
        FSI fsi = fake_fsi(0x100000, row.interleave, row.width, 0x20000);
        EXPECT_EQ(captured_err([&] { flash_set_mode(&fsi, row.offset, row.mode); }), row.err);
        EXPECT_EQ(bus.writes(), row.writes);
        // Page 1 is selected exactly when the offset is in range.
        std::vector<FakeAccess> page1 = {{REG, 0, 1}, {REG, 1, 0}, {REG, 2, 0}, {REG, 3, 0}};
        if (row.offset > 0x100000) page1.clear();
        EXPECT_EQ(std::vector<FakeAccess>(bus.log.begin(), bus.log.begin() + std::min<size_t>(4, bus.log.size())), page1);
    }
}

// Every access selects its page again, even an unchanged one.
TEST_F(StatusTest, EveryCommandSelectsItsPageAgain) {
    FakeBus bus;
    FSI fsi = fake_fsi(0x400000, 1, 1, 0x20000);
    for (int pass = 0; pass < 2; pass++) flash_set_mode(&fsi, 0x123456, 0xFF);
    std::vector<FakeAccess> one = {{REG, 0, 8}, {REG, 1, 4}, {REG, 2, 0}, {REG, 3, 0}, {W8, 0x3456, 0xFF}};
    std::vector<FakeAccess> expected = one;
    expected.insert(expected.end(), one.begin(), one.end());
    EXPECT_EQ(bus.log, expected);
}

// ---- flash_wait

const std::string kLocked = "flash_wait(): device is block locked\n";
const std::string kSuspended = "flash_wait(): device is write suspended\n";
const std::string kProtected = "flash_wait(): device is write protected\n";
const std::string kWriteError = "flash_wait(): write/set block lock error\n";
const std::string kEraseError = "flash_wait(): erase/clear block lock error\n";
const std::string kAllBits = kLocked + kSuspended + kProtected + kWriteError + kEraseError;

// The devices present the statuses in order (the last one repeats); one tick per read.
TEST_F(StatusTest, WaitJudgesTheStatusReadAfterPolling) {
    const struct {
        const char *name;
        std::vector<uint8_t> statuses;
        int result;
        size_t reads;
        std::string err;
    } rows[] = {
        {"clean at once", {0x80}, 1, 2, ""},
        {"ready after four busy reads", {0x00, 0x00, 0x00, 0x00, 0x80}, 1, 6, ""},
        {"all five error bits in bit order", {0xBE}, -1, 2, kAllBits + kTimeout0 + "(0xbe)\n"},
        {"bit 6 alone", {0xC0}, -1, 2, kTimeout0 + "(0xc0)\n"},
        {"bit 0 alone", {0x81}, -1, 2, kTimeout0 + "(0x81)\n"},
        // Polling stops at the first poll after more than 10 ticks: 11 polls.
        {"never ready", {0x00}, -1, 12, kTimeout0 + "(0x00)\n"},
        {"ready just at the limit", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, 1, 12, ""},
        {"busy with error bits", {0x3E}, -1, 12, kAllBits + kTimeout0 + "(0x3e)\n"},
        {"ready at the poll, error at the judged read", {0x80, 0x90}, -1, 2, kWriteError + kTimeout0 + "(0x90)\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        FakeBus bus;
        const std::vector<uint8_t> &statuses = row.statuses;
        size_t reads = 0;
        bus.on_read = [&](uint32_t) -> uint8_t {
            tick_clock_advance(1);
            return statuses[std::min(reads++, statuses.size() - 1)];
        };
        FSI fsi = fake_fsi(0x400000, 1, 1, 0x20000);
        int result = 0;
        EXPECT_EQ(captured_err([&] { result = flash_wait(&fsi, 0x12345, 10); }), row.err);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(reads, row.reads);
        // No command is written; every status read is at the offset inside page 4.
        EXPECT_TRUE(bus.writes().empty());
        EXPECT_EQ(bus.offsets(FakeAccess::read), std::vector<uint32_t>(reads, 0x2345));
    }
}

// With two devices on the bus each presents its own status; the first bad one is named.
TEST_F(StatusTest, WaitExaminesEachDeviceOfTheBusWord) {
    const struct {
        uint32_t width;
        uint8_t status0, status1;
        std::vector<uint32_t> reads;
        std::string err;
    } rows[] = {
        {1, 0x80, 0x90, {0x1000, 0x1000, 0x1001, 0x1001}, kWriteError + "flash_wait(): device 1 WSM ready timeout (0x90)\n"},
        {1, 0xA0, 0x80, {0x1000, 0x1000}, kEraseError + kTimeout0 + "(0xa0)\n"},
        {2, 0x80, 0x88, {0x1000, 0x1000, 0x1002, 0x1002}, kProtected + "flash_wait(): device 1 WSM ready timeout (0x88)\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.err);
        FakeBus bus;
        bus.on_read = [&](uint32_t offset) -> uint8_t { return offset == 0x1000 ? row.status0 : row.status1; };
        FSI fsi = fake_fsi(0x400000, 2, row.width, 0x20000);
        int result = 0;
        // An odd offset is aligned down to the bus word.
        EXPECT_EQ(captured_err([&] { result = flash_wait(&fsi, 0x1001, 10); }), row.err);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(bus.offsets(FakeAccess::read), row.reads);
    }
}

// ---- flash_check_status

TEST_F(StatusTest, CheckStatusReadsStatusThenReturnsToReadArray) {
    for (uint8_t status : {0x80, 0x00}) {
        SCOPED_TRACE(status);
        FakeBus bus;
        bus.on_read = [&](uint32_t) -> uint8_t {
            tick_clock_advance(1);
            return status;
        };
        FSI fsi = fake_fsi(0x400000, 1, 1, 0x20000);
        int result = 0;
        EXPECT_EQ(captured_err([&] { result = flash_check_status(&fsi, 0x4010); }),
                  status == 0x80 ? "" : kTimeout0 + "(0x00)\n");
        EXPECT_EQ(result, status == 0x80 ? 1 : -1);
        std::vector<FakeAccess> expected = {{W8, 0x10, 0x70}, {W8, 0x10, 0xFF}};
        EXPECT_EQ(bus.writes(), expected);
        EXPECT_EQ(bus.log.back(), expected.back());   // read array after the last status read
    }
}

// ---- argument checks: the message, the result, and no bus access before them

TEST_F(StatusTest, ArgumentChecksOfEveryRoutine) {
    FakeBus bus;
    FSI fsi = fake_fsi(0x400000, 4, 1, 0x20000);
    FSI pair = fake_fsi(0x100000, 2, 1, 0x20000);
    // Erase units that would leave offsets without a table entry: not dividing the space,
    // larger than it, of 0 bytes, and one whose size needs more than 32 bits.
    FSI odd = fake_fsi(0x400000, 1, 1, 0x30000), large = fake_fsi(0x100000, 1, 1, 0x200000);
    FSI none = fake_fsi(0x100000, 1, 1, 0), wide = fake_fsi(0x100000, 2, 1, 0x80000000);
    uint8_t byte = 0, table[128] = {9};
    auto ok = [](const void *p) { return p != nullptr ? 1 : -1; };
    const struct {
        std::function<int()> call;
        int result;
        std::string err;
    } rows[] = {
        {[&] { return flash_wait(&pair, 0x100001, 10); }, -1, "flash_wait(): offset (0x100000) out of range (0 - 0x100000)\n"},
        {[&] { return flash_check_status(nullptr, 0); }, -1, "flash_check_status(): NULL FSI pointer\n"},
        {[&] { return flash_check_status(&fsi, 0x400003); }, -1,
         "flash_check_status(): offset (0x400000) out of range (0 - 0x400000)\n"},
        {[&] { return flash_query(2, &fsi); }, -1, "flash_query(): invalid memory space 0x2\n"},
        {[&] { return flash_query(-1, &fsi); }, -1, "flash_query(): invalid memory space 0xffffffff\n"},
        {[&] { return flash_query(0, nullptr); }, -1, "flash_query(): NULL FSI pointer\n"},
        {[&] { return flash_erase(nullptr, 0); }, -1, "flash_erase(): NULL FSI pointer\n"},
        {[&] { return flash_erase(&fsi, 0x400000); }, -1, "flash_erase(): offset (0x400000) out of range (0 - 0x400000)\n"},
        {[&] { return flash_get_write_buffer(nullptr, 0); }, -1, "flash_get_write_buffer(): NULL FSI pointer\n"},
        {[&] { return flash_get_write_buffer(&fsi, 0x400000); }, -1,
         "flash_get_write_buffer(): offset (0x400000) out of range (0 - 0x400000)\n"},
        {[&] { return flash_check_write_buffer(&fsi, 0x400000); }, -1,
         "flash_check_write_buffer(): offset (0x400000) out of range (0 - 0x400000)\n"},
        // The erase table needs one entry for every offset: a unit that does not divide the space is refused.
        {[&] { return flash_write(&odd, 0, &byte, 1, table); }, -1,
         "flash_write(): erase unit (0x30000) does not divide size (0x400000)\n"},
        {[&] { return ok(flash_alloc_erase_table(nullptr)); }, -1, "flash_alloc_erase_table(): NULL FSI pointer\n"},
        {[&] { return ok(flash_alloc_erase_table(&odd)); }, -1,
         "flash_alloc_erase_table(): erase unit (0x30000) does not divide size (0x400000)\n"},
        {[&] { return ok(flash_alloc_erase_table(&large)); }, -1,
         "flash_alloc_erase_table(): erase unit (0x200000) does not divide size (0x100000)\n"},
        {[&] { return ok(flash_alloc_erase_table(&none)); }, -1,
         "flash_alloc_erase_table(): erase unit (0x0) does not divide size (0x100000)\n"},
        {[&] { return ok(flash_alloc_erase_table(&wide)); }, -1,
         "flash_alloc_erase_table(): erase unit (0x100000000) does not divide size (0x100000)\n"},
        {[&] { return flash_init_erase_table(&odd, table); }, -1,
         "flash_init_erase_table(): erase unit (0x30000) does not divide size (0x400000)\n"},
        {[&] { return flash_init_erase_table(&wide, table); }, -1,
         "flash_init_erase_table(): erase unit (0x100000000) does not divide size (0x100000)\n"},
        {[&] { return flash_init_erase_table(nullptr, table); }, -1, "flash_init_erase_table(): NULL FSI pointer\n"},
        {[&] { return flash_init_erase_table(&fsi, nullptr); }, -1, "flash_init_erase_table(): NULL erase table pointer\n"},
        {[&] { return flash_free_erase_table(&fsi, nullptr); }, 1, ""},
        // A null record keeps the table: the caller still owns it (a second free shows under the sanitizers).
        {[&] {
             uint8_t *owned = static_cast<uint8_t *>(malloc(4));
             int result = flash_free_erase_table(nullptr, owned);
             free(owned);
             return result;
         },
         -1, "flash_free_erase_table(): NULL FSI pointer\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.err);
        int result = 0;
        EXPECT_EQ(captured_err([&] { result = row.call(); }), row.err);
        EXPECT_EQ(result, row.result);
        EXPECT_TRUE(bus.log.empty());
        EXPECT_EQ(table[0], 9);   // a refused table is left as it was
    }
}

}  // namespace
