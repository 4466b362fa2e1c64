// The power-cut sweep's points and checks. After a load that the power cut short,
// `tavload -status` either says "TAV is not currently loaded." (result code 34) or reports
// a load that the board holds exactly:
//   - the old load, when the cut came before the erase of the information block began;
//   - result code 34, from then until the last program of the new record completed;
//   - the new load after that, with the record's sizes and checksums matching the board's
//     contents, and the contents those of the new set;
// then a fresh load of the new set must succeed and -status must report it.
#include "tools/sweep_cases.h"

namespace tavsweep {

namespace {

class PowercutCase final : public SweepCase {
  public:
    using SweepCase::SweepCase;

    std::string try_point(const Workspace &ws, uint64_t n) const override {
        tavboard::Fault cut;
        cut.kind = tavboard::FaultKind::power_cut;
        cut.after = n;
        std::string problem = fresh_board(ws, &cut);
        if (!problem.empty()) return problem;
        tavtools::ProcessOutcome load = ws.tavload(options_.tavload, {"-p" + new_set_, std::to_string(kNewGame)});
        bool cut_happened = load.exit_status == 137;
        if (!cut_happened && load.exit_status != 0) return "the cut load ended with " + describe_run(load);
        if (!cut_happened && n <= map_.total) return "the power cut did not happen: " + describe_run(load);
        problem = after_stop(ws, cut_happened);
        // Access n never completes; 1 .. n-1 did.
        if (problem.empty()) {
            if (n <= map_.erase_confirm) problem = check_status(ws, Loads::old_only, false);
            else if (n <= map_.record_busy_last) problem = check_status(ws, Loads::none, true);
            else problem = check_status(ws, Loads::new_only, n <= map_.record_ready);
        }
        return problem.empty() ? check_fresh_load(ws) : problem;
    }

  private:
    void choose_points() override {
        if (options_.all) return add_range(&points_, 1, map_.total + 1);
        // Every access of the information-block erase and of the record write, with a
        // margin on each side, the first access past the end (an uncut load), and a spread.
        add_range(&points_, map_.erase_first > 8 ? map_.erase_first - 8 : 1, map_.erase_last + 8);
        add_range(&points_, map_.record_first - 8, map_.total + 1);
        points_.push_back(1);
        add_spread(&points_);
    }
};

}  // namespace

std::unique_ptr<SweepCase> make_powercut_case(const Options &options, const BoardCase &board) {
    return std::make_unique<PowercutCase>(options, board);
}

}  // namespace tavsweep
