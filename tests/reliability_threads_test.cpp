// A load with the real tick thread beside the main thread (the clock is not held here, so this is a
// program of its own; it runs under ThreadSanitizer too: the tick count is what the threads share).
// The oracle: the driver's time limit message and the loader's code for the record's write.
#include "model_fixture.h"

namespace jobs_test {
namespace {

// A load whose record program never finishes: that wait can only end because the tick thread counts
// its time limit down. (Whole loads and reports are the held-clock tables' of loader_test.)
TEST(RealClockLoadTest, AHungProgramEndsByTheThreadsTicks) {
    tavtest::TempDir dir;
    std::string error;
    std::unique_ptr<tavboard::Board> board = tavboard::Board::create(dir.board(), tavboard::Fit{}, true, &error);
    ASSERT_NE(board, nullptr) << error;
    tavboard::attach(*board);
    UpdateSetOptions set;
    set.im_flsh0_bytes = 20000;
    set.game_bytes = 150000;
    set.symbols_bytes = 12000;
    set.tavboot_bytes = 20000;
    ASSERT_TRUE(tavtools::write_update_set(dir.file("set"), set, &error)) << error;
    // The record is programmed after sf.rom, the images, BootData, and tavboot.rom with its zero fill.
    const uint64_t record_start = 1048576 + 20000 + 150000 + 12000 + 32768 + 32768;
    const tavboard::Fault hung = {tavboard::FaultKind::never_ready, tavboard::Device::game, -1, 0x3E0000};
    tavboard::Board *b = board.get();
    bool armed = false;
    board->set_status_read_hook([b, &armed, hung, record_start] {
        if (armed || b->counters().programmed_bytes < record_start) return;
        armed = true;
        std::string why;
        b->add_fault(hung, &why);
    });
    const RunResult r = run_loader(board->window_address(), {"-p" + dir.file("set"), "40215"});
    board->set_status_read_hook(nullptr);
    tavboard::detach(*board);
    EXPECT_TRUE(armed);
    EXPECT_TRUE(tick_thread_started());
    EXPECT_EQ(r.code, 33);
    EXPECT_EQ(r.err, "flash_wait(): device 0 WSM ready timeout (0x00)\ntavload: unable to write FLASH from TAVInfo\n");
}

}  // namespace
}  // namespace jobs_test
