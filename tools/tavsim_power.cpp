// tavsim power-cycle: switch the board off and on, as switching the PC off and on does.
#include "tools/tavsim_common.h"

#include <cstdio>

int tavsim_power_cycle(int argc, char **argv) {
    using namespace tavsim;
    int exit_code;
    auto board = open_board_of_plain_command(argc, argv, &exit_code);
    if (!board) return exit_code;
    board->power_cycle();
    std::printf("power cycled: both devices in read array, status 0x80, nothing busy\n");
    return kExitOk;
}
