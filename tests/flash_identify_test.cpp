// Identification on the model board: an erase that a stopped program left running is waited out, and a failed
// identification leaves the game flash reading its array.
#include "tests/model_board.h"

namespace {

using FlashIdentifyTest = ModelBoardTest;

// A block erase still running when the next program starts, for 60 status reads (6 s of ticks: longer than the
// typical erase, well within the parts' longest): the recovery waits for it, and the device then identifies.
TEST_F(FlashIdentifyTest, AnEraseStillRunningIsWaitedOut) {
    FSI fsi;
    ASSERT_EQ(flash_query(FLASH_SPACE_GAME, &fsi), 1);
    board->set_timing(tavboard::Timing::instant, 60);
    flash_set_mode(&fsi, 0x20000, 0x20);
    flash_set_mode(&fsi, 0x20000, 0xD0);
    EXPECT_EQ(flash_query(FLASH_SPACE_GAME, &fsi), 1);
    EXPECT_EQ(fsi.block_size, 128u << 10);
    EXPECT_EQ(board->counters().erases, 1u);
    std::string mode;
    uint8_t status = 0;
    ASSERT_TRUE(board->device_state(tavboard::Device::game, &mode, &status));
    EXPECT_EQ(mode, "read array");
    EXPECT_EQ(status, 0x80);
}

// The upper megabyte of the game flash (space 1) exists only on an 8 MB device; whether it is found or not, the
// device is left reading its array.
TEST_F(FlashIdentifyTest, SpaceOneLeavesTheGameFlashInReadArray) {
    struct Case {
        const char *name;
        uint32_t game_size;
        int result;
    };
    const Case cases[] = {{"4 MB, no upper megabyte", 4u << 20, -1}, {"8 MB", 8u << 20, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        remake_board(tavboard::Fit{c.game_size, 128u << 10, 0, false});
        FSI fsi;
        EXPECT_EQ(flash_query(FLASH_SPACE_GAME_HIGH, &fsi), c.result);
        std::string mode;
        uint8_t status = 0;
        ASSERT_TRUE(board->device_state(tavboard::Device::game, &mode, &status));
        EXPECT_EQ(mode, "read array");
    }
}

}  // namespace
