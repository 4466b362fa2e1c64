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

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

// The toolkit calls recorded, without the text lookups.
std::vector<std::string> calls_made() {
    std::vector<std::string> names;
    for (const std::string &name : toolkit_call_names()) {
        if (name != "DaTranslateErrorMessageA") names.push_back(name);
    }
    return names;
}

const std::vector<std::string> kFullRun = {"DriverAgentOpen", "DaOpenDeviceA",   "DaOpenMemRangeA", "QueryMemRangeInfo",
                                           "MapMemoryToProcess", "DaCloseMemRange", "DaCloseDevice", "DriverAgentClose"};
const std::vector<std::string> kUnmapped = {"DriverAgentOpen",   "DaOpenDeviceA",   "DaOpenMemRangeA",
                                            "QueryMemRangeInfo", "DaCloseMemRange", "DaCloseDevice",
                                            "DriverAgentClose"};

int count_lines(const std::string &text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

class AccessTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_TOOLKIT_TRACE");
        unsetenv("TAV_BOARD");
        toolkit_calls_clear();
    }
    void TearDown() override {
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_BOARD");
        // A failed open leaves the connection open (the process would end there).
        UninitializeTAV();
    }

    // DeviceInitialization with argv = "tavload" + args; its output captured.
    Outcome run(const std::vector<std::string> &args) {
        std::vector<std::string> words = {"tavload"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int code = DeviceInitialization(static_cast<int>(words.size()), argv.data(), nullptr);
        Outcome o;
        o.code = code;
        o.err = testing::internal::GetCapturedStderr();
        o.out = testing::internal::GetCapturedStdout();
        return o;
    }

    std::string make_update_set(uint32_t game) {
        tavtools::UpdateSetOptions options;
        options.game_number = game;
        std::string dir = home_.path() + "/set" + std::to_string(game);
        std::string error;
        EXPECT_TRUE(tavtools::write_update_set(dir, options, &error)) << error;
        return dir;
    }

    TempTavHome home_;
};

struct OpenFailure {
    const char *what;
    RegistrySeed seed;
    std::vector<std::string> args;
    const char *failing_call;
};

RegistrySeed seed_with(bool service, bool device, bool range) {
    RegistrySeed s;
    s.service = service;
    s.device = device;
    s.range = range;
    return s;
}

class AccessOpenFailure : public AccessTest, public testing::WithParamInterface<OpenFailure> {};

// Without the installer's entries nothing of the command line is looked at: one error
// line with the toolkit's text, exit -1, no usage, nothing run and nothing closed.
TEST_P(AccessOpenFailure, OneErrorLineAndMinusOne) {
    const OpenFailure &c = GetParam();
    ASSERT_TRUE(seed_registry(c.seed));
    Outcome o = run(c.args);
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.err.rfind("Error: ", 0), 0u) << o.err;
    EXPECT_EQ(count_lines(o.err), 1) << o.err;
    EXPECT_NE(o.err.find("run install first"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("usage"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    std::vector<std::string> calls = calls_made();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), c.failing_call);
    EXPECT_FALSE(std::filesystem::exists(home_.board()));
}

INSTANTIATE_TEST_SUITE_P(
    Registry, AccessOpenFailure,
    testing::Values(OpenFailure{"no_service", seed_with(false, true, true), {}, "DriverAgentOpen"},
                    OpenFailure{"no_service_bad_option", seed_with(false, true, true), {"-x"}, "DriverAgentOpen"},
                    OpenFailure{"no_device", seed_with(true, false, false), {"-status"}, "DaOpenDeviceA"},
                    OpenFailure{"no_device_help", seed_with(true, false, false), {"-?"}, "DaOpenDeviceA"},
                    OpenFailure{"no_range", seed_with(true, true, false), {"-debug", "40215"}, "DaOpenMemRangeA"},
                    OpenFailure{"no_range_no_args", seed_with(true, true, false), {}, "DaOpenMemRangeA"}),
    [](const testing::TestParamInfo<OpenFailure> &info) { return std::string(info.param.what); });

struct MapFailure {
    const char *what;
    uint32_t length;          // registered range length
    const char *fail;         // TAV_TOOLKIT_FAIL, or null
    const char *expected;     // the whole error line
    bool map_called;
};

class AccessMapFailure : public AccessTest, public testing::WithParamInterface<MapFailure> {};

