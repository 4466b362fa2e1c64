// Support for the flash driver tests: a scripted stand-in for the board, for driver rules
// the model board cannot show (bus words of two devices, 16-bit devices, query answers
// with inconsistent geometry, status values chosen per read), and small shared helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/board_access.h"
#include "flash/flash.h"
#include "flash/ticks.h"

struct FakeAccess {
    enum Kind { reg_write, read, write8, write16, copy } kind;
    uint32_t offset;   // window offset (register number for register writes)
    uint32_t value;    // value written or read; byte count for a copy
    bool operator==(const FakeAccess &) const = default;
};

// Records every access and answers reads through on_read (default: a clean status).
class FakeBus {
  public:
    FakeBus() { board_access_bind(board_window = memory_, &ops_, this); }
    ~FakeBus() { board_access_unbind(memory_); }
    FakeBus(const FakeBus &) = delete;
    FakeBus &operator=(const FakeBus &) = delete;

    std::function<uint8_t(uint32_t)> on_read = [](uint32_t) -> uint8_t { return 0x80; };
    std::vector<FakeAccess> log;

    // The writes (of 8 or 16 bits) in order; or the offsets of accesses of one kind.
    std::vector<FakeAccess> writes() const {
        std::vector<FakeAccess> out;
        for (const FakeAccess &a : log)
            if (a.kind == FakeAccess::write8 || a.kind == FakeAccess::write16) out.push_back(a);
        return out;
    }
    std::vector<uint32_t> offsets(FakeAccess::Kind kind) const {
        std::vector<uint32_t> out;
        for (const FakeAccess &a : log)
            if (a.kind == kind) out.push_back(a.offset);
        return out;
    }
    // The value of the last 8- or 16-bit write so far (0 before any).
    uint32_t last_written() const {
        std::vector<FakeAccess> w = writes();
        return w.empty() ? 0 : w.back().value;
    }

  private:
    static FakeBus *self(void *ctx) { return static_cast<FakeBus *>(ctx); }
    static void add(void *ctx, FakeAccess::Kind k, uint32_t o, uint32_t v) { self(ctx)->log.push_back({k, o, v}); }
    static void reg(void *ctx, uint32_t r, uint8_t v) { add(ctx, FakeAccess::reg_write, r, v); }
    static uint8_t rd(void *ctx, uint32_t o) {
        uint8_t v = self(ctx)->on_read(o);
        add(ctx, FakeAccess::read, o, v);
        return v;
    }
    static void wr8(void *ctx, uint32_t o, uint8_t v) { add(ctx, FakeAccess::write8, o, v); }
    static void wr16(void *ctx, uint32_t o, uint16_t v) { add(ctx, FakeAccess::write16, o, v); }
    static void cp(void *ctx, uint32_t o, uint8_t *d, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) d[i] = self(ctx)->on_read(o + i);
        add(ctx, FakeAccess::copy, o, n);
    }

    uint8_t memory_[16] = {};
    const BoardAccessOps ops_ = {reg, rd, wr8, wr16, cp};
};

// An FSI for the fake bus: one space of `size` bytes with the given bus shape.
inline FSI fake_fsi(uint32_t size, uint32_t interleave, uint32_t width, uint32_t block_size) {
    FSI f{};
    f.base = board_window;
    f.size = size;
    f.interleave = interleave;
    f.width = width;
    f.block_size = f.device_size = block_size;
    f.page_size = 0x4000;
    f.page_count = size / 0x4000;
    return f;
}

// Tests on the fake bus run with the tick clock held: it moves only when a test moves it.
class FakeBusTest : public testing::Test {
  protected:
    void SetUp() override { tick_clock_hold(); }
};

// What `body` wrote to standard error.
inline std::string captured_err(const std::function<void()> &body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

inline tavboard::Fit fit_of(uint32_t game_size, uint32_t game_block, uint32_t sound_size) {
    tavboard::Fit f;
    f.game_size = game_size;
    f.game_block = game_block;
    f.sound_size = sound_size;
    return f;
}

// A fault of `kind` on `device`; offset and block -1 stand for "any".
inline tavboard::Fault fault_of(tavboard::FaultKind kind, tavboard::Device device, int64_t offset = -1,
                                uint8_t mask = 0, int32_t block = -1) {
    tavboard::Fault f;
    f.kind = kind;
    f.device = device;
    f.offset = offset;
    f.mask = mask;
    f.block = block;
    return f;
}

inline void add_fault(tavboard::Board &board, const tavboard::Fault &fault) {
    std::string error;
    ASSERT_TRUE(board.add_fault(fault, &error)) << error;
}

inline const std::string kTimeout0 = "flash_wait(): device 0 WSM ready timeout ";
