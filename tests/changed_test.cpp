// Loads with -changed, one ctest case per row of tests/data/loader/changed.txt (its head says how to read it): the
// erase blocks and bytes programmed on the model's counters, and the board byte for byte as a plain load leaves it.
#include <sys/wait.h>

#include "model_fixture.h"

namespace jobs_test {
namespace {

using tavboard::Device;

class ChangedLoads : public ModelBoardTest, public testing::WithParamInterface<tavtest::Row> {
  protected:
    // Writes the set `o` into `folder`, the byte at FILE@OFFSET of `poke` inverted, and loads it with `words`.
    RunResult load(const UpdateSetOptions &o, std::vector<std::string> words, const std::string &poke,
                   const char *folder) {
        const std::string dir = files_.file(folder);
        std::string error;
        EXPECT_TRUE(tavtools::write_update_set(dir, o, &error)) << error;
        if (!poke.empty()) {
            const std::string path = dir + "/" + poke.substr(0, poke.find('@'));
            std::string bytes = tavtest::read_file(path);
            bytes[std::stoul(poke.substr(poke.find('@') + 1), nullptr, 0)] ^= 0xFF;
            EXPECT_TRUE(tavtest::write_file(path, bytes));
        }
        words.push_back("-p" + dir);
        words.push_back(std::to_string(o.game_number));
        return run_loader(board->window_address(), words);
    }
    // A fresh board where the row starts: the load before, the row's set loaded plain and killed, the failing erase.
    void prepare(const tavtest::Row &row, const UpdateSetOptions &set) {
        remake_board({4u << 20, 128u << 10, uint32_t(row.number("sound_kb", 1024)) << 10});
        UpdateSetOptions before;
        before.seed = row.text("before") == "other" ? 2 : 1;
        before.game_number = row.text("before") == "other" ? 40216 : 40215;
        if (row.has("before")) { EXPECT_EQ(load(before, {}, "", "before").code, 0); }
        if (row.has("killed")) kill_load(row, set);
        const int32_t block = int32_t(row.number("erase_fails", -1));
        const tavboard::Fault fails{.kind = tavboard::FaultKind::erase_fail, .block = block};
        std::string error;
        if (block >= 0) { EXPECT_TRUE(board->add_fault(fails, &error)) << error; }
    }
    void kill_load(const tavtest::Row &row, const UpdateSetOptions &set) {
        const pid_t child = fork();
        if (child == 0) {
            // The kill counts this process's accesses: all of them since the board was made, none reset.
            const uint64_t after = board->counters().accesses + uint64_t(row.number("killed"));
            std::string error;
            board->add_fault(tavboard::Fault{.kind = tavboard::FaultKind::kill, .after = after}, &error);
            load(set, {}, row.text("poke"), "set");
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        board->clear_faults();
        EXPECT_EQ(WEXITSTATUS(status), 137) << "the load was not killed";
    }
    tavtest::TempDir files_;
};

// Each block of `list` ("2 5-7") erased once, every other block of the device not at all.
void expect_erased(const tavboard::Board &board, Device device, uint32_t blocks, const std::string &list) {
    std::vector<uint64_t> want(blocks, 0);
    for (const std::string &item : tavtest::split(list, " ")) {
        for (uint32_t b = std::stoul(item); b <= std::stoul(item.substr(item.find('-') + 1)); b++) want.at(b) = 1;
    }
    for (uint32_t b = 0; b < blocks; b++) EXPECT_EQ(board.erase_count(device, b), want[b]) << "erase block " << b;
}

TEST_P(ChangedLoads, EraseAndProgramOnlyWhatChanges) {
    const tavtest::Row &row = GetParam();
    SCOPED_TRACE(row.where + ": " + row.text("name"));
    const std::vector<std::string> words = tavtest::split(row.text("words"), ",");
    UpdateSetOptions set;
    set.seed = uint64_t(row.number("seed", 1));
    set.game_number = uint32_t(row.number("game_number", 40215));
    set.sound_period = uint32_t(row.number("sound_period", 0));
    std::vector<std::string> plain = words;
    std::erase(plain, "-changed");
    prepare(row, set);
    const RunResult reference = load(set, plain, row.text("poke"), "set");
    const std::vector<uint8_t> game(board->data(Device::game), board->data(Device::game) + (4u << 20));
    const uint32_t sound_size = board->device_size(Device::sound);
    const std::vector<uint8_t> sound(board->data(Device::sound), board->data(Device::sound) + sound_size);
    prepare(row, set);
    board->reset_counters();
    const RunResult r = load(set, words, row.text("poke"), "set");
    EXPECT_EQ(reference.code, row.number("code"));
    EXPECT_EQ(r.code, reference.code);
    EXPECT_EQ(r.err, reference.err);
    EXPECT_EQ(r.out, reference.out);
    // All but the record's date and seal, which differ between two loads; a load that failed is only not loaded.
    const uint8_t *now = board->data(Device::game);
    const uint32_t info = (4u << 20) - (128u << 10);
    EXPECT_EQ(tav_info_valid(reinterpret_cast<const TAVInfo *>(now + info)), r.code == 0 ? 1 : 0);
    if (r.code == 0) {
        EXPECT_TRUE(std::equal(game.begin(), game.begin() + info, now)) << "game flash below the record";
        EXPECT_TRUE(std::equal(game.begin() + info + 40, game.end(), now + info + 40)) << "game flash from the record";
        EXPECT_TRUE(std::equal(sound.begin(), sound.end(), board->data(Device::sound))) << "sound flash";
    }
    if (row.has("accesses")) { EXPECT_EQ(board->counters().accesses, uint64_t(row.number("accesses"))); }
    if (row.has("programmed")) {
        expect_erased(*board, Device::game, 32, row.text("game_erased"));
        expect_erased(*board, Device::sound, 4 + (sound_size >> 17) - 1, row.text("sound_erased"));
        uint64_t programmed = 0;
        for (const std::string &term : tavtest::split(row.text("programmed"), "+")) programmed += std::stoull(term);
        const std::vector<uint8_t> sf = tavtools::update_file_bytes(set, UpdateFile::sound);
        const std::vector<std::string> range = tavtest::split(row.has("sf") ? row.text("sf") : "0-0", "-");
        programmed += std::count_if(sf.begin() + std::stoul(range[0], nullptr, 0),
                                    sf.begin() + std::stoul(range[1], nullptr, 0), [](uint8_t b) { return b != 0xFF; });
        EXPECT_EQ(board->counters().programmed_bytes, programmed);
    }
    EXPECT_EQ(row.unread(), "");
}

std::string test_name(const testing::TestParamInfo<tavtest::Row> &info) { return tavtest::row_test_name(info.param); }
INSTANTIATE_TEST_SUITE_P(EachRow, ChangedLoads, testing::ValuesIn(tavtest::read_rows("loader/changed.txt")), test_name);

}  // namespace
}  // namespace jobs_test
