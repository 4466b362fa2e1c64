// Identification: flash_query on every fit of the model board and on an absent board, with
// a dirty status, and the geometry taken from (inconsistent) query answers on the scripted bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "tests/flash_fake_bus.h"
#include "tests/model_fixture.h"

namespace {

using QueryTest = ModelBoardTest;

// The commands of the recovery that comes first in every identification: 33 read-array
// writes that end any half-written sequence, read status, clear status, read array.
const std::vector<uint32_t> kRecovery = [] {
    std::vector<uint32_t> c(33, 0xFF);
    c.insert(c.end(), {0x70, 0x50, 0xFF});
    return c;
}();

struct QueryResult {
    int result;
    std::string out, err;
};

QueryResult query(int32_t space, FSI *fsi) {
    testing::internal::CaptureStdout();
    int result = 0;
    std::string err = captured_err([&] { result = flash_query(space, fsi); });
    return {result, testing::internal::GetCapturedStdout(), err};
}

// The record fields a query fills, in declaration order after base.
std::vector<int64_t> record_of(const FSI &f) {
    return {f.size, f.interleave, f.width, f.block_size, f.block_shift, f.device_size, f.boot_block, f.space, f.page_size, f.page_count};
}

// Each fit's record, or a silent failure (the loader reports the board as not responding);
// the commands the query leaves with the devices, all at offset 0, and where it read status.
TEST_F(QueryTest, EachFitGivesItsRecordOrFailsSilently) {
    const tavboard::Fit k4M = fit_of(4 << 20, 128 << 10, 1 << 20), k8M = fit_of(8 << 20, 128 << 10, 1 << 20);
    tavboard::Fit absent;
    absent.board_absent = true;
    const std::vector<uint32_t> cfi = {0x98, 0x70, 0xFF}, codes = {0x90, 0x70, 0xFF};
    const size_t recovery = kRecovery.size();
    const struct {
        const char *name;
        tavboard::Fit fit;
        int32_t space;
        std::vector<int64_t> record;      // empty: the query fails
        std::vector<uint32_t> commands;   // command bytes written, in order
        int status_space;                 // space of the status reads, -1 for none
    } rows[] = {
        {"default game flash", k4M, 0, {0x400000, 1, 1, 0x20000, 17, 0x400000, 0, 0, 0x4000, 256}, cfi, 0},
        {"32 KB blocks", fit_of(4 << 20, 32 << 10, 1 << 20), 0, {0x400000, 1, 1, 0x8000, 15, 0x400000, 0, 0, 0x4000, 256}, cfi, 0},
        {"8 MB device through space 0", k8M, 0, {0x400000, 1, 1, 0x20000, 17, 0x800000, 0, 0, 0x4000, 256}, cfi, 0},
        {"8 MB device through space 1", k8M, 1, {0x100000, 1, 1, 0x20000, 17, 0x800000, 0, 1, 0x4000, 64}, cfi, 1},
        {"4 MB device refuses space 1, left in query mode", k4M, 1, {}, {0x98}, -1},
        {"1 MB boot-block device", k4M, 8, {0x100000, 1, 1, 0x100000, 20, 0x100000, 1, 8, 0x4000, 64}, codes, 8},
        {"512 KB boot-block device", fit_of(4 << 20, 128 << 10, 512 << 10), 8, {0x100000, 1, 1, 0x80000, 19, 0x80000, 1, 8, 0x4000, 64}, codes, 8},
        {"256 KB boot-block device", fit_of(4 << 20, 128 << 10, 256 << 10), 8, {0x100000, 1, 1, 0x40000, 18, 0x40000, 1, 8, 0x4000, 64}, codes, 8},
        {"no sound device: read array after the codes", fit_of(4 << 20, 128 << 10, 0), 8, {}, {0x90, 0xFF}, -1},
        {"absent board, space 0", absent, 0, {}, {0x98, 0xFF}, -1},
        {"absent board, space 1", absent, 1, {}, {0x98, 0xFF}, -1},
        {"absent board, space 8", absent, 8, {}, {0x90, 0xFF}, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        remake_board(row.fit);
        start_log();
        FSI fsi{};
        QueryResult r = query(row.space, &fsi);
        EXPECT_EQ(r.result, row.record.empty() ? -1 : 1);
        EXPECT_EQ(r.out + r.err, "");
        if (!row.record.empty()) {
            EXPECT_EQ(fsi.base, board_window);
            EXPECT_EQ(record_of(fsi), row.record);
        }
        std::vector<uint32_t> commands;
        int status_space = -1;
        for (const SpaceAccess &a : space_log()) {
            if (a.kind == tavboard::Access::write8) {
                commands.push_back(a.value);
                EXPECT_EQ(a.offset, 0u);
            }
            if (a.kind == tavboard::Access::read && commands.size() > recovery && commands.back() == 0x70)
                status_space = a.space;
        }
        ASSERT_GE(commands.size(), recovery);
        EXPECT_EQ(std::vector<uint32_t>(commands.begin(), commands.begin() + recovery), kRecovery);
        EXPECT_EQ(std::vector<uint32_t>(commands.begin() + recovery, commands.end()), row.commands);
        EXPECT_EQ(status_space, row.status_space);
    }
}

// Whatever an earlier run left the device in - the sticky bits of a failed erase, a command
// sequence cut short at each place, an erase still busy, a read mode - identification
// starts from read array with a clean status and programs nothing.
TEST_F(QueryTest, LeftoverDeviceStatesAreRecoveredWithoutProgramming) {
    const struct {
        const char *what;
        std::vector<uint8_t> writes;   // at 0x100, 0x101, ... of page 0
    } rows[] = {
        {"failed erase", {}},  {"erase set-up", {0x20}},         {"program set-up", {0x40}},
        {"buffer request", {0xE8}}, {"buffer count", {0xE8, 31}}, {"buffer data", {0xE8, 31, 0x00, 0x00}},
        {"buffer confirm due", {0xE8, 0, 0x00}}, {"erase busy", {0x20, 0xD0}}, {"read query", {0x98}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        remake_board(fit_of(4 << 20, 128 << 10, 1 << 20));
        FSI fsi{};
        if (row.writes.empty()) {
            add_fault(*board, fault_of(tavboard::FaultKind::erase_fail, tavboard::Device::game));
            ASSERT_EQ(query(0, &fsi).result, 1);
            captured_err([&] { EXPECT_EQ(flash_erase(&fsi, 0), -1); });
            board->clear_faults();
        }
        isa_tav_map_page(0, 0);
        for (size_t i = 0; i < row.writes.size(); i++) board->write(uint32_t(0x100 + i), row.writes[i]);
        QueryResult r = query(0, &fsi);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.err, "");
        const uint8_t *game = board->data(tavboard::Device::game);
        EXPECT_EQ(std::count(game + 0x100, game + 0x120, 0xFF), 0x20) << "a cell was programmed";
    }
}

// ---- geometry from a scripted query answer

// A CFI device in 8-bit mode: after 0x98 each query byte c answers at bus offsets 2c and
// 2c + 1 (unlisted fields 0); after 0x70 the status is clean; otherwise erased flash.
void script_cfi_device(FakeBus &bus, const std::vector<std::pair<uint32_t, uint8_t>> &fields) {
    bus.on_read = [&bus, fields](uint32_t offset) -> uint8_t {
        uint32_t last = bus.last_written();
        if (last == 0x70) return 0x80;
        if (last != 0x98) return 0xFF;
        for (const auto &[field, value] : fields)
            if (offset / 2 == field) return value;
        return 0x00;
    };
}

TEST_F(FakeBusTest, QueryGeometryAndItsMessage) {
    const struct {
        int32_t space;
        uint8_t exponent, blocks_lo, blocks_hi, size_lo, size_hi;
        uint32_t block_size, device_size;
        std::string err;   // a geometry error is reported, but the query succeeds
    } rows[] = {
        {0, 22, 0x20, 0x00, 0x00, 0x02, 0x20000, 0x400000, "flash_query(0x0): device geometry error 33 * 131072 != 4194304\n"},
        {1, 23, 0xFF, 0x00, 0x80, 0x00, 0x8000, 0x800000, ""},   // the high byte of the count
        {1, 23, 0x00, 0x01, 0x80, 0x00, 0x8000, 0x800000, "flash_query(0x1): device geometry error 257 * 32768 != 8388608\n"},
        {0, 54, 0x1F, 0x00, 0x00, 0x02, 0x20000, 0x400000, ""},   // the size exponent is taken modulo 32
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.err);
        FakeBus bus;
        script_cfi_device(bus, {{0x10, 'Q'}, {0x11, 'R'}, {0x12, 'Y'}, {0x27, row.exponent}, {0x2D, row.blocks_lo},
                                {0x2E, row.blocks_hi}, {0x2F, row.size_lo}, {0x30, row.size_hi}});
        FSI fsi{};
        QueryResult r = query(row.space, &fsi);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(fsi.block_size, row.block_size);
        EXPECT_EQ(fsi.device_size, row.device_size);
    }
}

TEST_F(FakeBusTest, QueryLettersAreCheckedOneByOne) {
    for (int wrong = 0; wrong < 3; wrong++) {
        FakeBus bus;
        std::vector<std::pair<uint32_t, uint8_t>> fields = {{0x10, 'Q'}, {0x11, 'R'}, {0x12, 'Y'}};
        fields[wrong].second = 'X';
        script_cfi_device(bus, fields);
        FSI fsi{};
        QueryResult r = query(0, &fsi);
        EXPECT_EQ(r.result, -1) << wrong;
        EXPECT_EQ(r.err, "") << wrong;
        std::vector<FakeAccess> writes;
        for (uint32_t command : kRecovery) writes.push_back({FakeAccess::write8, 0, command});
        writes.push_back({FakeAccess::write8, 0, 0x98});
        writes.push_back({FakeAccess::write8, 0, 0xFF});
        EXPECT_EQ(bus.writes(), writes);
    }
}

}  // namespace
