// End to end: the programs as a user runs them, each a process in a fresh TAV_HOME, step by step as the rows
// of tests/data/chain/ say: their exit statuses, the toolkit calls they make (the TAV_TOOLKIT_TRACE file), what
// they print, the folders they leave, and at the end the board against the update set; tavload's entry failing
// at each toolkit call; the entries tavload exports.
#include <fnmatch.h>
#include <sys/file.h>

#include <filesystem>

#include "access/access.h"
#include "model_fixture.h"
#include "tests/tables.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_status.h"

namespace jobs_test {
namespace {

using Names = std::vector<std::string>;

const std::string kWindowCalls = "DriverAgentOpen DaOpenDeviceA DaOpenMemRangeA QueryMemRangeInfo MapMemoryToProcess"
                                 " DaCloseMemRange DaCloseDevice DriverAgentClose";
const std::string kLock = "board.lock";

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

// The names in a folder, sorted; none when there is no such folder.
Names names_in(const std::string &folder) {
    Names names;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Three quarters of the bus accesses counted on the board since its counters were reset.
std::string cut_point(const tavtest::TempDir &home) {
    std::string error;
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(home.board(), &error);
    if (board == nullptr) return error;
    return std::to_string(board->counters().accesses * 3 / 4);
}

struct ChainFit {
    const char *name;
    const char *create;        // tavsim create's options
    const char *record_block;  // the game erase block that holds the record
    const char *sound_space;
    uint32_t sound_period;     // sf.rom repeats every so many bytes; 0: no repeat
};

const ChainFit kDefaultFit = {
    .name = "4 MB", .create = "", .record_block = "31", .sound_space = "8", .sound_period = 0};

// The steps of tests/data/chain/<steps> in a fresh home whose folder "set" holds the update set of the fit;
// at the end the board holds what a load of that set writes, unless `loaded` is false.
void run_session(const std::string &steps, const ChainFit &fit, bool loaded) {
    tavtest::TempDir home;
    UpdateSetOptions set;
    set.sound_period = fit.sound_period;
    std::string error;
    ASSERT_TRUE(tavtools::write_update_set(home.file("set"), set, &error)) << error;
    ASSERT_TRUE(tavtest::write_file(home.file("mem"), std::string(0x100000, '\0')));
    const auto marked = [&](std::string text) {
        text = replaced(text, "@FIT@", fit.create);
        text = replaced(text, "@BLOCK@", fit.record_block);
        text = replaced(text, "@SPACE@", fit.sound_space);
        text = replaced(text, "@LOCK@", home.file(kLock));
        text = replaced(text, "@H@", home.path());
        text = replaced(text, "@BIN@", TAV_BIN_DIR);
        text = replaced(text, "@PID@", std::to_string(getpid()));
        if (text.find("@CUT@") != std::string::npos) text = replaced(text, "@CUT@", cut_point(home));
        return text;
    };
    for (const tavtest::Row &row : tavtest::read_rows("chain/" + steps)) {
        SCOPED_TRACE(row.where);
        if (row.has("registry")) {
            tavtest::RegistrySeed seed;
            seed.service = row.text("registry") != "without service";
            seed.device = row.text("registry") != "without device";
            seed.range = row.text("registry") != "without range";
            seed.base = uint32_t(row.number("base", seed.base));
            seed.length = uint32_t(row.number("length", seed.length));
            ASSERT_TRUE(tavtest::write_file(home.registry(), tavtest::registry_seed_text(seed)));
        }
        std::unique_ptr<tavboard::Board> holder;
        if (row.text("hold") == "board") holder = tavboard::Board::open_or_create(home.board(), &error);
        int lock = -1;
        if (row.text("hold") == "lock") {
            lock = open(home.file(kLock).c_str(), O_RDWR | O_CREAT, 0600);
            ASSERT_EQ(flock(lock, LOCK_EX), 0);
            ASSERT_TRUE(tavtest::write_file(home.file(kLock), std::to_string(getpid()) + "\n"));
        }
        Names env = {"TAV_HOME=" + home.path(), "TAV_TOOLKIT_TRACE=" + home.file("trace")};
        Names words;
        std::istringstream line(marked(row.text("run")));
        for (std::string word; line >> word;) words.push_back(word);
        while (words.front().find('=') != std::string::npos) {
            env.push_back(words.front());
            words.erase(words.begin());
        }
        const std::string program = TAV_BIN_DIR "/" + words.front();
        words.erase(words.begin());
        const tavtest::ProcessOutcome r = tavtest::run_process({program, words, home.path(), env});
        if (lock >= 0) close(lock);
        EXPECT_EQ(r.exit_status, row.number("exit")) << r.err;
        EXPECT_EQ(traced_calls(home), tavtest::split(replaced(row.text("calls"), "window", kWindowCalls), " "));
        if (row.has("out")) {
            EXPECT_EQ(fnmatch(marked(row.text("out")).c_str(), r.out.c_str(), FNM_NOESCAPE), 0) << r.out;
        }
        if (row.has("err")) {
            EXPECT_EQ(fnmatch(marked(row.text("err")).c_str(), r.err.c_str(), FNM_NOESCAPE), 0) << r.err;
        }
        if (row.has("folder")) {
            EXPECT_EQ(names_in(home.file(row.text("folder"))), tavtest::split(row.text("holds"), " "));
        }
        if (row.has("absent")) {
            EXPECT_FALSE(std::filesystem::exists(home.file(row.text("absent"))));
        }
        EXPECT_EQ(row.unread(), "");
        if (testing::Test::HasFailure()) return;
    }
    if (!loaded) return;
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(home.board(), &error);
    ASSERT_NE(board, nullptr) << error;
    expect_loaded(*board, set, LoadShape{});
}

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
        run_session("session.txt", fit, true);
    }
}

TEST(Chain, FlippedBitsAreNamedAndACutBackupLeavesWholeFiles) {
    run_session("flipped.txt", kDefaultFit, true);
}

TEST(Chain, EntryFailuresGiveOneErrorLineAndCloseWhatIsOpen) {
    run_session("entry_failures.txt", kDefaultFit, false);
}

// InitializeTAV opens what tavload's entry opens; UninitializeTAV closes only what is open and passes on the
// connection's status.
TEST(Chain, UninitializeClosesOnlyWhatIsOpen) {
    tavtest::TempHome home;
    tavtest::reset_tav_environment();
    setenv("TAV_HOME", home.path().c_str(), 1);
    tavtest::RegistrySeed no_device;
    no_device.device = false;
    ASSERT_TRUE(tavtest::seed_registry(no_device));
    EXPECT_EQ(InitializeTAV(), DA_ERR_NO_DEVICE);
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_STATUS_OK);
    EXPECT_EQ(toolkit_call_names(), Names{"DriverAgentClose"});
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_ERR_NOT_CONNECTED) << "never initialized";
    EXPECT_EQ(toolkit_call_names(), Names{"DriverAgentClose"});
    ASSERT_TRUE(tavtest::seed_registry());
    EXPECT_EQ(InitializeTAV(), DA_STATUS_OK);
    EXPECT_NE(device_handle, 0u);
    EXPECT_NE(range_handle, 0u);
    toolkit_calls_clear();
    EXPECT_EQ(UninitializeTAV(), DA_STATUS_OK);
    EXPECT_EQ(toolkit_call_names(), (Names{"DaCloseMemRange", "DaCloseDevice", "DriverAgentClose"}));
    EXPECT_EQ(device_handle, 0u);
    EXPECT_EQ(range_handle, 0u);
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
