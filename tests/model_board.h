// A fresh model board in a temporary folder, attached to the flash driver's window, with the
// tick clock held: the model advances it by one tick per status read, so the driver's time
// limits are reached in polls instead of seconds.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "board/model.h"
#include "flash/flash.h"
#include "flash/ticks.h"
#include "tests/support.h"

class ModelBoardTest : public testing::Test {
  protected:
    void SetUp() override {
        tick_clock_hold();
        remake_board(tavboard::Fit{});
    }
    void TearDown() override { drop_board(); }

    // Replaces the board by a fresh, erased one with `fit`.
    void remake_board(const tavboard::Fit &fit) {
        drop_board();
        std::string error;
        board = tavboard::Board::create(dir_.board(), fit, true, &error);
        ASSERT_NE(board, nullptr) << error;
        attach();
    }
    // The same board file opened again, as the next process after a power cycle sees it.
    void reopen_board() {
        detach();
        board.reset();
        std::string error;
        board = tavboard::Board::open(dir_.board(), &error);
        ASSERT_NE(board, nullptr) << error;
        attach();
    }

    std::string board_path() const { return dir_.board(); }

    std::unique_ptr<tavboard::Board> board;

  private:
    void attach() {
        tavboard::attach(*board);
        board_window = board->window_address();
        board->set_status_read_hook([] { tick_clock_advance(1); });
    }
    void detach() {
        board->set_status_read_hook(nullptr);
        tavboard::detach(*board);
    }
    void drop_board() {
        if (board == nullptr) return;
        detach();
        board.reset();
        board_window = nullptr;
        unlink(dir_.board().c_str());
    }
    tavtest::TempDir dir_;
};
