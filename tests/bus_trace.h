// The accesses a program makes to a model board, in the board's terms: which device, at which
// device offset, which command or data byte. Page-register writes are folded into the offsets,
// and a run of status reads at one place (a poll, however many reads it took) is one "wait":
//   "game 3e0000 20"        a byte written (a command or data), hexadecimal
//   "game 3e0000 wait"      status read until it was judged
//   "game 000020 read"      any other read (query, identifier, array)
//   "game 008000 copy 32"   bytes copied out of the window
//   "game 000000 w16 00ff"  a 16-bit write
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
        for (size_t i = 0; i < lines.size();) {
            size_t run = 1;
            while (i + run < lines.size() && lines[i + run] == lines[i]) run++;
            out.push_back(run == 1 ? lines[i] : lines[i] + " x" + std::to_string(run));
            i += run;
        }
        return out;
    }

  private:
    static BusTrace &self(void *ctx) { return *static_cast<BusTrace *>(ctx); }

    // The device the page registers select: space 8 is the sound flash, repeating through the
    // space on a smaller part.
    tavboard::Device device() const { return registers_[3] == 8 ? tavboard::Device::sound : tavboard::Device::game; }
    // "game 3e0000" for a window offset.
    std::string place(uint32_t offset) const {
        uint64_t at = uint64_t(registers_[0] | (registers_[1] << 4) | (registers_[2] << 8)) * kWindowSize;
        if (device() == tavboard::Device::sound) at %= board_.device_size(device());
        char text[32];
        const char *name = device() == tavboard::Device::game ? "game" : "sound";
        std::snprintf(text, sizeof text, "%s %06llx", name, static_cast<unsigned long long>(at + offset));
        return text;
    }
    // Records a write of `what` ("%02x" or "w16 %04x" of value) at a window offset.
    void written(uint32_t offset, const char *what, uint32_t value) {
        char data[16];
        std::snprintf(data, sizeof data, what, value);
        lines.push_back(place(offset) + " " + data);
    }

    static void write_register(void *ctx, uint32_t reg, uint8_t value) {
        self(ctx).registers_[reg] = value & 0x0F;
        self(ctx).board_.write(kPageRegisterOffset + reg, value);
    }
    static uint8_t read8(void *ctx, uint32_t offset) {
        BusTrace &t = self(ctx);
        std::string mode;
        uint8_t status = 0x80;
        t.board_.device_state(t.device(), &mode, &status);
        const bool array_like = mode == "read array" || mode == "read identifier" || mode == "read query";
        const bool polled = (status & 0x80) == 0 || !array_like;
        const std::string line = t.place(offset) + (polled ? " wait" : " read");
        if (!polled || t.lines.empty() || t.lines.back() != line) t.lines.push_back(line);
        return t.board_.read(offset);
    }
    static void write8(void *ctx, uint32_t offset, uint8_t value) {
        self(ctx).written(offset, "%02x", value);
        self(ctx).board_.write(offset, value);
    }
    static void write16(void *ctx, uint32_t offset, uint16_t value) {
        self(ctx).written(offset, "w16 %04x", value);
        self(ctx).board_.write16(offset, value);
    }
    static void copy_out(void *ctx, uint32_t offset, uint8_t *dest, uint32_t count) {
        self(ctx).lines.push_back(self(ctx).place(offset) + " copy " + std::to_string(count));
        self(ctx).board_.copy_out(offset, dest, count);
    }
    static constexpr BoardAccessOps kOps = {write_register, read8, write8, write16, copy_out};

    tavboard::Board &board_;
    uint8_t registers_[4] = {0, 0, 0, 0};
};

}  // namespace tavtest
