// The user-mode library's process state: the connection count, the open devices and
// ranges, and what stands behind a mapped range.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "board/model.h"
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
    void *physical = nullptr;                  // the physical mapping behind the window, if any
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

// The physical memory of the board at the range's base and length (/dev/mem); null with
// *error set when it cannot be mapped.
void *map_physical(uint32_t base, uint32_t length, std::string *error);
void unmap_physical(void *address, uint32_t length);

}  // namespace tavagent
