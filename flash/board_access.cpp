#include "flash/board_access.h"

namespace {

// Mapped memory: the window is the board's memory range as mapped into the process.
// Every access is a single volatile load or store so that the compiler neither merges,
// reorders nor drops them: each one is a bus cycle the flash device sees.
void mapped_write_page_register(void *ctx, uint32_t reg, uint8_t value) {
    volatile uint8_t *base = static_cast<volatile uint8_t *>(ctx);
    base[kPageRegisterOffset + reg] = value;
}

uint8_t mapped_read8(void *ctx, uint32_t offset) {
    return static_cast<volatile uint8_t *>(ctx)[offset];
}

void mapped_write8(void *ctx, uint32_t offset, uint8_t value) {
    static_cast<volatile uint8_t *>(ctx)[offset] = value;
}

void mapped_write16(void *ctx, uint32_t offset, uint16_t value) {
    // The ISA bus is little-endian; a 16-bit store at the address is one bus cycle.
    volatile uint16_t *word = reinterpret_cast<volatile uint16_t *>(static_cast<uint8_t *>(ctx) + offset);
    *word = value;
}

void mapped_copy_out(void *ctx, uint32_t offset, uint8_t *dest, uint32_t count) {
    const volatile uint8_t *src = static_cast<volatile uint8_t *>(ctx) + offset;
    for (uint32_t i = 0; i < count; i++) dest[i] = src[i];
}

const BoardAccessOps mapped_ops = {
    mapped_write_page_register, mapped_read8, mapped_write8, mapped_write16, mapped_copy_out,
};

uint8_t *bound_window = nullptr;
const BoardAccessOps *bound_ops = nullptr;
void *bound_ctx = nullptr;

inline const BoardAccessOps *ops_for(uint8_t *window, void **ctx) {
    if (bound_ops != nullptr && window == bound_window) {
        *ctx = bound_ctx;
        return bound_ops;
    }
    *ctx = window;
    return &mapped_ops;
}

}  // namespace

void board_access_bind(uint8_t *window, const BoardAccessOps *ops, void *ctx) {
    bound_window = window;
    bound_ops = ops;
    bound_ctx = ctx;
}

void board_access_unbind(uint8_t *window) {
    if (window != bound_window) return;
    bound_window = nullptr;
    bound_ops = nullptr;
    bound_ctx = nullptr;
}

void board_write_page_register(uint8_t *window, uint32_t reg, uint8_t value) {
    void *ctx;
    ops_for(window, &ctx)->write_page_register(ctx, reg, value);
}

uint8_t board_read8(uint8_t *window, uint32_t offset) {
    void *ctx;
    return ops_for(window, &ctx)->read8(ctx, offset);
}

void board_write8(uint8_t *window, uint32_t offset, uint8_t value) {
    void *ctx;
    ops_for(window, &ctx)->write8(ctx, offset, value);
}

void board_write16(uint8_t *window, uint32_t offset, uint16_t value) {
    void *ctx;
    ops_for(window, &ctx)->write16(ctx, offset, value);
}

void board_copy_out(uint8_t *window, uint32_t offset, uint8_t *dest, uint32_t count) {
    void *ctx;
    ops_for(window, &ctx)->copy_out(ctx, offset, dest, count);
}
