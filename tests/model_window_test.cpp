// TavModelWindowAccess: for a window of the model board it hands out accesses that reach
// that board (page registers included); for any other address, a closed range, or null
// arguments it declines and writes nothing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <vector>

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

    // Selects page `page` of memory space `space` through the handed-out accesses.
    void select(const BoardAccessOps *ops, void *ctx, uint32_t space, uint32_t page) {
        ops->write_page_register(ctx, 0, uint8_t(page & 0x0F));
        ops->write_page_register(ctx, 1, uint8_t((page >> 4) & 0x0F));
        ops->write_page_register(ctx, 2, uint8_t((page >> 8) & 0x0F));
        ops->write_page_register(ctx, 3, uint8_t(space));
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
    select(ops, ctx, 0, 0);
    EXPECT_EQ(ops->read8(ctx, 0), 0xFF);
    ops->write8(ctx, 0, kReadIdentifier);
    EXPECT_EQ(ops->read8(ctx, 0), kIntelManufacturer);
    uint8_t copied[2] = {0, 0};
    ops->copy_out(ctx, 0, copied, 1);
    EXPECT_EQ(copied[0], kIntelManufacturer);
    ops->write8(ctx, 0, kReadArray);
    EXPECT_EQ(ops->read8(ctx, 0), 0xFF);

    // A 16-bit write is two byte cycles: read-identifier in the low byte puts the device in
    // identifier mode as a byte write does.
    ops->write16(ctx, 0, uint16_t(kReadArray << 8 | kReadIdentifier));
    ops->write8(ctx, 0, kReadIdentifier);
    EXPECT_EQ(ops->read8(ctx, 0), kIntelManufacturer);

    // The page registers go to the same board: a space nothing decodes reads as open bus.
    select(ops, ctx, 2, 0);
    EXPECT_EQ(ops->read8(ctx, 0), 0xFF);
    select(ops, ctx, 0, 0);
    EXPECT_EQ(ops->read8(ctx, 0), kIntelManufacturer);
    ops->write8(ctx, 0, kReadArray);
}

TEST_F(ModelWindowTest, SharesOnePageRegisterStateWithTheLibrarysOwnAccesses) {
    const BoardAccessOps *ops = nullptr;
    void *ctx = nullptr;
    ASSERT_EQ(TavModelWindowAccess(window_, &ops, &ctx), 1);
    // Identifier mode set through the library's accesses is seen through the handed-out ones.
    board_write_page_register(window_, 3, 0);
    board_write8(window_, 0, kReadIdentifier);
    EXPECT_EQ(ops->read8(ctx, 0), kIntelManufacturer);
    ops->write8(ctx, 0, kReadArray);
    EXPECT_EQ(board_read8(window_, 0), 0xFF);
}

TEST_F(ModelWindowTest, DeclinesOtherAddressesAndNullArgumentsWithoutWriting) {
    const BoardAccessOps sentinel_ops = {};
    int sentinel_ctx = 0;
    uint8_t other[16] = {};
    struct Case {
        const char *what;
        void *window;
        bool ops_arg;
        bool ctx_arg;
    };
    const std::vector<Case> cases = {
        {"an address that is no window", other, true, true},
        {"a null window", nullptr, true, true},
        {"the window one byte in", window_ + 1, true, true},
        {"no place for the accesses", window_, false, true},
        {"no place for the context", window_, true, false},
    };
    for (const Case &c : cases) {
        const BoardAccessOps *ops = &sentinel_ops;
        void *ctx = &sentinel_ctx;
        EXPECT_EQ(TavModelWindowAccess(c.window, c.ops_arg ? &ops : nullptr, c.ctx_arg ? &ctx : nullptr), 0)
            << c.what;
        EXPECT_EQ(ops, &sentinel_ops) << c.what;
        EXPECT_EQ(ctx, &sentinel_ctx) << c.what;
    }
}

TEST_F(ModelWindowTest, DeclinesTheWindowOnceItsRangeIsClosed) {
    ASSERT_EQ(DaCloseMemRange(range_), DA_STATUS_OK);
    const BoardAccessOps *ops = nullptr;
    void *ctx = nullptr;
    EXPECT_EQ(TavModelWindowAccess(window_, &ops, &ctx), 0);
    EXPECT_EQ(ops, nullptr);
}

}  // namespace
