// The whole chain as a user runs it, each step a process in a fresh TAV_HOME: tavsim create,
// tavsim make-update set 40215, tavload -debug -pset 40215, tavload -status; then the board
// file is opened and compared with the files byte for byte.
#include "loader_jobs_support.h"
#include "process_run.h"
#include "toolkit_seed.h"

namespace jobs_test {
namespace {

using Outcome = ProcessOutcome;

TEST(LoaderDone, CreateMakeUpdateLoadAndStatusFromTheCommandLine) {
    const std::string tavsim = std::string(TAV_BIN_DIR) + "/tavsim";
    const std::string tavload = std::string(TAV_BIN_DIR) + "/tavload";
    ASSERT_EQ(access(tavsim.c_str(), X_OK), 0) << tavsim;
    ASSERT_EQ(access(tavload.c_str(), X_OK), 0) << tavload;
    TempTavHome home;
    ASSERT_FALSE(home.path().empty());
    unsetenv("TAV_BOARD");
    unsetenv("TAV_TOOLKIT_FAIL");
    ASSERT_TRUE(seed_registry(RegistrySeed()));   // as the installer leaves it

    Outcome created = run_process(tavsim, {"create"}, home.path());
    ASSERT_EQ(created.exit_status, 0) << created.err;
    Outcome made = run_process(tavsim, {"make-update", "set", "40215"}, home.path());
    ASSERT_EQ(made.exit_status, 0) << made.err;

    Outcome load = run_process(tavload, {"-debug", "-pset", "40215"}, home.path());
    EXPECT_EQ(load.exit_status, 0) << load.err;
    EXPECT_EQ(load.err, "");
    UpdateSetOptions defaults;   // what make-update writes without options
    EXPECT_EQ(load.out, expected_progress(defaults, "set", false, false, true));

    Outcome status = run_process(tavload, {"-status"}, home.path());
    EXPECT_EQ(status.exit_status, 0) << status.err;

    std::string error;
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(home.board(), &error);
    ASSERT_NE(board, nullptr) << error;
    expect_board_loaded(*board, defaults, {true, true});
    // The date shown is the one stored in the record.
    const char *stamp = reinterpret_cast<const char *>(board->data(tavboard::Device::game) + (4u << 20) -
                                                       board->fit().game_block);
    EXPECT_EQ(status.out, "TAV loaded on " + std::string(stamp, 24) + " with GameID 40215 Game & Sound updates.\n");
    // The files are the generator's own bytes.
    for (UpdateFile file : {UpdateFile::bootdata, UpdateFile::game, UpdateFile::sound}) {
        std::string bytes = read_file(home.path() + "/set/" + tavtools::update_file_base(file));
        std::vector<uint8_t> expected = tavtools::update_file_bytes(defaults, file);
        EXPECT_TRUE(bytes == std::string(expected.begin(), expected.end())) << tavtools::update_file_base(file);
    }
}

}  // namespace
}  // namespace jobs_test
