// Identification: flash_query on every fit of the model board, on an absent board and
// device, with a dirty status, and the geometry message of an inconsistent query answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash.h"
#include "tests/flash_fake_bus.h"
#include "tests/model_fixture.h"

namespace {

using QueryTest = ModelBoardTest;

struct QueryResult {
    int result;
    std::string out, err;
};

QueryResult query(int32_t space, FSI *fsi) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = flash_query(space, fsi);
    std::string out = testing::internal::GetCapturedStdout();
    return {result, out, testing::internal::GetCapturedStderr()};
}

// The record a successful query must leave, field by field.
struct Expected {
    uint32_t size;
    uint32_t block_size;
    int32_t block_shift;
    uint32_t device_size;
    int32_t boot_block;
    int32_t space;
    uint32_t page_count;
};

void expect_record(const FSI &f, const Expected &e) {
    EXPECT_EQ(f.base, board_window);
    EXPECT_EQ(f.size, e.size);
    EXPECT_EQ(f.interleave, 1u);
    EXPECT_EQ(f.width, 1u);
    EXPECT_EQ(f.block_size, e.block_size);
    EXPECT_EQ(f.block_shift, e.block_shift);
    EXPECT_EQ(f.device_size, e.device_size);
    EXPECT_EQ(f.boot_block, e.boot_block);
    EXPECT_EQ(f.space, e.space);
    EXPECT_EQ(f.page_size, 0x4000u);
    EXPECT_EQ(f.page_count, e.page_count);
}

struct FitRow {
    const char *name;
    tavboard::Fit fit;
    int32_t space;
    int result;
    Expected expected;   // read only when result is 1
};

tavboard::Fit fit_of(uint32_t game_size, uint32_t game_block, uint32_t sound_size) {
    tavboard::Fit f;
    f.game_size = game_size;
    f.game_block = game_block;
    f.sound_size = sound_size;
    return f;
}

const FitRow kFitRows[] = {
    {"default game flash", fit_of(4 << 20, 128 << 10, 1 << 20), 0, 1, {0x400000, 0x20000, 17, 0x400000, 0, 0, 256}},
    {"64 KB blocks", fit_of(4 << 20, 64 << 10, 1 << 20), 0, 1, {0x400000, 0x10000, 16, 0x400000, 0, 0, 256}},
    {"32 KB blocks", fit_of(4 << 20, 32 << 10, 1 << 20), 0, 1, {0x400000, 0x8000, 15, 0x400000, 0, 0, 256}},
    {"8 MB device through space 0", fit_of(8 << 20, 128 << 10, 1 << 20), 0, 1,
     {0x400000, 0x20000, 17, 0x800000, 0, 0, 256}},
    {"8 MB device through space 1", fit_of(8 << 20, 128 << 10, 1 << 20), 1, 1,
     {0x100000, 0x20000, 17, 0x800000, 0, 1, 64}},
    {"4 MB device refuses space 1", fit_of(4 << 20, 128 << 10, 1 << 20), 1, -1, {}},
    {"1 MB boot-block device (0x9D)", fit_of(4 << 20, 128 << 10, 1 << 20), 8, 1,
     {0x100000, 0x100000, 20, 0x100000, 1, 8, 64}},
    {"512 KB boot-block device (0x71)", fit_of(4 << 20, 128 << 10, 512 << 10), 8, 1,
     {0x100000, 0x80000, 19, 0x80000, 1, 8, 64}},
    {"256 KB boot-block device (0x75)", fit_of(4 << 20, 128 << 10, 256 << 10), 8, 1,
     {0x100000, 0x40000, 18, 0x40000, 1, 8, 64}},
    {"no sound device", fit_of(4 << 20, 128 << 10, 0), 8, -1, {}},
};

TEST_F(QueryTest, EachFitGivesItsRecord) {
    for (const FitRow &row : kFitRows) {
        SCOPED_TRACE(row.name);
        remake_board(row.fit);
        FSI fsi{};
        QueryResult r = query(row.space, &fsi);
        EXPECT_EQ(r.result, row.result);
        // Failing identification is silent: the loader reports the board as not responding.
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        if (row.result == 1) expect_record(fsi, row.expected);
    }
}

