// tavsim timing and tavsim counters: the busy-time model and the lifetime counters.
#include "tools/tavsim_common.h"

#include <cstdio>

namespace {

// Nanoseconds as seconds to the microsecond.
std::string seconds_text(uint64_t ns) {
    char text[40];
    std::snprintf(text, sizeof text, "%llu.%06llu", (unsigned long long)(ns / 1000000000),
                  (unsigned long long)(ns % 1000000000 / 1000));
    return text;
}

}  // namespace

namespace tavsim {

void print_timing(const tavboard::Board &board) {
    if (board.timing() == tavboard::Timing::instant) {
        std::printf("timing: instant, %u busy status reads\n", board.busy_reads());
    } else if (board.timing() == tavboard::Timing::bus) {
        std::printf("timing: bus (board clock at %s s, %u ns a bus cycle, typical times)\n",
                    seconds_text(board.clock_ns()).c_str(), board.fit().bus_cycle_ns);
    } else {
        std::printf("timing: datasheet (wall clock, typical times)\n");
    }
}

void print_counters(const tavboard::Board &board) {
    tavboard::Counters c = board.counters();
    const struct {
        const char *name;
        uint64_t value;
    } counters[] = {
        {"accesses", c.accesses},       {"register-writes", c.register_writes},
        {"reads", c.reads},             {"writes", c.writes},
        {"erases", c.erases},           {"programmed-bytes", c.programmed_bytes},
        {"not-erased-bits", c.not_erased_bits}, {"busy-us", c.busy_us},
        {"unaligned-buffers", c.unaligned_buffers},
    };
    for (const auto &k : counters) std::printf("counter %s %llu\n", k.name, (unsigned long long)k.value);
    if (board.timing() == tavboard::Timing::bus || c.board_ns != 0) {
        uint64_t bus_ns = c.board_ns - c.wait_ns;
        std::printf("counter board-ns %llu\n", (unsigned long long)c.board_ns);
        std::printf("counter wait-ns %llu\n", (unsigned long long)c.wait_ns);
        std::printf("counter bus-ns %llu\n", (unsigned long long)bus_ns);
        std::printf("board time %s s: %s s waiting for busy devices, %s s of the program's own bus accesses\n",
                    seconds_text(c.board_ns).c_str(), seconds_text(c.wait_ns).c_str(), seconds_text(bus_ns).c_str());
    }
    for (uint32_t code = 0; code < 256; code++) {
        uint64_t n = board.command_count(uint8_t(code));
        if (n != 0) std::printf("counter command-0x%02x %llu\n", code, (unsigned long long)n);
    }
    for (tavboard::Device d : {tavboard::Device::game, tavboard::Device::sound}) {
        for (uint32_t block = 0; block < 256; block++) {
            uint64_t n = board.erase_count(d, block);
            if (n != 0)
                std::printf("counter erases-%s-block-%u %llu\n", d == tavboard::Device::game ? "game" : "sound", block,
                            (unsigned long long)n);
        }
    }
}

}  // namespace tavsim

int tavsim_timing(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {"--busy-reads"}, {}, &args, &error)) return usage_error(error);
    if (args.positional.empty()) return usage_error("timing needs instant, datasheet or bus");
    tavboard::Timing timing;
    if (args.positional[0] == "instant") timing = tavboard::Timing::instant;
    else if (args.positional[0] == "datasheet") timing = tavboard::Timing::datasheet;
    else if (args.positional[0] == "bus") timing = tavboard::Timing::bus;
    else return usage_error("timing takes instant, datasheet or bus, not " + args.positional[0]);
    uint64_t reads = 0;
    bool reads_given = args.values.count("--busy-reads") != 0;
    if (reads_given && (!parse_decimal(args.values["--busy-reads"], &reads) || reads > 1000000))
        return usage_error("--busy-reads takes a number from 0 to 1000000, not " + args.values["--busy-reads"]);
    int exit_code;
    auto board = open_board(args, 1, &exit_code);
    if (!board) return exit_code;
    board->set_timing(timing, reads_given ? uint32_t(reads) : board->busy_reads());
    print_timing(*board);
    return kExitOk;
}

// tavsim counters [FILE] shows the counters; tavsim counters reset [FILE] sets them to zero.
int tavsim_counters(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {}, {}, &args, &error)) return usage_error(error);
    bool reset = !args.positional.empty() && args.positional[0] == "reset";
    if (!reset && args.positional.size() > 1)
        return usage_error("counters takes reset or nothing before FILE, not " + args.positional[0]);
    int exit_code;
    auto board = open_board(args, reset ? 1 : 0, &exit_code);
    if (!board) return exit_code;
    if (!reset) {
        print_counters(*board);
        return kExitOk;
    }
    board->reset_counters();
    std::printf("counters reset\n");
    return kExitOk;
}
