// Speed of the model: a full load (4 MB of game flash through 32-byte write buffers and
// 1 MB of sound flash a byte at a time, each chunk verified by reading it back) driven
// through the board accesses with the access pattern of the flash driver: every command and
// every status wait selects its page again.
#include "board/model.h"
#include "flash/board_access.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <vector>

using namespace tavboard;
using namespace boardtest;

namespace {

struct Bus {
    uint8_t *w;
    uint32_t space;

    void select(uint32_t offset) {
        uint32_t page = offset / kWindow + (space == 1 ? 256 : 0);
        board_write_page_register(w, 0, page & 0xF);
        board_write_page_register(w, 1, (page >> 4) & 0xF);
        board_write_page_register(w, 2, (page >> 8) & 0xF);
        board_write_page_register(w, 3, (space | (page >> 12)) & 0xF);
    }
    void command(uint32_t offset, uint8_t code) {
        select(offset);
        board_write8(w, offset % kWindow, code);
    }
    bool wait_ready(uint32_t offset) {
        select(offset);
        for (int i = 0; i < 1000; i++) {
            uint8_t s = board_read8(w, offset % kWindow);
            if (s & 0x80) return board_read8(w, offset % kWindow) == 0x80;
        }
        return false;
    }
};

uint8_t pattern(uint32_t i) { return uint8_t((i * 2654435761u) >> 24); }

TEST(BoardSpeed, FullLoadThroughTheBoardAccessesTakesWellUnderASecond) {
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    attach(*b);
    uint8_t *w = b->window_address();
    uint8_t back[32];
    auto start = std::chrono::steady_clock::now();

    Bus game{w, 0};
    const uint32_t game_size = 4u << 20, block = 128u << 10;
    for (uint32_t at = 0; at < game_size; at += 32) {
        if (at % block == 0) {
            game.command(at, 0x20);
            game.command(at, 0xD0);
            ASSERT_TRUE(game.wait_ready(at));
            game.command(at, 0xFF);
        }
        game.command(at, 0xE8);
        game.select(at);
        ASSERT_TRUE(board_read8(w, at % kWindow) & 0x80);
        game.command(at, 31);
        for (uint32_t i = 0; i < 32; i++) board_write8(w, (at + i) % kWindow, pattern(at + i));
        game.command(at, 0xD0);
        ASSERT_TRUE(game.wait_ready(at));
        game.command(at, 0xFF);
        for (uint32_t i = 0; i < 32; i++) back[i] = board_read8(w, (at + i) % kWindow);
        for (uint32_t i = 0; i < 32; i++) ASSERT_EQ(back[i], pattern(at + i));
    }

    Bus sound{w, 8};
    const uint32_t sound_size = 1u << 20;
    static const uint32_t blocks[] = {0x0, 0x4000, 0x6000, 0x8000, 0xE0000, 0xC0000,
                                      0xA0000, 0x80000, 0x60000, 0x40000, 0x20000};
    for (uint32_t at : blocks) {
        sound.command(at, 0x20);
        sound.command(at, 0xD0);
        ASSERT_TRUE(sound.wait_ready(at));
        sound.command(at, 0xFF);
    }
    for (uint32_t page = 0; page < sound_size; page += kWindow) {
        for (uint32_t at = page; at < page + kWindow; at++) {
            sound.command(page, 0x40);
            board_write8(w, at % kWindow, pattern(at));
            ASSERT_TRUE(sound.wait_ready(page));
        }
        sound.command(page, 0xFF);
        std::vector<uint8_t> copy(kWindow);
        board_copy_out(w, 0, copy.data(), kWindow);
        for (uint32_t i = 0; i < kWindow; i++) ASSERT_EQ(copy[i], pattern(page + i));
    }

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Counters c = b->counters();
    std::printf("full load on the model: %.3f s, %llu bus accesses (%.1f ns each)\n", seconds,
                (unsigned long long)c.accesses, seconds * 1e9 / double(c.accesses));
    RecordProperty("seconds", std::to_string(seconds));
    EXPECT_EQ(c.programmed_bytes, uint64_t(game_size + sound_size));
    EXPECT_EQ(c.not_erased_bits, 0u);
    EXPECT_EQ(c.erases, 32u + 11u);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    EXPECT_LT(seconds, 30.0) << "sanitizer build";
#else
    EXPECT_LT(seconds, 1.0);
#endif
    detach(*b);
}

}  // namespace
