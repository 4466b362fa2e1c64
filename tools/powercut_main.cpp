// tav-powercut: the power-cut sweep. Cuts the power of a real tavload run, replacing a valid load, after N
// bus accesses for many N; then `tavload -status` must show the old load until the erase of the information
// block began, "TAV is not currently loaded." (34) until the last program of the new record completed, the
// new load after that (check_status: what the board holds), and a fresh load of the new set must succeed.
#include "tools/sweep.h"

namespace tavsweep {

struct PowercutCase final : SweepCase {
    PowercutCase(const Options &options, const std::string &board)
        : SweepCase(options, board, tavboard::FaultKind::power_cut, 8) {}

    std::string accept(const Workspace &ws, uint64_t n) const override {
        if (n <= map.erase_confirm) return check_status(ws, old_load, false);
        if (n <= map.record_busy_last) return check_status(ws, none, true);
        return check_status(ws, new_load, n <= map.record_ready);
    }
};

}  // namespace tavsweep

int main(int argc, char **argv) {
    return tavsweep::sweep_main(argc, argv, "tav-powercut", "cut",
                                "  Cuts the power of a real tavload run after N bus accesses and checks the board\n"
                                "  with tavload -status, then a fresh load.",
                                tavsweep::make_case<tavsweep::PowercutCase>);
}
