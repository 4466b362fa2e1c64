// A load refused for its input loses nothing: each row of tests/data/loader/input_faults.txt (its head says how to
// read it) is run on a board that holds a complete load of a good set, and the board keeps that load: the same
// contents, no erase, no byte programmed, no erase or program command, the same status report.
#include <sys/stat.h>

#include <filesystem>

#include "model_fixture.h"
#include "tests/tables.h"

namespace jobs_test {
namespace {

int open_descriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; fd++) count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    return count;
}

class LoaderInputTest : public ModelBoardTest {
  protected:
    RunResult run(const std::vector<std::string> &words) { return run_loader(board->window_address(), words); }
    std::string make_set(const UpdateSetOptions &o, const std::string &name) {
        const std::string dir = sets_.file(name);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        std::string error;
        EXPECT_TRUE(tavtools::write_update_set(dir, o, &error)) << error;
        return dir;
    }
    tavtest::TempDir sets_;
    // A fresh board with a sound device of sound_kb holding a complete load of a good set.
    void load_good_set(uint32_t sound_kb) {
        remake_board(tavboard::Fit{4u << 20, 128u << 10, sound_kb << 10, false});
        good = UpdateSetOptions{};
        if (sound_kb < 1024) good.sound_period = sound_kb << 10;
        RunResult load = run({"-p" + make_set(good, "good"), "40215"});
        ASSERT_EQ(load.code, 0) << load.err;
        loaded_sound_kb = sound_kb;
        status = run({"-status"}).out;
    }
    std::vector<uint8_t> contents(tavboard::Device device) const {
        const uint8_t *data = board->data(device);
        return std::vector<uint8_t>(data, data + board->device_size(device));
    }
    UpdateSetOptions good;
    uint32_t loaded_sound_kb = 0;
    std::string status;
};

// Does one damage of a row to the set in dir.
void damage(const std::string &dir, const std::string &what) {
    const std::vector<std::string> words = tavtest::split(what, " ");
    const std::string path = dir + "/" + words.back();
    const std::string bytes = tavtest::read_file(path);
    const size_t n = words.size() == 3 ? std::stoul(words[1]) : 0;
    ASSERT_EQ(unlink(path.c_str()), 0) << what;
    bool done = words[0] == "missing";
    if (words[0] == "directory") done = mkdir(path.c_str(), 0755) == 0;
    if (words[0] == "fifo") done = mkfifo(path.c_str(), 0644) == 0;
    if (words[0] == "size") done = tavtest::write_file(path, std::string(n, 'Z'));
    if (words[0] == "cut") done = tavtest::write_file(path, bytes.substr(0, n));
    if (words[0] == "grow") done = tavtest::write_file(path, bytes + std::string(n, 'Z'));
    ASSERT_TRUE(done) << what;
}

TEST_F(LoaderInputTest, AFaultInTheInputLeavesTheBoardAsItWas) {
    for (const tavtest::Row &row : tavtest::read_rows("loader/input_faults.txt")) {
        SCOPED_TRACE(row.where + " " + row.text("name"));
        const uint32_t sound_kb = static_cast<uint32_t>(row.number("sound_kb", 1024));
        if (sound_kb != loaded_sound_kb) load_good_set(sound_kb);
        UpdateSetOptions faulty;
        faulty.unchecked = true;
        faulty.game_number = static_cast<uint32_t>(row.number("game", 40215));
        if (row.has("boot_game")) faulty.bootdata_game_id = static_cast<int32_t>(row.number("boot_game"));
        if (row.has("declared_game_longs")) faulty.declared_game_longs = row.number("declared_game_longs");
        const std::string dir = make_set(faulty, "faulty");
        for (const std::string &what : tavtest::split(row.text("damage"), ";")) {
            if (!what.empty()) damage(dir, what);
        }
        const std::vector<uint8_t> game = contents(tavboard::Device::game);
        const std::vector<uint8_t> sound = contents(tavboard::Device::sound);
        board->reset_counters();
        const int descriptors = open_descriptors();
        std::vector<std::string> words = tavtest::split(replaced(row.text("words"), "@D@", dir), ",");
        words.push_back("40215");
        RunResult r = run(words);
        EXPECT_EQ(r.code, row.number("code"));
        EXPECT_EQ(r.err, replaced(row.text("err"), "@D@", dir));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(row.unread(), "");
        EXPECT_EQ(open_descriptors(), descriptors) << "a file was left open";
        EXPECT_EQ(board->counters().erases, 0u);
        EXPECT_EQ(board->counters().programmed_bytes, 0u);
        for (uint8_t command : {0x20, 0x40, 0xE8, 0xD0}) {
            EXPECT_EQ(board->command_count(command), 0u) << "command " << int(command);
        }
        EXPECT_TRUE(contents(tavboard::Device::game) == game) << "the game flash changed";
        EXPECT_TRUE(contents(tavboard::Device::sound) == sound) << "the sound flash changed";
        RunResult after = run({"-status"});
        EXPECT_EQ(after.code, 0);
        EXPECT_EQ(after.out, status);
        expect_loaded(*board, good, LoadShape{});
        // A row that changed the board leaves the next one a fresh load.
        if (HasFailure()) loaded_sound_kb = 0;
    }
}

}  // namespace
}  // namespace jobs_test
