// Page selection: the four page register values for each space, the page limits, and the
// translation of space offsets into page and window offset by the driver's accesses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash.h"
#include "tests/flash_fake_bus.h"

namespace {

struct MapRow {
    int32_t space;
    uint32_t page;
    int result;
    std::vector<uint8_t> registers;   // values written to registers 0..3, in order
    std::string out;                  // standard output
};

const MapRow kMapRows[] = {
    {0, 0, 1, {0, 0, 0, 0}, ""},
    {0, 0x5A, 1, {0xA, 0x5, 0, 0}, ""},
    {0, 255, 1, {0xF, 0xF, 0, 0}, ""},
    {0, 256, 0, {}, "isa_tav_map_page(0, 256): page (256) is out of range (0-255)\n"},
    {0, 0xFFFFFFFF, 0, {}, "isa_tav_map_page(0, -1): page (-1) is out of range (0-255)\n"},
    {1, 0, 1, {0, 0, 1, 1}, ""},
    {1, 63, 1, {0xF, 3, 1, 1}, ""},
    {1, 64, 0, {}, "isa_tav_map_page(1, 64): page (64) is out of range (0-63)\n"},
    {8, 0, 1, {0, 0, 0, 8}, ""},
    {8, 63, 1, {0xF, 3, 0, 8}, ""},
    {8, 64, 0, {}, "isa_tav_map_page(8, 64): page (64) is out of range (0-63)\n"},
    {2, 0, 0, {}, ""},
    {-1, 0, 0, {}, ""},
    {9, 0, 0, {}, ""},
};

TEST(IsaTavMapPage, WritesTheFourRegistersOrRefuses) {
    for (const MapRow &row : kMapRows) {
        SCOPED_TRACE("space " + std::to_string(row.space) + " page " + std::to_string(row.page));
        FakeBus bus;
        board_window = bus.window();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = isa_tav_map_page(row.space, row.page);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(out, row.out);
        EXPECT_EQ(err, "");
        std::vector<FakeAccess> expected;
        for (uint32_t r = 0; r < row.registers.size(); r++) expected.push_back({FakeAccess::reg_write, r, row.registers[r]});
        EXPECT_EQ(bus.log, expected);
    }
}

// Every access selects its page again, even when it has not changed, and then touches the
// window at the offset inside the page.
struct TranslateRow {
    uint32_t offset;
    uint32_t page;
    uint32_t window_offset;
};

TEST(OffsetTranslation, PageAndWindowOffsetOfEachAccess) {
    const TranslateRow rows[] = {
        {0x0, 0, 0x0}, {0x3FFF, 0, 0x3FFF}, {0x4000, 1, 0x0}, {0x3FFFFF, 255, 0x3FFF}, {0x123456, 0x48, 0x3456},
    };
    for (const TranslateRow &row : rows) {
        SCOPED_TRACE(row.offset);
        FakeBus bus;
        board_window = bus.window();
        FSI fsi = fake_fsi(bus.window(), 0x400000, 1, 1, 0x20000);
        for (int pass = 0; pass < 2; pass++) flash_set_mode(&fsi, row.offset, 0xFF);
        std::vector<FakeAccess> one = {
            {FakeAccess::reg_write, 0, row.page & 0xF}, {FakeAccess::reg_write, 1, (row.page >> 4) & 0xF},
            {FakeAccess::reg_write, 2, 0},              {FakeAccess::reg_write, 3, 0},
            {FakeAccess::write8, row.window_offset, 0xFF},
        };
        std::vector<FakeAccess> expected = one;
        expected.insert(expected.end(), one.begin(), one.end());
        EXPECT_EQ(bus.log, expected);
    }
}

}  // namespace
