// tavverify and tavbackup run as processes against model boards: a backup loads back the
// same contents on every board fit; flipped bits are named by region and erase block; a
// board that is not loaded or does not verify is refused; a power cut during a backup
// leaves no partial file under a final name.
#include <gtest/gtest.h>

#include "board/model.h"
#include "support.h"
#include "tools/update_set.h"

namespace {

class CheckProcessTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(tavtest::seed_registry()); }

    tavtest::ProcessOutcome run(const std::string &program, const std::vector<std::string> &args) {
        return tavtest::run_process({TAV_BIN_DIR "/" + program, args, home_.path(), {"TAV_HOME=" + home_.path()}});
    }
    void expect(const std::string &program, const std::vector<std::string> &args, int status, const std::string &text) {
        tavtest::ProcessOutcome o = run(program, args);
        EXPECT_EQ(o.exit_status, status) << program << o.out << o.err;
        EXPECT_NE((o.out + o.err).find(text), std::string::npos) << text << "\n" << o.out << o.err;
    }
    // A board of `fit` with set A (game 40215, sf.rom repeating every `period` bytes) loaded.
    void load_a(const tavboard::Fit &fit = {}, uint32_t period = 0) {
        std::string error;
        ASSERT_TRUE(tavboard::Board::create(home_.board(), fit, true, &error)) << error;
        load("A", 40215, 1, period, 2500000);
    }
    // Writes set `name` and loads it.
    void load(const char *name, uint32_t game, uint64_t seed, uint32_t period, uint32_t game_bytes) {
        tavtools::UpdateSetOptions o;
        o.game_number = game, o.seed = seed, o.sound_period = period, o.game_bytes = game_bytes;
        std::string error;
        ASSERT_TRUE(tavtools::write_update_set(home_.file(name), o, &error)) << error;
        ASSERT_EQ(run("tavload", {"-p" + home_.file(name), std::to_string(game)}).exit_status, 0);
    }
    // Both devices' contents, the game device without its information record.
    std::vector<uint8_t> contents(uint32_t record_offset) {
        std::string error;
        auto board = tavboard::Board::open(home_.board(), &error);
        EXPECT_TRUE(board) << error;
        std::vector<uint8_t> all;
        for (auto d : {tavboard::Device::game, tavboard::Device::sound})
            if (board && board->data(d)) all.insert(all.end(), board->data(d), board->data(d) + board->device_size(d));
        all.erase(all.begin() + record_offset, all.begin() + record_offset + 256);
        return all;
    }
    tavtest::TempHome home_;
};

TEST_F(CheckProcessTest, BackupOfSetALoadedOverSetCRestoresTheBoardOnEveryFit) {
    const struct {
        tavboard::Fit fit;
        uint32_t sound_period, record_offset;
    } fits[] = {{{}, 0, 0x3E0000}, {{8u << 20, 128u << 10, 0, false}, 0, 0x3E0000}, {{4u << 20, 64u << 10, 512u << 10, false}, 512u << 10, 0x3F0000}};
    for (const auto &f : fits) {
        SCOPED_TRACE(f.record_offset + f.fit.game_size);
        for (const char *name : {"A", "B", "C"}) std::filesystem::remove_all(home_.file(name));
        load_a(f.fit, f.sound_period);
        expect("tavverify", {}, 0, "verdict: the board verifies: GameID 40215");
        std::vector<uint8_t> loaded = contents(f.record_offset);
        expect("tavbackup", {home_.file("B")}, 0, "restore it with: tavload -p" + home_.file("B") + " 40215");
        load("C", 40216, 2, f.sound_period, 1000000);
        ASSERT_EQ(run("tavload", {"-p" + home_.file("B"), "40215"}).exit_status, 0);
        EXPECT_TRUE(contents(f.record_offset) == loaded);
        expect("tavverify", {"-p" + home_.file("B")}, 0, "sound         ok:");
    }
}

// Each flip is named and refuses a backup (a flip in tavboot.rom is still named, and flipped
// back the board verifies again); a board never loaded and wrong command lines are refused.
TEST_F(CheckProcessTest, FlippedBitsAndRefusals) {
    const struct {
        const char *device, *offset, *named;
    } flips[] = {{"game", "0x100000", "game.rom (erase block 8 of the game FLASH)"}, {"game", "0x3f9000", "tavboot.rom (erase block 31 of the game FLASH)"},
                 {"sound", "0x50000", "sound (erase block 5 of the sound FLASH)"}};
    std::string error;
    ASSERT_TRUE(tavboard::Board::create(home_.board(), {}, true, &error)) << error;
    expect("tavverify", {}, 1, "TAV is not currently loaded.");
    expect("tavbackup", {home_.file("B")}, 1, "the board does not verify; nothing written");
    expect("tavverify", {"-x"}, 2, "usage: tavverify");
    expect("tavbackup", {}, 2, "DIR must be specified");
    load_a();
    for (const auto &flip : flips) {
        SCOPED_TRACE(flip.named);
        std::vector<std::string> args = {"flip", "--device", flip.device, "--offset", flip.offset, "--mask", "10"};
        ASSERT_EQ(run("tavsim", args).exit_status, 0);
        expect("tavverify", {"-p" + home_.file("A")}, 1, flip.named);
        if (flip.offset != std::string("0x3f9000")) expect("tavbackup", {home_.file("B")}, 1, "nothing written");
        EXPECT_FALSE(std::filesystem::exists(home_.file("B")));
        ASSERT_EQ(run("tavsim", args).exit_status, 0);   // flipped back
        expect("tavverify", {"-p" + home_.file("A")}, 0, "every region checked matches");
    }
}

TEST_F(CheckProcessTest, APowerCutDuringABackupLeavesOnlyWholeFilesUnderTheirNames) {
    load_a();
    ASSERT_EQ(run("tavsim", {"counters", "reset"}).exit_status, 0);
    ASSERT_EQ(run("tavbackup", {home_.file("whole")}).exit_status, 0);
    std::string error;
    auto board = tavboard::Board::open(home_.board(), &error);
    ASSERT_TRUE(board) << error;
    // The verify pass reads as much as the write pass: a cut at 3/4 lands among the files.
    std::string after = std::to_string(board->counters().accesses * 3 / 4);
    board.reset();
    ASSERT_EQ(run("tavsim", {"fault", "add", "power-cut", "--after", after}).exit_status, 0);
    EXPECT_EQ(run("tavbackup", {home_.file("cut")}).exit_status, 137);
    int whole = 0;
    for (const char *name : {"bootdata.rom", "im_flsh0.rom", "game.rom", "symbols.rom", "tavboot.rom", "sf.rom"}) {
        std::string cut = home_.file("cut/" + std::string(name));
        if (!std::filesystem::exists(cut)) continue;
        EXPECT_EQ(tavtest::read_file(cut), tavtest::read_file(home_.file("whole/" + std::string(name)))) << name;
        whole++;
    }
    EXPECT_GT(whole, 0);
    EXPECT_LT(whole, 6);
    EXPECT_FALSE(std::filesystem::exists(home_.file("cut/bootdata.rom")));
}

}  // namespace