TEST_F(QueryTest, AbsentBoardAnswersNoSpace) {
    tavboard::Fit fit;
    fit.board_absent = true;
    remake_board(fit);
    for (int32_t space : {0, 1, 8}) {
        SCOPED_TRACE(space);
        FSI fsi{};
        QueryResult r = query(space, &fsi);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.out + r.err, "");
    }
}

TEST_F(QueryTest, AbsentGameDeviceFailsSpaceZeroOnly) {
    tavboard::Fault fault;
    fault.kind = tavboard::FaultKind::absent;
    fault.device = tavboard::Device::game;
    std::string error;
    ASSERT_TRUE(board->add_fault(fault, &error)) << error;
    FSI fsi{};
    EXPECT_EQ(query(0, &fsi).result, -1);
    EXPECT_EQ(query(8, &fsi).result, 1);
}

// The last command each query leaves with the devices, and where the status was read.
TEST_F(QueryTest, LeavesTheDevicesAsItsOutcomeRequires) {
    struct Row {
        const char *name;
        tavboard::Fit fit;
        int32_t space;
        std::vector<uint32_t> commands;   // command bytes written, in order
        int status_space;                 // space of the status reads, -1 for none
    };
    const Row rows[] = {
        {"space 0 clean", fit_of(4 << 20, 128 << 10, 1 << 20), 0, {0x98, 0x70, 0xFF}, 0},
        {"space 8 clean", fit_of(4 << 20, 128 << 10, 1 << 20), 8, {0x90, 0x70, 0xFF}, 8},
        {"space 1 on 8 MB, status through space 1", fit_of(8 << 20, 128 << 10, 1 << 20), 1, {0x98, 0x70, 0xFF}, 1},
        {"space 1 on 4 MB stays in query mode", fit_of(4 << 20, 128 << 10, 1 << 20), 1, {0x98}, -1},
        {"no sound device: read array after the codes", fit_of(4 << 20, 128 << 10, 0), 8, {0x90, 0xFF}, -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        remake_board(row.fit);
        start_log();
        FSI fsi{};
        query(row.space, &fsi);
        std::vector<uint32_t> commands;
        int status_space = -1;
        bool after_status_command = false;
        for (const SpaceAccess &a : space_log()) {
            if (a.kind == tavboard::Access::write8) {
                commands.push_back(a.value);
                EXPECT_EQ(a.offset, 0u);
                after_status_command = a.value == 0x70;
            }
            if (a.kind == tavboard::Access::read && after_status_command) status_space = a.space;
        }
        EXPECT_EQ(commands, row.commands);
        EXPECT_EQ(status_space, row.status_space);
    }
}

// The driver never clears the status register: error bits left by an earlier failed
// operation make the query's status check fail.
TEST_F(QueryTest, StickyErrorBitsFailTheQuery) {
    tavboard::Fault fault;
    fault.kind = tavboard::FaultKind::erase_fail;
    fault.device = tavboard::Device::game;
    std::string error;
    ASSERT_TRUE(board->add_fault(fault, &error)) << error;
    FSI fsi{};
    ASSERT_EQ(query(0, &fsi).result, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(flash_erase(&fsi, 0), -1);
    testing::internal::GetCapturedStderr();
    board->clear_faults();
    QueryResult r = query(0, &fsi);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, "flash_wait(): erase/clear block lock error\nflash_wait(): device 0 WSM ready timeout (0xa0)\n");
}

TEST_F(QueryTest, ArgumentMessages) {
    FSI fsi{};
    QueryResult r = query(2, &fsi);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, "flash_query(): invalid memory space 0x2\n");
    r = query(-1, &fsi);
    EXPECT_EQ(r.err, "flash_query(): invalid memory space 0xffffffff\n");
    r = query(0, nullptr);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, "flash_query(): NULL FSI pointer\n");
}

