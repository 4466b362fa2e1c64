// Status register checking and the bounded wait for the write state machine.
#include "flash/board_access.h"
#include "flash/commands.h"
#include "flash/flash.h"
#include "flash/print_error.h"
#include "flash/run_checks.h"
#include "flash/ticks.h"

namespace {

constexpr uint32_t kStatusLimit = 10;     // ticks to wait after read-status

// Error bits and their messages, in the order they are reported.
struct StatusBit {
    uint8_t mask;
    const char *message;
};
constexpr StatusBit kStatusBits[] = {
    {FLASH_STATUS_BLOCK_LOCKED, "flash_wait(): device is block locked\n"},
    {FLASH_STATUS_SUSPENDED, "flash_wait(): device is write suspended\n"},
    {FLASH_STATUS_VPP_LOW, "flash_wait(): device is write protected\n"},
    {FLASH_STATUS_PROGRAM_ERROR, "flash_wait(): write/set block lock error\n"},
    {FLASH_STATUS_ERASE_ERROR, "flash_wait(): erase/clear block lock error\n"},
};

}  // namespace

int flash_wait(FSI *fsi, uint32_t offset, uint32_t limit) {
    uint32_t address;
    if (flash_locate("flash_wait", fsi, &offset, &address) != 1) return -1;

    for (uint32_t device = 0; device < fsi->interleave; device++) {
        uint32_t at = address + device * fsi->width;
        // Busy poll: the status shows bit 7 once the write state machine is ready. The
        // time limit is checked only while it is not, so a ready device costs one clock read.
        uint32_t start = get_ticks();
        while ((board_read8(board_window, at) & FLASH_STATUS_READY) == 0) {
            if (get_ticks() - start > limit) break;
        }
        // The status judged is the one read after polling has stopped.
        uint8_t status = board_read8(board_window, at);
        for (const StatusBit &bit : kStatusBits) {
            if (status & bit.mask) print_error("%s", bit.message);
        }
        if (status != FLASH_STATUS_READY) {
            print_error("flash_wait(): device %d WSM ready timeout (0x%02x)\n", (int)device, status);
            return -1;
        }
    }
    return 1;
}

int flash_check_status(FSI *fsi, uint32_t offset) {
    if (flash_check_fsi("flash_check_status", fsi) != 1) return -1;
    if (flash_align_offset("flash_check_status", fsi, &offset) != 1) return -1;
    flash_set_mode(fsi, offset, FLASH_READ_STATUS);
    int result = flash_wait(fsi, offset, kStatusLimit);
    flash_set_mode(fsi, offset, FLASH_READ_ARRAY);
    return result;
}
