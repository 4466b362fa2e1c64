// The board accesses: the mapped-memory implementation over an ordinary file mapped in
// place of /dev/mem and its error reporting, the binding of a window to the model
// (attach/detach), and the speed of a full load through that binding.
#include "board/model.h"
#include "board/physical_map.h"
#include "flash/board_access.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>
#include <vector>

using namespace tavboard;
using namespace boardtest;

namespace {

TEST(PhysicalMap, AccessesReachAFileLaidOutLikePhysicalMemory) {
    ScratchDir dir;
    std::string path = dir.file("mem");
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kBoardPhysicalBase + kBoardRangeLength), 0);
    uint8_t known[0x100];
    for (uint32_t i = 0; i < 0x100; i++) known[i] = uint8_t(i ^ 0xA5);
    ASSERT_EQ(pwrite(fd, known, sizeof known, kBoardPhysicalBase + 0x1000), ssize_t(sizeof known));
    std::string error;
    PhysicalMapping mapping;
    PhysicalRefusal why;
    ASSERT_EQ(physical_map(path, dir.path, kBoardPhysicalBase, kBoardRangeLength, &mapping, &why, &error), 1)
        << error;
    uint8_t *w = mapping.address;
    const uint8_t regs[4] = {0xF, 0x3, 0x1, 0x8};
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(w, reg, regs[reg]);
    board_write8(w, 0x0000, 0x70);
    board_write8(w, 0x3FFF, 0xE8);
    board_write16(w, 0x2000, 0x1234);
    uint8_t copy[0x100];
    board_copy_out(w, 0x1000, copy, sizeof copy);
    EXPECT_EQ(0, memcmp(copy, known, sizeof copy));
    EXPECT_EQ(board_read8(w, 0x10FF), 0xFF ^ 0xA5);
    EXPECT_EQ(physical_unmap(&mapping), 1);
    uint8_t file[0x4005];
    ASSERT_EQ(pread(fd, file, sizeof file, kBoardPhysicalBase), ssize_t(sizeof file));
    close(fd);
    struct {
        uint32_t at;
        uint8_t value;
    } want[] = {{0x0000, 0x70}, {0x3FFF, 0xE8}, {0x2000, 0x34}, {0x2001, 0x12},  // little-endian word
                {0x4000, 0xF}, {0x4001, 0x3}, {0x4002, 0x1}, {0x4003, 0x8}, {0x4004, 0}};
    for (const auto &x : want) EXPECT_EQ(file[x.at], x.value) << std::hex << x.at;
}

// Only a board's range is mapped, by one holder at a time. A refusal comes before the device
// is opened: the device path names no file then, so reaching it would be a device failure.
TEST(PhysicalMap, OnlyABoardRangeAndOneHolderAtATime) {
    const std::string rule = ": a board's range must lie inside the ISA adapter memory area 0xA0000-0xFFFFF, "
                             "be page aligned (4096 bytes) and be at most 0x8000 bytes long";
    struct {
        uint32_t base, length;
        const char *refused;   // the range as the message names it; null: mapped
    } rows[] = {
        {0xA0000, 0x8000, nullptr}, {0xF8000, 0x8000, nullptr}, {0xFF000, 0x1000, nullptr},
        {0x100000, 0x8000, "0x8000 bytes at 0x100000"}, {0x0, 0x8000, "0x8000 bytes at 0x0"},
        {0x9F000, 0x2000, "0x2000 bytes at 0x9F000"}, {0xFC000, 0x8000, "0x8000 bytes at 0xFC000"},
        {0xD0800, 0x4004, "0x4004 bytes at 0xD0800"}, {0xD0000, 0x8001, "0x8001 bytes at 0xD0000"},
        {0xD0000, 0x0, "0x0 bytes at 0xD0000"}, {0xFFFFF000, 0x2000, "0x2000 bytes at 0xFFFFF000"},
    };
    ScratchDir dir;
    std::string memory = dir.file("mem"), missing = dir.file("no-such-mem"), error;
    std::ofstream(memory).close();
    ASSERT_EQ(truncate(memory.c_str(), 0x100000), 0);
    PhysicalMapping held, other;
    PhysicalRefusal why;
    for (const auto &row : rows) {
        int rc = physical_map(row.refused ? missing : memory, dir.path, row.base, row.length, &held, &why, &error);
        if (row.refused == nullptr) {
            EXPECT_EQ(rc, 1) << std::hex << row.base << ": " << error;
            EXPECT_EQ(physical_unmap(&held), 1);
            continue;
        }
        EXPECT_EQ(why, PhysicalRefusal::range) << row.refused;
        EXPECT_EQ(error, row.refused + rule);
        EXPECT_NE(access(physical_lock_path(dir.path, row.base, row.length).c_str(), F_OK), 0) << row.refused;
    }
    ASSERT_EQ(physical_map(memory, dir.path, kBoardPhysicalBase, kBoardRangeLength, &held, &why, &error), 1);
    EXPECT_EQ(physical_map(missing, dir.path, kBoardPhysicalBase, kBoardRangeLength, &other, &why, &error), -1);
    EXPECT_EQ(error, "process " + std::to_string(getpid()) + " holds the board (lock file " +
                         physical_lock_path(dir.path, kBoardPhysicalBase, kBoardRangeLength) + ")");
    EXPECT_EQ(physical_unmap(&held), 1);
    EXPECT_EQ(physical_map(missing, dir.path, kBoardPhysicalBase, kBoardRangeLength, &other, &why, &error), -1);
    EXPECT_EQ(why, PhysicalRefusal::device);
    EXPECT_NE(error.find(missing + ": No such file"), std::string::npos) << error;
}

