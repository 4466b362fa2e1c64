// TavModelWindowAccess: hands out board accesses that reach the model board behind one of
// this library's windows. They go through this library's own board accesses, which
// MapMemoryToProcess bound to the model, so the program's driver and the library share one
// model and one page register state.
#include "toolkit/agent_state.h"
#include "toolkit/model_window.h"

namespace {

uint8_t *window_of(void *ctx) { return static_cast<uint8_t *>(ctx); }

void forward_write_page_register(void *ctx, uint32_t reg, uint8_t value) {
    board_write_page_register(window_of(ctx), reg, value);
}

uint8_t forward_read8(void *ctx, uint32_t offset) { return board_read8(window_of(ctx), offset); }

void forward_write8(void *ctx, uint32_t offset, uint8_t value) { board_write8(window_of(ctx), offset, value); }

void forward_write16(void *ctx, uint32_t offset, uint16_t value) { board_write16(window_of(ctx), offset, value); }

void forward_copy_out(void *ctx, uint32_t offset, uint8_t *dest, uint32_t count) {
    board_copy_out(window_of(ctx), offset, dest, count);
}

const BoardAccessOps forward_ops = {
    forward_write_page_register, forward_read8, forward_write8, forward_write16, forward_copy_out,
};

}  // namespace

int TavModelWindowAccess(void *window, const BoardAccessOps **ops, void **ctx) {
    if (window == nullptr || ops == nullptr || ctx == nullptr) return 0;
    std::lock_guard<std::mutex> guard(tavagent::state().mutex);
    for (const auto &entry : tavagent::state().ranges) {
        const tavagent::Range &range = entry.second;
        if (range.window == window && range.board != nullptr) {
            *ops = &forward_ops;
            *ctx = window;
            return 1;
        }
    }
    return 0;
}
