// End to end: the programs as a user runs them, each a process in a fresh TAV_HOME - install
// (failing, then twice), tavsim create, tavload -status, a -debug load and the report,
// tavverify and tavbackup, on each board fit - and the loader's entry failing at each toolkit
// call, with the calls made (the trace file) and the one error line.
#include <sys/file.h>

#include "access/access.h"
#include "board/model.h"
#include "model_fixture.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_status.h"

namespace jobs_test {
namespace {

using Calls = std::vector<std::string>;
const Calls kClosed = {"DaCloseMemRange", "DaCloseDevice", "DriverAgentClose"};

struct Home {
    tavtest::TempDir dir;
    std::vector<std::string> env;   // besides TAV_HOME and the trace

    tavtest::ProcessOutcome run(const std::string &program, const std::vector<std::string> &args) {
        std::vector<std::string> all = {"TAV_HOME=" + dir.path(), "TAV_TOOLKIT_TRACE=" + dir.file("trace")};
        all.insert(all.end(), env.begin(), env.end());
        return tavtest::run_process({TAV_BIN_DIR "/" + program, args, dir.path(), all});
    }
    // The toolkit calls traced since the last look, without the text lookups.
    Calls calls() {
        Calls names;
        std::istringstream lines(tavtest::read_file(dir.file("trace")));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("DaTranslateErrorMessageA", 0) != 0) names.push_back(line.substr(0, line.find('(')));
        unlink(dir.file("trace").c_str());
        return names;
    }
};

// The record's first bytes: its timestamp.
const char *record_of(const tavboard::Board &board) {
    return reinterpret_cast<const char *>(board.data(tavboard::Device::game)) + (4u << 20) - board.fit().game_block;
}

// On each fit, a session of the programs in one home against its stored transcript in
// tests/data/chain/ ("$ ", the environment's NAME=value if any, the command line; then the
// exit status, the toolkit calls made, standard output, standard error; "@H@" for the home,
// "@DATE@" for the date in the board's record): tavsim makes the board, install fails and then
// installs twice, tavload reports and loads, tavverify and tavbackup refuse a board never
// loaded and pass a loaded one, and its backup loads back the same board. On one fit, bits
// flipped in turn are named by region and erase block and refuse a backup, until flipped back;
// then a power cut during a backup (at 3/4 of a whole backup's bus accesses: the verify pass
// reads as much as the write pass, so the cut lands among the files) leaves only whole files
// under their names, as tavverify -p shows.
TEST(Chain, SessionOnEachFitMatchesItsTranscript) {
    const struct {
        const char *name;
        uint32_t sound_period;   // sf.rom repeats every so many bytes; 0: no repeat
    } fits[] = {{"4m", 0}, {"8m_no_sound", 0}, {"64k_blocks_512k_sound", 512u << 10}, {"flipped_bits", 0}};
    for (const auto &fit : fits) {
        SCOPED_TRACE(fit.name);
        Home home;
        UpdateSetOptions set;
        set.sound_period = fit.sound_period;
        std::string error;
        ASSERT_TRUE(tavtools::write_update_set(home.dir.file("set"), set, &error)) << error;
        const std::string expected = tavtest::read_file(TAV_SOURCE_DIR "/tests/data/chain/" + std::string(fit.name) + ".txt");
        const std::string seen = tavtest::replay_session(expected, [&](std::vector<std::string> words) {
            home.env.clear();
            for (; words[0].find('=') != std::string::npos; words.erase(words.begin())) home.env.push_back(words[0]);
            const std::string program = words[0];
            words.erase(words.begin());
            tavtest::ProcessOutcome r = home.run(program, words);
            std::string calls = "calls:";
            for (const std::string &call : home.calls()) calls += " " + call;
            std::string text = tavtest::session_text(r, calls + "\n");
            std::unique_ptr<tavboard::Board> board = tavboard::Board::open(home.dir.board(), &error);
            if (board != nullptr) text = replaced(text, std::string(record_of(*board), 24), "@DATE@");
            return replaced(text, home.dir.path(), "@H@");
        });
        EXPECT_EQ(seen, expected);
        std::unique_ptr<tavboard::Board> board = tavboard::Board::open(home.dir.board(), &error);
        ASSERT_NE(board, nullptr) << error;
        expect_loaded(*board, set, LoadShape{});
    }
}

// Each toolkit call failing in turn (the rows of tests/data/loader/entry_failures.txt): one error line, exit
// status -1, the loader never runs, and what was opened closed in reverse order once the range is open.
TEST(Chain, EntryFailuresGiveOneErrorLine) {
    for (const std::vector<std::string> &row : data_rows("entry_failures", 5)) {
        SCOPED_TRACE(row[1] + " " + row[2]);
        const std::vector<std::string> r0 = tavtest::split(row[0], ",");
        tavtest::RegistrySeed seed;
        if (!r0.empty()) {
            seed = {r0[0] == "1", r0[1] == "1", r0[2] == "1", uint32_t(std::stoul(r0[3], nullptr, 0)),
                    uint32_t(std::stoul(r0[4], nullptr, 0))};
        }
        Home home;
        ASSERT_TRUE(tavtest::write_file(home.dir.registry(), tavtest::registry_seed_text(seed)));
        std::unique_ptr<tavboard::Board> holder;
        std::string error, fail = row[1], lock = home.dir.file("board.lock");
        int lock_fd = -1;
        if (fail == "hold the board") holder = tavboard::Board::open_or_create(home.dir.board(), &error);
        else if (fail.rfind("physical", 0) == 0) {
            // The real board path over a file of zeroes in place of /dev/mem (/dev/null cannot be
            // mapped); the folder takes the locks.
            ASSERT_TRUE(tavtest::write_file(home.dir.file("mem"), std::string(0x100000, '\0')));
            const std::string mem = fail == "physical, unmappable" ? "/dev/null" : home.dir.file("mem");
            home.env = {"TAV_BOARD=physical", "TAV_TOOLKIT_LOCK_FOLDER=" + home.dir.path(), "TAV_TOOLKIT_MEM_DEVICE=" + mem};
            lock_fd = fail == "physical, held" ? open(lock.c_str(), O_RDWR | O_CREAT, 0600) : -1;
            ASSERT_TRUE(fail != "physical, held" || (flock(lock_fd, LOCK_EX) == 0 && tavtest::write_file(lock, std::to_string(getpid()) + "\n")));
        } else if (!fail.empty()) home.env = {"TAV_TOOLKIT_FAIL=" + fail};
        tavtest::ProcessOutcome r = home.run("tavload", tavtest::split(row[2], ","));
        if (lock_fd >= 0) close(lock_fd);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.out + r.err, replaced(replaced(replaced(row[3], "@BOARD@", home.dir.board()), "@PID@", std::to_string(getpid())), "@LOCK@", lock));
        if (fail == "physical") { EXPECT_FALSE(std::filesystem::exists(lock)) << "nothing opened"; }
        const Calls calls = home.calls();
        EXPECT_EQ(calls, tavtest::split(row[4], " "));
        if (std::find(calls.begin(), calls.end(), "MapMemoryToProcess") == calls.end()) { EXPECT_FALSE(std::filesystem::exists(home.dir.board())) << "a board was made"; }
    }
}

