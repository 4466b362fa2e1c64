// The file a model board lives in: a fixed header (fit, configuration, faults, lifetime
// counters) followed by the contents of the game device and then of the sound device.
//
// The whole file is mapped MAP_SHARED, so every byte the model programs or erases, and every
// counter it bumps, reaches the file as it happens: a second process, or a run after a power
// cut, sees exactly what the board holds. While a BoardFile is open the file carries an
// exclusive flock; the system drops it when the process ends, so a killed process leaves no
// stale lock.
//
// Numbers are stored in the host's byte order (little-endian on every machine we build on).
#pragma once

#include "board/model.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavboard {

// Version 2 added the device states; a version 1 file holds zeros there, which is the
// power-up state, so it is read as it is and marked version 2.
constexpr uint32_t kBoardFileVersion = 2;
constexpr uint32_t kBoardFileOldVersion = 1;
constexpr uint32_t kBoardHeaderSize = 8192;   // data starts here, page aligned
constexpr uint32_t kMaxFaults = 32;
constexpr uint32_t kMaxGameBlocks = 256;      // 8 MB in 32 KB blocks
constexpr uint32_t kMaxSoundBlocks = 16;      // 1 MB boot-block part has 11

// One stored fault (FaultKind values; see model.h for the meaning of each field).
struct FileFault {
    uint32_t kind;
    uint32_t device;
    int32_t block;
    uint32_t mask;
    int64_t offset;
    uint64_t after;
};

// Where a device's command state machine stands. Zero is the power-up state.
enum class DeviceMode : uint8_t {
    read_array,
    read_id,
    read_query,
    read_status,
    erase_setup,
    program_setup,
    buffer_count,        // after 0xE8 with a free buffer: reads give the extended status
    buffer_unavailable,  // after 0xE8 with no free buffer: extended status 0
    buffer_data,
    buffer_confirm,
};
constexpr uint8_t kDeviceModeCount = 10;

// The state a flash device keeps while the board is powered: it stays in the board file,
// so a program that stops leaves the device where it was for the next one. All zero: read
// array, status 0x80, nothing busy.
struct DeviceState {
    DeviceMode mode;
    uint8_t status;           // error bits only; the ready bit is derived from busy
    uint8_t busy;             // an operation was started and may still run
    uint8_t never_ready;      // the write state machine hangs (never-ready fault)
    uint8_t op;               // operation in progress for a power cut: 0 none, 1 erase, 2 program
    uint8_t buf_bad;          // a data cycle fell outside the buffer
    uint8_t spare[2];
    uint32_t busy_reads_left; // instant timing: status reads until ready
    uint32_t buf_block;       // write buffer being filled: block, count N, cycles received, start
    uint32_t buf_count;
    uint32_t buf_received;
    uint32_t buf_start;
    uint32_t op_start;        // operation in progress: device bytes it covers
    uint32_t op_length;
    uint32_t spare2;
    int64_t busy_until_ns;    // data-sheet timing: monotonic clock time the operation ends
    uint8_t buf_data[32];
    uint8_t buf_present[32];
    uint8_t op_old_small[32]; // the bytes a program in progress started from
};

struct BoardHeader {
    char magic[8];              // "TAVBOARD"
    uint32_t version;
    uint32_t header_size;
    // Configuration: covered by config_check.
    uint32_t game_size;
    uint32_t game_block;
    uint32_t sound_size;
    uint32_t board_absent;
    uint32_t timing;
    uint32_t busy_reads;
    uint32_t fault_count;
    uint32_t bus_cycle_ns;      // bus timing: one bus access; 0 (older files) = kDefaultBusCycleNs
    FileFault faults[kMaxFaults];
    uint32_t config_check;      // checksum of the configuration fields above
    uint32_t reserved1;
    // Lifetime counters: change on every access, not covered by the checksum.
    Counters counters;
    uint64_t counters_spare[16 - sizeof(Counters) / 8];
    uint64_t command_counts[256];
    uint64_t game_erase_counts[kMaxGameBlocks];
    uint64_t sound_erase_counts[kMaxSoundBlocks];
    // Device states (version 2): change on every command, not covered by the checksum.
    DeviceState game_state;
    DeviceState sound_state;
    // Bus timing (zero in older files): the board's clock, and when on it the operation each
    // device started last ends. Not covered by the checksum.
    uint64_t clock_ns;
    uint64_t game_due_ns;
    uint64_t sound_due_ns;
};
static_assert(sizeof(BoardHeader) <= kBoardHeaderSize, "board header does not fit");
static_assert(sizeof(Counters) <= 16 * 8, "too many counters for the header");

class BoardFile {
  public:
    BoardFile() = default;
    ~BoardFile();
    BoardFile(const BoardFile &) = delete;
    BoardFile &operator=(const BoardFile &) = delete;

    // Makes a fresh board file (erased devices, default timing, no faults, zero counters)
    // and keeps it open. Refuses an existing file unless `force`; refuses a file that
    // another process holds. true ok; false with *error set.
    bool create(const std::string &path, const Fit &fit, bool force, std::string *error);
    // Opens an existing board file. Refuses it when it is held by another process, or is
    // truncated, corrupt or not a board file; never rewrites it. true ok; false with *error.
    bool open(const std::string &path, std::string *error);
    void close();

    BoardHeader *header() const { return header_; }
    uint8_t *game_data() const;
    uint8_t *sound_data() const;
    const std::string &path() const { return path_; }

    // Recomputes config_check after the configuration fields were changed.
    void seal_config();

    // Checks a fit: sizes and block size among the supported ones, a bus cycle from 1 ns to
    // 1 ms. true ok; false with *error.
    static bool valid_fit(const Fit &fit, std::string *error);

  private:
    bool lock_and_map(int fd, size_t size, std::string *error);

    std::string path_;
    int fd_ = -1;
    uint8_t *map_ = nullptr;
    size_t map_size_ = 0;
    BoardHeader *header_ = nullptr;
};

// The fit and bus a header describes.
Fit board_fit(const BoardHeader &header);

// The configuration checksum of a header (FNV-1a over the configuration fields).
uint32_t board_config_check(const BoardHeader &header);

}  // namespace tavboard
