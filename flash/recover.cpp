// Recovery of the devices at identification. The devices keep their state while the PC is
// on, so a program that was stopped (Ctrl-C, killed, crashed) can leave a device busy, in a
// read mode, or half-way through a command sequence, and with error bits set from a failed
// operation. Before a device is judged it is brought back to read array with a clean
// status, without programming or erasing anything.
#include "flash/board_access.h"
#include "flash/commands.h"
#include "flash/flash.h"
#include "flash/ticks.h"

namespace {

// The longest sequence a device can be left in: a write buffer whose 32 data cycles and
// confirm are all still outstanding.
constexpr int kLongestSequence = 33;
// The longest operation a stopped program can leave running is a block erase of the game
// flash (28F320J3/28F640J3): its query table gives a typical block erase of 2^10 ms and a
// maximum of 2^4 times the typical, 16384 ms. The boot-block sound devices erase a block in
// well under that. Wait that long and a quarter more as a margin (the tick clock counts in
// steps of 100 ms, and a device near the end of its life erases slowly): 204 ticks, about
// 20.4 s. Only a device that is busy makes the recovery wait at all.
constexpr uint32_t kLongestEraseMs = (1u << 10) << 4;
constexpr uint32_t kRecoveryLimit = (kLongestEraseMs + kLongestEraseMs / 4) / 100;

}  // namespace

int flash_recover(FSI *fsi) {
    // End any half-written sequence. 0xFF is harmless in every place of one: after 0xE8 it
    // is a count above 31 (sequence error); after 0x40 or inside a buffer it is data that
    // programs no cell; as the confirm of an erase or a buffer it is not 0xD0 (sequence
    // error). In read modes it is read array; a busy device ignores it. 0xD0 is never
    // written here, so nothing is erased or programmed.
    for (int i = 0; i < kLongestSequence; i++) flash_set_mode(fsi, 0, FLASH_READ_ARRAY);
    // Wait out an operation in progress (one the stopped program started, or the program of
    // 0xFF just above): read status until bit 7. Past the limit, go on: identification
    // reports what the device shows.
    flash_set_mode(fsi, 0, FLASH_READ_STATUS);
    int result = 1;
    for (uint32_t device = 0; device < fsi->interleave; device++) {
        uint32_t at = device * fsi->width;
        uint32_t start = get_ticks();
        while ((board_read8(board_window, at) & FLASH_STATUS_READY) == 0) {
            if (get_ticks() - start > kRecoveryLimit) {
                result = -1;
                break;
            }
        }
    }
    // Clear the sticky error bits a failed erase or program, or a sequence error, left.
    flash_set_mode(fsi, 0, FLASH_CLEAR_STATUS);
    // And back to read array.
    flash_set_mode(fsi, 0, FLASH_READ_ARRAY);
    return result;
}
