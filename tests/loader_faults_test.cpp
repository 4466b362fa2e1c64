// The fault matrix (the rows of tests/data/loader/faults.txt; its head says how to read them): every
// fault the model can inject, in each phase of a load and in the status report: the driver's and the
// loader's messages, the code, no descriptor left open, and the board, the fault gone and the power
// cycled, not loaded.
#include <cctype>

#include "model_fixture.h"

namespace jobs_test {
namespace {

// The set the rows' erase blocks, offsets and byte counts are worked out for.
UpdateSetOptions matrix_set() {
    UpdateSetOptions o;
    o.im_flsh0_bytes = 200000, o.game_bytes = 300000, o.symbols_bytes = 200000, o.tavboot_bytes = 20000;
    return o;
}

// One ctest case per row, so that the rows run in parallel.
class FaultMatrix : public LoaderJobsTest, public testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(FaultMatrix, FailsInItsPhaseAndLeavesTheBoardNotLoaded) {
    const std::vector<std::string> &c = GetParam();
    const bool eight_mb = c[12] == "8m", status = c[12] == "loaded", whole_board = c[1] == "board";
    remake_board({eight_mb ? 8u << 20 : 4u << 20, 128u << 10, eight_mb ? 0 : 1u << 20, false});
    std::string dir = make_set(matrix_set());
    if (status) { ASSERT_EQ(run({"-p" + dir, "40215"}).code, 0); }
    board->reset_counters();
    const tavboard::Fault fault = {tavboard::FaultKind(whole_board ? 0 : std::stoul(c[1])), tavboard::Device(std::stoul(c[2])),
                                   std::stoi(c[3]), std::stoll(c[4]), uint8_t(std::stoul(c[5]))};
    const uint64_t phase_start = std::stoull(c[7]);
    bool armed = false;
    auto arm = [&] {
        armed = true;
        std::string error;
        if (whole_board) board->set_board_absent(true);
        else ASSERT_TRUE(board->add_fault(fault, &error)) << error;
    };
    if (c[6] == "before") arm();
    board->set_status_read_hook([&] {
        tick_clock_advance(1);
        uint64_t programmed = board->counters().programmed_bytes;
        if (!armed && (c[6] == "after_program" ? programmed > phase_start : programmed >= phase_start)) arm();
    });
    const int descriptors = open_descriptors();
    RunResult r = run(status ? std::vector<std::string>{"-status"} : std::vector<std::string>{"-p" + dir, "40215"});
    ASSERT_TRUE(armed) << "the phase did not begin";
    EXPECT_EQ(r.code, std::stoi(c[8]));
    EXPECT_EQ(r.err, replaced(c[9], "@D@", dir));
    const bool shows_load = r.out.rfind("TAV loaded on ", 0) == 0 && r.out.find(kLoaded) != std::string::npos;
    EXPECT_TRUE(c[10] == "1" ? shows_load : r.out.empty()) << r.out;
    EXPECT_EQ(open_descriptors(), descriptors) << "a file was left open";

    // The fault gone and the power cycled.
    board->clear_faults();
    board->set_board_absent(false);
    reopen_board();
    RunResult after = run({"-status"});
    EXPECT_EQ(after.code, c[11] == "1" ? 0 : 34);
    EXPECT_EQ(after.err, c[11] == "1" ? "" : kNotLoaded);
}

INSTANTIATE_TEST_SUITE_P(EveryFaultInEveryPhase, FaultMatrix, testing::ValuesIn(data_rows("faults", 13)),
                         [](const testing::TestParamInfo<std::vector<std::string>> &info) {
                             std::string name;
                             for (char ch : info.param[0])
                                 if (std::isalnum(static_cast<unsigned char>(ch)) || ch == ' ') name += ch == ' ' ? '_' : ch;
                             return name;
                         });

}  // namespace
}  // namespace jobs_test
