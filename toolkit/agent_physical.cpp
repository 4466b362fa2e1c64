// The real board behind the window: its ISA memory through /dev/mem (Linux, root).
#include "toolkit/agent_state.h"

#if !defined(_WIN32)
#include "board/physical_map.h"
#endif

namespace tavagent {

void *map_physical(uint32_t base, uint32_t length, std::string *error) {
#if defined(_WIN32)
    (void)base;
    (void)length;
    *error = "physical memory is mapped only on Linux";
    return nullptr;
#else
    return tavboard::physical_map("/dev/mem", base, length, error);
#endif
}

void unmap_physical(void *address, uint32_t length) {
#if !defined(_WIN32)
    tavboard::physical_unmap(static_cast<uint8_t *>(address), length);
#else
    (void)address;
    (void)length;
#endif
}

}  // namespace tavagent
