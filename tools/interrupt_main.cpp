// tav-interrupt: the interrupted-run sweep. A load replacing a valid one is killed at bus
// access N with the board kept powered, each device busy, in a read mode or half-way through a
// command sequence. Without a power cycle, `tavload -status` must then say not loaded (34) or
// show a load (old or new) the board holds, and a fresh load must succeed.
#include "tools/sweep.h"

namespace tavsweep {

using tavboard::Device;
using tavboard::FaultKind;

struct InterruptCase final : SweepCase {
    InterruptCase(const Options &options, const std::string &board) : SweepCase(options, board, FaultKind::kill, 0) {}

    std::string accept(const Workspace &ws, uint64_t) const override { return check_status(ws, either, true); }

    void add_points() override {
        for (const std::vector<uint64_t> &kind : map.inside) {   // 12 of each kind, spread over the load
            size_t step = std::max<size_t>(1, kind.size() / 12);
            for (size_t i = step / 2; i < kind.size(); i += step) points.push_back(kind[i]);
        }
    }

    // A load failed by each device fault (in this process, its messages kept off the output), the fault cleared,
    // then one that succeeds: each fault on the game flash, each but buffer_busy (no write buffer) on the sound.
    std::vector<std::string> extra_checks(const Workspace &ws) override {
        using enum FaultKind;
        std::vector<std::string> results;
        for (Device device : {Device::game, Device::sound}) {
            for (FaultKind kind : {erase_fail, program_fail, vpp_low, locked, never_ready, buffer_busy, absent}) {
                if (device == Device::sound && (fit.sound_size == 0 || kind == buffer_busy)) continue;
                std::string error;
                std::string problem = fresh_board(ws, {.kind = kind, .device = device});
                int code = problem.empty() ? load_in_process(ws.board, options.changed(), nullptr, &error) : 1;
                if (code == 0 || code == -1) problem = "the faulted load gave " + std::to_string(code) + " " + error;
                if (problem.empty()) problem = after_stop(ws, false);
                if (problem.empty()) problem = check_fresh_load(ws);
                std::string where = device == Device::game ? "game flash fault " : "sound flash fault ";
                results.push_back(problem.empty() ? "" : where + std::to_string(int(kind)) + ": " + problem);
            }
        }
        return results;
    }
};

}  // namespace tavsweep

int main(int argc, char **argv) {
    return tavsweep::sweep_main(argc, argv, "tav-interrupt", "kill",
                                "  Kills a real tavload run at bus access N with the board kept powered, then checks\n"
                                "  tavload -status and a fresh load; also inside each kind of command sequence, and\n"
                                "  a load after one failed by each device fault.",
                                tavsweep::make_case<tavsweep::InterruptCase>);
}
