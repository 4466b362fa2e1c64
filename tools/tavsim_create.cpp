// tavsim create: a fresh, erased board file.
#include "tools/tavsim_common.h"

#include <cstdio>

int tavsim_create(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    const std::set<std::string> with_value = {"--game", "--game-block", "--sound", "--bus-cycle"};
    if (!parse_args(argc, argv, 1, with_value, {"--absent", "--force"}, &args, &error)) return usage_error(error);
    if (args.positional.size() > 1) return usage_error("unexpected argument " + args.positional[1]);

    tavboard::Fit fit;
    if (args.values.count("--game")) {
        const std::string &v = args.values["--game"];
        if (v == "4M") fit.game_size = 4u << 20;
        else if (v == "8M") fit.game_size = 8u << 20;
        else return usage_error("--game takes 4M or 8M, not " + v);
    }
    if (args.values.count("--game-block")) {
        const std::string &v = args.values["--game-block"];
        if (v == "32K") fit.game_block = 32u << 10;
        else if (v == "64K") fit.game_block = 64u << 10;
        else if (v == "128K") fit.game_block = 128u << 10;
        else return usage_error("--game-block takes 32K, 64K or 128K, not " + v);
    }
    if (args.values.count("--sound")) {
        const std::string &v = args.values["--sound"];
        if (v == "256K") fit.sound_size = 256u << 10;
        else if (v == "512K") fit.sound_size = 512u << 10;
        else if (v == "1M") fit.sound_size = 1u << 20;
        else if (v == "none") fit.sound_size = 0;
        else return usage_error("--sound takes 256K, 512K, 1M or none, not " + v);
    }
    if (args.values.count("--bus-cycle")) {
        const std::string &v = args.values["--bus-cycle"];
        uint64_t ns = 0;
        if (!parse_decimal(v, &ns) || ns < 1 || ns > 1000000)
            return usage_error("--bus-cycle takes a number of nanoseconds from 1 to 1000000, not " + v);
        fit.bus_cycle_ns = uint32_t(ns);
    }
    fit.board_absent = args.flags.count("--absent") != 0;
    std::string path = board_path(args, 0);
    auto board = tavboard::Board::create(path, fit, args.flags.count("--force") != 0, &error);
    if (!board) {
        std::fprintf(stderr, "tavsim: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("created board %s\n", path.c_str());
    return kExitOk;
}
