// tavsim power-cycle: switch the board off and on, as switching the PC off and on does.
#include "tools/tavsim_common.h"

#include <cstdio>

int tavsim_power_cycle(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {}, {}, &args, &error)) return usage_error(error);
    int exit_code;
    auto board = open_board(args, 0, &exit_code);
    if (!board) return exit_code;
    board->power_cycle();
    std::printf("power cycled: both devices in read array, status 0x80, nothing busy\n");
    return kExitOk;
}
