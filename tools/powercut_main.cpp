// tav-powercut: the power-cut sweep. Cuts the power of a real tavload run, replacing a valid
// load, after N bus accesses for many N, and checks what tavload -status says afterwards
// (tools/powercut_sweep.cpp). Closing line "N passed, M failed".
#include "tools/sweep_cases.h"

int main(int argc, char **argv) {
    static const char usage[] =
        "usage: tav-powercut [--points N|all] [--boards default,8m] [--jobs J] [--seed S]\n"
        "                    [--tavload PATH] [--work DIR] [--keep]\n"
        "  Cuts the power of a real tavload run after N bus accesses and checks the board with\n"
        "  tavload -status. Every access of the information-block erase and of the final record\n"
        "  write is tried, plus N further points spread over the whole load (default 100 per\n"
        "  board); \"all\" tries every access. Needs tavload beside this program (or --tavload).\n";
    return tavsweep::sweep_main(argc, argv, "tav-powercut", usage, "cut", tavsweep::make_powercut_case);
}
