// The real board behind the window: its ISA memory through /dev/mem (Linux, root), with the
// guards that keep a privileged program from writing anywhere else: only a protected device
// database is trusted, only a board's range is mapped, and one program at a time.
#include <cstdlib>

#include "toolkit/agent_state.h"
#include "toolkit/toolkit_controls.h"

#if !defined(_WIN32)
#include <unistd.h>

#include "platform/privilege.h"
#include "platform/protected_path.h"
#include "platform/registry_store.h"
#endif

namespace {

// A test control when set, not empty and honoured, else the production value. A run acting
// for another user (set-uid, sudo) takes the production value whatever is set.
std::string control_or(const char *name, const char *production) {
#if !defined(_WIN32)
    if (acting_for_another_user()) return production;
#endif
    const char *value = std::getenv(name);
    return value == nullptr || value[0] == '\0' ? std::string(production) : std::string(value);
}

}  // namespace

std::string toolkit_mem_device(void) { return control_or("TAV_TOOLKIT_MEM_DEVICE", tavboard::kPhysicalDevice); }

std::string toolkit_lock_folder(void) {
    return control_or("TAV_TOOLKIT_LOCK_FOLDER", tavboard::kPhysicalLockFolder);
}

namespace tavagent {

bool physical_board_chosen(void) {
    const char *choice = std::getenv("TAV_BOARD");
    return choice != nullptr && std::string(choice) == "physical";
}

DASTATUS check_physical_database(void) {
#if defined(_WIN32)
    return DA_STATUS_OK;   // the real board is refused when it is mapped
#else
    const bool physical = physical_board_chosen();
    registry_store_guard(physical);
    if (!physical) return DA_STATUS_OK;
    std::string problem;
    std::string store = registry_store_path();
    if (store.empty()) return DA_STATUS_OK;   // no store: the registry reports it
    int fd = -1;
    int judged = open_protected(store, &fd, &problem);
    if (fd >= 0) close(fd);
    if (judged >= 0) return DA_STATUS_OK;   // a missing store reads as an empty registry
    toolkit_set_detail(DA_ERR_DATABASE_UNSAFE, problem);
    return DA_ERR_DATABASE_UNSAFE;
#endif
}

int map_physical(Range &range, DASTATUS *status) {
#if defined(_WIN32)
    toolkit_set_detail(DA_ERR_PHYSICAL, "physical memory is mapped only on Linux");
    *status = DA_ERR_PHYSICAL;
    (void)range;
    return -1;
#else
    tavboard::PhysicalRefusal why = tavboard::PhysicalRefusal::none;
    std::string error;
    if (tavboard::physical_map(toolkit_mem_device(), toolkit_lock_folder(), range.base, range.length,
                               &range.physical, &why, &error) == 1) {
        return 1;
    }
    switch (why) {
    case tavboard::PhysicalRefusal::range:
        *status = DA_ERR_RANGE_NOT_ALLOWED;
        error = "memory range \"" + range.name + "\" of device \"" + range.device_name + "\", " + error;
        break;
    case tavboard::PhysicalRefusal::busy:
        *status = DA_ERR_BOARD_BUSY;
        break;
    case tavboard::PhysicalRefusal::unsafe:
        *status = DA_ERR_LOCK_UNSAFE;
        break;
    default:
        *status = DA_ERR_PHYSICAL;
        break;
    }
    toolkit_set_detail(*status, error);
    return -1;
#endif
}

void unmap_physical(Range &range) {
#if !defined(_WIN32)
    if (range.physical.address != nullptr) tavboard::physical_unmap(&range.physical);
#else
    (void)range;
#endif
}

}  // namespace tavagent
