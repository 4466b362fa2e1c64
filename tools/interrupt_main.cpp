// tav-interrupt: the interrupted-run sweep. A load replacing a valid one is killed at bus
// access N with the board kept powered, each device busy, in a read mode or half-way through a
// command sequence. Without a power cycle, `tavload -status` must then say not loaded (34) or
// show a load (old or new) the board holds, and a fresh load must succeed.
#include "tools/sweep.h"

namespace {

using tavboard::Device;
using tavboard::FaultKind;

class InterruptCase final : public tavsweep::SweepCase {
  public:
    InterruptCase(const tavsweep::Options &options, const std::string &board)
        : SweepCase(options, board, FaultKind::kill, 0) {}

    // A load failed by each device fault (run in this process, its expected messages kept off the
    // sweep's output), the fault cleared, must be followed by a load that succeeds: each fault on the
    // game flash, each but buffer_busy (no write buffer) on a fitted sound flash.
    std::vector<std::string> extra_checks(const tavsweep::Workspace &ws) override {
        std::vector<std::string> results;
        for (Device device : {Device::game, Device::sound}) {
            for (FaultKind kind : {FaultKind::erase_fail, FaultKind::program_fail, FaultKind::vpp_low,
                                   FaultKind::locked, FaultKind::never_ready, FaultKind::buffer_busy,
                                   FaultKind::absent}) {
                if (device == Device::sound && (fit_.sound_size == 0 || kind == FaultKind::buffer_busy)) continue;
                tavboard::Fault fault;
                fault.kind = kind;
                fault.device = device;
                std::string problem = fresh_board(ws, fault), error;
                int code = problem.empty() ? tavsweep::load_in_process(ws.board, new_set_, tavsweep::kNewGame, nullptr,
                                                                       true, &error) : 0;
                if (problem.empty() && (code == 0 || code == -1))
                    problem = "the faulted load gave " + std::to_string(code) + " " + error;
                if (problem.empty()) problem = after_stop(ws, false);
                if (problem.empty()) problem = check_fresh_load(ws);
                results.push_back(problem.empty() ? "" : std::string(device == Device::game ? "game" : "sound") +
                                                             " flash fault " + std::to_string(int(kind)) + ": " + problem);
            }
        }
        return results;
    }

  private:
    std::string accept(const tavsweep::Workspace &ws, uint64_t) const override {
        return check_status(ws, Loads::either, true);
    }

    void add_points() override {
        for (const std::vector<uint64_t> &kind : map_.inside) {   // 12 of each kind, spread over the load
            size_t step = std::max<size_t>(1, kind.size() / 12);
            for (size_t i = step / 2; i < kind.size(); i += step) points_.push_back(kind[i]);
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    return tavsweep::sweep_main(argc, argv, "tav-interrupt", "kill",
                                "  Kills a real tavload run at bus access N with the board kept powered, then checks\n"
                                "  tavload -status and a fresh load; also inside each kind of command sequence, and\n"
                                "  a load after one failed by each device fault.",
                                tavsweep::make_case<InterruptCase>);
}
