// tavsim fault add/list/clear: the board's injected faults.
#include "tools/tavsim_common.h"

#include <cstdio>

namespace {

int fault_add(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {"--device", "--block", "--offset", "--mask", "--after"}, {}, &args, &error))
        return usage_error(error);
    if (args.positional.empty()) return usage_error("fault add needs a KIND");
    tavboard::Fault fault;
    if (!fault_kind_from_name(args.positional[0], &fault.kind))
        return usage_error("unknown fault kind " + args.positional[0]);
    if (args.values.count("--device")) {
        const std::string &v = args.values["--device"];
        if (v == "game") fault.device = tavboard::Device::game;
        else if (v == "sound") fault.device = tavboard::Device::sound;
        else return usage_error("--device takes game or sound, not " + v);
    }
    uint64_t n;
    if (args.values.count("--block")) {
        if (!parse_decimal(args.values["--block"], &n) || n > 0x7FFFFFFF)
            return usage_error("--block takes an erase block number, not " + args.values["--block"]);
        fault.block = int32_t(n);
    }
    if (args.values.count("--offset")) {
        if (!parse_hex(args.values["--offset"], &n) || n > 0x7FFFFFFF)
            return usage_error("--offset takes a hexadecimal device offset, not " + args.values["--offset"]);
        fault.offset = int64_t(n);
    }
    if (args.values.count("--mask")) {
        if (!parse_hex(args.values["--mask"], &n) || n == 0 || n > 0xFF)
            return usage_error("--mask takes a hexadecimal bit mask from 01 to ff, not " + args.values["--mask"]);
        fault.mask = uint8_t(n);
    }
    if (args.values.count("--after")) {
        if (!parse_decimal(args.values["--after"], &n) || n == 0)
            return usage_error("--after takes a number of bus accesses (1 or more), not " + args.values["--after"]);
        fault.after = n;
    }
    bool stops = fault.kind == tavboard::FaultKind::power_cut || fault.kind == tavboard::FaultKind::kill;
    if (stops && fault.after == 0) return usage_error(std::string(fault_kind_name(fault.kind)) + " needs --after N");
    if (!stops && args.values.count("--after")) return usage_error("--after is for power-cut and kill only");
    if (fault.kind == tavboard::FaultKind::stuck && (fault.offset < 0 || fault.mask == 0))
        return usage_error("stuck needs --offset HEX and --mask HEX");
    if (fault.kind != tavboard::FaultKind::stuck && args.values.count("--mask"))
        return usage_error("--mask is for stuck only");
    if (fault.block >= 0 && fault.offset >= 0) return usage_error("give --block or --offset, not both");

    int exit_code;
    auto board = open_board(args, 1, &exit_code);
    if (!board) return exit_code;
    if (!board->add_fault(fault, &error)) {
        std::fprintf(stderr, "tavsim: cannot add the fault: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("added fault: %s\n", describe_fault(fault).c_str());
    return kExitOk;
}

int fault_list_or_clear(int argc, char **argv, bool clear) {
    using namespace tavsim;
    int exit_code;
    auto board = open_board_of_plain_command(argc, argv, &exit_code);
    if (!board) return exit_code;
    if (clear) {
        board->clear_faults();
        std::printf("faults cleared\n");
        return kExitOk;
    }
    auto faults = board->faults();
    if (faults.empty()) std::printf("no faults\n");
    for (size_t i = 0; i < faults.size(); i++) std::printf("fault %zu: %s\n", i + 1, describe_fault(faults[i]).c_str());
    return kExitOk;
}

}  // namespace

int tavsim_fault(int argc, char **argv) {
    using namespace tavsim;
    if (argc < 2) return usage_error("fault needs add, list or clear");
    std::string what = argv[1];
    if (what == "add") return fault_add(argc - 1, argv + 1);
    if (what == "list") return fault_list_or_clear(argc - 1, argv + 1, false);
    if (what == "clear") return fault_list_or_clear(argc - 1, argv + 1, true);
    return usage_error("fault needs add, list or clear, not " + what);
}
