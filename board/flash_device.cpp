#include "board/flash_device.h"

#include <bit>
#include <cstring>

namespace tavboard {

namespace {

constexpr uint8_t kManufacturerIntel = 0x89;
constexpr uint32_t kBootParamEnd = 0x8000;     // boot + two parameter blocks
constexpr uint32_t kBootMainStart = 0x20000;   // first 128 KB main block
constexpr uint32_t kMainBlock = 0x20000;

uint64_t splitmix(uint64_t *state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Leaves `out` in a state between `old` and `now` (the data before and after the operation)
// that is neither of them, as far as the bits that change allow: each changing bit takes
// a pseudo-random side.
void undefined_between(const uint8_t *old, const uint8_t *now, uint8_t *out, uint32_t length, uint64_t seed) {
    uint64_t state = seed;
    uint64_t random = 0;
    for (uint32_t i = 0; i < length; i++) {
        if ((i & 7) == 0) random = splitmix(&state);
        uint8_t changing = old[i] ^ now[i];
        out[i] = uint8_t(old[i] ^ (uint8_t(random >> ((i & 7) * 8)) & changing));
    }
    bool same_as_old = std::memcmp(out, old, length) == 0;
    bool same_as_now = std::memcmp(out, now, length) == 0;
    if (!same_as_old && !same_as_now) return;
    // One byte with two changing bits can by itself differ from both.
    for (uint32_t i = 0; i < length; i++) {
        uint8_t changing = old[i] ^ now[i];
        if (std::popcount(changing) >= 2) {
            out[i] = uint8_t(old[i] ^ (changing & -changing));
            return;
        }
    }
    // Else two bytes that change: one keeps its old value, the other takes its new one.
    int32_t first = -1;
    for (uint32_t i = 0; i < length; i++) {
        if (old[i] == now[i]) continue;
        if (first < 0) {
            first = int32_t(i);
            continue;
        }
        out[first] = old[first];
        out[i] = now[i];
        return;
    }
}

// The monotonic clock in nanoseconds. Its origin is the same for every process of the
// machine, so a due time stored by one program holds for the next.
int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

uint64_t typical_erase_us(bool boot_block, uint32_t block_length) {
    if (!boot_block) return 1000000;  // J3 block erase, about 1 s
    return block_length <= 0x4000 ? 300000 : 600000;
}

uint64_t typical_program_us(bool boot_block, bool buffered) {
    if (boot_block) return 10;
    return buffered ? 218 : 210;
}

// The J3 parts program their write buffer into the array in aligned 32-byte lines, and
// their data sheets give the buffer program time for a buffer on a 32-byte boundary. Our
// assumption for any other buffer: one that straddles two lines is programmed as two
// buffers, so it takes two buffer program times.
uint64_t buffer_lines_program_us(uint32_t start, uint32_t length) {
    uint32_t lines = (start % 32 + length + 31) / 32;
    return lines * typical_program_us(false, true);
}

void FlashDevice::init(Device id, uint8_t *data, uint32_t size, uint32_t block_size, bool boot_block,
                       DeviceState *state, DeviceEnv *env) {
    id_ = id;
    data_ = data;
    size_ = size;
    boot_block_ = boot_block;
    env_ = env;
    st_ = state;
    old_block_kept_ = false;
    // A state no device can be in (a damaged file): start from power-up instead.
    bool sane = uint8_t(st_->mode) < kDeviceModeCount && st_->op <= kOpProgram && st_->buf_count <= 32 &&
                st_->buf_received <= st_->buf_count && st_->buf_start < size && st_->op_start < size &&
                st_->op_length <= size - st_->op_start && (st_->op != kOpProgram || st_->op_length <= 32);
    if (!sane) power_up();
    std::memset(query_, 0, sizeof query_);
    if (boot_block) {
        block_size_ = 0;
        block_count_ = 4 + (size - kBootMainStart) / kMainBlock;
        device_code_ = size == (256u << 10) ? 0x75 : size == (512u << 10) ? 0x71 : 0x9D;
        return;
    }
    block_size_ = block_size;
    block_count_ = size / block_size;
    device_code_ = size == (8u << 20) ? 0x17 : 0x16;

    // Query structure of a J3 part in x8 mode (index = query offset).
    query_[0x00] = kManufacturerIntel;
    query_[0x01] = device_code_;
    query_[0x10] = 'Q';
    query_[0x11] = 'R';
    query_[0x12] = 'Y';
    query_[0x13] = 0x01;  // primary command set: Intel/Sharp extended
    query_[0x15] = 0x31;  // primary extended table at 0x31
    query_[0x1B] = 0x27;  // Vcc min 2.7 V
    query_[0x1C] = 0x36;  // Vcc max 3.6 V
    query_[0x1F] = 0x07;  // typical single program 2^7 us
    query_[0x20] = 0x07;  // typical buffer program 2^7 us
    query_[0x21] = 0x0A;  // typical block erase 2^10 ms
    query_[0x23] = 0x04;  // maximum = typical x 2^4
    query_[0x24] = 0x04;
    query_[0x25] = 0x04;
    query_[0x27] = uint8_t(std::countr_zero(size));  // device size 2^n bytes
    query_[0x28] = 0x02;  // x8/x16 interface
    query_[0x2A] = 0x05;  // write buffer 2^5 bytes
    query_[0x2C] = 0x01;  // one erase region
    query_[0x2D] = uint8_t((block_count_ - 1) & 0xFF);
    query_[0x2E] = uint8_t((block_count_ - 1) >> 8);
    query_[0x2F] = uint8_t((block_size / 256) & 0xFF);
    query_[0x30] = uint8_t((block_size / 256) >> 8);
    query_[0x31] = 'P';
    query_[0x32] = 'R';
    query_[0x33] = 'I';
    query_[0x34] = '1';
    query_[0x35] = '1';
}

uint32_t FlashDevice::block_index(uint32_t offset) const {
    if (!boot_block_) return offset / block_size_;
    if (offset < 0x4000) return 0;
    if (offset < 0x6000) return 1;
    if (offset < kBootParamEnd) return 2;
    if (offset < kBootMainStart) return 3;
    return 4 + (offset - kBootMainStart) / kMainBlock;
}

uint32_t FlashDevice::block_start(uint32_t index) const {
    if (!boot_block_) return index * block_size_;
    static const uint32_t starts[4] = {0, 0x4000, 0x6000, 0x8000};
    if (index < 4) return starts[index];
    return kBootMainStart + (index - 4) * kMainBlock;
}

uint32_t FlashDevice::block_length(uint32_t index) const {
    if (!boot_block_) return block_size_;
    static const uint32_t lengths[4] = {0x4000, 0x2000, 0x2000, 0x18000};
    if (index < 4) return lengths[index];
    return kMainBlock;
}

uint8_t FlashDevice::query_byte(uint32_t index) const {
    if (boot_block_ || index >= sizeof query_) return 0;
    return query_[index];
}

void FlashDevice::set_faults(const std::vector<Fault> &faults) {
    faults_.clear();
    for (const Fault &f : faults) {
        if (f.device != id_ || f.kind == FaultKind::power_cut || f.kind == FaultKind::kill || f.kind == FaultKind::absent)
            continue;
        faults_.push_back(f);
    }
    has_faults_ = !faults_.empty();
    apply_stuck(0, size_);
    // A write state machine hangs only while its never-ready fault is set: with the fault
    // cleared, the operation it hung in ends now.
    bool hangs = false;
    for (const Fault &f : faults_) hangs = hangs || f.kind == FaultKind::never_ready;
    if (!hangs) st_->never_ready = false;
}

void FlashDevice::power_up() {
    std::memset(st_, 0, sizeof *st_);
    old_block_kept_ = false;
}

const char *FlashDevice::mode_name() const {
    static const char *const names[kDeviceModeCount] = {
        "read array",     "read identifier", "read query",          "read status",      "erase set-up",
        "program set-up", "buffer count",    "buffer unavailable",  "buffer data",      "buffer confirm",
    };
    return names[uint8_t(st_->mode)];
}

uint8_t FlashDevice::status_byte() {
    bool busy = st_->busy && in_progress();
    return busy ? uint8_t(st_->status & ~kStatusReady) : uint8_t(kStatusReady | st_->status);
}

void FlashDevice::keep_old_data(bool on) {
    keep_old_ = on;
    if (on) {
        op_old_block_.resize(boot_block_ ? kMainBlock : block_size_);
    } else {
        op_old_block_.clear();
        op_old_block_.shrink_to_fit();
    }
}

const Fault *FlashDevice::fault_in(FaultKind kind, uint32_t start, uint32_t length) const {
    for (const Fault &f : faults_) {
        if (f.kind != kind) continue;
        if (f.block < 0 && f.offset < 0) return &f;
        if (f.block >= 0 && uint32_t(f.block) == block_index(start)) return &f;
        if (f.offset >= 0 && uint64_t(f.offset) >= start && uint64_t(f.offset) < uint64_t(start) + length) return &f;
    }
    return nullptr;
}

void FlashDevice::apply_stuck(uint32_t start, uint32_t length) {
    for (const Fault &f : faults_) {
        if (f.kind != FaultKind::stuck || f.offset < 0) continue;
        if (uint64_t(f.offset) >= start && uint64_t(f.offset) < uint64_t(start) + length && f.offset < size_)
            data_[f.offset] &= uint8_t(~f.mask);
    }
}

bool FlashDevice::in_progress() {
    if (!st_->busy) return false;
    if (st_->never_ready) return true;
    bool still;
    if (env_->timing == Timing::instant) {
        still = st_->busy_reads_left > 0;
    } else if (env_->timing == Timing::bus) {
        still = *env_->clock_ns < *env_->due_ns;
    } else {
        still = monotonic_ns() < st_->busy_until_ns;
    }
    if (!still) {
        st_->busy = false;
        st_->op = kOpNone;
    }
    return still;
}

uint8_t FlashDevice::status_read(uint8_t value) {
    if (env_->status_hook != nullptr) (*env_->status_hook)();
    return value;
}

uint8_t FlashDevice::read_slow(uint32_t offset) {
    if (st_->busy && in_progress()) {
        if (env_->timing == Timing::instant && !st_->never_ready) st_->busy_reads_left--;
        if (env_->timing == Timing::bus) env_->counters->wait_ns += env_->bus_cycle_ns;
        return status_read(st_->status & uint8_t(~kStatusReady));
    }
    switch (st_->mode) {
    case Mode::read_array:
        return data_[offset];
    case Mode::read_id: {
        uint32_t index = (offset & 0xFF) >> 1;
        if (index == 0) return kManufacturerIntel;
        if (index == 1) return device_code_;
        if (index == 2 && !boot_block_) {
            // Block lock configuration of the block addressed.
            uint32_t block = block_index(offset);
            return fault_in(FaultKind::locked, block_start(block), block_length(block)) ? 0x01 : 0x00;
        }
        return 0x00;
    }
    case Mode::read_query:
        return query_byte((offset & 0xFF) >> 1);
    case Mode::buffer_count:
        return status_read(kStatusReady);  // extended status: a write buffer is free
    case Mode::buffer_unavailable:
        return status_read(0x00);
    default:
        return status_read(uint8_t(kStatusReady | st_->status));
    }
}

void FlashDevice::copy_out(uint32_t offset, uint8_t *dest, uint32_t count) {
    if (st_->mode == Mode::read_array && !st_->busy) {
        std::memcpy(dest, data_ + offset, count);
        return;
    }
    for (uint32_t i = 0; i < count; i++) dest[i] = read_slow(offset + i);
}

void FlashDevice::count_command(uint8_t code) { env_->command_counts[code]++; }

void FlashDevice::sequence_error() {
    st_->status |= kStatusSequenceError;
    st_->mode = Mode::read_status;
}

void FlashDevice::start_busy(uint64_t typical_us) {
    env_->counters->busy_us += typical_us;
    st_->busy = true;
    st_->mode = Mode::read_status;
    if (env_->timing == Timing::instant) {
        st_->busy_reads_left = env_->busy_reads;
    } else if (env_->timing == Timing::bus) {
        *env_->due_ns = *env_->clock_ns + typical_us * 1000;
    } else {
        st_->busy_until_ns = monotonic_ns() + int64_t(typical_us) * 1000;
    }
}

bool FlashDevice::operation_allowed(uint8_t error_bit, uint32_t start, uint32_t length) {
    if (!has_faults_) return true;
    if (fault_in(FaultKind::never_ready, start, length)) {
        st_->never_ready = true;
        return false;
    }
    if (fault_in(FaultKind::locked, start, length)) {
        st_->status |= uint8_t(kStatusLocked | error_bit);
        return false;
    }
    if (fault_in(FaultKind::vpp_low, start, length)) {
        st_->status |= uint8_t(kStatusVppLow | error_bit);
        return false;
    }
    FaultKind failure = error_bit == kStatusEraseError ? FaultKind::erase_fail : FaultKind::program_fail;
    if (fault_in(failure, start, length)) {
        st_->status |= error_bit;
        return false;
    }
    return true;
}

void FlashDevice::erase_block(uint32_t index) {
    uint32_t start = block_start(index);
    uint32_t length = block_length(index);
    uint64_t typical = typical_erase_us(boot_block_, length);
    st_->op = kOpNone;
    if (operation_allowed(kStatusEraseError, start, length)) {
        old_block_kept_ = keep_old_;
        if (keep_old_) {
            std::memcpy(op_old_block_.data(), data_ + start, length);
            st_->op = kOpErase;
            st_->op_start = start;
            st_->op_length = length;
        }
        std::memset(data_ + start, 0xFF, length);
        if (has_faults_) apply_stuck(start, length);
        env_->counters->erases++;
        env_->erase_counts[index]++;
    }
    start_busy(typical);
}

void FlashDevice::program(uint32_t start, const uint8_t *values, const uint8_t *present, uint32_t length) {
    st_->op = kOpNone;
    if (operation_allowed(kStatusProgramError, start, length)) {
        std::memcpy(st_->op_old_small, data_ + start, length);
        st_->op = kOpProgram;
        st_->op_start = start;
        st_->op_length = length;
        Counters *c = env_->counters;
        for (uint32_t i = 0; i < length; i++) {
            if (present != nullptr && !present[i]) continue;
            uint8_t old = data_[start + i];
            // A 1 asked for where the flash holds a 0 cannot be programmed: count it.
            c->not_erased_bits += uint64_t(std::popcount(uint8_t(values[i] & ~old)));
            data_[start + i] = uint8_t(old & values[i]);
            c->programmed_bytes++;
        }
    }
    uint64_t typical = typical_program_us(boot_block_, present != nullptr);
    if (env_->timing == Timing::bus && present != nullptr) typical = buffer_lines_program_us(start, length);
    start_busy(typical);
}

void FlashDevice::command(uint32_t offset, uint8_t value) {
    count_command(value);
    switch (value) {
    case 0xFF:
        st_->mode = Mode::read_array;
        return;
    case 0x90:
        st_->mode = Mode::read_id;
        return;
    case 0x98:
        if (boot_block_) return sequence_error();
        st_->mode = Mode::read_query;
        return;
    case 0x70:
        st_->mode = Mode::read_status;
        return;
    case 0x50:
        st_->status = 0;
        if (st_->mode == Mode::buffer_unavailable) st_->mode = Mode::read_status;
        return;
    case 0x20:
        st_->mode = Mode::erase_setup;
        return;
    case 0x40:
    case 0x10:
        st_->mode = Mode::program_setup;
        return;
    case 0xE8: {
        if (boot_block_) return sequence_error();
        uint32_t block = block_index(offset);
        if (has_faults_ && fault_in(FaultKind::buffer_busy, block_start(block), block_length(block))) {
            st_->mode = Mode::buffer_unavailable;
            return;
        }
        st_->buf_block = block;
        st_->mode = Mode::buffer_count;
        return;
    }
    default:
        // Suspend, resume, lock-bit commands and anything unknown: this model's devices
        // take none of them, so the driver sees a command sequence error.
        return sequence_error();
    }
}

void FlashDevice::write(uint32_t offset, uint8_t value) {
    if (st_->busy && in_progress()) return;  // the write state machine ignores the bus while busy
    switch (st_->mode) {
    case Mode::erase_setup:
        count_command(value);
        if (value != 0xD0) return sequence_error();
        erase_block(block_index(offset));
        return;
    case Mode::program_setup: {
        uint8_t one = value;
        program(offset, &one, nullptr, 1);
        return;
    }
    case Mode::buffer_count:
        if (value > 31 || block_index(offset) != st_->buf_block) return sequence_error();
        st_->buf_count = uint32_t(value) + 1;
        st_->buf_received = 0;
        st_->buf_bad = false;
        std::memset(st_->buf_present, 0, sizeof st_->buf_present);
        st_->mode = Mode::buffer_data;
        return;
    case Mode::buffer_data:
        if (st_->buf_received == 0) st_->buf_start = offset;
        if (offset < st_->buf_start || offset - st_->buf_start >= st_->buf_count || block_index(offset) != st_->buf_block) {
            st_->buf_bad = true;
        } else {
            st_->buf_data[offset - st_->buf_start] = value;
            st_->buf_present[offset - st_->buf_start] = true;
        }
        if (++st_->buf_received == st_->buf_count) st_->mode = Mode::buffer_confirm;
        return;
    case Mode::buffer_confirm:
        count_command(value);
        if (value != 0xD0 || st_->buf_bad || block_index(offset) != st_->buf_block) return sequence_error();
        if (st_->buf_start % 32 != 0) env_->counters->unaligned_buffers++;
        program(st_->buf_start, st_->buf_data, st_->buf_present, st_->buf_count);
        return;
    default:
        command(offset, value);
        return;
    }
}

void FlashDevice::lose_power(uint64_t seed) {
    if (!st_->busy || !in_progress() || st_->op == kOpNone) return;
    // An erase that an earlier program started: its old contents are not known here, so
    // the block stays erased.
    if (st_->op == kOpErase && !old_block_kept_) return;
    uint8_t *now = data_ + st_->op_start;
    if (st_->op == kOpErase) {
        std::vector<uint8_t> erased(st_->op_length, 0xFF);
        undefined_between(op_old_block_.data(), erased.data(), now, st_->op_length, seed);
    } else {
        uint8_t programmed[32];
        std::memcpy(programmed, now, st_->op_length);
        undefined_between(st_->op_old_small, programmed, now, st_->op_length, seed);
    }
}

}  // namespace tavboard
