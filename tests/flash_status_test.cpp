// Commands and status: flash_set_mode on every bus shape, flash_wait's judgement of the
// status register with its messages and time limit, flash_check_status around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash.h"
#include "flash/ticks.h"
#include "tests/flash_fake_bus.h"

namespace {

using StatusTest = FakeBusTest;

std::string captured_err(const std::function<void()> &body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

// ---- flash_set_mode

struct ModeRow {
    uint32_t interleave, width;
    uint32_t offset;
    int mode;
    std::vector<FakeAccess> writes;
    std::string err;
};

const std::string kBadWidth3 = "flash_set_mode(): bad device width (3)\n";

const ModeRow kModeRows[] = {
    {1, 1, 0x5003, 0x70, {{FakeAccess::write8, 0x1003, 0x70}}, ""},
    {1, 1, 0x5003, 0x1234, {{FakeAccess::write8, 0x1003, 0x34}}, ""},
    {2, 1, 0x5003, 0x98, {{FakeAccess::write8, 0x1002, 0x98}, {FakeAccess::write8, 0x1003, 0x98}}, ""},
    {2, 2, 0x5003, 0x1234, {{FakeAccess::write16, 0x1002, 0x1234}, {FakeAccess::write16, 0x1004, 0x1234}}, ""},
    {4, 2, 0x5007, 0xFF,
     {{FakeAccess::write16, 0x1004, 0xFF}, {FakeAccess::write16, 0x1006, 0xFF}, {FakeAccess::write16, 0x1008, 0xFF},
      {FakeAccess::write16, 0x100A, 0xFF}},
     ""},
    {2, 3, 0x5003, 0x70, {}, kBadWidth3 + kBadWidth3},
    {1, 1, 0x100000, 0x70, {}, "flash_set_mode(): offset (0x100000) out of range (0 - 0x100000)\n"},
    {2, 1, 0x100001, 0x70, {}, "flash_set_mode(): offset (0x100000) out of range (0 - 0x100000)\n"},
};

TEST_F(StatusTest, SetModeWritesOneCommandPerDevice) {
    for (const ModeRow &row : kModeRows) {
        SCOPED_TRACE("interleave " + std::to_string(row.interleave) + " width " + std::to_string(row.width) +
                     " offset " + std::to_string(row.offset));
        FakeBus bus;
        board_window = bus.window();
        FSI fsi = fake_fsi(bus.window(), 0x100000, row.interleave, row.width, 0x20000);
        std::string err = captured_err([&] { flash_set_mode(&fsi, row.offset, row.mode); });
        EXPECT_EQ(err, row.err);
        EXPECT_EQ(bus.writes(), row.writes);
        // Page 1 selected exactly when a command was written in range.
        if (row.err.find("out of range") == std::string::npos) {
            ASSERT_GE(bus.log.size(), 4u);
            EXPECT_EQ(bus.log[0], (FakeAccess{FakeAccess::reg_write, 0, 1}));
        } else {
            EXPECT_TRUE(bus.log.empty());
        }
    }
}

// ---- flash_wait

// The status the fake devices present, read by read; the clock moves one tick per read.
struct WaitRow {
    const char *name;
    std::vector<uint8_t> statuses;   // answers in order; the last one repeats
    uint32_t limit;
    int result;
    size_t reads;
    std::string err;
};

const std::string kTimeout = "flash_wait(): device 0 WSM ready timeout ";
const std::string kLocked = "flash_wait(): device is block locked\n";
const std::string kSuspended = "flash_wait(): device is write suspended\n";
const std::string kProtected = "flash_wait(): device is write protected\n";
const std::string kWriteError = "flash_wait(): write/set block lock error\n";
const std::string kEraseError = "flash_wait(): erase/clear block lock error\n";

const WaitRow kWaitRows[] = {
    {"clean at once", {0x80}, 10, 1, 2, ""},
    {"ready after four busy reads", {0x00, 0x00, 0x00, 0x00, 0x80}, 10, 1, 6, ""},
    {"write protected", {0x88}, 10, -1, 2, kProtected + kTimeout + "(0x88)\n"},
    {"block locked and erase error in bit order", {0xA2}, 10, -1, 2, kLocked + kEraseError + kTimeout + "(0xa2)\n"},
    {"all five error bits", {0xBE}, 10, -1, 2,
     kLocked + kSuspended + kProtected + kWriteError + kEraseError + kTimeout + "(0xbe)\n"},
    {"program error", {0x90}, 10, -1, 2, kWriteError + kTimeout + "(0x90)\n"},
    {"bit 6 alone", {0xC0}, 10, -1, 2, kTimeout + "(0xc0)\n"},
    {"bit 0 alone", {0x81}, 10, -1, 2, kTimeout + "(0x81)\n"},
    // Polling stops at the first poll after more than `limit` ticks: 11 polls for 10.
    {"never ready, limit 10", {0x00}, 10, -1, 12, kTimeout + "(0x00)\n"},
    {"never ready, limit 0", {0x00}, 0, -1, 2, kTimeout + "(0x00)\n"},
    {"never ready, erase limit", {0x00}, 20000, -1, 20002, kTimeout + "(0x00)\n"},
    {"busy with error bits", {0x3E}, 10, -1, 12,
     kLocked + kSuspended + kProtected + kWriteError + kEraseError + kTimeout + "(0x3e)\n"},
    // The status read after polling is the one judged.
    {"ready at the poll, error at the judged read", {0x80, 0x90}, 10, -1, 2, kWriteError + kTimeout + "(0x90)\n"},
    {"ready just at the limit", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}, 10, 1, 12, ""},
};

TEST_F(StatusTest, WaitJudgesTheStatusReadAfterPolling) {
    for (const WaitRow &row : kWaitRows) {
        SCOPED_TRACE(row.name);
        FakeBus bus;
        board_window = bus.window();
        size_t reads = 0;
        bus.on_read = [&](uint32_t) -> uint8_t {
            uint8_t value = row.statuses[reads < row.statuses.size() ? reads : row.statuses.size() - 1];
            reads++;
            tick_clock_advance(1);
            return value;
        };
        FSI fsi = fake_fsi(bus.window(), 0x400000, 1, 1, 0x20000);
        int result = 0;
        std::string err = captured_err([&] { result = flash_wait(&fsi, 0x12345, row.limit); });
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(reads, row.reads);
        EXPECT_EQ(err, row.err);
        // No command is written; the status is read at the offset inside page 4.
        EXPECT_TRUE(bus.writes().empty());
        for (const FakeAccess &a : bus.log) {
            if (a.kind == FakeAccess::read) {
                EXPECT_EQ(a.offset, 0x2345u);
            }
        }
    }
}

// With two devices on the bus, each presents its own status; the first bad one is named.
struct DeviceRow {
    uint32_t width;
    uint8_t status0, status1;
    int result;
    std::vector<uint32_t> read_offsets;
    std::string err;
};

TEST_F(StatusTest, WaitExaminesEachDeviceOfTheBusWord) {
    const DeviceRow rows[] = {
        {1, 0x80, 0x80, 1, {0x1000, 0x1000, 0x1001, 0x1001}, ""},
        {1, 0x80, 0x90, -1, {0x1000, 0x1000, 0x1001, 0x1001},
         kWriteError + "flash_wait(): device 1 WSM ready timeout (0x90)\n"},
        {1, 0xA0, 0x80, -1, {0x1000, 0x1000}, kEraseError + "flash_wait(): device 0 WSM ready timeout (0xa0)\n"},
        {2, 0x80, 0x88, -1, {0x1000, 0x1000, 0x1002, 0x1002},
         kProtected + "flash_wait(): device 1 WSM ready timeout (0x88)\n"},
    };
    for (const DeviceRow &row : rows) {
        SCOPED_TRACE(std::to_string(row.width) + " " + std::to_string(row.status1));
        FakeBus bus;
        board_window = bus.window();
        bus.on_read = [&](uint32_t offset) -> uint8_t { return offset == 0x1000 ? row.status0 : row.status1; };
        FSI fsi = fake_fsi(bus.window(), 0x400000, 2, row.width, 0x20000);
        int result = 0;
        // An odd offset is aligned down to the bus word.
        std::string err = captured_err([&] { result = flash_wait(&fsi, 0x1001, 10); });
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(err, row.err);
        std::vector<uint32_t> read_offsets;
        for (const FakeAccess &a : bus.log)
            if (a.kind == FakeAccess::read) read_offsets.push_back(a.offset);
        EXPECT_EQ(read_offsets, row.read_offsets);
    }
}

TEST_F(StatusTest, WaitRefusesAnOffsetBeyondTheSpace) {
    FakeBus bus;
    board_window = bus.window();
    FSI fsi = fake_fsi(bus.window(), 0x100000, 2, 1, 0x20000);
    int result = 0;
    std::string err = captured_err([&] { result = flash_wait(&fsi, 0x100001, 10); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_wait(): offset (0x100000) out of range (0 - 0x100000)\n");
    EXPECT_TRUE(bus.log.empty());
}

// ---- flash_check_status

struct CheckRow {
    uint8_t status;
    int result;
    std::string err;
};

TEST_F(StatusTest, CheckStatusReadsStatusThenReturnsToReadArray) {
    const CheckRow rows[] = {
        {0x80, 1, ""},
        {0x90, -1, kWriteError + kTimeout + "(0x90)\n"},
        {0x00, -1, kTimeout + "(0x00)\n"},
    };
    for (const CheckRow &row : rows) {
        SCOPED_TRACE(row.status);
        FakeBus bus;
        board_window = bus.window();
        bus.on_read = [&](uint32_t) -> uint8_t {
            tick_clock_advance(1);
            return row.status;
        };
        FSI fsi = fake_fsi(bus.window(), 0x400000, 1, 1, 0x20000);
        int result = 0;
        std::string err = captured_err([&] { result = flash_check_status(&fsi, 0x4010); });
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(err, row.err);
        std::vector<FakeAccess> expected = {{FakeAccess::write8, 0x10, 0x70}, {FakeAccess::write8, 0x10, 0xFF}};
        EXPECT_EQ(bus.writes(), expected);
        // The read array command comes after the last status read.
        EXPECT_EQ(bus.log.back(), expected.back());
    }
}

TEST_F(StatusTest, CheckStatusArgumentMessages) {
    FakeBus bus;
    board_window = bus.window();
    FSI fsi = fake_fsi(bus.window(), 0x400000, 4, 1, 0x20000);
    int result = 0;
    std::string err = captured_err([&] { result = flash_check_status(nullptr, 0); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_check_status(): NULL FSI pointer\n");
    err = captured_err([&] { result = flash_check_status(&fsi, 0x400003); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "flash_check_status(): offset (0x400000) out of range (0 - 0x400000)\n");
    EXPECT_TRUE(bus.log.empty());
}

// ---- lowest_bit_index

TEST(LowestBitIndex, OneBasedIndexOfTheLowestSetBit) {
    const struct {
        uint32_t value;
        int index;
    } rows[] = {{0, 0}, {1, 1}, {6, 2}, {0x20000, 18}, {0x30000, 17}, {0x80000000u, 32}, {0xFFFFFFFFu, 1}};
    for (const auto &row : rows) EXPECT_EQ(lowest_bit_index(row.value), row.index) << row.value;
}

}  // namespace
