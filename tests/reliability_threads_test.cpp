// A whole load with the real tick thread beside the main thread (the clock is not held
// here, so this is a program of its own). Built and run under ThreadSanitizer too: the tick
// count is the one thing the two threads share.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "flash/ticks.h"
#include "loader_jobs_support.h"

namespace {

using namespace jobs_test;

class RealClockLoadTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "tavthreadsXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        std::string error;
        board_ = tavboard::Board::create(dir_ + "/board.img", tavboard::Fit{}, true, &error);
        ASSERT_NE(board_, nullptr) << error;
        tavboard::attach(*board_);
        options_.im_flsh0_bytes = 20000;
        options_.game_bytes = 150000;
        options_.symbols_bytes = 12000;
        options_.tavboot_bytes = 20000;
        ASSERT_TRUE(tavtools::write_update_set(dir_ + "/set", options_, &error)) << error;
    }
    void TearDown() override {
        if (board_ != nullptr) tavboard::detach(*board_);
        board_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    RunResult run(const std::vector<std::string> &words) { return run_loader(board_->window_address(), words); }

    std::string dir_;
    std::unique_ptr<tavboard::Board> board_;
    UpdateSetOptions options_;
};

TEST_F(RealClockLoadTest, FullLoadAndStatusWithTheTickThreadRunning) {
    RunResult load = run({"-p" + dir_ + "/set", "40215"});
    EXPECT_EQ(load.code, 0) << load.err;
    EXPECT_TRUE(tick_thread_started());
    expect_board_loaded(*board_, options_, LoadShape{});
    RunResult status = run({"-status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_TRUE(ends_with(status.out, " with GameID 40215 Game & Sound updates.\n")) << status.out;
}

TEST_F(RealClockLoadTest, AHungProgramEndsByTheThreadsTicks) {
    // The record's program never finishes: the 10-tick limit of its wait can only pass
    // because the tick thread counts, about one second of real time.
    tavboard::Fault hung;
    hung.kind = tavboard::FaultKind::never_ready;
    hung.offset = (4u << 20) - (128u << 10);
    bool armed = false;
    tavboard::Board *board = board_.get();
    const uint64_t before_record = 1048576 + 20000 + 150000 + 12000 + 32768 + 32768;
    board_->set_status_read_hook([board, &armed, hung, before_record] {
        if (armed || board->counters().programmed_bytes < before_record) return;
        armed = true;
        std::string error;
        board->add_fault(hung, &error);
    });
    auto start = std::chrono::steady_clock::now();
    RunResult load = run({"-p" + dir_ + "/set", "40215"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    board_->set_status_read_hook(nullptr);
    EXPECT_TRUE(armed);
    EXPECT_EQ(load.code, 33);
    EXPECT_EQ(load.err, "flash_wait(): device 0 WSM ready timeout (0x00)\ntavload: unable to write FLASH from TAVInfo\n");
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 30.0);
}

}  // namespace
