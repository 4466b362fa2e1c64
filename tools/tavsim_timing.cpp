// tavsim timing and tavsim counters: the busy-time model and the lifetime counters.
#include "tools/tavsim_common.h"

#include <cstdio>

int tavsim_timing(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {"--busy-reads"}, {}, &args, &error)) return usage_error(error);
    if (args.positional.empty()) return usage_error("timing needs instant or datasheet");
    tavboard::Timing timing;
    if (args.positional[0] == "instant") timing = tavboard::Timing::instant;
    else if (args.positional[0] == "datasheet") timing = tavboard::Timing::datasheet;
    else return usage_error("timing takes instant or datasheet, not " + args.positional[0]);
    uint64_t reads = 0;
    bool reads_given = args.values.count("--busy-reads") != 0;
    if (reads_given && (!parse_decimal(args.values["--busy-reads"], &reads) || reads > 1000000))
        return usage_error("--busy-reads takes a number from 0 to 1000000, not " + args.values["--busy-reads"]);
    int exit_code;
    auto board = open_board(args, 1, &exit_code);
    if (!board) return exit_code;
    board->set_timing(timing, reads_given ? uint32_t(reads) : board->busy_reads());
    if (timing == tavboard::Timing::instant) {
        std::printf("timing: instant, %u busy status reads\n", board->busy_reads());
    } else {
        std::printf("timing: datasheet (wall clock, typical times)\n");
    }
    return kExitOk;
}

int tavsim_counters(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {}, {}, &args, &error)) return usage_error(error);
    if (args.positional.empty() || args.positional[0] != "reset") return usage_error("counters needs reset");
    int exit_code;
    auto board = open_board(args, 1, &exit_code);
    if (!board) return exit_code;
    board->reset_counters();
    std::printf("counters reset\n");
    return kExitOk;
}
