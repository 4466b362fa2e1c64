// The update-set generator and `tavsim make-update`: what lands in the files, that the
// contents follow the seed, which sets are refused, and the command's exit statuses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
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

    // Runs the command with its words; captures nothing, returns the exit status.
    int make_update(std::vector<std::string> words) {
        words.insert(words.begin(), "make-update");
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = tavsim_make_update(static_cast<int>(words.size()), argv.data());
        out_ = testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        return status;
    }

    fs::path dir_;
    std::string out_;
    std::string err_;
};

TEST_F(UpdateSetTest, BootDataCarriesTheGameNumberVersionAndWordCounts) {
    UpdateSetOptions o;
    o.game_number = 40215;
    o.version_major = 2;
    o.version_minor = 7;
    o.im_flsh0_bytes = 12;
    o.game_bytes = 8200;
    o.symbols_bytes = 0;
    std::vector<uint8_t> boot = tavtools::update_file_bytes(o, UpdateFile::bootdata);
    ASSERT_EQ(boot.size(), 32768u);
    EXPECT_EQ(word_at(boot, 44), 3u);
    EXPECT_EQ(word_at(boot, 60), 40215u);
    EXPECT_EQ(word_at(boot, 64), 2u);
    EXPECT_EQ(word_at(boot, 68), 7u);
    EXPECT_EQ(word_at(boot, 76), 2050u);
    EXPECT_EQ(word_at(boot, 84), 0u);

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
    UpdateSetOptions b;
    UpdateSetOptions c;
    c.seed = 2;
    const UpdateFile files[] = {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game,
                                UpdateFile::symbols,  UpdateFile::sound,    UpdateFile::tavboot};
    std::vector<std::vector<uint8_t>> seen;
    for (UpdateFile file : files) {
        std::vector<uint8_t> one = tavtools::update_file_bytes(a, file);
        EXPECT_EQ(one, tavtools::update_file_bytes(b, file)) << tavtools::update_file_base(file);
        std::vector<uint8_t> other = tavtools::update_file_bytes(c, file);
        ASSERT_EQ(one.size(), other.size());
        EXPECT_NE(one, other) << tavtools::update_file_base(file) << " ignores the seed";
        // Pseudo-random contents: neither erased flash nor zeros, so a missed write shows.
        size_t ff = 0;
        for (uint8_t byte : one) ff += byte == 0xFF;
        EXPECT_LT(ff, one.size() / 100 + 8) << tavtools::update_file_base(file);
        for (const auto &earlier : seen) {
            size_t n = std::min(earlier.size(), one.size());
            EXPECT_FALSE(std::equal(one.begin(), one.begin() + static_cast<long>(n), earlier.begin()))
                << tavtools::update_file_base(file) << " repeats an earlier file";
        }
        seen.push_back(one);
    }
    // The defaults fill a good part of the room below the information record.
    EXPECT_EQ(tavtools::check_update_set(a), "");
    uint64_t images = uint64_t{a.im_flsh0_bytes} + a.game_bytes + a.symbols_bytes;
    EXPECT_GT(images, (tavtools::kImagesEnd - tavtools::kImagesOffset) * 3 / 4);
    EXPECT_EQ(tavtools::update_file_bytes(a, UpdateFile::sound).size(), 1048576u);
    EXPECT_EQ(tavtools::update_file_bytes(a, UpdateFile::tavboot).size(), 32768u);
}

TEST_F(UpdateSetTest, SoundPeriodRepeatsTheFirstBytes) {
    UpdateSetOptions o;
    o.sound_period = 262144;
    std::vector<uint8_t> sound = tavtools::update_file_bytes(o, UpdateFile::sound);
    ASSERT_EQ(sound.size(), 1048576u);
    for (size_t i = 262144; i < sound.size(); i += 4099) ASSERT_EQ(sound[i], sound[i % 262144]) << i;
    EXPECT_NE(std::vector<uint8_t>(sound.begin(), sound.begin() + 16),
              std::vector<uint8_t>(sound.begin() + 16, sound.begin() + 32));
}

