// MapMemoryToProcess: what stands behind the range's window, chosen by TAV_BOARD.
//   unset or empty  the model board $TAV_HOME/board.img, made with the default fit on first use
//   a file path     that model board (it must exist: tavsim create makes one)
//   physical        the real board's memory at the registered base and length (/dev/mem)
#include <cstdlib>

#include "toolkit/DriverAgent.h"
#include "toolkit/agent_state.h"
#include "toolkit/toolkit_controls.h"

namespace tavagent {

namespace {

uint8_t *fail(DASTATUS code, const std::string &detail, DASTATUS *status) {
    toolkit_set_detail(code, detail);
    *status = code;
    return nullptr;
}

}  // namespace

uint8_t *map_range(Range &range, DASTATUS *status) {
    if (range.length < kMappableLength) {
        return fail(DA_ERR_RANGE_TOO_SMALL,
                    "memory range \"" + range.name + "\" of device \"" + range.device_name + "\" (" +
                        std::to_string(range.length) + " bytes)",
                    status);
    }
    if (physical_board_chosen()) {
        // The database is judged again here, so no mapping of the real board skips it.
        DASTATUS database = check_physical_database();
        if (database != DA_STATUS_OK) {
            *status = database;
            return nullptr;
        }
        if (map_physical(range, status) != 1) return nullptr;
        range.window = range.physical.address;
        return range.window;
    }
    const char *choice = std::getenv("TAV_BOARD");
    std::string board = choice == nullptr ? "" : choice;
    std::string error;
    std::string path = board.empty() ? tavboard::Board::default_path() : board;
    std::unique_ptr<tavboard::Board> model =
        board.empty() ? tavboard::Board::open_or_create(path, &error) : tavboard::Board::open(path, &error);
    if (model == nullptr) {
        if (error.empty()) error = "unknown reason";
        // The model's reason names the file as a rule; when it does not, name it here.
        std::string detail = error.find(path) == std::string::npos ? "board file " + path + ": " + error : error;
        return fail(DA_ERR_BOARD_OPEN, detail, status);
    }
    tavboard::attach(*model);
    range.window = model->window_address();
    range.board = std::move(model);
    return range.window;
}

void unmap_range(Range &range) {
    if (range.board != nullptr) {
        tavboard::detach(*range.board);
        range.board.reset();   // closes the board file and drops its lock
    }
    unmap_physical(range);
    range.window = nullptr;
}

}  // namespace tavagent

void *MapMemoryToProcess(DAHANDLE range, DASTATUS *status) {
    const std::string call = "MapMemoryToProcess(" + std::to_string(range) + ")";
    DASTATUS failure = DA_STATUS_OK;
    std::string option;
    if (toolkit_fail_requested("MapMemoryToProcess", &failure, &option)) {
        if (option == "none") {
            toolkit_record(call + " = null");
        } else {
            if (status != nullptr) *status = failure;
            toolkit_record(call + " = null, status " + std::to_string(failure));
        }
        return nullptr;
    }
    DASTATUS local = DA_STATUS_OK;
    uint8_t *window = nullptr;
    {
        std::lock_guard<std::mutex> guard(tavagent::state().mutex);
        auto it = tavagent::state().ranges.find(range);
        if (it == tavagent::state().ranges.end()) {
            local = DA_ERR_BAD_HANDLE;
        } else if (it->second.window != nullptr) {
            window = it->second.window;   // mapped already: the same window again
        } else {
            window = tavagent::map_range(it->second, &local);
        }
    }
    if (window == nullptr) {
        if (status != nullptr) *status = local;
        toolkit_record(call + " = null, status " + std::to_string(local));
        return nullptr;
    }
    toolkit_record(call + " = mapped");
    return window;
}
