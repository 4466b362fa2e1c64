// Status register checking and the bounded wait for the write state machine.
#include "flash/board_access.h"
#include "flash/flash.h"
#include "flash/ticks.h"
#include "flash/print_error.h"

namespace {

constexpr uint8_t kReady = 0x80;          // WSM ready, no error: the only clean status
constexpr uint32_t kStatusLimit = 10;     // ticks to wait after read-status

// Error bits and their messages, in the order they are reported.
struct StatusBit {
    uint8_t mask;
    const char *message;
};
constexpr StatusBit kStatusBits[] = {
    {0x02, "flash_wait(): device is block locked\n"},
    {0x04, "flash_wait(): device is write suspended\n"},
    {0x08, "flash_wait(): device is write protected\n"},
    {0x10, "flash_wait(): write/set block lock error\n"},
    {0x20, "flash_wait(): erase/clear block lock error\n"},
};

}  // namespace

int flash_wait(FSI *fsi, uint32_t offset, uint32_t limit) {
    offset &= ~(fsi->interleave - 1);
    if (offset >= fsi->size) {
        print_error("flash_wait(): offset (0x%x) out of range (0 - 0x%x)\n", offset, fsi->size);
        return -1;
    }
    if (isa_tav_map_page(fsi->space, offset / fsi->page_size) == 0) return -1;
    uint32_t address = offset % fsi->page_size;

    for (uint32_t device = 0; device < fsi->interleave; device++) {
        uint32_t at = address + device * fsi->width;
        // Busy poll: the status shows bit 7 once the write state machine is ready. The
        // time limit is checked only while it is not, so a ready device costs one clock read.
        uint32_t start = get_ticks();
        while ((board_read8(board_window, at) & kReady) == 0) {
            if (get_ticks() - start > limit) break;
        }
        // The status judged is the one read after polling has stopped.
        uint8_t status = board_read8(board_window, at);
        for (const StatusBit &bit : kStatusBits) {
            if (status & bit.mask) print_error("%s", bit.message);
        }
        if (status != kReady) {
            print_error("flash_wait(): device %d WSM ready timeout (0x%02x)\n", (int)device, status);
            return -1;
        }
    }
    return 1;
}

int flash_check_status(FSI *fsi, uint32_t offset) {
    if (fsi == nullptr) {
        print_error("flash_check_status(): NULL FSI pointer\n");
        return -1;
    }
    offset &= ~(fsi->interleave - 1);
    if (offset >= fsi->size) {
        print_error("flash_check_status(): offset (0x%x) out of range (0 - 0x%x)\n", offset, fsi->size);
        return -1;
    }
    flash_set_mode(fsi, offset, 0x70);
    int result = flash_wait(fsi, offset, kStatusLimit);
    flash_set_mode(fsi, offset, 0xFF);
    return result;
}
