// A gtest fixture with a fresh, erased model board (in its own temporary directory) behind
// the flash driver's window. The tick clock is held and the model advances it by one tick
// per status read, so the driver's time limits are reached in polls instead of seconds.
// Override board_fit() for another fit, or call remake_board(fit) inside a test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/flash.h"
#include "flash/ticks.h"
#include "support.h"

// One logged access with the page registers decoded: which space and which byte offset of
// it the data window showed. Register writes keep space -1 and their register's bus offset.
struct SpaceAccess {
    tavboard::Access::Kind kind;
    int space;           // 0, 1, 8; -1 for register writes and undecodable selections
    uint32_t offset;     // byte offset inside the space (bus offset for register writes)
    uint32_t value;      // value written or read; byte count for a copy
};

inline std::vector<SpaceAccess> decode_accesses(const std::vector<tavboard::Access> &log) {
    std::vector<SpaceAccess> out;
    uint32_t reg[4] = {0, 0, 0, 0};
    for (const tavboard::Access &a : log) {
        if (a.kind == tavboard::Access::reg_write) {
            reg[a.offset - 0x4000] = a.value & 0xF;
            out.push_back({a.kind, -1, a.offset, a.value});
            continue;
        }
        uint32_t page = reg[0] | reg[1] << 4 | reg[2] << 8;
        int space = -1;
        if (reg[3] == 0 && reg[2] == 0) space = 0;
        if (reg[3] == 1 && reg[2] == 1) space = 1, page -= 256;
        if (reg[3] == 8 && reg[2] == 0) space = 8;
        out.push_back({a.kind, space, page * 0x4000 + a.offset, a.value});
    }
    return out;
}

class ModelBoardTest : public testing::Test {
  protected:
    // The fit each test starts with (default: 4 MB game flash, 128 KB blocks, 1 MB sound).
    virtual tavboard::Fit board_fit() const { return tavboard::Fit{}; }

    void SetUp() override {
        tick_clock_hold();
        remake_board(board_fit());
    }

    void TearDown() override { drop_board(); }

    // Replaces the board by a fresh one with `fit`.
    void remake_board(const tavboard::Fit &fit) {
        drop_board();
        std::string error;
        board = tavboard::Board::create(dir_.board(), fit, true, &error);
        ASSERT_NE(board, nullptr) << error;
        tavboard::attach(*board);
        board_window = board->window_address();
        board->set_status_read_hook([] { tick_clock_advance(1); });
    }

    // The board's access log from now on.
    void start_log() {
        board->clear_log();
        board->enable_log(true);
    }

    // The log since start_log(), with the page registers decoded.
    std::vector<SpaceAccess> space_log() const { return decode_accesses(board->log()); }

    std::unique_ptr<tavboard::Board> board;

  private:
    void drop_board() {
        if (board == nullptr) return;
        board->set_status_read_hook(nullptr);
        tavboard::detach(*board);
        board.reset();
        board_window = nullptr;
        unlink(dir_.board().c_str());
    }

    tavtest::TempDir dir_;
};