TEST_F(UpdateSetTest, ChecksRefuseSetsALoadWouldRefuse) {
    struct Row {
        const char *what;
        void (*change)(UpdateSetOptions *);
        bool accepted;
    };
    const Row rows[] = {
        {"defaults", [](UpdateSetOptions *) {}, true},
        {"images exactly up to the record",
         [](UpdateSetOptions *o) {
             o->im_flsh0_bytes = 0;
             o->symbols_bytes = 0;
             o->game_bytes = tavtools::kImagesEnd - tavtools::kImagesOffset;
         },
         true},
        {"four bytes beyond the record",
         [](UpdateSetOptions *o) {
             o->im_flsh0_bytes = 4;
             o->symbols_bytes = 0;
             o->game_bytes = tavtools::kImagesEnd - tavtools::kImagesOffset;
         },
         false},
        {"sizes that wrap 32 bits",
         [](UpdateSetOptions *o) {
             o->im_flsh0_bytes = 0xFFFFFFFC;
             o->game_bytes = 8;
         },
         false},
        {"size not a multiple of 4", [](UpdateSetOptions *o) { o->symbols_bytes = 10; }, false},
        {"tavboot 32768", [](UpdateSetOptions *o) { o->tavboot_bytes = 32768; }, true},
        {"tavboot 20000", [](UpdateSetOptions *o) { o->tavboot_bytes = 20000; }, true},
        {"tavboot ending on a chunk", [](UpdateSetOptions *o) { o->tavboot_bytes = 16384; }, false},
        {"tavboot empty", [](UpdateSetOptions *o) { o->tavboot_bytes = 0; }, false},
        {"tavboot too long", [](UpdateSetOptions *o) { o->tavboot_bytes = 32769; }, false},
        {"foreign game number in BootData", [](UpdateSetOptions *o) { o->bootdata_game_id = 1; }, false},
        {"short BootData", [](UpdateSetOptions *o) { o->bootdata_bytes = 100; }, false},
    };
    for (const Row &row : rows) {
        UpdateSetOptions o;
        row.change(&o);
        EXPECT_EQ(tavtools::check_update_set(o).empty(), row.accepted) << row.what;
        std::string error;
        EXPECT_EQ(tavtools::write_update_set(dir_.string(), o, &error), row.accepted) << row.what;
        if (!row.accepted) {
            EXPECT_FALSE(error.empty()) << row.what;
        }
        // Unchecked, any set is written as asked (short enough for the test).
        if (!row.accepted && o.game_bytes < 8u << 20 && o.im_flsh0_bytes < 8u << 20) {
            o.unchecked = true;
            EXPECT_TRUE(tavtools::write_update_set(dir_.string(), o, &error)) << row.what << ": " << error;
        }
    }
}

TEST_F(UpdateSetTest, WritesTheFilesWithPrefixAndWithoutSound) {
    UpdateSetOptions o;
    o.im_flsh0_bytes = 400;
    o.game_bytes = 8196;
    o.symbols_bytes = 4;
    o.tavboot_bytes = 3000;
    o.prefix = "new";
    std::string error;
    ASSERT_TRUE(tavtools::write_update_set(dir_.string(), o, &error)) << error;
    const UpdateFile files[] = {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game,
                                UpdateFile::symbols,  UpdateFile::sound,    UpdateFile::tavboot};
    for (UpdateFile file : files) {
        fs::path path = dir_ / (std::string("new") + tavtools::update_file_base(file));
        EXPECT_EQ(read_file(path), tavtools::update_file_bytes(o, file)) << path;
    }
    o.sound = false;
    ASSERT_TRUE(tavtools::write_update_set(dir_.string(), o, &error)) << error;
    EXPECT_FALSE(fs::exists(dir_ / "newsf.rom")) << "a set without sound keeps an old sf.rom";
    EXPECT_TRUE(fs::exists(dir_ / "newbootdata.rom"));
}

