// The real install program as a process under a temporary state folder: it installs twice
// with the same two lines, and a failure of the configuration library ends it with -1.
// (The loader opening what it registered is the end-to-end chain of the loader tests.)
#include <gtest/gtest.h>

#include "support.h"

namespace {

TEST(InstallProgram, ExitStatusesAndLines) {
    tavtest::TempDir home;
    const struct {
        const char *fail;   // TAV_TOOLKIT_FAIL
        std::vector<std::string> args;
        int exit_status;    // -1 as a process exit status is 255
        std::string err;
    } rows[] = {
        {"", {}, 0, "Install Path:c:\\winnt\\system32\nThe installation of device TAV is complete.\n"},
        {"", {}, 0, "Install Path:c:\\winnt\\system32\nThe installation of device TAV is complete.\n"},
        {"RegAddIsaDevice=-5", {"c:\\kit"}, 255,
         "Install Path:c:\\kit\nError: Unable to install Isa device TAV, error=-5\nError: Installation of device TAV failed.\n"},
    };
    for (const auto &row : rows) {
        std::vector<std::string> env = {"TAV_HOME=" + home.path()};
        if (*row.fail != '\0') env.push_back(std::string("TAV_TOOLKIT_FAIL=") + row.fail);
        tavtest::ProcessOutcome r = tavtest::run_process({TAV_BIN_DIR "/install", row.args, home.path(), env});
        EXPECT_EQ(r.exit_status, row.exit_status);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(tavtest::read_file(home.registry()).find("MemoryRanges\\TAV]") != std::string::npos, row.exit_status == 0);
    }
}

}  // namespace
