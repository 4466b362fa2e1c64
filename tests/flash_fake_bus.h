// A scripted stand-in for the board, for driver rules the model board cannot show: bus
// words of two devices, 16-bit devices, query answers with inconsistent geometry, status
// values chosen per read. It records every access and answers reads through a function.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "flash/board_access.h"
#include "flash/flash.h"
#include "flash/ticks.h"

struct FakeAccess {
    enum Kind { reg_write, read, write8, write16, copy } kind;
    uint32_t offset;   // window offset (register number for register writes)
    uint32_t value;
    bool operator==(const FakeAccess &) const = default;
};

class FakeBus {
  public:
    FakeBus() { board_access_bind(window(), &ops_, this); }
    ~FakeBus() { board_access_unbind(window()); }
    FakeBus(const FakeBus &) = delete;
    FakeBus &operator=(const FakeBus &) = delete;

    uint8_t *window() { return memory_; }

    // Answers a read at a window offset; the default answers a clean status.
    std::function<uint8_t(uint32_t)> on_read = [](uint32_t) -> uint8_t { return 0x80; };
    std::vector<FakeAccess> log;

    // The writes (of 8 or 16 bits) in order, without reads and register writes.
    std::vector<FakeAccess> writes() const {
        std::vector<FakeAccess> out;
        for (const FakeAccess &a : log)
            if (a.kind == FakeAccess::write8 || a.kind == FakeAccess::write16) out.push_back(a);
        return out;
    }
    size_t count(FakeAccess::Kind kind) const {
        size_t n = 0;
        for (const FakeAccess &a : log) n += a.kind == kind;
        return n;
    }

  private:
    static FakeBus *self(void *ctx) { return static_cast<FakeBus *>(ctx); }
    static void reg(void *ctx, uint32_t r, uint8_t v) { self(ctx)->log.push_back({FakeAccess::reg_write, r, v}); }
    static uint8_t rd(void *ctx, uint32_t o) {
        uint8_t v = self(ctx)->on_read(o);
        self(ctx)->log.push_back({FakeAccess::read, o, v});
        return v;
    }
    static void wr8(void *ctx, uint32_t o, uint8_t v) { self(ctx)->log.push_back({FakeAccess::write8, o, v}); }
    static void wr16(void *ctx, uint32_t o, uint16_t v) { self(ctx)->log.push_back({FakeAccess::write16, o, v}); }
    static void cp(void *ctx, uint32_t o, uint8_t *d, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) d[i] = self(ctx)->on_read(o + i);
        self(ctx)->log.push_back({FakeAccess::copy, o, n});
    }

    uint8_t memory_[16] = {};
    const BoardAccessOps ops_ = {reg, rd, wr8, wr16, cp};
};

// An FSI for the fake bus: one space of `size` bytes with the given bus shape.
inline FSI fake_fsi(uint8_t *window, uint32_t size, uint32_t interleave, uint32_t width, uint32_t block_size) {
    FSI f{};
    f.base = window;
    f.size = size;
    f.interleave = interleave;
    f.width = width;
    f.block_size = block_size;
    f.device_size = block_size;
    f.space = 0;
    f.page_size = 0x4000;
    f.page_count = size / 0x4000;
    return f;
}

// Tests on the fake bus run with the tick clock held: it moves only when a test moves it.
class FakeBusTest : public testing::Test {
  protected:
    void SetUp() override { tick_clock_hold(); }
};
