// TavModelWindowAccess: for a window of the model board it hands out accesses that reach
// that board (page registers included); for any other address, a closed range, or null
// arguments it declines and writes nothing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>

#include "flash/board_access.h"
#include "toolkit/DriverAgent.h"
#include "toolkit/model_window.h"
#include "toolkit/toolkit_status.h"
#include "toolkit_seed.h"

namespace {

constexpr uint8_t kIntelManufacturer = 0x89;
constexpr uint8_t kReadIdentifier = 0x90;
constexpr uint8_t kReadArray = 0xFF;

class ModelWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_BOARD");
        ASSERT_TRUE(seed_registry());
        ASSERT_EQ(DriverAgentOpen(), DA_STATUS_OK);
        ASSERT_EQ(DaOpenDeviceA("TAV", &device_, 0), DA_STATUS_OK);
        ASSERT_EQ(DaOpenMemRangeA(device_, "TAV", &range_, 0), DA_STATUS_OK);
        DASTATUS status = DA_STATUS_OK;
        window_ = static_cast<uint8_t *>(MapMemoryToProcess(range_, &status));
        ASSERT_NE(window_, nullptr) << DaTranslateErrorMessageA(status);
    }
    void TearDown() override {
        for (int i = 0; i < 8 && DriverAgentClose() == DA_STATUS_OK; ++i) {
        }
    }

    // Selects page 0 of memory space `space` through the handed-out accesses.
    void select(const BoardAccessOps *ops, void *ctx, uint8_t space) {
        for (uint32_t reg = 0; reg < 4; reg++) ops->write_page_register(ctx, reg, reg == 3 ? space : 0);
    }

    TempTavHome home_;
    DAHANDLE device_ = 0;
    DAHANDLE range_ = 0;
    uint8_t *window_ = nullptr;
};

TEST_F(ModelWindowTest, AccessesReachTheModelBoardBehindTheWindow) {
    const BoardAccessOps *ops = nullptr;
    void *ctx = nullptr;
    ASSERT_EQ(TavModelWindowAccess(window_, &ops, &ctx), 1);
    ASSERT_NE(ops, nullptr);
    // Game flash (space 0): erased in read-array mode, the manufacturer code in identifier mode.
    select(ops, ctx, 0);
    EXPECT_EQ(ops->read8(ctx, 0), 0xFF);
    ops->write8(ctx, 0, kReadIdentifier);
    uint8_t copied = 0;
    ops->copy_out(ctx, 0, &copied, 1);
    EXPECT_EQ(copied, kIntelManufacturer);
    ops->write8(ctx, 0, kReadArray);
    EXPECT_EQ(ops->read8(ctx, 0), 0xFF);
    // A 16-bit write is two byte cycles, the low byte first: read array, then read identifier.
    ops->write16(ctx, 0, uint16_t(kReadIdentifier << 8 | kReadArray));
    EXPECT_EQ(ops->read8(ctx, 0), kIntelManufacturer);
    // The page registers go to the same board: a space nothing decodes reads as open bus.
    select(ops, ctx, 2);
    EXPECT_EQ(ops->read8(ctx, 0), 0xFF);
    select(ops, ctx, 0);
    EXPECT_EQ(ops->read8(ctx, 0), kIntelManufacturer);
    // One board state with the library's own accesses.
    board_write8(window_, 0, kReadArray);
    EXPECT_EQ(ops->read8(ctx, 0), 0xFF);
    ops->write8(ctx, 0, kReadIdentifier);
    EXPECT_EQ(board_read8(window_, 0), kIntelManufacturer);
}

TEST_F(ModelWindowTest, DeclinesOtherAddressesNullArgumentsAndAClosedRangeWithoutWriting) {
    const BoardAccessOps sentinel_ops = {};
    int sentinel_ctx = 0;
    uint8_t other[16] = {};
    struct Case {
        const char *what;
        void *window;
        bool ops_arg, ctx_arg, close_first;
    } cases[] = {
        {"an address that is no window", other, true, true, false},
        {"a null window", nullptr, true, true, false},
        {"the window one byte in", window_ + 1, true, true, false},
        {"no place for the accesses", window_, false, true, false},
        {"no place for the context", window_, true, false, false},
        {"the window of a closed range", window_, true, true, true},
    };
    for (const Case &c : cases) {
        if (c.close_first) {
            ASSERT_EQ(DaCloseMemRange(range_), DA_STATUS_OK);
        }
        const BoardAccessOps *ops = &sentinel_ops;
        void *ctx = &sentinel_ctx;
        EXPECT_EQ(TavModelWindowAccess(c.window, c.ops_arg ? &ops : nullptr, c.ctx_arg ? &ctx : nullptr), 0)
            << c.what;
        EXPECT_EQ(ops, &sentinel_ops) << c.what;
        EXPECT_EQ(ctx, &sentinel_ctx) << c.what;
    }
}

}  // namespace
