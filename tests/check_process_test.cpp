// tavverify and tavbackup run as processes against model boards: a load verifies; flipped
// bits are found by region and erase block; a backup loads back the same contents on every
// board fit; a board that is not loaded or does not verify is refused; a power cut during a
// backup leaves no partial file under a final name.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "board/model.h"
#include "process_run.h"
#include "tools/update_set.h"
#include "toolkit_seed.h"

namespace {

const std::string kBin = TAV_BIN_DIR;
const char *const kSetFiles[] = {"bootdata.rom", "im_flsh0.rom", "game.rom", "symbols.rom", "tavboot.rom", "sf.rom"};

struct BoardFit {
    const char *name;
    tavboard::Fit fit;
    uint32_t sound_period;   // sf.rom repeats this many bytes (a smaller sound device), 0: none
    uint32_t record_offset;  // the information record in the game device
};

const BoardFit kFits[] = {
    {"default", {}, 0, 0x3E0000},
    {"8 MB, sound on space 1", {8u << 20, 128u << 10, 0, false}, 0, 0x3E0000},
    {"512 KB sound device", {4u << 20, 64u << 10, 512u << 10, false}, 512u << 10, 0x3F0000},
};

class CheckProcessTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(seed_registry()); }
    ProcessOutcome run(const std::string &program, const std::vector<std::string> &args) {
        return run_process(kBin + "/" + program, args, home_.path());
    }
    std::string dir(const char *name) { return home_.path() + "/" + name; }
    void make_board(const BoardFit &f) {
        std::string error;
        ASSERT_TRUE(tavboard::Board::create(home_.board(), f.fit, true, &error)) << error;
    }
    void make_set(const char *name, uint32_t game, uint64_t seed, uint32_t period, uint32_t game_bytes) {
        tavtools::UpdateSetOptions o;
        o.game_number = game;
        o.seed = seed;
        o.sound_period = period;
        o.game_bytes = game_bytes;
        std::string error;
        ASSERT_TRUE(tavtools::write_update_set(dir(name), o, &error)) << error;
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
    void expect(const ProcessOutcome &o, int status, const std::string &text) {
        EXPECT_EQ(o.exit_status, status) << o.out << o.err;
        EXPECT_NE((o.out + o.err).find(text), std::string::npos) << text << "\n" << o.out << o.err;
    }
    TempTavHome home_;
};

TEST_F(CheckProcessTest, BackupOfSetALoadedOverSetCRestoresTheBoardOnEveryFit) {
    for (const BoardFit &f : kFits) {
        SCOPED_TRACE(f.name);
        make_board(f);
        make_set("A", 40215, 1, f.sound_period, 2500000);
        make_set("C", 40216, 2, f.sound_period, 1000000);
        ASSERT_EQ(run("tavload", {"-p" + dir("A"), "40215"}).exit_status, 0);
        expect(run("tavverify", {}), 0, "verdict: the board verifies: GameID 40215");
        expect(run("tavverify", {"-p" + dir("A")}), 0, "sound         ok:");
        std::vector<uint8_t> loaded = contents(f.record_offset);
        expect(run("tavbackup", {dir("B")}), 0, "restore it with: tavload -p" + dir("B") + " 40215");
        ASSERT_EQ(run("tavload", {"-p" + dir("C"), "40216"}).exit_status, 0);
        ASSERT_EQ(run("tavload", {"-p" + dir("B"), "40215"}).exit_status, 0);
        EXPECT_TRUE(contents(f.record_offset) == loaded);
        expect(run("tavverify", {"-p" + dir("B")}), 0, "every region checked matches");
        std::filesystem::remove_all(dir("A"));
        std::filesystem::remove_all(dir("B"));
        std::filesystem::remove_all(dir("C"));
    }
}

TEST_F(CheckProcessTest, FlippedBitsAreNamedByRegionAndEraseBlockAndRefuseABackup) {
    struct Flip {
        const char *device, *offset, *named;
    } const flips[] = {
        {"game", "0x100000", "game.rom (erase block 8 of the game FLASH)"},
        {"game", "0x3f9000", "tavboot.rom (erase block 31 of the game FLASH)"},
        {"sound", "0x50000", "sound (erase block 5 of the sound FLASH)"},
    };
    make_board(kFits[0]);
    make_set("A", 40215, 1, 0, 2500000);
    ASSERT_EQ(run("tavload", {"-p" + dir("A"), "40215"}).exit_status, 0);
    for (const Flip &flip : flips) {
        SCOPED_TRACE(flip.named);
        std::vector<std::string> args = {"flip", "--device", flip.device, "--offset", flip.offset, "--mask", "10"};
        ASSERT_EQ(run("tavsim", args).exit_status, 0);
        expect(run("tavverify", {"-p" + dir("A")}), 1, flip.named);
        if (std::string(flip.device) != "game" || std::string(flip.offset) != "0x3f9000") {
            expect(run("tavbackup", {dir("B")}), 1, "nothing written");
            EXPECT_FALSE(std::filesystem::exists(dir("B")));
        }
        ASSERT_EQ(run("tavsim", args).exit_status, 0);   // flipped back
        expect(run("tavverify", {"-p" + dir("A")}), 0, "every region checked matches");
    }
}

TEST_F(CheckProcessTest, ABoardThatIsNotLoadedIsReportedAndNotBackedUp) {
    make_board(kFits[0]);
    expect(run("tavverify", {}), 1, "TAV is not currently loaded.");
    expect(run("tavbackup", {dir("B")}), 1, "the board does not verify; nothing written");
    EXPECT_FALSE(std::filesystem::exists(dir("B")));
    expect(run("tavverify", {"-x"}), 2, "usage: tavverify");
    expect(run("tavbackup", {}), 2, "DIR must be specified");
}

TEST_F(CheckProcessTest, APowerCutDuringABackupLeavesOnlyWholeFilesUnderTheirNames) {
    make_board(kFits[0]);
    make_set("A", 40215, 1, 0, 2500000);
    ASSERT_EQ(run("tavload", {"-p" + dir("A"), "40215"}).exit_status, 0);
    ASSERT_EQ(run("tavsim", {"counters", "reset"}).exit_status, 0);
    ASSERT_EQ(run("tavbackup", {dir("whole")}).exit_status, 0);
    uint64_t accesses = 0;
    {
        std::string error;
        auto board = tavboard::Board::open(home_.board(), &error);
        ASSERT_TRUE(board) << error;
        accesses = board->counters().accesses;
    }
    // The verify pass reads as much as the write pass: a cut at 3/4 lands among the files.
    std::string after = std::to_string(accesses * 3 / 4);
    ASSERT_EQ(run("tavsim", {"fault", "add", "power-cut", "--after", after}).exit_status, 0);
    EXPECT_EQ(run("tavbackup", {dir("cut")}).exit_status, 137);
    int whole = 0;
    for (const char *name : kSetFiles) {
        std::string cut = dir("cut") + "/" + name;
        if (!std::filesystem::exists(cut)) continue;
        EXPECT_EQ(read_file(cut), read_file(dir("whole") + "/" + name)) << name;
        whole++;
    }
    EXPECT_GT(whole, 0);
    EXPECT_LT(whole, 6);
    EXPECT_FALSE(std::filesystem::exists(dir("cut") + "/bootdata.rom"));
}

}  // namespace
