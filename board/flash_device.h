// One 8-bit Intel-command-set flash device of the board model: its command state machine,
// status register, busy time, faults and data semantics.
//
// Two kinds: a CFI StrataFlash J3-like game device (uniform erase blocks, 32-byte write
// buffer, query structure) and a bottom boot-block sound device (16 KB, 8 KB, 8 KB, 96 KB,
// then 128 KB blocks; identifier codes only; one byte per program command).
//
// The device state machine lives in the board file (DeviceState): a program that stops in
// the middle of a command sequence or while an operation is busy leaves the device so, and
// the next program finds it so, as on a board that stays powered.
#pragma once

#include "board/board_file.h"
#include "board/model.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace tavboard {

// Status register bits.
constexpr uint8_t kStatusReady = 0x80;
constexpr uint8_t kStatusEraseError = 0x20;
constexpr uint8_t kStatusProgramError = 0x10;
constexpr uint8_t kStatusVppLow = 0x08;
constexpr uint8_t kStatusLocked = 0x02;
constexpr uint8_t kStatusSequenceError = kStatusEraseError | kStatusProgramError;

// What a device shares with its board: the live counters in the board file, the faults
// that concern it, the timing and the test hook.
struct DeviceEnv {
    Counters *counters = nullptr;
    uint64_t *command_counts = nullptr;   // 256 entries
    uint64_t *erase_counts = nullptr;     // one per erase block
    const std::function<void()> *status_hook = nullptr;  // null when no hook is set
    Timing timing = Timing::instant;
    uint32_t busy_reads = 2;
    // Bus timing: the board's clock, when this device's operation ends on it, and what one
    // status read takes (all in the board file but the cycle).
    const uint64_t *clock_ns = nullptr;
    uint64_t *due_ns = nullptr;
    uint32_t bus_cycle_ns = kDefaultBusCycleNs;
};

class FlashDevice {
  public:
    // `data` is the device's stored contents (size bytes, in the mapped board file), `state`
    // its command state (in the board file too; a state that cannot be is reset to power-up).
    // boot_block false: J3-like part with uniform blocks of `block_size`.
    void init(Device id, uint8_t *data, uint32_t size, uint32_t block_size, bool boot_block, DeviceState *state,
              DeviceEnv *env);

    Device id() const { return id_; }
    uint32_t size() const { return size_; }
    uint8_t device_code() const { return device_code_; }
    bool boot_block() const { return boot_block_; }
    uint32_t block_count() const { return block_count_; }
    uint32_t block_index(uint32_t offset) const;
    uint32_t block_start(uint32_t index) const;
    uint32_t block_length(uint32_t index) const;

    // The faults that concern this device (replaces the previous set).
    void set_faults(const std::vector<Fault> &faults);

    // Bus cycles at device byte `offset` (< size).
    uint8_t read(uint32_t offset) {
        if (st_->mode == Mode::read_array && !st_->busy) return data_[offset];
        return read_slow(offset);
    }
    void write(uint32_t offset, uint8_t value);
    // Copies `count` bytes starting at `offset`; the run stays inside the device.
    void copy_out(uint32_t offset, uint8_t *dest, uint32_t count);

    // True while an erase or program is still in progress.
    bool in_progress();
    // The power has gone: an erase or program still in progress leaves its block or bytes
    // in a state that is neither the old nor the new data. `seed` drives the pattern.
    void lose_power(uint64_t seed);
    // Keep a copy of a block's old contents at each erase, so a power cut can leave it
    // undefined. Off by default (costs a block copy per erase).
    void keep_old_data(bool on);
    // The power-up state: read array, status 0x80, nothing busy, no sequence under way.
    void power_up();

    // For display: the mode's name, and the status byte a status read would give now
    // (without counting as a read).
    const char *mode_name() const;
    uint8_t status_byte();

    // The query table byte at query offset `index` (0 when the device has no query table).
    uint8_t query_byte(uint32_t index) const;

  private:
    using Mode = DeviceMode;
    enum Op : uint8_t { kOpNone, kOpErase, kOpProgram };

    uint8_t read_slow(uint32_t offset);
    uint8_t status_read(uint8_t value);
    void command(uint32_t offset, uint8_t value);
    void sequence_error();
    void count_command(uint8_t code);
    // The first fault of `kind` that covers device bytes [start, start + length).
    const Fault *fault_in(FaultKind kind, uint32_t start, uint32_t length) const;
    // Applies the fault outcomes of an erase or program of [start, start + length);
    // true when the operation may go ahead and change the data.
    bool operation_allowed(uint8_t error_bit, uint32_t start, uint32_t length);
    void start_busy(uint64_t typical_us);
    void erase_block(uint32_t index);
    void program(uint32_t start, const uint8_t *values, const uint8_t *present, uint32_t length);
    void apply_stuck(uint32_t start, uint32_t length);

    Device id_ = Device::game;
    uint8_t *data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t block_size_ = 0;
    uint32_t block_count_ = 0;
    bool boot_block_ = false;
    uint8_t device_code_ = 0;
    DeviceEnv *env_ = nullptr;
    std::vector<Fault> faults_;
    bool has_faults_ = false;

    DeviceState *st_ = nullptr;   // in the board file

    // A copy of the block an erase started in this process began from, for a power cut.
    bool keep_old_ = false;
    bool old_block_kept_ = false;
    std::vector<uint8_t> op_old_block_;

    uint8_t query_[0x40];
};

// Typical device times used for busy time and the busy-us counter.
uint64_t typical_erase_us(bool boot_block, uint32_t block_length);
uint64_t typical_program_us(bool boot_block, bool buffered);
// What the bus timing charges for a write buffer of `length` bytes at device offset
// `start`: one buffer program time per aligned 32-byte line of the array it touches.
uint64_t buffer_lines_program_us(uint32_t start, uint32_t length);

}  // namespace tavboard
