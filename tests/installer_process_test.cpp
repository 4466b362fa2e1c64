// The real install program, run as a process under a temporary state folder.
#include "installer_test_support.h"
#include "loader/result_codes.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using installer_test::InstallerTest;

struct ProcessRun {
    int exit_status;
    std::string err;
    std::string out;
};

ProcessRun run_program(const std::string &home, const std::string &command) {
    std::string err_file = home + "/stderr.txt";
    std::string out_file = home + "/stdout.txt";
    std::string line = command + " >'" + out_file + "' 2>'" + err_file + "'";
    int status = std::system(line.c_str());
    ProcessRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1000, "", ""};
    std::stringstream err, out;
    err << std::ifstream(err_file).rdbuf();
    out << std::ifstream(out_file).rdbuf();
    run.err = err.str();
    run.out = out.str();
    return run;
}

const std::string install = std::string("'") + TAV_BIN_DIR + "/install'";

TEST_F(InstallerTest, ProgramInstallsTwice) {
    for (int round = 0; round < 2; ++round) {
        ProcessRun run = run_program(home_, install);
        EXPECT_EQ(run.exit_status, 0) << "round " << round;
        EXPECT_EQ(run.err, "Install Path:c:\\winnt\\system32\nThe installation of device TAV is complete.\n")
            << "round " << round;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(key_exists(installer_test::range_key));
}

TEST_F(InstallerTest, ProgramOnTheWindows95Family) {
    setenv("TAV_PLATFORM", "95", 1);
    ProcessRun run = run_program(home_, install + " 'c:\\kit'");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err,
              "Install Path:c:\\kit\nThe installation of device TAV is complete.\n"
              "The system must be restarted for the changes to take effect\n");
}

TEST_F(InstallerTest, ProgramFailureExitsWithMinusOne) {
    setenv("TAV_TOOLKIT_FAIL", "RegAddIsaDevice=-5", 1);
    ProcessRun run = run_program(home_, install);
    EXPECT_EQ(run.exit_status, 255);  // -1 as a process exit status
    EXPECT_EQ(run.err,
              "Install Path:c:\\winnt\\system32\n"
              "Error: Unable to install Isa device TAV, error=-5\n"
              "Error: Installation of device TAV failed.\n");
}

#if defined(TAV_HAVE_TAVLOAD)
// Nothing passes between the programs but the device database: after install, the loader
// opens device and range by their names, with no other seeding, and finds a fresh board.
TEST_F(InstallerTest, LoaderOpensTheBoardTheInstallerRegistered) {
    const std::string tavload = std::string("'") + TAV_BIN_DIR + "/tavload' -status";
    ProcessRun before = run_program(home_, tavload);
    EXPECT_EQ(before.exit_status, 255);
    EXPECT_NE(before.err.find("Error: "), std::string::npos) << before.err;

    ASSERT_EQ(run_program(home_, install).exit_status, 0);
    ProcessRun after = run_program(home_, tavload);
    EXPECT_EQ(after.exit_status, RESULT_NOT_LOADED) << after.err;
    // The loader's own report of a fresh board, not a toolkit error.
    EXPECT_NE((after.out + after.err).find("TAV is not currently loaded."), std::string::npos) << after.err;
    EXPECT_EQ(after.err.find("Error: "), std::string::npos) << after.err;
}
#endif

}  // namespace
