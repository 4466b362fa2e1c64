// The board model behind the Board interface: bus decoding of the page registers and the
// data window onto the two devices, counters, faults, access log and the board file.
//
// What the model does not model:
// - The board is always powered between programs: the device states live in the board file
//   and only `tavsim power-cycle` or a power cut resets them. A write state machine hung by
//   the never-ready fault recovers as soon as the fault is cleared.
// - Unexpected writes follow the strict reading of the data sheets: a write while busy is
//   ignored (reads give the status); after 0x20 anything but 0xD0 is a sequence error;
//   after 0x40 any byte is data; after 0xE8 a count above 31 or in another block is a
//   sequence error; a data cycle outside the buffer is remembered and the confirm then
//   fails with a sequence error, whatever byte it is; the confirm cycle itself must be 0xD0.
// - An erase started by an earlier program and still busy when the power is cut leaves its
//   block erased (its old contents are kept only by the program that started it).
// - Erase and program suspend/resume, block lock-bit commands, protection registers,
//   the J3 configuration command, 16-bit device mode, chip erase: the devices answer these
//   with a command sequence error.
// - Erase and program effects happen when the operation starts; "busy" is a number of status
//   reads (or a wall-clock delay), not a gradual change of the cells. A power cut while an
//   operation is still busy leaves its block or bytes in a pseudo-random state in between.
// - A failed erase or program (fault) changes nothing in the array; a real part may leave
//   partly changed cells.
// - Query and identifier reads decode the low eight address bits only.
// - Read timing, bus width of the ISA slot and wait states are not modelled; a 16-bit write
//   is two byte cycles on these 8-bit devices (low byte first). The bus timing charges every
//   byte cycle the same fixed time; the program's own time between accesses, and the
//   transfer of a copy out of the window to memory, take no board time.
// - A change of timing while an operation is busy judges that operation by the new
//   timing's clock or count, which may end it at once.
#pragma once

#include "board/board_file.h"
#include "board/flash_device.h"
#include "board/model.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavboard {

class BoardImpl final : public Board {
  public:
    BoardImpl();
    ~BoardImpl() override;

    // Takes over an open board file.
    bool adopt(std::string *error);
    BoardFile &file() { return file_; }

    // Bus accesses, kept non-virtual so that the attached window calls them directly.
    uint8_t bus_read(uint32_t offset) {
        if (++process_accesses_ == stop_at_) stop();
        Counters &c = header_->counters;
        c.accesses++;
        c.reads++;
        if (log_on_) log_.push_back({Access::read, offset, 0});
        pass_bus_cycle();
        uint8_t value = 0xFF;
        if (offset < kWindow && window_device_ != nullptr) value = window_device_->read(window_base_ + offset);
        if (log_on_) log_.back().value = value;
        return value;
    }
    void bus_write(uint32_t offset, uint8_t value) {
        if (++process_accesses_ == stop_at_) stop();
        Counters &c = header_->counters;
        c.accesses++;
        if (offset >= kWindow && offset < kWindow + 4) {
            c.register_writes++;
        } else {
            c.writes++;
        }
        if (log_on_) log_.push_back({offset >= kWindow && offset < kWindow + 4 ? Access::reg_write : Access::write8,
                                     offset, value});
        pass_bus_cycle();
        cycle_write(offset, value);
    }
    void bus_write16(uint32_t offset, uint16_t value) {
        if (++process_accesses_ == stop_at_) stop();
        Counters &c = header_->counters;
        c.accesses++;
        c.writes++;
        if (log_on_) log_.push_back({Access::write16, offset, value});
        // Two byte cycles on the 8-bit devices, low byte first.
        pass_bus_cycle();
        cycle_write(offset, uint8_t(value & 0xFF));
        pass_bus_cycle();
        cycle_write(offset + 1, uint8_t(value >> 8));
    }
    void bus_copy_out(uint32_t offset, uint8_t *dest, uint32_t count);

    uint8_t read(uint32_t offset) override { return bus_read(offset); }
    void write(uint32_t offset, uint8_t value) override { bus_write(offset, value); }
    void write16(uint32_t offset, uint16_t value) override { bus_write16(offset, value); }
    void copy_out(uint32_t offset, uint8_t *dest, uint32_t count) override { bus_copy_out(offset, dest, count); }

    uint8_t *window_address() override;

    Fit fit() const override;
    const std::string &path() const override { return file_.path(); }
    const uint8_t *data(Device device) const override;
    uint32_t device_size(Device device) const override;
    uint64_t erase_count(Device device, uint32_t block) const override;
    uint64_t command_count(uint8_t code) const override;
    Counters counters() const override { return header_->counters; }
    void reset_counters() override;

    std::vector<Fault> faults() const override;
    bool add_fault(const Fault &fault, std::string *error) override;
    void clear_faults() override;
    void set_board_absent(bool absent) override;
    void set_timing(Timing timing, uint32_t busy_reads) override;
    Timing timing() const override { return Timing(header_->timing); }
    uint32_t busy_reads() const override { return header_->busy_reads; }
    uint64_t clock_ns() const override { return header_->clock_ns; }

    void power_cycle() override;
    bool device_state(Device device, std::string *mode, uint8_t *status) override;

    void set_status_read_hook(std::function<void()> hook) override;
    void enable_log(bool on) override { log_on_ = on; }
    const std::vector<Access> &log() const override { return log_; }
    void clear_log() override { log_.clear(); }

    // The device of a kind, or null when not fitted.
    FlashDevice *device(Device device);

  private:
    static constexpr uint32_t kWindow = 0x4000;

    // Bus timing: one bus cycle passes on the board's clock. A device sees the clock at the
    // end of the cycle, so an operation a write starts begins when that write is done.
    void pass_bus_cycle() {
        if (!bus_timing_) return;
        header_->clock_ns += bus_cycle_ns_;
        header_->counters.board_ns += bus_cycle_ns_;
    }
    // Takes the timing and bus cycle from the board file into the board and its devices.
    void load_timing();

    void cycle_write(uint32_t offset, uint8_t value) {
        if (offset < kWindow) {
            if (window_device_ != nullptr) window_device_->write(window_base_ + offset, value);
        } else if (offset < kWindow + 4) {
            registers_[offset - kWindow] = value & 0x0F;
            decode();
        }
        // 0x4004 and up: open bus.
    }
    // Recomputes which device and which device offset the window shows.
    void decode();
    // Reloads the faults from the file into the devices and the stop trigger.
    void load_faults();
    // The armed power cut or kill fires: it is taken off the board, then the process ends
    // with 137, after a power cut with the devices powered down and up again.
    [[noreturn]] void stop();

    BoardFile file_;
    BoardHeader *header_ = nullptr;
    FlashDevice game_;
    FlashDevice sound_;
    bool game_fitted_ = false;
    bool sound_fitted_ = false;
    bool game_absent_ = false;
    bool sound_absent_ = false;
    DeviceEnv game_env_;
    DeviceEnv sound_env_;

    bool bus_timing_ = false;
    uint32_t bus_cycle_ns_ = kDefaultBusCycleNs;

    uint8_t registers_[4] = {0, 0, 0, 0};
    FlashDevice *window_device_ = nullptr;
    uint32_t window_base_ = 0;

    uint64_t process_accesses_ = 0;
    uint64_t stop_at_ = 0;     // 0: no power cut or kill armed
    FaultKind stop_kind_ = FaultKind::power_cut;

    std::function<void()> hook_;
    bool log_on_ = false;
    std::vector<Access> log_;

    uint8_t *window_ = nullptr;   // inaccessible stand-in address of the attached window
};

}  // namespace tavboard
