#include "board/board_impl.h"
#include "platform/tav_home.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(_WIN32)
#include "board/posix_calls_win32.h"
#else
#include <sys/mman.h>
#endif

namespace tavboard {

std::unique_ptr<Board> Board::create(const std::string &path, const Fit &fit, bool force, std::string *error) {
    auto board = std::make_unique<BoardImpl>();
    if (!board->file().create(path, fit, force, error)) return nullptr;
    if (!board->adopt(error)) return nullptr;
    return board;
}

std::unique_ptr<Board> Board::open(const std::string &path, std::string *error) {
    auto board = std::make_unique<BoardImpl>();
    if (!board->file().open(path, error)) return nullptr;
    if (!board->adopt(error)) return nullptr;
    return board;
}

std::unique_ptr<Board> Board::open_or_create(const std::string &path, std::string *error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) return create(path, Fit(), false, error);
    return open(path, error);
}

std::string Board::default_path() {
    std::string home = tav_home();
    if (home.empty()) return "board.img";
#if defined(_WIN32)
    return home + "\\board.img";
#else
    return home + "/board.img";
#endif
}

BoardImpl::BoardImpl() = default;

BoardImpl::~BoardImpl() {
    if (window_ != nullptr) {
        detach(*this);
        munmap(window_, 0x8000);
    }
}

bool BoardImpl::adopt(std::string *) {
    header_ = file_.header();
    game_env_.counters = &header_->counters;
    game_env_.command_counts = header_->command_counts;
    game_env_.erase_counts = header_->game_erase_counts;
    sound_env_ = game_env_;
    sound_env_.erase_counts = header_->sound_erase_counts;
    game_env_.due_ns = &header_->game_due_ns;
    sound_env_.due_ns = &header_->sound_due_ns;
    load_timing();
    game_fitted_ = header_->game_size != 0;
    sound_fitted_ = header_->sound_size != 0;
    if (game_fitted_)
        game_.init(Device::game, file_.game_data(), header_->game_size, header_->game_block, false,
                   &header_->game_state, &game_env_);
    if (sound_fitted_)
        sound_.init(Device::sound, file_.sound_data(), header_->sound_size, 0, true, &header_->sound_state,
                    &sound_env_);
    load_faults();
    decode();
    return true;
}

FlashDevice *BoardImpl::device(Device device) {
    if (device == Device::game) return game_fitted_ ? &game_ : nullptr;
    return sound_fitted_ ? &sound_ : nullptr;
}

void BoardImpl::decode() {
    window_device_ = nullptr;
    if (header_->board_absent) return;
    uint32_t page = registers_[0] | (registers_[1] << 4) | (registers_[2] << 8);
    uint32_t space = registers_[3];
    if (space == 0 || space == 1) {
        // Spaces 0 and 1 both reach the game device; space 1 uses page numbers from 256 up,
        // the upper half of an 8 MB part.
        if (!game_fitted_ || game_absent_) return;
        uint64_t base = uint64_t(page) * kWindow;
        if (base >= game_.size()) return;
        window_device_ = &game_;
        window_base_ = uint32_t(base);
    } else if (space == 8) {
        // An incompletely decoded part: a small device repeats through the space.
        if (!sound_fitted_ || sound_absent_) return;
        window_device_ = &sound_;
        window_base_ = uint32_t((uint64_t(page) * kWindow) % sound_.size());
    }
}

void BoardImpl::bus_copy_out(uint32_t offset, uint8_t *dest, uint32_t count) {
    if (++process_accesses_ == stop_at_) stop();
    Counters &c = header_->counters;
    c.accesses++;
    c.reads += count;
    if (log_on_) log_.push_back({Access::copy, offset, count});
    if (bus_timing_) {
        // A byte cycle each: a device that is busy can come ready during the copy.
        for (uint32_t i = 0; i < count; i++) {
            uint32_t at = offset + i;
            pass_bus_cycle();
            dest[i] = (at < kWindow && window_device_ != nullptr) ? window_device_->read(window_base_ + at) : 0xFF;
        }
        return;
    }
    if (offset < kWindow && count <= kWindow - offset && window_device_ != nullptr) {
        window_device_->copy_out(window_base_ + offset, dest, count);
        return;
    }
    // Runs that leave the window, or an open bus: byte by byte.
    for (uint32_t i = 0; i < count; i++) {
        uint32_t at = offset + i;
        dest[i] = (at < kWindow && window_device_ != nullptr) ? window_device_->read(window_base_ + at) : 0xFF;
    }
}

