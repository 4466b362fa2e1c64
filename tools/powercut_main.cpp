// tav-powercut: the power-cut sweep. Cuts the power of a real tavload run, replacing a valid
// load, after N bus accesses for many N. Afterwards `tavload -status` either says "TAV is
// not currently loaded." (result code 34) or reports a load that the board holds exactly:
//   - the old load, when the cut came before the erase of the information block began;
//   - result code 34, from then until the last program of the new record completed;
//   - the new load after that, with the record's sizes and checksums matching the board's
//     contents, and the contents those of the new set;
// then a fresh load of the new set must succeed and -status must report it.
#include "tools/sweep.h"

namespace {

class PowercutCase final : public tavsweep::SweepCase {
  public:
    PowercutCase(const tavsweep::Options &options, const std::string &board)
        : SweepCase(options, board, tavboard::FaultKind::power_cut) {}

  private:
    // Access n never completes; 1 .. n-1 did.
    std::string accept(const tavsweep::Workspace &ws, uint64_t n) const override {
        if (n <= map_.erase_confirm) return check_status(ws, Loads::old_only, false);
        if (n <= map_.record_busy_last) return check_status(ws, Loads::none, true);
        return check_status(ws, Loads::new_only, n <= map_.record_ready);
    }

    void choose_points() override {
        if (options_.all) return add_range(1, map_.total + 1);
        // Every access of the information-block erase and of the record write, with a
        // margin on each side, the first access past the end (an uncut load), and a spread.
        add_range(map_.erase_first > 8 ? map_.erase_first - 8 : 1, map_.erase_last + 8);
        add_range(map_.record_first - 8, map_.total + 1);
        points_.push_back(1);
        add_spread();
    }
};

}  // namespace

int main(int argc, char **argv) {
    static const char usage[] =
        "usage: tav-powercut [--points N|all] [--boards default,8m] [--jobs J] [--seed S]\n"
        "                    [--tavload PATH] [--work DIR] [--keep]\n"
        "  Cuts the power of a real tavload run after N bus accesses and checks the board with\n"
        "  tavload -status. Every access of the information-block erase and of the final record\n"
        "  write is tried, plus N further points spread over the whole load (default 100 per\n"
        "  board); \"all\" tries every access. Needs tavload beside this program (or --tavload).\n";
    return tavsweep::sweep_main(argc, argv, "tav-powercut", usage, "cut", tavsweep::make_case<PowercutCase>);
}
