// The real tavload program as a process, against a temporary TAV_HOME: exit statuses as
// the shell sees them, the one error line without the installer's entries, a full load
// and the status report, the close order from the trace file, and the exported entries.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/update_set.h"
#include "process_run.h"
#include "toolkit_seed.h"

namespace {

const std::string kTavload = std::string(TAV_BIN_DIR) + "/tavload";

using Outcome = ProcessOutcome;

class TavloadProcessTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        ASSERT_EQ(access(kTavload.c_str(), X_OK), 0) << kTavload;
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_BOARD");
        trace_ = home_.path() + "/trace.txt";
        setenv("TAV_TOOLKIT_TRACE", trace_.c_str(), 1);
    }
    void TearDown() override { unsetenv("TAV_TOOLKIT_TRACE"); }

    Outcome run(const std::vector<std::string> &args) { return run_process(kTavload, args, home_.path()); }

    std::string make_update_set(uint32_t game) {
        tavtools::UpdateSetOptions options;
        options.game_number = game;
        std::string dir = home_.path() + "/set" + std::to_string(game);
        std::string error;
        EXPECT_TRUE(tavtools::write_update_set(dir, options, &error)) << error;
        return dir;
    }

    // The function names of the trace file's lines, without the text lookups.
    std::vector<std::string> traced_calls() {
        std::vector<std::string> names;
        std::string text = read_file(trace_);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            std::string name = line.substr(0, line.find('('));
            if (name != "DaTranslateErrorMessageA") names.push_back(name);
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return names;
    }

    TempTavHome home_;
    std::string trace_;
};

TEST_F(TavloadProcessTest, WithoutInstallerEntriesOneErrorLineAndStatus255) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"-x"}, {"-status"}, {"-debug", "40215"}}) {
        Outcome o = run(args);
        std::string label = args.empty() ? "(none)" : args.front();
        EXPECT_EQ(o.exit_status, 255) << label;
        EXPECT_EQ(o.out, "") << label;
        EXPECT_EQ(o.err.rfind("Error: ", 0), 0u) << label << ": " << o.err;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << label << ": " << o.err;
        EXPECT_NE(o.err.find("run install first"), std::string::npos) << o.err;
    }
    EXPECT_EQ(traced_calls(), std::vector<std::string>(4, "DriverAgentOpen"));
}

TEST_F(TavloadProcessTest, UnmappableRangeFailsWith255AndClosesInOrder) {
    RegistrySeed seed;
    seed.length = 0x4000;
    ASSERT_TRUE(seed_registry(seed));
    Outcome o = run({"-status"});
    EXPECT_EQ(o.exit_status, 255);
    EXPECT_EQ(o.err, "Error: memory range TAV cannot be mapped\n");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(traced_calls(), (std::vector<std::string>{"DriverAgentOpen", "DaOpenDeviceA", "DaOpenMemRangeA",
                                                        "QueryMemRangeInfo", "DaCloseMemRange", "DaCloseDevice",
                                                        "DriverAgentClose"}));
}

TEST_F(TavloadProcessTest, LoadStatusAndWrongGameNumber) {
    ASSERT_TRUE(seed_registry());
    std::string set = make_update_set(40215);

    Outcome fresh = run({"-status"});
    EXPECT_EQ(fresh.exit_status, 34) << fresh.out << fresh.err;

    Outcome load = run({"-debug", "-p" + set, "40215"});
    EXPECT_EQ(load.exit_status, 0) << load.err;
    EXPECT_NE(load.out.find("ISA update board load complete."), std::string::npos) << load.out;

    Outcome status = run({"-status"});
    EXPECT_EQ(status.exit_status, 0) << status.err;
    EXPECT_EQ(status.out.rfind("TAV loaded on ", 0), 0u) << status.out;
    EXPECT_NE(status.out.find(" with GameID 40215 Game & Sound updates.\n"), std::string::npos) << status.out;

    Outcome wrong = run({"-p" + set, "40216"});
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
    std::string command = "nm -D --defined-only '" + kTavload + "' 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string symbols;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) symbols.append(buffer, n);
    int rc = pclose(pipe);
    if (rc != 0 && symbols.empty()) GTEST_SKIP() << "nm is not available";
    EXPECT_NE(symbols.find(" T InitializeTAV\n"), std::string::npos);
    EXPECT_NE(symbols.find(" T UninitializeTAV\n"), std::string::npos);
}

}  // namespace
