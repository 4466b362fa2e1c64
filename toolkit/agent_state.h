// The user-mode library's process state: the connection count, the open devices and
// ranges, and what stands behind a mapped range.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "board/model.h"
#include "board/physical_map.h"
#include "toolkit/DriverAgent.h"

namespace tavagent {

// Bytes a range must cover to be mapped: the 16 KB board window and the four page registers.
constexpr uint32_t kMappableLength = 0x4004;

struct Range {
    DAHANDLE device = 0;
    std::string device_name;
    std::string name;
    uint32_t base = 0;
    uint32_t length = 0;
    uint8_t *window = nullptr;                 // non-null while mapped
    std::unique_ptr<tavboard::Board> board;    // the model board behind the window, if any
    tavboard::PhysicalMapping physical;        // the real board's memory behind the window, if any
};

struct State {
    std::mutex mutex;
    int connections = 0;
    DAHANDLE next_handle = 1;
    std::map<DAHANDLE, std::string> devices;   // handle -> device name
    std::map<DAHANDLE, Range> ranges;
};

State &state();

// Ends a range's mapping: detaches and closes the model board (its lock is dropped) or
// unmaps the physical memory. Caller holds the state's mutex.
void unmap_range(Range &range);

// Maps what TAV_BOARD names behind the range. The window address, or null with *status
// set and the failure's detail recorded. Caller holds the state's mutex.
uint8_t *map_range(Range &range, DASTATUS *status);

// TAV_BOARD=physical: the real board stands behind the window.
bool physical_board_chosen(void);

// With the real board, the device database must be safe from other users before anything
// in it is trusted: from here on every read of it is guarded (judged through the descriptor
// it is read from), and it is judged once now. DA_STATUS_OK (also for the model board, whose
// reads are not guarded), or DA_ERR_DATABASE_UNSAFE with its detail (the unsafe path and the
// fix) recorded.
DASTATUS check_physical_database(void);

// Maps the real board's memory at the range's base and length into range.physical (the
// device and lock folder of toolkit_mem_device and toolkit_lock_folder). 1 ok; -1 with
// *status set (DA_ERR_RANGE_NOT_ALLOWED, DA_ERR_BOARD_BUSY, DA_ERR_LOCK_UNSAFE or
// DA_ERR_PHYSICAL) and its detail recorded.
int map_physical(Range &range, DASTATUS *status);
// Ends the range's physical mapping, if any, and drops its lock.
void unmap_physical(Range &range);

}  // namespace tavagent
