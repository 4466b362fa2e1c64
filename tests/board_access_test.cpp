// The board accesses: the mapped-memory implementation over an ordinary file mapped in
// place of /dev/mem, the mapping's error reporting, and the binding of a window to the
// model (attach/detach).
#include "board/model.h"
#include "board/physical_map.h"
#include "flash/board_access.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace tavboard;
using namespace boardtest;

namespace {

// An ordinary file laid out like physical memory up to the end of the board's range.
class MappedFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.file("mem");
        int fd = open(path_.c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, kBoardPhysicalBase + kBoardRangeLength), 0);
        // Known contents in the data window.
        for (uint32_t i = 0; i < 0x100; i++) {
            uint8_t v = uint8_t(i ^ 0xA5);
            ASSERT_EQ(pwrite(fd, &v, 1, kBoardPhysicalBase + 0x1000 + i), 1);
        }
        close(fd);
        std::string error;
        window_ = physical_map(path_, kBoardPhysicalBase, kBoardRangeLength, &error);
        ASSERT_NE(window_, nullptr) << error;
    }
    void TearDown() override {
        if (window_ != nullptr) {
            EXPECT_EQ(physical_unmap(window_, kBoardRangeLength), 1);
        }
    }
    uint8_t file_byte(uint32_t range_offset) {
        int fd = open(path_.c_str(), O_RDONLY);
        uint8_t v = 0;
        EXPECT_EQ(pread(fd, &v, 1, kBoardPhysicalBase + range_offset), 1);
        close(fd);
        return v;
    }

    ScratchDir dir_;
    std::string path_;
    uint8_t *window_ = nullptr;
};

TEST_F(MappedFile, PageRegisterWritesLandAt4000To4003) {
    const uint8_t values[4] = {0xF, 0x3, 0x1, 0x8};
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(window_, reg, values[reg]);
    for (uint32_t reg = 0; reg < 4; reg++) EXPECT_EQ(file_byte(0x4000 + reg), values[reg]) << "register " << reg;
    EXPECT_EQ(file_byte(0x3FFF), 0);
    EXPECT_EQ(file_byte(0x4004), 0);
}

TEST_F(MappedFile, WindowReadsWritesAndCopiesReachTheRange) {
    EXPECT_EQ(board_read8(window_, 0x1000), 0xA5);
    EXPECT_EQ(board_read8(window_, 0x10FF), 0xFF ^ 0xA5);
    board_write8(window_, 0x0000, 0x70);
    board_write8(window_, 0x3FFF, 0xE8);
    board_write16(window_, 0x2000, 0x1234);
    EXPECT_EQ(file_byte(0x0000), 0x70);
    EXPECT_EQ(file_byte(0x3FFF), 0xE8);
    EXPECT_EQ(file_byte(0x2000), 0x34) << "little-endian: low byte first";
    EXPECT_EQ(file_byte(0x2001), 0x12);
    uint8_t copy[0x100];
    board_copy_out(window_, 0x1000, copy, sizeof copy);
    for (uint32_t i = 0; i < sizeof copy; i++) ASSERT_EQ(copy[i], uint8_t(i ^ 0xA5)) << i;
}

TEST(PhysicalMap, FailuresNameTheDeviceAndTheReason) {
    ScratchDir dir;
    std::string error;
    std::string missing = dir.file("no-such-mem");
    EXPECT_EQ(physical_map(missing, kBoardPhysicalBase, kBoardRangeLength, &error), nullptr);
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(physical_map(missing, kBoardPhysicalBase + 1, kBoardRangeLength, &error), nullptr);
    EXPECT_NE(error.find("page aligned"), std::string::npos) << error;
    EXPECT_EQ(physical_unmap(nullptr, kBoardRangeLength), -1);
}

TEST(PhysicalMap, TheBoardRangeIsTheIsaRangeOfTheBoard) {
    EXPECT_EQ(kBoardPhysicalBase, 0xD0000u);
    EXPECT_EQ(kBoardRangeLength, 0x8000u);
}

// --- the model behind the window --------------------------------------------------------

TEST(ModelAttach, BoardAccessesThroughTheWindowReachTheModel) {
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    attach(*b);
    uint8_t *w = b->window_address();
    ASSERT_NE(w, nullptr);
    // Space 8, page 0: the sound device's identifier.
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(w, reg, reg == 3 ? 8 : 0);
    board_write8(w, 0, 0x90);
    EXPECT_EQ(board_read8(w, 0), 0x89);
    EXPECT_EQ(board_read8(w, 2), 0x9D);
    // Space 0: program a word as two byte cycles, then copy it back.
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(w, reg, 0);
    board_write8(w, 0x100, 0x40);
    board_write8(w, 0x100, 0x12);
    EXPECT_EQ(poll_ready(*b, 0x100), 0x80);
    board_write8(w, 0x100, 0xFF);
    uint8_t copy[2];
    board_copy_out(w, 0x100, copy, 2);
    EXPECT_EQ(copy[0], 0x12);
    EXPECT_EQ(copy[1], 0xFF);
    Counters c = b->counters();
    EXPECT_EQ(c.register_writes, 8u);
    EXPECT_EQ(b->data(Device::game)[0x100], 0x12);
    detach(*b);
}

TEST(ModelAttach, AStrayAccessToTheWindowAddressFaultsInsteadOfPassing) {
    ScratchDir dir;
    auto b = make_board(dir.file("b.img"));
    attach(*b);
    uint8_t *w = b->window_address();
    detach(*b);
    // Detached, the address is plain memory again, and the model's stand-in address may not
    // be touched: a driver that bypassed the board accesses would crash here, not pass.
    EXPECT_DEATH(board_read8(w, 0), "");
}

TEST(ModelAttach, DestroyingTheBoardDropsItsBinding) {
    ScratchDir dir;
    uint8_t *w;
    {
        auto b = make_board(dir.file("b.img"));
        attach(*b);
        w = b->window_address();
    }
    // A fresh board binds again and is the one that answers.
    auto b2 = make_board(dir.file("b2.img"));
    attach(*b2);
    uint8_t *w2 = b2->window_address();
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(w2, reg, 0);
    board_write8(w2, 0, 0x90);
    EXPECT_EQ(board_read8(w2, 2), 0x16);
    EXPECT_EQ(b2->counters().register_writes, 4u);
    (void)w;
    detach(*b2);
}

}  // namespace
