// Attaching a model board to the flash driver's board accesses: the window address the
// board hands out is bound to these functions, which go straight to the model's bus.
#include "board/board_impl.h"
#include "flash/board_access.h"

namespace tavboard {

namespace {

BoardImpl *impl(void *ctx) { return static_cast<BoardImpl *>(ctx); }

void model_write_page_register(void *ctx, uint32_t reg, uint8_t value) {
    impl(ctx)->bus_write(kPageRegisterOffset + reg, value);
}

uint8_t model_read8(void *ctx, uint32_t offset) { return impl(ctx)->bus_read(offset); }

void model_write8(void *ctx, uint32_t offset, uint8_t value) { impl(ctx)->bus_write(offset, value); }

void model_write16(void *ctx, uint32_t offset, uint16_t value) { impl(ctx)->bus_write16(offset, value); }

void model_copy_out(void *ctx, uint32_t offset, uint8_t *dest, uint32_t count) {
    impl(ctx)->bus_copy_out(offset, dest, count);
}

const BoardAccessOps model_ops = {
    model_write_page_register, model_read8, model_write8, model_write16, model_copy_out,
};

}  // namespace

// Board is implemented by BoardImpl alone.
void attach(Board &board) {
    BoardImpl &b = static_cast<BoardImpl &>(board);
    board_access_bind(b.window_address(), &model_ops, &b);
}

void detach(Board &board) { board_access_unbind(static_cast<BoardImpl &>(board).window_address()); }

}  // namespace tavboard
