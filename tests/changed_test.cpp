// Loads with -changed on the model board, one ctest case per row of tests/data/loader/changed.txt (its head says how
// to read it): the erase blocks each load erased and the bytes it programmed, on the model's counters, and the board
// it left, byte for byte what a plain load of the same set leaves when started from the same board.
#include <sys/wait.h>

#include "model_fixture.h"

namespace jobs_test {
namespace {

class ChangedLoads : public ModelBoardTest, public testing::WithParamInterface<tavtest::Row> {
  protected:
    // Writes the set `o` into its own folder (the byte at FILE@OFFSET of `poke` inverted) and loads it with `words`.
    RunResult load(const UpdateSetOptions &o, const std::string &words, const std::string &poke = "") {
        const std::string dir = files_.file("set" + std::to_string(sets_++));
        std::string error;
        EXPECT_TRUE(tavtools::write_update_set(dir, o, &error)) << error;
        if (!poke.empty()) {
            const std::string path = dir + "/" + poke.substr(0, poke.find('@'));
            std::string bytes = tavtest::read_file(path);
            bytes[std::stoul(poke.substr(poke.find('@') + 1), nullptr, 0)] ^= 0xFF;
            EXPECT_TRUE(tavtest::write_file(path, bytes));
        }
        std::vector<std::string> argv = tavtest::split(words, ",");
        argv.push_back("-p" + dir);
        argv.push_back(std::to_string(o.game_number));
        return run_loader(board->window_address(), argv);
    }
    // A fresh board of the row's fit brought where the row starts: a plain load of the usual set or of another game,
    // (before=plain or other; none: erased), then a plain load of the row's set killed at its killed=N-th bus access with the board kept powered.
    void prepare(const tavtest::Row &row, const UpdateSetOptions &set) {
        remake_board({4u << 20, 128u << 10, uint32_t(row.number("sound_kb", 1024)) << 10});
        UpdateSetOptions before;
        if (row.text("before") == "other") {
            before.seed = 2;
            before.game_number = 40216;
        }
        if (row.has("before")) { EXPECT_EQ(load(before, "").code, 0); }
        if (!row.has("killed")) return;
        const pid_t child = fork();
        if (child == 0) {
            tavboard::Fault kill;
            kill.kind = tavboard::FaultKind::kill;
            kill.after = board->counters().accesses + uint64_t(row.number("killed"));   // none reset since the board was made
            std::string error;
            board->add_fault(kill, &error);
            load(set, "", row.text("poke"));
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        board->clear_faults();
        EXPECT_EQ(WEXITSTATUS(status), 137) << "the load was not killed";
    }
    tavtest::TempDir files_;
    int sets_ = 0;
};

// Each listed block of "2 5-7" erased once, every other block of the device not at all.
void expect_erased(const tavboard::Board &board, tavboard::Device device, uint32_t blocks, const std::string &list) {
    std::vector<uint64_t> want(blocks, 0);
    for (const std::string &item : tavtest::split(list, " ")) {
        const size_t dash = item.find('-');
        for (uint32_t b = std::stoul(item); b <= std::stoul(item.substr(dash + 1)); b++) want.at(b) = 1;
    }
    for (uint32_t b = 0; b < blocks; b++) EXPECT_EQ(board.erase_count(device, b), want[b]) << "erase block " << b;
}

TEST_P(ChangedLoads, EraseAndProgramOnlyWhatChanges) {
    const tavtest::Row &row = GetParam();
    SCOPED_TRACE(row.where + ": " + row.text("name"));
    if (row.has("err")) {
        const std::string usage = tavtest::read_file(TAV_SOURCE_DIR "/tests/data/loader/usage.txt");
        const RunResult r = run_loader(board->window_address(), tavtest::split(row.text("words"), ","));
        EXPECT_EQ(r.code, row.number("code"));
        EXPECT_EQ(r.err, row.text("err") == "usage" ? replaced(usage, "@N@", "tavload") : row.text("err"));
        return;
    }
    UpdateSetOptions set;
    set.seed = uint64_t(row.number("seed", 1));
    set.game_number = uint32_t(row.number("game_number", 40215));
    set.sound_period = uint32_t(row.number("sound_period", 0));
    const std::string words = row.text("words");
    // The reference: a plain load of the same set from the same board.
    prepare(row, set);
    EXPECT_EQ(load(set, replaced(replaced(words, "-changed,", ""), "-changed", ""), row.text("poke")).code, 0);
    const uint32_t sound_size = board->device_size(tavboard::Device::sound);
    const std::vector<uint8_t> game(board->data(tavboard::Device::game), board->data(tavboard::Device::game) + (4u << 20));
    const std::vector<uint8_t> sound(board->data(tavboard::Device::sound), board->data(tavboard::Device::sound) + sound_size);
    prepare(row, set);
    board->reset_counters();
    const RunResult r = load(set, words, row.text("poke"));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    // Everything but the record's date and seal, which differ between two loads.
    const uint8_t *now = board->data(tavboard::Device::game);
    const uint32_t info = (4u << 20) - (128u << 10);
    EXPECT_TRUE(std::equal(game.begin(), game.begin() + info, now)) << "game flash below the record";
    EXPECT_TRUE(std::equal(game.begin() + info + 40, game.end(), now + info + 40)) << "game flash from the record on";
    EXPECT_EQ(tav_info_valid(reinterpret_cast<const TAVInfo *>(now + info)), 1);
    EXPECT_TRUE(std::equal(sound.begin(), sound.end(), board->data(tavboard::Device::sound))) << "sound flash";
    if (row.has("accesses")) { EXPECT_EQ(board->counters().accesses, uint64_t(row.number("accesses"))); }
    if (row.has("game_erased")) expect_erased(*board, tavboard::Device::game, 32, row.text("game_erased"));
    if (row.has("sound_erased")) {
        expect_erased(*board, tavboard::Device::sound, 4 + (sound_size >> 17) - 1, row.text("sound_erased"));
    }
    // Bytes programmed: numbers, and sf:A-B for the bytes of sf.rom in [A, B) but its 0xFF ones (no need to program).
    const std::vector<uint8_t> sf = tavtools::update_file_bytes(set, UpdateFile::sound);
    uint64_t programmed = 0;
    for (const std::string &term : tavtest::split(row.text("programmed"), "+")) {
        if (!term.starts_with("sf:")) programmed += std::stoull(term);
        const size_t dash = term.find('-');
        if (term.starts_with("sf:")) {
            programmed += std::count_if(sf.begin() + std::stoul(term.substr(3), nullptr, 0),
                                        sf.begin() + std::stoul(term.substr(dash + 1), nullptr, 0),
                                        [](uint8_t b) { return b != 0xFF; });
        }
    }
    if (row.has("programmed")) { EXPECT_EQ(board->counters().programmed_bytes, programmed); }
    EXPECT_EQ(row.unread(), "");
}

std::string test_name(const testing::TestParamInfo<tavtest::Row> &info) { return tavtest::row_test_name(info.param); }
INSTANTIATE_TEST_SUITE_P(EachRow, ChangedLoads, testing::ValuesIn(tavtest::read_rows("loader/changed.txt")), test_name);

}  // namespace
}  // namespace jobs_test
