// End to end: the programs as a user runs them, each a process in a fresh TAV_HOME, checked by their exit
// statuses, the toolkit calls they make (the TAV_TOOLKIT_TRACE file), the lines a user acts on, and the board
// they leave against the update set; tavload's entry failing at each toolkit call; the exported entries.
#include <fnmatch.h>
#include <sys/file.h>

#include <filesystem>

#include "access/access.h"
#include "board/model.h"
#include "model_fixture.h"
#include "tests/tables.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_status.h"

namespace jobs_test {
namespace {

const std::string kWindowCalls = "DriverAgentOpen DaOpenDeviceA DaOpenMemRangeA QueryMemRangeInfo MapMemoryToProcess"
                                 " DaCloseMemRange DaCloseDevice DriverAgentClose";

std::string joined(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &word : words) {
        if (!text.empty()) text += " ";
        text += word;
    }
    return text;
}

struct Home {
    tavtest::TempDir dir;

    // `line`: NAME=value words for the environment, then the program of the build and its words.
    tavtest::ProcessOutcome run(const std::string &line) {
        std::vector<std::string> env = {"TAV_HOME=" + dir.path(), "TAV_TOOLKIT_TRACE=" + dir.file("trace")};
        std::vector<std::string> words;
        std::istringstream split(line);
        for (std::string word; split >> word;) words.push_back(word);
        while (words[0].find('=') != std::string::npos) {
            env.push_back(words[0]);
            words.erase(words.begin());
        }
        const std::string program = TAV_BIN_DIR "/" + words[0];
        words.erase(words.begin());
        return tavtest::run_process({program, words, dir.path(), env});
    }
    // The toolkit calls traced since the last look, without the text lookups.
    std::string calls() {
        std::vector<std::string> names;
        for (const std::string &line : tavtest::split(tavtest::read_file(dir.file("trace")), "\n")) {
            const bool lookup = line.rfind("DaTranslateErrorMessageA", 0) == 0;
            if (!line.empty() && !lookup) names.push_back(line.substr(0, line.find('(')));
        }
        unlink(dir.file("trace").c_str());
        return joined(names);
    }
};

// The lines of `patterns` that match no whole line of `output` ("*": any text).
std::string unmatched(const std::string &patterns, const std::string &output) {
    std::string missing;
    const std::vector<std::string> lines = tavtest::split(output, "\n");
    for (const std::string &pattern : tavtest::split(patterns, "\n")) {
        bool found = false;
        for (const std::string &line : lines) {
            if (fnmatch(pattern.c_str(), line.c_str(), FNM_NOESCAPE) == 0) found = true;
        }
        if (!found) missing += pattern + "\n";
    }
    return missing;
}

// The names in a folder, sorted; "" when there is no such folder.
std::string names_in(const std::string &folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return joined(names);
}

struct ChainFit {
    const char *name;
    const char *create;        // tavsim create's options
    const char *record_block;  // the game erase block that holds the record
    const char *sound_space;
    uint32_t sound_period;     // sf.rom repeats every so many bytes; 0: no repeat
};

std::string marked(std::string text, const ChainFit &fit) {
    text = replaced(text, "@FIT@", fit.create);
    text = replaced(text, "@BLOCK@", fit.record_block);
    return replaced(text, "@SPACE@", fit.sound_space);
}

// Three quarters of the bus accesses counted on the board since its counters were reset.
std::string cut_point(const Home &home) {
    std::string error;
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(home.dir.board(), &error);
    if (board == nullptr) return error;
    return std::to_string(board->counters().accesses * 3 / 4);
}

// The steps of tests/data/chain/<steps> in a fresh home whose folder "set" holds the update set of
// the fit; at the end the board holds what a load of that set writes.
void run_session(const std::string &steps, const ChainFit &fit) {
    Home home;
    UpdateSetOptions set;
    set.sound_period = fit.sound_period;
    std::string error;
    ASSERT_TRUE(tavtools::write_update_set(home.dir.file("set"), set, &error)) << error;
    for (const tavtest::Row &row : tavtest::read_rows("chain/" + steps)) {
        SCOPED_TRACE(row.where);
        std::string run = marked(row.text("run"), fit);
        if (run.find("@CUT@") != std::string::npos) run = replaced(run, "@CUT@", cut_point(home));
        const tavtest::ProcessOutcome r = home.run(run);
        EXPECT_EQ(r.exit_status, row.number("exit")) << r.err;
        EXPECT_EQ(home.calls(), replaced(row.text("calls"), "window", kWindowCalls));
        EXPECT_EQ(unmatched(marked(row.text("out"), fit), r.out), "") << r.out;
        EXPECT_EQ(unmatched(marked(row.text("err"), fit), r.err), "") << r.err;
        if (row.has("folder")) {
            EXPECT_EQ(names_in(home.dir.file(row.text("folder"))), row.text("holds"));
        }
        EXPECT_EQ(row.unread(), "");
        if (testing::Test::HasFailure()) return;
    }
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(home.dir.board(), &error);
    ASSERT_NE(board, nullptr) << error;
    expect_loaded(*board, set, LoadShape{});
}

const ChainFit kDefaultFit = {
    .name = "4 MB", .create = "", .record_block = "31", .sound_space = "8", .sound_period = 0};

TEST(Chain, SessionOnEachFit) {
    const ChainFit fits[] = {
        kDefaultFit,
        {.name = "8 MB, no sound device", .create = "--game 8M --sound none", .record_block = "31",
         .sound_space = "1", .sound_period = 0},
        {.name = "64 KB erase blocks, 512 KB sound device", .create = "--game-block 64K --sound 512K",
         .record_block = "63", .sound_space = "8", .sound_period = 512u << 10},
    };
    for (const ChainFit &fit : fits) {
        SCOPED_TRACE(fit.name);
        run_session("session.txt", fit);
    }
}

TEST(Chain, FlippedBitsAreNamedAndACutBackupLeavesWholeFiles) {
    run_session("flipped.txt", kDefaultFit);
}

TEST(Chain, EntryFailuresGiveOneErrorLine) {
    for (const tavtest::Row &row : tavtest::read_rows("chain/entry_failures.txt")) {
        SCOPED_TRACE(row.where + " " + row.text("name"));
        tavtest::RegistrySeed seed;
        seed.service = row.number("service", 1) == 1;
        seed.device = row.number("device", 1) == 1;
        seed.range = row.number("range", 1) == 1;
        seed.base = uint32_t(row.number("base", seed.base));
        seed.length = uint32_t(row.number("length", seed.length));
        Home home;
        ASSERT_TRUE(tavtest::write_file(home.dir.registry(), tavtest::registry_seed_text(seed)));
        const std::string board = row.text("board");
        const std::string lock = home.dir.file("tav-board-0xd0000-0x8000.lock");
        std::string env;
        if (row.has("fail")) env = "TAV_TOOLKIT_FAIL=" + row.text("fail") + " ";
        std::unique_ptr<tavboard::Board> holder;
        std::string error;
        if (board == "held") holder = tavboard::Board::open_or_create(home.dir.board(), &error);
        int lock_fd = -1;
        if (board.rfind("physical", 0) == 0) {
            // A file of zeroes stands for /dev/mem (/dev/null cannot be mapped); the home takes the locks.
            ASSERT_TRUE(tavtest::write_file(home.dir.file("mem"), std::string(0x100000, '\0')));
            std::string mem = home.dir.file("mem");
            if (board == "physical /dev/null") mem = "/dev/null";
            env = "TAV_BOARD=physical TAV_TOOLKIT_LOCK_FOLDER=" + home.dir.path();
            env += " TAV_TOOLKIT_MEM_DEVICE=" + mem + " ";
        }
        if (board == "physical held") {
            lock_fd = open(lock.c_str(), O_RDWR | O_CREAT, 0644);
            ASSERT_EQ(flock(lock_fd, LOCK_EX), 0);
            ASSERT_TRUE(tavtest::write_file(lock, std::to_string(getpid()) + "\n"));
        }
        const tavtest::ProcessOutcome r = home.run(env + "tavload " + replaced(row.text("words"), ",", " "));
        if (lock_fd >= 0) close(lock_fd);
        std::string message = replaced(row.text("err"), "@BOARD@", home.dir.board());
        message = replaced(message, "@PID@", std::to_string(getpid()));
        message = replaced(message, "@LOCK@", lock);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message + "\n");
        const std::string calls = home.calls();
        EXPECT_EQ(calls, replaced(row.text("calls"), "window", kWindowCalls));
        if (board == "physical") {
            EXPECT_FALSE(std::filesystem::exists(lock)) << "the lock was taken";
        }
        if (calls.find("MapMemoryToProcess") == std::string::npos) {
            EXPECT_FALSE(std::filesystem::exists(home.dir.board())) << "a board was made";
        }
        EXPECT_EQ(row.unread(), "");
    }
}

