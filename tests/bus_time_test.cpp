// The model board's bus timing: each byte cycle takes 720 ns (unless the board was made with
// another) on the board's clock; J3 block erase 1 s, 32-byte write buffer 218 us on that clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "board/board_file.h"
#include "tests/model_board.h"

namespace {

using tavboard::Timing;

constexpr uint64_t kCycleNs = 720;
constexpr uint64_t kSecondNs = 1000000000;

class BusTimeTest : public ModelBoardTest {
  protected:
    // Switches to `timing`; in bus timing the tick clock stands still. One tick per status read
    // would end the driver's wait for an erase long before its 1.4 million polls are done.
    void use_timing(Timing timing) {
        board->set_timing(timing, 2);
        if (timing == Timing::bus) board->set_status_read_hook(nullptr);
    }
    // Status reads at window offset `at` until the device is ready: the reads that found it busy.
    uint64_t busy_polls(uint32_t at) {
        uint64_t polls = 0;
        while ((board->read(at) & 0x80) == 0 && polls < 100000000) polls++;
        return polls;
    }
    void erase(uint32_t at) {
        board->write(at, 0x20);
        board->write(at, 0xD0);
    }
};

TEST_F(BusTimeTest, EraseIsBusyForOneSecondOfBoardTimeAndEachByteCycleTakesOneBusCycle) {
    use_timing(Timing::bus);
    for (uint32_t reg = 0; reg < 4; reg++) board->write(0x4000 + reg, 0);
    erase(0);
    const uint64_t started = board->clock_ns();
    const uint64_t polls = busy_polls(0);
    EXPECT_NEAR(double(polls), double(kSecondNs) / kCycleNs, 1.0);
    EXPECT_GE(board->clock_ns() - started, kSecondNs);
    board->write16(0, 0xFFFF);
    uint8_t copied[64];
    board->copy_out(0, copied, sizeof copied);
    const tavboard::Counters c = board->counters();
    // Page registers, erase and confirm, the polls and the ready read, a 16-bit write as two byte
    // cycles, and each byte copied; waiting is the polls that found the device busy.
    EXPECT_EQ(c.board_ns, (4 + 2 + polls + 1 + 2 + 64) * kCycleNs);
    EXPECT_EQ(c.wait_ns, polls * kCycleNs);
    EXPECT_EQ(copied[63], 0xFF);
}

TEST_F(BusTimeTest, WriteBufferIsChargedPerLineInBusTimingOnly) {
    const struct {
        const char *name;
        Timing timing;
        uint32_t at;
        uint32_t count;
        uint64_t charged_us;
    } rows[] = {
        {"aligned, bus", Timing::bus, 0x40, 32, 218},
        {"straddling two lines, bus", Timing::bus, 0x44, 32, 436},
        {"unaligned inside one line, bus", Timing::bus, 0x44, 8, 218},
        {"straddling two lines, instant", Timing::instant, 0x44, 32, 218},
        {"straddling two lines, datasheet", Timing::datasheet, 0x44, 32, 218},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        remake_board(tavboard::Fit{});
        use_timing(row.timing);
        board->write(row.at, 0xE8);
        board->write(row.at, uint8_t(row.count - 1));
        for (uint32_t i = 0; i < row.count; i++) board->write(row.at + i, 0x5A);
        board->write(row.at, 0xD0);
        busy_polls(row.at);
        const tavboard::Counters c = board->counters();
        EXPECT_EQ(c.busy_us, row.charged_us);
        if (row.timing != Timing::bus) {
            EXPECT_EQ(c.board_ns, 0u);  // no board time passes outside bus timing
            EXPECT_EQ(c.wait_ns, 0u);
            continue;
        }
        EXPECT_NEAR(double(c.wait_ns), double(row.charged_us * 1000), double(kCycleNs));
    }
}

TEST_F(BusTimeTest, DriverEraseWaitsForTheBoardClockNotForStatusReads) {
    use_timing(Timing::bus);
    FSI fsi{};
    ASSERT_EQ(flash_query(0, &fsi), 1);
    board->reset_counters();
    ASSERT_EQ(flash_erase_block(&fsi, 0), 1);
    EXPECT_GE(board->counters().board_ns, kSecondNs);
    EXPECT_GT(board->counters().wait_ns, kSecondNs - 100 * kCycleNs);
}

TEST_F(BusTimeTest, BusCycleIsKeptInTheBoardFileAndOlderFilesTakeTheDefault) {
    tavboard::Fit fit;
    fit.bus_cycle_ns = 1000;
    remake_board(fit);
    reopen_board();
    EXPECT_EQ(board->fit().bus_cycle_ns, 1000u);
    use_timing(Timing::bus);
    erase(0);
    EXPECT_NEAR(double(busy_polls(0)), double(kSecondNs) / 1000, 1.0);

    tavboard::BoardHeader header;  // a file from before the setting holds 0 there
    const int fd = open(board_path().c_str(), O_RDWR);
    ASSERT_EQ(pread(fd, &header, sizeof header, 0), ssize_t(sizeof header));
    header.bus_cycle_ns = 0;
    header.config_check = tavboard::board_config_check(header);
    ASSERT_EQ(pwrite(fd, &header, sizeof header, 0), ssize_t(sizeof header));
    close(fd);
    reopen_board();
    EXPECT_EQ(board->fit().bus_cycle_ns, kCycleNs);
}

}  // namespace
