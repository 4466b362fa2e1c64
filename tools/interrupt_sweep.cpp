// The interrupted-run sweep's points and checks. A load that replaces a valid one is
// killed at bus access N with the board kept powered, so each device stays wherever that
// access left it: busy, in a read mode, or half-way through a command sequence. Without a
// power cycle, the next `tavload -status` must say "TAV is not currently loaded." (34) or
// report a load whose record matches the board exactly (old or new), and then a fresh load
// must succeed and -status must report it.
//
// Once per board after the points: a load that fails with each of the model's device
// faults (run in this process, with the tick clock held, so that the driver's long time
// limits pass at once), the fault cleared, then a real load without a power cycle must
// succeed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "tools/sweep_cases.h"

namespace tavsweep {

namespace {

// Points of each kind of stop inside a sequence (spread over the load).
constexpr size_t kPerSequenceKind = 12;

class InterruptCase final : public SweepCase {
  public:
    using SweepCase::SweepCase;

    std::string try_point(const Workspace &ws, uint64_t n) const override {
        tavboard::Fault kill;
        kill.kind = tavboard::FaultKind::kill;
        kill.after = n;
        std::string problem = fresh_board(ws, &kill);
        if (!problem.empty()) return problem;
        tavtools::ProcessOutcome load = ws.tavload(options_.tavload, {"-p" + new_set_, std::to_string(kNewGame)});
        bool killed = load.exit_status == 137;
        if (!killed && (load.exit_status != 0 || n <= map_.total)) return "the killed load: " + describe_run(load);
        problem = after_stop(ws, killed);
        if (problem.empty()) problem = check_status(ws, Loads::either, true);
        return problem.empty() ? check_fresh_load(ws) : problem;
    }

    std::vector<std::string> extra_checks(const Workspace &ws) override {
        std::vector<std::string> results;
        for (tavboard::Device device : {tavboard::Device::game, tavboard::Device::sound}) {
            if (device == tavboard::Device::sound && case_.fit.sound_size == 0) continue;
            for (tavboard::FaultKind kind : {tavboard::FaultKind::erase_fail, tavboard::FaultKind::program_fail,
                                             tavboard::FaultKind::vpp_low, tavboard::FaultKind::locked,
                                             tavboard::FaultKind::never_ready, tavboard::FaultKind::buffer_busy,
                                             tavboard::FaultKind::absent}) {
                if (kind == tavboard::FaultKind::buffer_busy && device == tavboard::Device::sound) continue;
                std::string problem = faulted_then_cleared(ws, device, kind);
                if (!problem.empty())
                    problem = std::string(device == tavboard::Device::game ? "game" : "sound") + " flash fault " +
                              std::to_string(int(kind)) + ": " + problem;
                results.push_back(problem);
            }
        }
        return results;
    }

  private:
    void choose_points() override {
        if (options_.all) return add_range(&points_, 1, map_.total + 1);
        add_range(&points_, map_.erase_first, map_.erase_last);
        add_range(&points_, map_.record_first, map_.total + 1);
        for (const std::vector<uint64_t> &kind : map_.inside) {
            size_t step = std::max<size_t>(1, kind.size() / kPerSequenceKind);
            for (size_t i = step / 2; i < kind.size(); i += step) points_.push_back(kind[i]);
        }
        add_spread(&points_);
    }

    std::string faulted_then_cleared(const Workspace &ws, tavboard::Device device, tavboard::FaultKind kind) {
        tavboard::Fault fault;
        fault.kind = kind;
        fault.device = device;
        std::string problem = fresh_board(ws, &fault);
        if (!problem.empty()) return problem;
        // The faulted load's messages are expected: keep them off the sweep's output.
        std::fflush(stderr);
        int saved = dup(2);
        int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (quiet >= 0) dup2(quiet, 2);
        std::string error;
        int code = tavcut::load_in_process(ws.board, new_set_, kNewGame, nullptr, &error);
        std::fflush(stderr);
        if (saved >= 0) dup2(saved, 2);
        if (saved >= 0) close(saved);
        if (quiet >= 0) close(quiet);
        if (code == 0 || code == -1) return "the faulted load gave " + std::to_string(code) + " " + error;
        problem = after_stop(ws, false);
        return problem.empty() ? check_fresh_load(ws) : problem;
    }
};

}  // namespace

std::unique_ptr<SweepCase> make_interrupt_case(const Options &options, const BoardCase &board) {
    return std::make_unique<InterruptCase>(options, board);
}

}  // namespace tavsweep
