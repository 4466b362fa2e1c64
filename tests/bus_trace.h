// The accesses a program makes to a model board, in the board's terms: which device, at which
// device offset, which command or data byte. Page-register writes are folded into the offsets,
// and a run of status reads at one place (a poll, however many reads it took) is one "wait":
//   "game 3e0000 20"        a byte written (a command or data), hexadecimal
//   "game 3e0000 wait"      status read until it was judged
//   "game 000020 read"      any other read (query, identifier, array)
//   "game 008000 copy 32"   bytes copied out of the window
//   "game 000000 w16 00ff"  a 16-bit write
//   "bus 4004 ff"           an access that reaches no device (open bus, a page no device has)
// folded() gives the lines with each run of equal lines as one, "... x33".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/board_access.h"

namespace tavtest {

class BusTrace {
  public:
    // Records every access through the board's window from now on; the model is attached
    // again when the trace ends. The page registers are taken as 0 until the first is written.
    explicit BusTrace(tavboard::Board &board) : board_(board) {
        board_access_bind(board.window_address(), &kOps, this);
    }
    ~BusTrace() { tavboard::attach(board_); }
    BusTrace(const BusTrace &) = delete;
    BusTrace &operator=(const BusTrace &) = delete;

    std::vector<std::string> lines;

    std::vector<std::string> folded() const {
        std::vector<std::string> out;
        size_t i = 0;
        while (i < lines.size()) {
            size_t run = 1;
            while (i + run < lines.size() && lines[i + run] == lines[i]) run++;
            out.push_back(run == 1 ? lines[i] : lines[i] + " x" + std::to_string(run));
            i += run;
        }
        return out;
    }

  private:
    static BusTrace &self(void *ctx) { return *static_cast<BusTrace *>(ctx); }

    // "game 3e0000" for a window offset, or "bus 1234" when no device shows there.
    std::string place(uint32_t offset, tavboard::Device *device) const {
        const uint32_t page = registers_[0] | (registers_[1] << 4) | (registers_[2] << 8);
        const uint32_t space = registers_[3];
        uint64_t at = uint64_t(page) * kWindowSize;
        bool shown = offset < kWindowSize;
        if (space == 0 || space == 1) {
            *device = tavboard::Device::game;
        } else if (space == 8) {
            *device = tavboard::Device::sound;
        } else {
            shown = false;
        }
        const uint32_t size = shown ? board_.device_size(*device) : 0;
        if (size == 0) shown = false;
        if (shown && *device == tavboard::Device::sound) at %= size;
        if (shown && at >= size) shown = false;
        char text[32];
        if (shown) {
            const char *name = *device == tavboard::Device::game ? "game" : "sound";
            std::snprintf(text, sizeof text, "%s %06llx", name, static_cast<unsigned long long>(at + offset));
        } else {
            std::snprintf(text, sizeof text, "bus %04x", offset);
        }
        return text;
    }
    void add(const std::string &line) { lines.push_back(line); }

    static void write_register(void *ctx, uint32_t reg, uint8_t value) {
        self(ctx).registers_[reg] = value & 0x0F;
        self(ctx).board_.write(kPageRegisterOffset + reg, value);
    }
    static uint8_t read8(void *ctx, uint32_t offset) {
        BusTrace &t = self(ctx);
        tavboard::Device device = tavboard::Device::game;
        const std::string where = t.place(offset, &device);
        std::string mode;
        uint8_t status = 0x80;
        bool polled = false;
        if (where.rfind("bus", 0) != 0 && t.board_.device_state(device, &mode, &status)) {
            const bool array_like = mode == "read array" || mode == "read identifier" || mode == "read query";
            polled = (status & 0x80) == 0 || !array_like;
        }
        const std::string line = where + (polled ? " wait" : " read");
        if (!polled || t.lines.empty() || t.lines.back() != line) t.add(line);
        return t.board_.read(offset);
    }
    static void write8(void *ctx, uint32_t offset, uint8_t value) {
        BusTrace &t = self(ctx);
        tavboard::Device device = tavboard::Device::game;
        char data[8];
        std::snprintf(data, sizeof data, " %02x", value);
        t.add(t.place(offset, &device) + data);
        t.board_.write(offset, value);
    }
    static void write16(void *ctx, uint32_t offset, uint16_t value) {
        BusTrace &t = self(ctx);
        tavboard::Device device = tavboard::Device::game;
        char data[16];
        std::snprintf(data, sizeof data, " w16 %04x", value);
        t.add(t.place(offset, &device) + data);
        t.board_.write16(offset, value);
    }
    static void copy_out(void *ctx, uint32_t offset, uint8_t *dest, uint32_t count) {
        BusTrace &t = self(ctx);
        tavboard::Device device = tavboard::Device::game;
        t.add(t.place(offset, &device) + " copy " + std::to_string(count));
        t.board_.copy_out(offset, dest, count);
    }
    static constexpr BoardAccessOps kOps = {write_register, read8, write8, write16, copy_out};

    tavboard::Board &board_;
    uint8_t registers_[4] = {0, 0, 0, 0};
};

}  // namespace tavtest
