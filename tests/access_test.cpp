// The loader's entry in-process, against the toolkit stand-in with the registry and the
// model board under a temporary TAV_HOME: open failures, unmappable ranges, failed
// queries and mappings, exit statuses of loader runs, and the close order.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "access/access.h"
#include "board/model.h"
#include "loader/result_codes.h"
#include "tools/update_set.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_status.h"
#include "toolkit_seed.h"

namespace {

using Calls = std::vector<std::string>;
const Calls kFullRun = {"DriverAgentOpen",    "DaOpenDeviceA",      "DaOpenMemRangeA", "QueryMemRangeInfo",
                        "MapMemoryToProcess", "DaCloseMemRange",    "DaCloseDevice",   "DriverAgentClose"};
const Calls kUnmapped = {"DriverAgentOpen",   "DaOpenDeviceA",   "DaOpenMemRangeA", "QueryMemRangeInfo",
                         "DaCloseMemRange",   "DaCloseDevice",   "DriverAgentClose"};

// The toolkit calls recorded, without the text lookups.
Calls calls_made() {
    Calls names;
    for (const std::string &name : toolkit_call_names())
        if (name != "DaTranslateErrorMessageA") names.push_back(name);
    return names;
}

RegistrySeed seed_with(bool service, bool device, bool range, uint32_t length = 0x8000) {
    RegistrySeed s;
    s.service = service;
    s.device = device;
    s.range = range;
    s.length = length;
    return s;
}

struct Outcome {
    int code;
    std::string out, err;
};

class AccessTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        for (const char *name : {"TAV_TOOLKIT_FAIL", "TAV_TOOLKIT_TRACE", "TAV_BOARD"}) unsetenv(name);
        toolkit_calls_clear();
    }
    void TearDown() override {
        unsetenv("TAV_TOOLKIT_FAIL");
        UninitializeTAV();   // a failed open leaves the connection open (the process would end there)
    }

    // DeviceInitialization with argv = "tavload" + args; its output captured.
    Outcome run(std::vector<std::string> args) {
        args.insert(args.begin(), "tavload");
        std::vector<char *> argv;
        for (std::string &w : args) argv.push_back(w.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int code = DeviceInitialization(static_cast<int>(args.size()), argv.data(), nullptr);
        std::string err = testing::internal::GetCapturedStderr();
        return Outcome{code, testing::internal::GetCapturedStdout(), err};
    }

    std::string make_update_set(uint32_t game) {
        tavtools::UpdateSetOptions options;
        options.game_number = game;
        std::string dir = home_.path() + "/set" + std::to_string(game), error;
        EXPECT_TRUE(tavtools::write_update_set(dir, options, &error)) << error;
        return dir;
    }

    TempTavHome home_;
};

// Without the installer's entries nothing of the command line is looked at: one error
// line with the toolkit's text, exit -1, no usage, nothing run and no board made.
TEST_F(AccessTest, MissingEntryGivesOneErrorLineAndMinusOne) {
    struct Case {
        RegistrySeed seed;
        std::vector<std::string> args;
        const char *failing_call;
    } cases[] = {
        {seed_with(false, true, true), {"-x"}, "DriverAgentOpen"},
        {seed_with(true, false, false), {"-?"}, "DaOpenDeviceA"},
        {seed_with(true, true, false), {"-debug", "40215"}, "DaOpenMemRangeA"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing_call);
        ASSERT_TRUE(seed_registry(c.seed));
        toolkit_calls_clear();
        Outcome o = run(c.args);
        EXPECT_EQ(o.code, -1);
        EXPECT_EQ(o.err.rfind("Error: ", 0), 0u) << o.err;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
        EXPECT_NE(o.err.find("run install first"), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "");
        ASSERT_FALSE(calls_made().empty());
        EXPECT_EQ(calls_made().back(), c.failing_call);
        EXPECT_FALSE(std::filesystem::exists(home_.board()));
        UninitializeTAV();
    }
}

