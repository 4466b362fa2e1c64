// The sweeps' boards: the power-cut sweep (tav-powercut) and the interrupted-run sweep
// (tav-interrupt), each a SweepCase of tools/sweep.h.
#pragma once

#include "tools/sweep.h"

namespace tavsweep {

std::unique_ptr<SweepCase> make_powercut_case(const Options &options, const BoardCase &board);
std::unique_ptr<SweepCase> make_interrupt_case(const Options &options, const BoardCase &board);

}  // namespace tavsweep