TEST_F(UpdateSetTest, CommandLineExitStatusesAndFiles) {
    struct Row {
        std::vector<std::string> words;   // DIR is written as "@"
        int status;
        const char *err_contains;
    };
    const Row rows[] = {
        {{"@", "40215"}, 0, ""},
        {{"@", "40215", "--version", "1.2", "--im-flsh0", "4096", "--game=8192", "--symbols", "0", "--tavboot",
          "20000", "--no-sound", "--seed", "99"},
         0, ""},
        {{"@"}, 2, "DIR and GAME# are required"},
        {{"@", "40215", "extra"}, 2, "unexpected argument"},
        {{"@", "4021x"}, 2, "bad GAME#"},
        {{"@", "40215", "--version", "12"}, 2, "bad version"},
        {{"@", "40215", "--game", "-4"}, 2, "bad byte count"},
        {{"@", "40215", "--game", "6"}, 2, "multiples of 4"},
        {{"@", "40215", "--game", "4194304"}, 2, "information record"},
        {{"@", "40215", "--tavboot", "8192"}, 2, "tavboot.rom"},
        {{"@", "40215", "--seed"}, 2, "needs a value"},
        {{"@", "40215", "--colour", "red"}, 2, "unknown option"},
        {{"@/file-in-the-way/set", "40215"}, 1, "cannot create"},
    };
    fs::create_directories(dir_);
    std::ofstream(dir_ / "file-in-the-way") << "x";
    for (const Row &row : rows) {
        std::vector<std::string> words = row.words;
        std::string target = (dir_ / "set").string();
        for (std::string &w : words) {
            if (!w.empty() && w[0] == '@') w = w == "@" ? target : dir_.string() + w.substr(1);
        }
        fs::remove_all(target);
        int status = make_update(words);
        std::string line = testing::PrintToString(row.words);
        EXPECT_EQ(status, row.status) << line << "\n" << err_;
        EXPECT_NE(err_.find(row.err_contains), std::string::npos) << line << "\n" << err_;
        if (row.status == 2) {
            EXPECT_NE(err_.find("usage: tavsim make-update"), std::string::npos) << line;
        }
        if (row.status != 0) {
            EXPECT_FALSE(fs::exists(fs::path(target) / "bootdata.rom")) << line;
            continue;
        }
        std::vector<uint8_t> boot = read_file(fs::path(target) / "bootdata.rom");
        ASSERT_EQ(boot.size(), 32768u) << line;
        EXPECT_EQ(word_at(boot, 60), 40215u);
        uint64_t images = fs::file_size(fs::path(target) / "im_flsh0.rom") + fs::file_size(fs::path(target) / "game.rom") +
                          fs::file_size(fs::path(target) / "symbols.rom");
        EXPECT_EQ(images, 4ull * (word_at(boot, 44) + word_at(boot, 76) + word_at(boot, 84))) << line;
    }
    // The second row's details.
    fs::remove_all(dir_ / "set");
    ASSERT_EQ(make_update({(dir_ / "set").string(), "40215", "--version", "1.2", "--game=8192", "--tavboot", "20000",
                           "--no-sound", "--seed", "99"}),
              0);
    std::vector<uint8_t> boot = read_file(dir_ / "set" / "bootdata.rom");
    EXPECT_EQ(word_at(boot, 64), 1u);
    EXPECT_EQ(word_at(boot, 68), 2u);
    EXPECT_EQ(word_at(boot, 76), 2048u);
    EXPECT_EQ(fs::file_size(dir_ / "set" / "tavboot.rom"), 20000u);
    EXPECT_FALSE(fs::exists(dir_ / "set" / "sf.rom"));
    UpdateSetOptions o;
    o.seed = 99;
    o.game_bytes = 8192;
    EXPECT_EQ(read_file(dir_ / "set" / "game.rom"), tavtools::update_file_bytes(o, UpdateFile::game));
}

}  // namespace
