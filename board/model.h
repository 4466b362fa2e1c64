// Software model of the TAV update board: the page-register decoding of the ISA range and
// two Intel-command-set flash devices (a CFI game flash like the 28F320J3/28F640J3 and a
// bottom boot-block sound flash like the 28F200B/400B/800B), stored in one board file.
//
// Bus offsets are offsets in the board's 0x8000-byte memory range: 0x0000-0x3FFF the data
// window, 0x4000-0x4003 the four write-only page registers, the rest open bus.
//
// The board file keeps contents, fit, configuration, faults, counters, the clock of the bus
// timing and the command state of each device: the board stays powered between programs, so
// a program finds the devices where the last one left them (power_cycle() switches it off
// and on). What the model
// leaves out is listed in board/board_impl.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavboard {

enum class Device : uint32_t { game = 0, sound = 1 };

// One memory cycle of the 8-bit ISA bus: 6 bus clocks at 8.33 MHz.
constexpr uint32_t kDefaultBusCycleNs = 720;

// What is fitted on the board, and the bus it sits on.
struct Fit {
    uint32_t game_size = 4u << 20;      // 4 MB or 8 MB
    uint32_t game_block = 128u << 10;   // 32 KB, 64 KB or 128 KB erase blocks
    uint32_t sound_size = 1u << 20;     // 256 KB, 512 KB or 1 MB; 0 = no sound device fitted
    bool board_absent = false;          // nothing answers at all (jumper off)
    uint32_t bus_cycle_ns = kDefaultBusCycleNs;  // what one bus access takes in bus timing (1 to 1000000)
};

enum class FaultKind : uint32_t {
    erase_fail = 1,   // erase ends with status 0xA0
    program_fail,     // program ends with status 0x90
    stuck,            // bits of `mask` at `offset` stay 0; no status error
    vpp_low,          // 0x88 plus the operation's error bit; nothing changes
    locked,           // 0x82 plus the operation's error bit; nothing changes
    never_ready,      // status bit 7 never comes back after an erase or program
    buffer_busy,      // the write buffer is never available
    absent,           // the device does not answer (open bus)
    power_cut,        // the process ends at the `after`-th bus access; the devices lose
                      // power (an operation in progress leaves undefined cells) and come back
                      // in their power-up state
    kill,             // the process ends at the `after`-th bus access with the board kept
                      // powered: the devices stay exactly where they are
};

struct Fault {
    FaultKind kind = FaultKind::erase_fail;
    Device device = Device::game;
    int32_t block = -1;     // erase block index the fault is limited to, -1 = whole device
    int64_t offset = -1;    // device byte offset the fault is limited to, -1 = whole device
    uint8_t mask = 0;       // stuck: bits held at 0
    uint64_t after = 0;     // power_cut, kill: number of the bus access (1-based) that never completes
};

// How long the devices stay busy: a number of status reads (instant), the typical times on
// the wall clock (datasheet), or the typical times on the board's own clock, which every
// bus access moves on by one bus cycle (bus): the board time a run would take, without
// waiting for it.
enum class Timing : uint32_t { instant = 0, datasheet = 1, bus = 2 };

// Lifetime counters, kept in the board file.
struct Counters {
    uint64_t accesses = 0;
    uint64_t register_writes = 0;
    uint64_t reads = 0;             // data window byte reads (a copy counts each byte)
    uint64_t writes = 0;            // data window writes (bytes and words)
    uint64_t erases = 0;            // block erases performed
    uint64_t programmed_bytes = 0;
    uint64_t not_erased_bits = 0;   // attempted 0 -> 1 bits in programs
    uint64_t busy_us = 0;           // device time the operations would have taken
    uint64_t unaligned_buffers = 0; // buffered writes not starting on a 32-byte boundary
    // Bus timing only (zero in the other timings): the board time that passed, and the part
    // of it spent in status reads that found a device busy. The rest was the bus busy with
    // the program's own accesses.
    uint64_t board_ns = 0;
    uint64_t wait_ns = 0;
};

// One entry of the optional access log.
struct Access {
    enum Kind : uint8_t { reg_write, read, write8, write16, copy } kind;
    uint32_t offset;   // bus offset
    uint32_t value;    // value written or read; byte count for a copy
};

class Board {
  public:
    // A fresh, erased board in `path`. Refuses an existing file unless `force`.
    static std::unique_ptr<Board> create(const std::string &path, const Fit &fit, bool force, std::string *error);
    // An existing board file; refuses corrupt, truncated or foreign files and a board that
    // another process holds open.
    static std::unique_ptr<Board> open(const std::string &path, std::string *error);
    // As open, but makes a board with the default fit when the file does not exist.
    static std::unique_ptr<Board> open_or_create(const std::string &path, std::string *error);
    // $TAV_HOME/board.img
    static std::string default_path();

    virtual ~Board() = default;

    // The bus: accesses as the ISA range sees them.
    virtual uint8_t read(uint32_t offset) = 0;
    virtual void write(uint32_t offset, uint8_t value) = 0;
    virtual void write16(uint32_t offset, uint16_t value) = 0;
    virtual void copy_out(uint32_t offset, uint8_t *dest, uint32_t count) = 0;

    // An address that stands for this board's window while it is attached (attach()).
    virtual uint8_t *window_address() = 0;

    virtual Fit fit() const = 0;
    virtual const std::string &path() const = 0;
    // The stored contents of a device (its own size); null when not fitted.
    virtual const uint8_t *data(Device device) const = 0;
    virtual uint32_t device_size(Device device) const = 0;
    // Block erases performed on block `block` of `device` since the counters were reset.
    virtual uint64_t erase_count(Device device, uint32_t block) const = 0;
    // Command bytes received, by code, since the counters were reset.
    virtual uint64_t command_count(uint8_t code) const = 0;
    virtual Counters counters() const = 0;
    virtual void reset_counters() = 0;

    virtual std::vector<Fault> faults() const = 0;
    virtual bool add_fault(const Fault &fault, std::string *error) = 0;
    virtual void clear_faults() = 0;
    virtual void set_board_absent(bool absent) = 0;
    virtual void set_timing(Timing timing, uint32_t busy_reads) = 0;
    virtual Timing timing() const = 0;
    virtual uint32_t busy_reads() const = 0;
    // The board's own clock of the bus timing: board time since the file was made, moved on
    // only by bus accesses in that timing. Not reset with the counters.
    virtual uint64_t clock_ns() const = 0;

    // Switches the board off and on: both devices go to their power-up state (read array,
    // status 0x80, nothing busy); contents stay.
    virtual void power_cycle() = 0;
    // Where a device's command state machine stands: the mode's name and the status byte a
    // status read would give. false when the device is not fitted.
    virtual bool device_state(Device device, std::string *mode, uint8_t *status) = 0;

    // Test hooks (not stored): a function called on every status read (tests drive the
    // tick clock with it), and the access log.
    virtual void set_status_read_hook(std::function<void()> hook) = 0;
    virtual void enable_log(bool on) = 0;
    virtual const std::vector<Access> &log() const = 0;
    virtual void clear_log() = 0;
};

// Binds the flash driver's board accesses for board.window_address() to the model.
void attach(Board &board);
void detach(Board &board);

}  // namespace tavboard