// The exported entries close only what is open, and pass on the connection's status.
TEST(Chain, UninitializeClosesOnlyWhatIsOpen) {
    tavtest::TempHome home;
    tavtest::reset_tav_environment();
    setenv("TAV_HOME", home.path().c_str(), 1);
    const struct {
        tavtest::RegistrySeed seed;
        int initialize, uninitialize;   // 1: not called
        Calls closes;
    } rows[] = {
        {{true, false, false}, DA_ERR_NO_DEVICE, DA_STATUS_OK, {"DriverAgentClose"}},
        {{}, 1, DA_ERR_NOT_CONNECTED, {"DriverAgentClose"}},
        {{}, DA_STATUS_OK, DA_STATUS_OK, kClosed},
    };
    for (const auto &row : rows) {
        ASSERT_TRUE(tavtest::seed_registry(row.seed));
        if (row.initialize != 1) { EXPECT_EQ(InitializeTAV(), row.initialize); }
        EXPECT_EQ(device_handle != 0 && range_handle != 0, row.initialize == DA_STATUS_OK);
        toolkit_calls_clear();
        EXPECT_EQ(UninitializeTAV(), row.uninitialize);
        Calls calls;
        for (const std::string &name : toolkit_call_names()) calls.push_back(name.substr(0, name.find('(')));
        EXPECT_EQ(calls, row.closes);
        EXPECT_EQ(device_handle + range_handle, 0u);
    }
    tavtest::ProcessOutcome nm = tavtest::run_process({"/usr/bin/nm", {"-D", "--defined-only", TAV_BIN_DIR "/tavload"}, home.path(), {}});
    EXPECT_NE(nm.out.find(" T InitializeTAV\n"), std::string::npos) << nm.err;
    EXPECT_NE(nm.out.find(" T UninitializeTAV\n"), std::string::npos);
}

}  // namespace
}  // namespace jobs_test
