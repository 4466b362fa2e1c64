// A load with the real tick thread beside the main thread (the clock is not held here, so this is a program of its
// own; it runs under ThreadSanitizer too: the tick count is what the threads share).
#include "model_fixture.h"

// The record's program never finishes: that wait can end only because the tick thread counts its time limit down.
TEST(RealClockLoadTest, AHungProgramEndsByTheThreadsTicks) {
    tavtest::TempDir dir;
    std::string error;
    std::unique_ptr<tavboard::Board> board = tavboard::Board::create(dir.board(), tavboard::Fit{}, true, &error);
    ASSERT_NE(board, nullptr) << error;
    tavboard::attach(*board);
    tavtools::UpdateSetOptions set;
    set.game_bytes = 20000;
    set.symbols_bytes = 20000;
    ASSERT_TRUE(tavtools::write_update_set(dir.file("set"), set, &error)) << error;
    bool armed = false;
    board->set_status_read_hook([&board, &armed] {
        // The record's erase block erased again for tavboot.rom: the record's program is the next to come there.
        if (armed || board->erase_count(tavboard::Device::game, 31) < 2) return;
        armed = true;
        std::string why;
        board->add_fault({tavboard::FaultKind::never_ready, tavboard::Device::game, -1, 0x3E0000}, &why);
    });
    const jobs_test::RunResult r = jobs_test::run_loader(board->window_address(), {"-p" + dir.file("set"), "40215"});
    board->set_status_read_hook(nullptr);
    tavboard::detach(*board);
    EXPECT_TRUE(tick_thread_started());
    EXPECT_EQ(r.code, 33);
    EXPECT_EQ(r.err, "flash_wait(): device 0 WSM ready timeout (0x00)\ntavload: unable to write FLASH from TAVInfo\n");
}