// ---- geometry from a scripted query answer

// A CFI device in 8-bit mode: after 0x98 each query byte c answers at bus offsets 2c and
// 2c + 1; after 0x70 the status is clean; otherwise erased flash.
void script_cfi_device(FakeBus &bus, const std::vector<std::pair<uint32_t, uint8_t>> &fields) {
    bus.on_read = [&bus, fields](uint32_t offset) -> uint8_t {
        uint32_t last = 0xFF;
        for (const FakeAccess &a : bus.log)
            if (a.kind == FakeAccess::write8) last = a.value;
        if (last == 0x70) return 0x80;
        if (last != 0x98) return 0xFF;
        for (const auto &[field, value] : fields)
            if (offset / 2 == field) return value;
        return 0x00;
    };
}

struct GeometryRow {
    const char *name;
    int32_t space;
    uint8_t exponent, blocks_lo, blocks_hi, size_lo, size_hi;
    uint32_t block_size, device_size;
    int32_t block_shift;
    std::string err;
};

const GeometryRow kGeometryRows[] = {
    {"32 blocks of 128 KB in 4 MB", 0, 22, 0x1F, 0x00, 0x00, 0x02, 0x20000, 0x400000, 17, ""},
    {"33 blocks of 128 KB in 4 MB", 0, 22, 0x20, 0x00, 0x00, 0x02, 0x20000, 0x400000, 17,
     "flash_query(0x0): device geometry error 33 * 131072 != 4194304\n"},
    {"256 blocks of 32 KB in 8 MB, high byte of the count", 1, 23, 0xFF, 0x00, 0x80, 0x00, 0x8000, 0x800000, 15,
     ""},
    {"257 blocks of 32 KB in 8 MB", 1, 23, 0x00, 0x01, 0x80, 0x00, 0x8000, 0x800000, 15,
     "flash_query(0x1): device geometry error 257 * 32768 != 8388608\n"},
    // The exponent is taken modulo 32: 2^(54 mod 32) = 4 MB.
    {"size exponent modulo 32", 0, 54, 0x1F, 0x00, 0x00, 0x02, 0x20000, 0x400000, 17, ""},
};

TEST_F(FakeBusTest, QueryGeometryAndItsMessage) {
    for (const GeometryRow &row : kGeometryRows) {
        SCOPED_TRACE(row.name);
        FakeBus bus;
        board_window = bus.window();
        script_cfi_device(bus, {{0x10, 'Q'},
                                {0x11, 'R'},
                                {0x12, 'Y'},
                                {0x27, row.exponent},
                                {0x2D, row.blocks_lo},
                                {0x2E, row.blocks_hi},
                                {0x2F, row.size_lo},
                                {0x30, row.size_hi}});
        FSI fsi{};
        QueryResult r = query(row.space, &fsi);
        EXPECT_EQ(r.result, 1);   // a geometry error is reported but not a failure
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(fsi.block_size, row.block_size);
        EXPECT_EQ(fsi.device_size, row.device_size);
        EXPECT_EQ(fsi.block_shift, row.block_shift);
    }
}

TEST_F(FakeBusTest, QueryLettersAreCheckedOneByOne) {
    const std::vector<std::pair<uint32_t, uint8_t>> wrong[] = {
        {{0x10, 'X'}, {0x11, 'R'}, {0x12, 'Y'}},
        {{0x10, 'Q'}, {0x11, 'X'}, {0x12, 'Y'}},
        {{0x10, 'Q'}, {0x11, 'R'}, {0x12, 'X'}},
    };
    for (const auto &fields : wrong) {
        FakeBus bus;
        board_window = bus.window();
        script_cfi_device(bus, fields);
        FSI fsi{};
        QueryResult r = query(0, &fsi);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.err, "");
        std::vector<FakeAccess> expected = {{FakeAccess::write8, 0, 0x98}, {FakeAccess::write8, 0, 0xFF}};
        EXPECT_EQ(bus.writes(), expected);
    }
}

}  // namespace