// The entries tavload exports for a caller of its own: Uninitialize closes only what Initialize opened and
// passes on the connection's status.
TEST(Chain, UninitializeClosesOnlyWhatIsOpen) {
    tavtest::TempHome home;
    tavtest::reset_tav_environment();
    setenv("TAV_HOME", home.path().c_str(), 1);
    struct Case {
        const char *name;
        bool device_recorded;
        bool initialize;
        int initialized;
        int uninitialized;
        std::string closes;
    };
    const Case rows[] = {
        {.name = "no device", .device_recorded = false, .initialize = true, .initialized = DA_ERR_NO_DEVICE,
         .uninitialized = DA_STATUS_OK, .closes = "DriverAgentClose"},
        {.name = "never initialized", .device_recorded = true, .initialize = false, .initialized = 0,
         .uninitialized = DA_ERR_NOT_CONNECTED, .closes = "DriverAgentClose"},
        {.name = "all open", .device_recorded = true, .initialize = true, .initialized = DA_STATUS_OK,
         .uninitialized = DA_STATUS_OK, .closes = "DaCloseMemRange DaCloseDevice DriverAgentClose"},
    };
    for (const Case &row : rows) {
        SCOPED_TRACE(row.name);
        tavtest::RegistrySeed seed;
        seed.device = row.device_recorded;
        ASSERT_TRUE(tavtest::seed_registry(seed));
        if (row.initialize) {
            EXPECT_EQ(InitializeTAV(), row.initialized);
        }
        EXPECT_EQ(device_handle != 0 && range_handle != 0, row.initialize && row.initialized == DA_STATUS_OK);
        toolkit_calls_clear();
        EXPECT_EQ(UninitializeTAV(), row.uninitialized);
        EXPECT_EQ(joined(toolkit_call_names()), row.closes);
        EXPECT_EQ(device_handle, 0u);
        EXPECT_EQ(range_handle, 0u);
    }
}

TEST(Chain, TavloadExportsItsEntries) {
    tavtest::TempDir dir;
    const tavtest::ProcessOutcome nm =
        tavtest::run_process({"/usr/bin/nm", {"-D", "--defined-only", TAV_BIN_DIR "/tavload"}, dir.path(), {}});
    EXPECT_NE(nm.out.find(" T InitializeTAV\n"), std::string::npos) << nm.err;
    EXPECT_NE(nm.out.find(" T UninitializeTAV\n"), std::string::npos) << nm.err;
}

}  // namespace
}  // namespace jobs_test
