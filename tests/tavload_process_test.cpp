// The real tavload program as a process, against a temporary TAV_HOME: exit statuses as
// the shell sees them, the one error line without the installer's entries, a full load
// and the status report, the close order from the trace file, and the exported entries.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "process_run.h"
#include "tools/update_set.h"
#include "toolkit_seed.h"

namespace {

const std::string kTavload = std::string(TAV_BIN_DIR) + "/tavload";

class TavloadProcessTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        ASSERT_EQ(access(kTavload.c_str(), X_OK), 0) << kTavload;
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_BOARD");
        setenv("TAV_TOOLKIT_TRACE", trace_.c_str(), 1);
    }
    void TearDown() override { unsetenv("TAV_TOOLKIT_TRACE"); }

    ProcessOutcome run(const std::vector<std::string> &args) { return run_process(kTavload, args, home_.path()); }

    // The function names of the trace file's lines, without the text lookups.
    std::vector<std::string> traced_calls() {
        std::vector<std::string> names;
        std::istringstream lines(read_file(trace_));
        for (std::string line; std::getline(lines, line);) {
            std::string name = line.substr(0, line.find('('));
            if (name != "DaTranslateErrorMessageA") names.push_back(name);
        }
        return names;
    }

    TempTavHome home_;
    std::string trace_ = home_.path() + "/trace.txt";
};

TEST_F(TavloadProcessTest, WithoutInstallerEntriesOneErrorLineAndStatus255) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"-x"}, {"-status"}, {"-debug", "40215"}}) {
        ProcessOutcome o = run(args);
        std::string label = args.empty() ? "(none)" : args.front();
        EXPECT_EQ(o.exit_status, 255) << label;
        EXPECT_EQ(o.out, "") << label;
        EXPECT_EQ(o.err.rfind("Error: ", 0), 0u) << label << ": " << o.err;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << label << ": " << o.err;
        EXPECT_NE(o.err.find("run install first"), std::string::npos) << o.err;
    }
    EXPECT_EQ(traced_calls(), std::vector<std::string>(4, "DriverAgentOpen"));
}

// Exit statuses 34 (not loaded), 0 and 35 (wrong GAME#); each run opens and closes in order.
TEST_F(TavloadProcessTest, LoadStatusAndWrongGameNumber) {
    ASSERT_TRUE(seed_registry());
    tavtools::UpdateSetOptions options;
    options.game_number = 40215;
    std::string set = home_.path() + "/set", error;
    ASSERT_TRUE(tavtools::write_update_set(set, options, &error)) << error;

    ProcessOutcome fresh = run({"-status"});
    EXPECT_EQ(fresh.exit_status, 34) << fresh.out << fresh.err;

    ProcessOutcome load = run({"-debug", "-p" + set, "40215"});
    EXPECT_EQ(load.exit_status, 0) << load.err;
    EXPECT_NE(load.out.find("ISA update board load complete."), std::string::npos) << load.out;

    ProcessOutcome status = run({"-status"});
    EXPECT_EQ(status.exit_status, 0) << status.err;
    EXPECT_EQ(status.out.rfind("TAV loaded on ", 0), 0u) << status.out;
    EXPECT_NE(status.out.find(" with GameID 40215 Game & Sound updates.\n"), std::string::npos) << status.out;

    ProcessOutcome wrong = run({"-p" + set, "40216"});
    EXPECT_EQ(wrong.exit_status, 35) << wrong.err;
    EXPECT_NE(wrong.err.find("GamdID (40215)"), std::string::npos) << wrong.err;

    std::vector<std::string> one_run = {"DriverAgentOpen",    "DaOpenDeviceA",   "DaOpenMemRangeA",
                                        "QueryMemRangeInfo",  "MapMemoryToProcess", "DaCloseMemRange",
                                        "DaCloseDevice",      "DriverAgentClose"};
    std::vector<std::string> expected;
    for (int i = 0; i < 4; ++i) expected.insert(expected.end(), one_run.begin(), one_run.end());
    EXPECT_EQ(traced_calls(), expected);
}

// InitializeTAV and UninitializeTAV are in the program's dynamic symbol table.
TEST_F(TavloadProcessTest, EntriesAreExported) {
    FILE *pipe = popen(("nm -D --defined-only '" + kTavload + "' 2>/dev/null").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string symbols;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) symbols.append(buffer, n);
    if (pclose(pipe) != 0 && symbols.empty()) GTEST_SKIP() << "nm is not available";
    EXPECT_NE(symbols.find(" T InitializeTAV\n"), std::string::npos);
    EXPECT_NE(symbols.find(" T UninitializeTAV\n"), std::string::npos);
}

}  // namespace