// A range that is not mapped is a failure: one error line, everything closed in order,
// exit -1, and the loader body never runs.
TEST_P(AccessMapFailure, ClosesEverythingAndFails) {
    const MapFailure &c = GetParam();
    RegistrySeed seed;
    seed.length = c.length;
    ASSERT_TRUE(seed_registry(seed));
    if (c.fail != nullptr) setenv("TAV_TOOLKIT_FAIL", c.fail, 1);
    Outcome o = run({"-status"});
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.err, std::string(c.expected) + "\n");
    EXPECT_EQ(o.out, "");
    std::vector<std::string> expected = c.map_called ? kFullRun : kUnmapped;
    EXPECT_EQ(calls_made(), expected);
    EXPECT_EQ(device_handle, 0u);
    EXPECT_EQ(range_handle, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Range, AccessMapFailure,
    testing::Values(
        MapFailure{"short_range", 0x4003, nullptr, "Error: memory range TAV cannot be mapped", false},
        MapFailure{"reported_unmappable", 0x8000, "QueryMemRangeInfo=unmappable",
                   "Error: memory range TAV cannot be mapped", false},
        MapFailure{"query_fails", 0x8000, "QueryMemRangeInfo", "Error: a failure asked for by TAV_TOOLKIT_FAIL",
                   false},
        MapFailure{"map_fails_with_status", 0x8000, "MapMemoryToProcess",
                   "Error: a failure asked for by TAV_TOOLKIT_FAIL", true},
        MapFailure{"map_fails_without_status", 0x8000, "MapMemoryToProcess=none",
                   "Error: memory range TAV cannot be mapped", true},
        MapFailure{"map_fails_with_positive_status", 0x8000, "MapMemoryToProcess=7",
                   "Error: memory range TAV cannot be mapped", true}),
    [](const testing::TestParamInfo<MapFailure> &info) { return std::string(info.param.what); });

TEST_F(AccessTest, BoardInUseIsNamedAndNothingRuns) {
    ASSERT_TRUE(seed_registry());
    std::string error;
    auto holder = tavboard::Board::open_or_create(home_.board(), &error);
    ASSERT_NE(holder, nullptr) << error;
    Outcome o = run({"-status"});
    EXPECT_EQ(o.code, -1);
    EXPECT_EQ(o.err.rfind("Error: ", 0), 0u) << o.err;
    EXPECT_EQ(count_lines(o.err), 1) << o.err;
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
        toolkit_calls_clear();
        Outcome o = run(step.args);
        std::string label = step.args.empty() ? "" : step.args.front();
        EXPECT_EQ(o.code, step.code) << label << "\n" << o.out << o.err;
        if (step.in_out != nullptr) {
            EXPECT_NE(o.out.find(step.in_out), std::string::npos) << label << ": " << o.out;
        }
        if (step.in_err != nullptr) {
            EXPECT_NE(o.err.find(step.in_err), std::string::npos) << label << ": " << o.err;
        }
        EXPECT_EQ(o.err.find("Error: "), std::string::npos) << label << ": " << o.err;
        EXPECT_EQ(calls_made(), kFullRun) << label;
        std::string error;
        EXPECT_NE(tavboard::Board::open(home_.board(), &error), nullptr) << label << ": " << error;
    }
}

TEST_F(AccessTest, StatusOfALoadedBoardNamesTheGame) {
    ASSERT_TRUE(seed_registry());
    std::string set = make_update_set(40215);
    ASSERT_EQ(run({"-p" + set, "40215"}).code, 0);
    Outcome o = run({"-status"});
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.out.rfind("TAV loaded on ", 0), 0u) << o.out;
    EXPECT_NE(o.out.find(" with GameID 40215 Game & Sound updates.\n"), std::string::npos) << o.out;
}

TEST_F(AccessTest, UninitializeClosesOnlyWhatIsOpen) {
    // The device is missing: InitializeTAV stops at it; closing then touches only the connection.
    ASSERT_TRUE(seed_registry(seed_with(true, false, false)));
    EXPECT_EQ(InitializeTAV(), DA_ERR_NO_DEVICE);
    EXPECT_EQ(device_handle, 0u);
    EXPECT_EQ(range_handle, 0u);
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_STATUS_OK);
    EXPECT_EQ(calls_made(), std::vector<std::string>{"DriverAgentClose"});

    // Never connected: DriverAgentClose is still called, and its status passed on.
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_ERR_NOT_CONNECTED);
    EXPECT_EQ(calls_made(), std::vector<std::string>{"DriverAgentClose"});

    // Everything open: range, device, connection, in that order.
    ASSERT_TRUE(seed_registry());
    ASSERT_EQ(InitializeTAV(), DA_STATUS_OK);
    EXPECT_NE(device_handle, 0u);
    EXPECT_NE(range_handle, 0u);
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_STATUS_OK);
    EXPECT_EQ(calls_made(), (std::vector<std::string>{"DaCloseMemRange", "DaCloseDevice", "DriverAgentClose"}));
    EXPECT_EQ(device_handle, 0u);
    EXPECT_EQ(range_handle, 0u);
}

TEST_F(AccessTest, ErrorLinesCarryTheToolkitText) {
    const std::string text = DaTranslateErrorMessageA(DA_ERR_NOT_INSTALLED);
    testing::internal::CaptureStderr();
    ReportToolkitError(DA_ERR_NOT_INSTALLED);
    ReportToolkitErrorIn("DeviceInitialization() failed", DA_ERR_NOT_INSTALLED);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error: " + text + "\nError: DeviceInitialization() failed (" + text + ")\n");
    EXPECT_EQ(PrepareBoard(), 0);
    EXPECT_EQ(ReleaseBoard(), 0);
}

}  // namespace
