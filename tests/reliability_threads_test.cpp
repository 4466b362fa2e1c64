// A whole load with the real tick thread beside the main thread (the clock is not held
// here, so this is a program of its own; it runs under ThreadSanitizer too: the tick count
// is the one thing the two threads share).
#include "flash/ticks.h"
#include "loader_jobs_support.h"

namespace jobs_test {
namespace {

class RealClockLoadTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        board_ = tavboard::Board::create(dir_.board(), tavboard::Fit{}, true, &error);
        ASSERT_NE(board_, nullptr) << error;
        tavboard::attach(*board_);
        set_.im_flsh0_bytes = 20000, set_.game_bytes = 150000, set_.symbols_bytes = 12000, set_.tavboot_bytes = 20000;
        ASSERT_TRUE(tavtools::write_update_set(dir_.file("set"), set_, &error)) << error;
    }
    void TearDown() override {
        if (board_ != nullptr) tavboard::detach(*board_);
    }

    RunResult run(const std::vector<std::string> &words) { return run_loader(board_->window_address(), words); }

    tavtest::TempDir dir_;
    std::unique_ptr<tavboard::Board> board_;
    UpdateSetOptions set_;
};

TEST_F(RealClockLoadTest, FullLoadAndStatusWithTheTickThreadRunning) {
    RunResult load = run({"-p" + dir_.file("set"), "40215"});
    EXPECT_EQ(load.code, 0) << load.err;
    EXPECT_TRUE(tick_thread_started());
    expect_loaded(*board_, set_, LoadShape{});
    RunResult status = run({"-status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(status.out.find(kLoaded), std::string::npos) << status.out;
}

// The record's program never finishes: its wait can only end because the tick thread
// counts the time limit down.
TEST_F(RealClockLoadTest, AHungProgramEndsByTheThreadsTicks) {
    tavboard::Fault hung;
    hung.kind = tavboard::FaultKind::never_ready;
    hung.offset = (4u << 20) - (128u << 10);
    bool armed = false;
    tavboard::Board *board = board_.get();
    board_->set_status_read_hook([board, &armed, hung] {
        // Armed once everything but the record is programmed.
        if (armed || board->counters().programmed_bytes < 1048576 + 20000 + 150000 + 12000 + 32768 + 32768) return;
        armed = true;
        std::string error;
        board->add_fault(hung, &error);
    });
    RunResult load = run({"-p" + dir_.file("set"), "40215"});
    board_->set_status_read_hook(nullptr);
    EXPECT_TRUE(armed);
    EXPECT_EQ(load.code, 33);
    EXPECT_EQ(load.err, "flash_wait(): device 0 WSM ready timeout (0x00)\ntavload: unable to write FLASH from TAVInfo\n");
}

}  // namespace
}  // namespace jobs_test
