// The real install program, run as a process under a temporary state folder.
#include "installer_test_support.h"
#include "loader/result_codes.h"
#include "process_run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace installer_test;

const std::string install = std::string(TAV_BIN_DIR) + "/install";

TEST_F(InstallerTest, ProgramInstallsTwice) {
    for (int round = 0; round < 2; ++round) {
        ProcessOutcome run = run_process(install, {}, home_.path());
        EXPECT_EQ(run.exit_status, 0) << "round " << round;
        EXPECT_EQ(run.err, "Install Path:c:\\winnt\\system32\nThe installation of device TAV is complete.\n")
            << "round " << round;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(key_exists(range_key));
}

TEST_F(InstallerTest, ProgramFailureExitsWithMinusOne) {
    setenv("TAV_TOOLKIT_FAIL", "RegAddIsaDevice=-5", 1);
    ProcessOutcome run = run_process(install, {"c:\\kit"}, home_.path());
    EXPECT_EQ(run.exit_status, 255);   // -1 as a process exit status
    EXPECT_EQ(run.err,
              "Install Path:c:\\kit\n"
              "Error: Unable to install Isa device TAV, error=-5\n"
              "Error: Installation of device TAV failed.\n");
}

#if defined(TAV_HAVE_TAVLOAD)
// Nothing passes between the programs but the device database: after install, the loader
// opens device and range by their names, with no other seeding, and finds a fresh board.
TEST_F(InstallerTest, LoaderOpensTheBoardTheInstallerRegistered) {
    const std::string tavload = std::string(TAV_BIN_DIR) + "/tavload";
    ProcessOutcome before = run_process(tavload, {"-status"}, home_.path());
    EXPECT_EQ(before.exit_status, 255);
    EXPECT_NE(before.err.find("Error: "), std::string::npos) << before.err;

    ASSERT_EQ(run_process(install, {}, home_.path()).exit_status, 0);
    ProcessOutcome after = run_process(tavload, {"-status"}, home_.path());
    EXPECT_EQ(after.exit_status, RESULT_NOT_LOADED) << after.err;
    // The loader's own report of a fresh board, not a toolkit error.
    EXPECT_NE((after.out + after.err).find("TAV is not currently loaded."), std::string::npos) << after.err;
    EXPECT_EQ(after.err.find("Error: "), std::string::npos) << after.err;
}
#endif

}  // namespace