uint8_t *BoardImpl::window_address() {
    if (window_ == nullptr) {
        // An address no one can touch: a stray access that bypasses the board accesses
        // faults at once instead of going unnoticed.
        void *p = mmap(nullptr, 0x8000, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        window_ = static_cast<uint8_t *>(p);
    }
    return window_;
}

Fit BoardImpl::fit() const { return board_fit(*header_); }

const uint8_t *BoardImpl::data(Device device) const {
    if (device == Device::game) return game_fitted_ ? file_.game_data() : nullptr;
    return sound_fitted_ ? file_.sound_data() : nullptr;
}

uint32_t BoardImpl::device_size(Device device) const {
    return device == Device::game ? header_->game_size : header_->sound_size;
}

uint64_t BoardImpl::erase_count(Device device, uint32_t block) const {
    if (device == Device::game) return block < kMaxGameBlocks ? header_->game_erase_counts[block] : 0;
    return block < kMaxSoundBlocks ? header_->sound_erase_counts[block] : 0;
}

uint64_t BoardImpl::command_count(uint8_t code) const { return header_->command_counts[code]; }

void BoardImpl::reset_counters() {
    header_->counters = Counters();
    std::memset(header_->counters_spare, 0, sizeof header_->counters_spare);
    std::memset(header_->command_counts, 0, sizeof header_->command_counts);
    std::memset(header_->game_erase_counts, 0, sizeof header_->game_erase_counts);
    std::memset(header_->sound_erase_counts, 0, sizeof header_->sound_erase_counts);
}

std::vector<Fault> BoardImpl::faults() const {
    std::vector<Fault> out;
    for (uint32_t i = 0; i < header_->fault_count; i++) {
        const FileFault &ff = header_->faults[i];
        Fault f;
        f.kind = FaultKind(ff.kind);
        f.device = Device(ff.device);
        f.block = ff.block;
        f.offset = ff.offset;
        f.mask = uint8_t(ff.mask);
        f.after = ff.after;
        out.push_back(f);
    }
    return out;
}

bool BoardImpl::add_fault(const Fault &fault, std::string *error) {
    if (header_->fault_count >= kMaxFaults) {
        *error = "too many faults (at most " + std::to_string(kMaxFaults) + ")";
        return false;
    }
    if (fault.kind < FaultKind::erase_fail || fault.kind > FaultKind::kill) {
        *error = "unknown fault kind";
        return false;
    }
    if (fault.kind == FaultKind::power_cut || fault.kind == FaultKind::kill) {
        if (fault.after == 0) {
            *error = "a power cut or kill needs the number of the bus access it happens at (1 or more)";
            return false;
        }
    } else {
        if (fault.device != Device::game && fault.device != Device::sound) {
            *error = "unknown device";
            return false;
        }
        FlashDevice *dev = device(fault.device);
        if (dev == nullptr) {
            *error = std::string("no ") + (fault.device == Device::game ? "game" : "sound") + " flash is fitted";
            return false;
        }
        if (fault.block >= 0 && uint32_t(fault.block) >= dev->block_count()) {
            *error = "block " + std::to_string(fault.block) + " is beyond the device (" +
                     std::to_string(dev->block_count()) + " blocks)";
            return false;
        }
        if (fault.offset >= 0 && uint64_t(fault.offset) >= dev->size()) {
            *error = "offset is beyond the device";
            return false;
        }
        if (fault.kind == FaultKind::stuck && (fault.offset < 0 || fault.mask == 0)) {
            *error = "stuck bits need an offset and a non-zero mask";
            return false;
        }
    }
    FileFault &ff = header_->faults[header_->fault_count++];
    ff.kind = uint32_t(fault.kind);
    ff.device = uint32_t(fault.device);
    ff.block = fault.block;
    ff.mask = fault.mask;
    ff.offset = fault.offset;
    ff.after = fault.after;
    file_.seal_config();
    load_faults();
    return true;
}

void BoardImpl::clear_faults() {
    header_->fault_count = 0;
    std::memset(header_->faults, 0, sizeof header_->faults);
    file_.seal_config();
    load_faults();
}

void BoardImpl::load_faults() {
    std::vector<Fault> all = faults();
    game_absent_ = sound_absent_ = false;
    stop_at_ = 0;
    bool cut_armed = false;
    for (const Fault &f : all) {
        if (f.kind == FaultKind::absent) (f.device == Device::game ? game_absent_ : sound_absent_) = true;
        if (f.kind != FaultKind::power_cut && f.kind != FaultKind::kill) continue;
        cut_armed = cut_armed || f.kind == FaultKind::power_cut;
        if (stop_at_ == 0 || f.after < stop_at_) {
            stop_at_ = f.after;
            stop_kind_ = f.kind;
        }
    }
    if (game_fitted_) {
        game_.set_faults(all);
        game_.keep_old_data(cut_armed);
    }
    if (sound_fitted_) {
        sound_.set_faults(all);
        sound_.keep_old_data(cut_armed);
    }
    decode();
}

void BoardImpl::set_board_absent(bool absent) {
    header_->board_absent = absent ? 1 : 0;
    file_.seal_config();
    decode();
}

void BoardImpl::set_timing(Timing timing, uint32_t busy_reads) {
    header_->timing = uint32_t(timing);
    header_->busy_reads = busy_reads;
    file_.seal_config();
    load_timing();
}

void BoardImpl::load_timing() {
    bus_timing_ = Timing(header_->timing) == Timing::bus;
    bus_cycle_ns_ = board_fit(*header_).bus_cycle_ns;
    for (DeviceEnv *env : {&game_env_, &sound_env_}) {
        env->timing = Timing(header_->timing);
        env->busy_reads = header_->busy_reads;
        env->clock_ns = &header_->clock_ns;
        env->bus_cycle_ns = bus_cycle_ns_;
    }
}

void BoardImpl::set_status_read_hook(std::function<void()> hook) {
    hook_ = std::move(hook);
    const std::function<void()> *p = hook_ ? &hook_ : nullptr;
    game_env_.status_hook = p;
    sound_env_.status_hook = p;
}

void BoardImpl::power_cycle() {
    if (game_fitted_) game_.power_up();
    if (sound_fitted_) sound_.power_up();
}

bool BoardImpl::device_state(Device which, std::string *mode, uint8_t *status) {
    FlashDevice *dev = device(which);
    if (dev == nullptr) return false;
    *mode = dev->mode_name();
    *status = dev->status_byte();
    return true;
}

void BoardImpl::stop() {
    // The fault fires once: take it off the board before anything else.
    uint32_t kept = 0;
    bool removed = false;
    for (uint32_t i = 0; i < header_->fault_count; i++) {
        const FileFault &ff = header_->faults[i];
        if (!removed && ff.kind == uint32_t(stop_kind_) && ff.after == stop_at_) {
            removed = true;
            continue;
        }
        header_->faults[kept++] = ff;
    }
    for (uint32_t i = kept; i < header_->fault_count; i++) std::memset(&header_->faults[i], 0, sizeof(FileFault));
    header_->fault_count = kept;
    file_.seal_config();
    // Killed with the board powered: the devices stay as the last completed access left them.
    if (stop_kind_ == FaultKind::kill) _exit(137);

    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t seed = uint64_t(ts.tv_nsec) ^ (uint64_t(ts.tv_sec) << 32) ^ uint64_t(getpid());
    if (game_fitted_) game_.lose_power(seed);
    if (sound_fitted_) sound_.lose_power(seed * 31 + 7);
    power_cycle();
    _exit(137);
}

}  // namespace tavboard