// A range that is not mapped is a failure: one error line, everything closed in order,
// exit -1, and the loader body never runs.
TEST_F(AccessTest, UnmappedRangeClosesEverythingAndFails) {
    const std::string unmappable = "Error: memory range TAV cannot be mapped\n";
    const std::string injected = "Error: a failure asked for by TAV_TOOLKIT_FAIL\n";
    struct Case {
        uint32_t length;      // registered range length
        const char *fail;     // TAV_TOOLKIT_FAIL, or null
        std::string err;      // the whole error output
        bool map_called;
    } cases[] = {
        {0x4003, nullptr, unmappable, false},
        {0x8000, "QueryMemRangeInfo=unmappable", unmappable, false},
        {0x8000, "QueryMemRangeInfo", injected, false},
        {0x8000, "MapMemoryToProcess", injected, true},
        {0x8000, "MapMemoryToProcess=none", unmappable, true},   // no status set
        {0x8000, "MapMemoryToProcess=7", unmappable, true},      // a positive status
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fail ? c.fail : "short range");
        ASSERT_TRUE(seed_registry(seed_with(true, true, true, c.length)));
        if (c.fail != nullptr) setenv("TAV_TOOLKIT_FAIL", c.fail, 1);
        toolkit_calls_clear();
        Outcome o = run({"-status"});
        unsetenv("TAV_TOOLKIT_FAIL");
        EXPECT_EQ(o.code, -1);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(calls_made(), c.map_called ? kFullRun : kUnmapped);
        EXPECT_EQ(device_handle, 0u);
        EXPECT_EQ(range_handle, 0u);
    }
}

TEST_F(AccessTest, BoardInUseIsNamedAndNothingRuns) {
    ASSERT_TRUE(seed_registry());
    std::string error;
    auto holder = tavboard::Board::open_or_create(home_.board(), &error);
    ASSERT_NE(holder, nullptr) << error;
    Outcome o = run({"-status"});
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.err.rfind("Error: ", 0), 0u) << o.err;
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
    EXPECT_NE(o.err.find(home_.board()), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(calls_made(), kFullRun);
}

// Every run of the loader body returns its result code as the exit status, and leaves the
// board closed and unlocked.
TEST_F(AccessTest, LoaderRunsEndWithTheirResultCodes) {
    ASSERT_TRUE(seed_registry());
    std::string set = make_update_set(40215);
    std::string wrong = make_update_set(40216);
    struct Step {
        std::vector<std::string> args;
        int code;
        const char *in_out;   // text expected on standard output, or null
        const char *in_err;   // text expected on standard error, or null
    } steps[] = {
        {{"-status"}, RESULT_NOT_LOADED, nullptr, nullptr},
        {{"-x"}, RESULT_BAD_OPTION, nullptr, "usage"},
        {{"123"}, RESULT_BAD_GAME_NUMBER, nullptr, nullptr},
        {{"-?"}, RESULT_OK, nullptr, "usage"},
        {{"-debug", "-p" + set, "40215"}, RESULT_OK, "ISA update board load complete.", nullptr},
        {{"-status"}, RESULT_OK, " with GameID 40215 Game & Sound updates.", nullptr},
        {{"-p" + wrong, "40215"}, RESULT_GAME_ID_MISMATCH, nullptr, "GamdID"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.args.front());
        toolkit_calls_clear();
        Outcome o = run(step.args);
        EXPECT_EQ(o.code, step.code) << o.out << o.err;
        if (step.in_out != nullptr) { EXPECT_NE(o.out.find(step.in_out), std::string::npos) << o.out; }
        if (step.in_err != nullptr) { EXPECT_NE(o.err.find(step.in_err), std::string::npos) << o.err; }
        EXPECT_EQ(o.err.find("Error: "), std::string::npos) << o.err;
        EXPECT_EQ(calls_made(), kFullRun);
        std::string error;
        EXPECT_NE(tavboard::Board::open(home_.board(), &error), nullptr) << error;
    }
}

TEST_F(AccessTest, UninitializeClosesOnlyWhatIsOpen) {
    // The device is missing: InitializeTAV stops at it; closing then touches only the connection.
    ASSERT_TRUE(seed_registry(seed_with(true, false, false)));
    EXPECT_EQ(InitializeTAV(), DA_ERR_NO_DEVICE);
    EXPECT_EQ(device_handle, 0u);
    EXPECT_EQ(range_handle, 0u);
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_STATUS_OK);
    EXPECT_EQ(calls_made(), Calls{"DriverAgentClose"});

    // Never connected: DriverAgentClose is still called, and its status passed on.
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_ERR_NOT_CONNECTED);
    EXPECT_EQ(calls_made(), Calls{"DriverAgentClose"});

    // Everything open: range, device, connection, in that order.
    ASSERT_TRUE(seed_registry());
    ASSERT_EQ(InitializeTAV(), DA_STATUS_OK);
    EXPECT_NE(device_handle, 0u);
    EXPECT_NE(range_handle, 0u);
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_STATUS_OK);
    EXPECT_EQ(calls_made(), (Calls{"DaCloseMemRange", "DaCloseDevice", "DriverAgentClose"}));
    EXPECT_EQ(device_handle, 0u);
    EXPECT_EQ(range_handle, 0u);
}

}  // namespace
