// The real tavload program as a process, against a temporary TAV_HOME: exit statuses as
// the shell sees them, the one error line without the installer's entries, a full load
// and the status report, the close order from the trace file, and the exported entries.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
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

// The real board path, an ordinary file in place of /dev/mem: a range that is not the
// board's ends the run with one line and 255, nothing opened (the device names no file, the
// lock folder stays empty); a second program is refused while one holds the board, and not
// after that one was killed.
TEST_F(TavloadProcessTest, PhysicalBoardGuards) {
    const std::string memory = home_.path() + "/mem", locks = home_.path() + "/locks";
    const std::string lock = locks + "/tav-board-0xd0000-0x8000.lock";
    ASSERT_TRUE(write_file(memory, std::string(0x100000, '\0')) && mkdir(locks.c_str(), 0755) == 0);
    setenv("TAV_BOARD", "physical", 1);
    setenv("TAV_TOOLKIT_LOCK_FOLDER", locks.c_str(), 1);
    setenv("TAV_TOOLKIT_MEM_DEVICE", (home_.path() + "/no-such-mem").c_str(), 1);
    RegistrySeed ram;
    ram.base = 0x100000;
    ASSERT_TRUE(seed_registry(ram));
    ProcessOutcome o = run({"-status"});
    EXPECT_EQ(o.exit_status, 255);
    EXPECT_EQ(o.err, "Error: the board's physical memory is not mapped: memory range \"TAV\" of device \"TAV\", "
                     "0x8000 bytes at 0x100000: a board's range must lie inside the ISA adapter memory area "
                     "0xA0000-0xFFFFF, be page aligned (4096 bytes) and be at most 0x8000 bytes long (run install "
                     "again to register the board's range)\n");
    EXPECT_TRUE(std::filesystem::is_empty(locks));

    ASSERT_TRUE(seed_registry());
    setenv("TAV_TOOLKIT_MEM_DEVICE", memory.c_str(), 1);
    // The holder: a load that finds no flash in the zeroed memory, then waits for ENTER.
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string args[] = {kTavload, "-ask", "40215"};
    char *argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    pid_t holder = 0;
    ASSERT_EQ(posix_spawn(&holder, kTavload.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    for (int poll = 0; poll < 3000 && read_file(lock) != std::to_string(holder) + "\n"; ++poll) usleep(10000);
    o = run({"-status"});
    EXPECT_EQ(o.exit_status, 255);
    EXPECT_EQ(o.err, "Error: the board is in use: process " + std::to_string(holder) + " holds the board (lock file " +
                         lock + ") (wait until that program ends)\n");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(input[1]);
    EXPECT_EQ(run({"-status"}).exit_status, 16);   // not refused: the zeroed memory holds no flash
    for (const char *name : {"TAV_BOARD", "TAV_TOOLKIT_LOCK_FOLDER", "TAV_TOOLKIT_MEM_DEVICE"}) unsetenv(name);
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