// --- the model behind the window --------------------------------------------------------

void select_space(uint8_t *w, uint32_t space) {
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(w, reg, reg == 3 ? space : 0);
}

TEST(ModelAttach, BoardAccessesThroughTheWindowReachTheModel) {
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    attach(*b);
    uint8_t *w = b->window_address();
    ASSERT_NE(w, nullptr);
    select_space(w, 8);
    board_write8(w, 0, 0x90);
    EXPECT_EQ(board_read8(w, 0), 0x89);
    EXPECT_EQ(board_read8(w, 2), 0x9D) << "the sound device's identifier";
    select_space(w, 0);
    board_write8(w, 0x100, 0x40);
    board_write8(w, 0x100, 0x12);
    EXPECT_EQ(poll_ready(*b, 0x100), 0x80);
    board_write8(w, 0x100, 0xFF);
    uint8_t copy[2];
    board_copy_out(w, 0x100, copy, 2);
    EXPECT_EQ(copy[0], 0x12);
    EXPECT_EQ(copy[1], 0xFF);
    EXPECT_EQ(b->counters().register_writes, 8u);
    EXPECT_EQ(b->data(Device::game)[0x100], 0x12);
    detach(*b);
    // Detached, the model's stand-in address may not be touched: a driver that bypassed the
    // board accesses would crash here, not pass.
    EXPECT_DEATH(board_read8(w, 0), "");
}

TEST(ModelAttach, DestroyingTheBoardDropsItsBinding) {
    ScratchDir dir;
    attach(*make_board(dir.file("b.img")));  // destroyed attached
    auto b2 = make_board(dir.file("b2.img"));
    attach(*b2);
    uint8_t *w2 = b2->window_address();
    select_space(w2, 0);
    board_write8(w2, 0, 0x90);
    EXPECT_EQ(board_read8(w2, 2), 0x16);
    EXPECT_EQ(b2->counters().register_writes, 4u) << "the fresh board is the one that answers";
    detach(*b2);
}

// A full load (4 MB of game flash through 32-byte write buffers and 1 MB of sound flash a
// byte at a time, each chunk read back) with the flash driver's access pattern: every command
// and every status wait selects its page again.
TEST(ModelAttach, FullLoadThroughTheBoardAccessesTakesWellUnderASecond) {
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    attach(*b);
    uint8_t *w = b->window_address();
    auto pattern = [](uint32_t i) { return uint8_t((i * 2654435761u) >> 24); };
    auto select = [&](uint32_t space, uint32_t offset) {
        uint32_t page = offset / kWindow;
        for (uint32_t reg = 0; reg < 4; reg++)
            board_write_page_register(w, reg, uint8_t(((reg == 3 ? space : 0) | page >> (4 * reg)) & 0xF));
    };
    auto command = [&](uint32_t space, uint32_t offset, uint8_t code) {
        select(space, offset);
        board_write8(w, offset % kWindow, code);
    };
    auto ready = [&](uint32_t space, uint32_t offset) {
        select(space, offset);
        for (int i = 0; i < 1000; i++)
            if (board_read8(w, offset % kWindow) & 0x80) return board_read8(w, offset % kWindow) == 0x80;
        return false;
    };
    const uint32_t game_size = 4u << 20, sound_size = 1u << 20;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t a = 0; a < game_size; a += 32) {
        if (a % (128u << 10) == 0) {
            command(0, a, 0x20);
            command(0, a, 0xD0);
            ASSERT_TRUE(ready(0, a));
            command(0, a, 0xFF);
        }
        command(0, a, 0xE8);
        ASSERT_TRUE(ready(0, a));
        command(0, a, 31);
        for (uint32_t i = 0; i < 32; i++) board_write8(w, (a + i) % kWindow, pattern(a + i));
        command(0, a, 0xD0);
        ASSERT_TRUE(ready(0, a));
        command(0, a, 0xFF);
        for (uint32_t i = 0; i < 32; i++) ASSERT_EQ(board_read8(w, (a + i) % kWindow), pattern(a + i));
    }
    for (uint32_t a : {0x0u, 0x4000u, 0x6000u, 0x8000u, 0xE0000u, 0xC0000u, 0xA0000u, 0x80000u, 0x60000u, 0x40000u,
                      0x20000u}) {
        command(8, a, 0x20);
        command(8, a, 0xD0);
        ASSERT_TRUE(ready(8, a));
        command(8, a, 0xFF);
    }
    std::vector<uint8_t> copy(kWindow);
    for (uint32_t page = 0; page < sound_size; page += kWindow) {
        for (uint32_t a = page; a < page + kWindow; a++) {
            command(8, page, 0x40);
            board_write8(w, a % kWindow, pattern(a));
            ASSERT_TRUE(ready(8, page));
        }
        command(8, page, 0xFF);
        board_copy_out(w, 0, copy.data(), kWindow);
        for (uint32_t i = 0; i < kWindow; i++) ASSERT_EQ(copy[i], pattern(page + i));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Counters c = b->counters();
    std::printf("full load on the model: %.3f s, %llu bus accesses (%.1f ns each)\n", seconds,
                (unsigned long long)c.accesses, seconds * 1e9 / double(c.accesses));
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
