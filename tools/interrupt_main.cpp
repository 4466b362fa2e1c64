// tav-interrupt: the interrupted-run sweep. Kills a real tavload run, replacing a valid
// load, at bus access N with the board kept powered, for many N, and checks that the next
// runs recover without a power cycle (tools/interrupt_sweep.cpp). Closing line
// "N passed, M failed".
#include "tools/sweep_cases.h"

int main(int argc, char **argv) {
    static const char usage[] =
        "usage: tav-interrupt [--points N|all] [--boards default,8m] [--jobs J] [--seed S]\n"
        "                     [--tavload PATH] [--work DIR] [--keep]\n"
        "  Kills a real tavload run at bus access N with the board kept powered, then checks\n"
        "  tavload -status and a fresh load. Every access of the information-block erase and of\n"
        "  the record write, points inside each kind of command sequence, and N further points\n"
        "  spread over the load (default 100 per board); \"all\" tries every access. After the\n"
        "  points, a load failed by each device fault, the fault cleared, must be followed by a\n"
        "  load that succeeds. Needs tavload beside this program (or --tavload).\n";
    return tavsweep::sweep_main(argc, argv, "tav-interrupt", usage, "kill", tavsweep::make_interrupt_case);
}
