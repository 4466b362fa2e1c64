// The update-set generator and `tavsim make-update`: the BootData fields, that the contents
// follow the seed and differ between files, which sets are refused, and the command's
// exit statuses. That the files hold update_file_bytes() is checked by every load test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/tavsim_make_update.h"
#include "tools/update_set.h"

namespace fs = std::filesystem;
using tavtools::UpdateFile;
using tavtools::UpdateSetOptions;

namespace {

std::vector<uint8_t> read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t word_at(const std::vector<uint8_t> &bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

class UpdateSetTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tav_update_set_" + std::to_string(::getpid()) + "_" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the command with its words; returns the exit status, keeps the standard error.
    int make_update(std::vector<std::string> words) {
        words.insert(words.begin(), "make-update");
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = tavsim_make_update(static_cast<int>(words.size()), argv.data());
        testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        return status;
    }

    fs::path dir_;
    std::string err_;
};

TEST_F(UpdateSetTest, BootDataCarriesTheGameNumberVersionAndWordCounts) {
    UpdateSetOptions o;
    o.version_major = 2;
    o.version_minor = 7;
    o.im_flsh0_bytes = 12;
    o.game_bytes = 8200;
    o.symbols_bytes = 0;
    std::vector<uint8_t> boot = tavtools::update_file_bytes(o, UpdateFile::bootdata);
    ASSERT_EQ(boot.size(), 32768u);
    const uint32_t fields[][2] = {{44, 3}, {60, 40215}, {64, 2}, {68, 7}, {76, 2050}, {84, 0}};
    for (const auto &f : fields) EXPECT_EQ(word_at(boot, f[0]), f[1]) << "offset " << f[0];
    // Deliberate faults replace the fields, not the sizes of the files.
    o.bootdata_game_id = 12345;
    o.declared_game_longs = 0xFFFFFFFF;
    boot = tavtools::update_file_bytes(o, UpdateFile::bootdata);
    EXPECT_EQ(word_at(boot, 60), 12345u);
    EXPECT_EQ(word_at(boot, 76), 0xFFFFFFFFu);
    EXPECT_EQ(tavtools::update_file_bytes(o, UpdateFile::game).size(), 8200u);
}

TEST_F(UpdateSetTest, ContentsFollowTheSeedAndDifferBetweenFiles) {
    UpdateSetOptions a;
    UpdateSetOptions c;
    c.seed = 2;
    std::vector<std::vector<uint8_t>> seen;
    for (UpdateFile file : {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game, UpdateFile::symbols,
                            UpdateFile::sound, UpdateFile::tavboot}) {
        const char *base = tavtools::update_file_base(file);
        std::vector<uint8_t> one = tavtools::update_file_bytes(a, file);
        EXPECT_EQ(one, tavtools::update_file_bytes(UpdateSetOptions{}, file)) << base;
        std::vector<uint8_t> other = tavtools::update_file_bytes(c, file);
        ASSERT_EQ(one.size(), other.size());
        EXPECT_NE(one, other) << base << " ignores the seed";
        // Neither erased flash nor repeats of another file, so a missed or misplaced write shows.
        EXPECT_LT(std::count(one.begin(), one.end(), 0xFF), static_cast<long>(one.size() / 100 + 8)) << base;
        for (const auto &earlier : seen) {
            size_t n = std::min(earlier.size(), one.size());
            EXPECT_FALSE(std::equal(one.begin(), one.begin() + static_cast<long>(n), earlier.begin()))
                << base << " repeats an earlier file";
        }
        seen.push_back(one);
    }
    // The defaults are a valid set filling a good part of the room below the record.
    EXPECT_EQ(tavtools::check_update_set(a), "");
    EXPECT_GT(uint64_t{a.im_flsh0_bytes} + a.game_bytes + a.symbols_bytes,
              (tavtools::kImagesEnd - tavtools::kImagesOffset) * 3 / 4);
}

TEST_F(UpdateSetTest, ChecksRefuseSetsALoadWouldRefuse) {
    const uint32_t room = tavtools::kImagesEnd - tavtools::kImagesOffset;
    const struct {
        const char *what;
        uint32_t im_flsh0, game, symbols, tavboot;   // 1: the default
        uint32_t bootdata_game_id, bootdata_bytes;   // 0: the default
        bool accepted;
    } rows[] = {
        {"defaults", 1, 1, 1, 1, 0, 0, true},
        {"images exactly up to the record", 0, room, 0, 1, 0, 0, true},
        {"four bytes beyond the record", 4, room, 0, 1, 0, 0, false},
        {"sizes that wrap 32 bits", 0xFFFFFFFC, 8, 1, 1, 0, 0, false},
        {"size not a multiple of 4", 1, 1, 10, 1, 0, 0, false},
        {"short tavboot.rom", 1, 1, 1, 20000, 0, 0, true},
        {"tavboot.rom ending on a chunk", 1, 1, 1, 16384, 0, 0, true},
        {"tavboot.rom empty", 1, 1, 1, 0, 0, 0, true},
        {"tavboot.rom too long", 1, 1, 1, 32769, 0, 0, false},
        {"foreign game number in BootData", 1, 1, 1, 1, 7, 0, false},
        {"short BootData", 1, 1, 1, 1, 0, 100, false},
    };
    for (const auto &row : rows) {
        UpdateSetOptions o;
        if (row.im_flsh0 != 1) o.im_flsh0_bytes = row.im_flsh0;
        if (row.game != 1) o.game_bytes = row.game;
        if (row.symbols != 1) o.symbols_bytes = row.symbols;
        if (row.tavboot != 1) o.tavboot_bytes = row.tavboot;
        if (row.bootdata_game_id != 0) o.bootdata_game_id = row.bootdata_game_id;
        if (row.bootdata_bytes != 0) o.bootdata_bytes = row.bootdata_bytes;
        EXPECT_EQ(tavtools::check_update_set(o).empty(), row.accepted) << row.what;
        std::string error;
        EXPECT_EQ(tavtools::write_update_set(dir_.string(), o, &error), row.accepted) << row.what;
        EXPECT_EQ(error.empty(), row.accepted) << row.what << ": " << error;
    }
}

TEST_F(UpdateSetTest, ASetWithoutSoundRemovesAnOldSoundImage) {
    UpdateSetOptions o;
    o.prefix = "new";
    std::string error;
    ASSERT_TRUE(tavtools::write_update_set(dir_.string(), o, &error)) << error;
    ASSERT_TRUE(fs::exists(dir_ / "newsf.rom"));
    o.sound = false;
    ASSERT_TRUE(tavtools::write_update_set(dir_.string(), o, &error)) << error;
    EXPECT_FALSE(fs::exists(dir_ / "newsf.rom"));
    EXPECT_TRUE(fs::exists(dir_ / "newbootdata.rom"));
}

TEST_F(UpdateSetTest, CommandLineExitStatusesAndFiles) {
    const struct {
        std::vector<std::string> words;   // after DIR
        int status;
        const char *err_contains;
    } rows[] = {
        {{"40215"}, 0, ""},
        {{}, 2, "DIR and GAME# are required"},
        {{"40215", "extra"}, 2, "unexpected argument"},
        {{"4021x"}, 2, "bad GAME#"},
        {{"40215", "--version", "12"}, 2, "bad version"},
        {{"40215", "--game", "-4"}, 2, "bad byte count"},
        {{"40215", "--game", "4194304"}, 2, "information record"},   // the set's checks apply
        {{"40215", "--seed"}, 2, "needs a value"},
        {{"40215", "--colour", "red"}, 2, "unknown option"},
        {{"40215", "--version", "1.2", "--im-flsh0", "4096", "--game=8192", "--symbols", "0", "--tavboot", "20000",
          "--no-sound", "--seed", "99"},
         0, ""},
    };
    const fs::path set = dir_ / "set";
    for (const auto &row : rows) {
        std::vector<std::string> words = row.words;
        words.insert(words.begin(), set.string());
        fs::remove_all(set);
        std::string line = testing::PrintToString(row.words);
        EXPECT_EQ(make_update(words), row.status) << line << "\n" << err_;
        EXPECT_NE(err_.find(row.err_contains), std::string::npos) << line << "\n" << err_;
        if (row.status != 0) {
            EXPECT_NE(err_.find("usage: tavsim make-update"), std::string::npos) << line;
            EXPECT_FALSE(fs::exists(set / "bootdata.rom")) << line;
            continue;
        }
        std::vector<uint8_t> boot = read_file(set / "bootdata.rom");
        ASSERT_EQ(boot.size(), 32768u) << line;
        EXPECT_EQ(word_at(boot, 60), 40215u);
        uint64_t images = fs::file_size(set / "im_flsh0.rom") + fs::file_size(set / "game.rom") +
                          fs::file_size(set / "symbols.rom");
        EXPECT_EQ(images, 4ull * (word_at(boot, 44) + word_at(boot, 76) + word_at(boot, 84))) << line;
    }
    // The options of the last row reached its files.
    std::vector<uint8_t> boot = read_file(set / "bootdata.rom");
    ASSERT_EQ(boot.size(), 32768u);
    EXPECT_EQ(word_at(boot, 44), 1024u);
    EXPECT_EQ(word_at(boot, 64), 1u);
    EXPECT_EQ(word_at(boot, 68), 2u);
    EXPECT_EQ(word_at(boot, 76), 2048u);
    EXPECT_EQ(word_at(boot, 84), 0u);
    EXPECT_EQ(fs::file_size(set / "tavboot.rom"), 20000u);
    EXPECT_FALSE(fs::exists(set / "sf.rom"));
    UpdateSetOptions o;
    o.seed = 99;
    o.game_bytes = 8192;
    EXPECT_EQ(read_file(set / "game.rom"), tavtools::update_file_bytes(o, UpdateFile::game));

    // A folder that cannot be made.
    std::ofstream(dir_ / "file-in-the-way") << "x";
    EXPECT_EQ(make_update({(dir_ / "file-in-the-way" / "set").string(), "40215"}), 1);
    EXPECT_NE(err_.find("cannot create"), std::string::npos) << err_;
}

}  // namespace
