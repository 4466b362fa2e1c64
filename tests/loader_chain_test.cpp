// End to end: the programs as a user runs them, each a process, step by step as tests/data/chain/session.txt says:
// their exit statuses, the toolkit calls they make (the TAV_TOOLKIT_TRACE file) and what they print, on each board
// fit, and at the end the board against the update set; the entries tavload exports, in-process.
#include <fnmatch.h>

#include "access/access.h"
#include "model_fixture.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_status.h"

namespace jobs_test {
namespace {

using Names = std::vector<std::string>;

const std::string kWindowCalls = "DriverAgentOpen DaOpenDeviceA DaOpenMemRangeA QueryMemRangeInfo MapMemoryToProcess"
                                 " DaCloseMemRange DaCloseDevice DriverAgentClose";

// The toolkit calls traced in `home` since the last look, without the text lookups.
Names traced_calls(const tavtest::TempDir &home) {
    Names calls;
    for (const std::string &line : tavtest::split(tavtest::read_file(home.file("trace")), "\n")) {
        const bool lookup = line.rfind("DaTranslateErrorMessageA", 0) == 0;
        if (!line.empty() && !lookup) calls.push_back(line.substr(0, line.find('(')));
    }
    unlink(home.file("trace").c_str());
    return calls;
}

// `text` with the marks of the fit and the home replaced; @CUT@ by three quarters of the bus accesses counted on
// the board since its counters were reset.
std::string marked(std::string text, const tavtest::Row &fit, const tavtest::TempDir &home) {
    text = replaced(text, "@FIT@", fit.text("create"));
    text = replaced(text, "@BLOCK@", fit.text("block"));
    text = replaced(text, "@SPACE@", fit.text("space"));
    text = replaced(text, "@H@", home.path());
    text = replaced(text, "@BIN@", TAV_BIN_DIR);
    std::string error;
    std::unique_ptr<tavboard::Board> board;
    if (text.find("@CUT@") != std::string::npos) board = tavboard::Board::open(home.board(), &error);
    if (board != nullptr) text = replaced(text, "@CUT@", std::to_string(board->counters().accesses * 3 / 4));
    return text;
}

// One step of the session on `fit`: its program run in `home` as the row says, and checked.
void run_step(const tavtest::Row &row, const tavtest::Row &fit, const tavtest::TempDir &home) {
    const std::string store = tavtest::read_file(home.registry());
    std::string edited = store;
    if (row.has("edit")) {
        const Names edit = tavtest::split(row.text("edit"), " > ");
        edited = replaced(store, edit.front(), edit.back());
        ASSERT_TRUE(tavtest::write_file(home.registry(), edited));
    }
    std::string error;
    std::unique_ptr<tavboard::Board> holder;
    if (row.text("hold") == "board") holder = tavboard::Board::open(home.board(), &error);
    Names env = {"LC_ALL=C", "TAV_HOME=" + home.path(), "TAV_TOOLKIT_TRACE=" + home.file("trace")};
    std::istringstream line(marked(row.text("run"), fit, home));
    std::string program;
    while (line >> program && program.find('=') != std::string::npos) env.push_back(program);
    if (program[0] != '/') program = TAV_BIN_DIR "/" + program;
    Names words;
    for (std::string word; line >> word;) words.push_back(word);
    const tavtools::ProcessOutcome r = tavtest::run_process({program, words, home.path(), env});
    EXPECT_EQ(r.exit_status, row.number("exit")) << r.err;
    EXPECT_EQ(traced_calls(home), tavtest::split(replaced(row.text("calls"), "window", kWindowCalls), " "));
    for (const auto &[name, seen] : {std::pair{"out", r.out}, std::pair{"err", r.err}}) {
        if (row.has(name)) {
            EXPECT_EQ(fnmatch(marked(row.text(name), fit, home).c_str(), seen.c_str(), FNM_NOESCAPE), 0) << seen;
        }
    }
    if (row.has("edit")) {
        EXPECT_EQ(tavtest::read_file(home.registry()), edited) << "the run changed the edited store";
        ASSERT_TRUE(tavtest::write_file(home.registry(), store));
    }
}

// The first fit runs every step, the others those marked fits=all; then the board holds what a load writes.
TEST(Chain, SessionOnEachFit) {
    const std::vector<tavtest::Row> rows = tavtest::read_rows("chain/session.txt");
    for (const tavtest::Row &fit : rows) {
        if (!fit.has("fit")) continue;
        SCOPED_TRACE(fit.where + " " + fit.text("fit"));
        const tavtest::TempDir home;
        UpdateSetOptions set;
        set.sound_period = uint32_t(fit.number("period"));
        std::string error;
        ASSERT_TRUE(tavtools::write_update_set(home.file("set"), set, &error)) << error;
        ASSERT_TRUE(tavtest::write_file(home.file("mem"), std::string(0x100000, '\0')));
        for (const tavtest::Row &row : rows) {
            const bool every_fit = row.text("fits") == "all";
            if (row.has("fit") || (&fit != &rows.front() && !every_fit)) continue;
            SCOPED_TRACE(row.where);
            run_step(row, fit, home);
            EXPECT_EQ(row.unread(), "");
            if (testing::Test::HasFailure()) return;
        }
        EXPECT_EQ(fit.unread(), "");
        std::unique_ptr<tavboard::Board> board = tavboard::Board::open(home.board(), &error);
        ASSERT_NE(board, nullptr) << error;
        expect_loaded(*board, set, LoadShape{});
    }
}

// InitializeTAV opens what tavload's entry opens; UninitializeTAV closes only what is open and passes on the
// connection's status.
TEST(Chain, UninitializeClosesOnlyWhatIsOpen) {
    unsetenv("TAV_BOARD");
    unsetenv("TAV_TOOLKIT_FAIL");
    const tavtest::TempHome home;
    EXPECT_EQ(UninitializeTAV(), DA_ERR_NOT_CONNECTED) << "never initialized";
    EXPECT_EQ(toolkit_call_names(), Names{"DriverAgentClose"});
    tavtest::Process install = {TAV_BIN_DIR "/install", {}, home.path(), {"TAV_HOME=" + home.path()}};
    ASSERT_EQ(tavtest::run_process(install).exit_status, 0);
    EXPECT_EQ(InitializeTAV(), DA_STATUS_OK);
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_STATUS_OK);
    EXPECT_EQ(toolkit_call_names(), (Names{"DaCloseMemRange", "DaCloseDevice", "DriverAgentClose"}));
    EXPECT_EQ(device_handle, 0u);
    EXPECT_EQ(range_handle, 0u);
}

}  // namespace
}  // namespace jobs_test
