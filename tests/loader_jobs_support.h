// Shared by the status and load tests: a model board with an update-set folder next to it,
// runs of loader_main with captured output, and the expected board contents and -debug
// text of a load.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "loader/loader.h"
#include "loader/tav_info.h"
#include "model_fixture.h"
#include "tools/update_set.h"

namespace jobs_test {

namespace fs = std::filesystem;
using tavtools::UpdateFile;
using tavtools::UpdateSetOptions;

const std::string kSep = std::string(79, '-') + "\n";
const std::string kBs8 = "\b\b\b\b\b\b\b\b";
const std::string kEnd = kBs8 + "        \n";
const std::string kBanner = std::string(79, '*') + "\n*" + std::string(77, ' ') + "*\n" +
                            "* TAV board load failed!!!" + std::string(52, ' ') + "*\n*" + std::string(77, ' ') +
                            "*\n" + std::string(79, '*') + "\n";
const std::string kNotResponding = "tavload: TAV not responding - check if board and jumper are both present\n";
const std::string kNotLoaded = "TAV is not currently loaded.\n";

inline std::string fmt(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

inline uint32_t le_word(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

inline uint32_t word_sum(const uint8_t *data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= length; i += 4) sum += le_word(data + i);
    return sum;
}

inline bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Which parts a load wrote.
struct LoadShape {
    bool sound = true;   // sf.rom went into the sound flash
    bool game = true;    // BootData and the images went into the game flash
};

struct RunResult {
    int code = -1;
    std::string out;
    std::string err;
};

// loader_main on `window` with argv[0] "tavload" and the words; output captured.
inline RunResult run_loader(uint8_t *window, const std::vector<std::string> &words) {
    std::vector<std::string> all = {"tavload"};
    all.insert(all.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (std::string &w : all) argv.push_back(w.data());
    argv.push_back(nullptr);
    RunResult r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.code = loader_main(window, static_cast<int>(all.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

// Writes `record` as the board's information record through the driver, as a load
// would leave it.
inline void put_record(const TAVInfo &record) {
    FSI fsi;
    ASSERT_EQ(flash_query(0, &fsi), 1);
    uint8_t *table = flash_alloc_erase_table(&fsi);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(flash_init_erase_table(&fsi, table), 1);
    EXPECT_EQ(flash_write(&fsi, fsi.size - fsi.block_size, reinterpret_cast<const uint8_t *>(&record), 256, table), 1);
    flash_free_erase_table(&fsi, table);
}

inline TAVInfo sealed_record(int32_t game_size, int32_t sound_size, int32_t game_id = 40215) {
    TAVInfo record;
    std::memset(&record, 0, sizeof record);
    std::strcpy(record.tav_info_timestamp, "Fri Dec 13 16:03:17 1996");
    record.tav_info_size = 64;
    record.game_id = game_id;
    record.game_size = game_size;
    record.game_checksum = game_size != 0 ? 0x1234567 : 0;
    record.sound_size = sound_size;
    record.sound_checksum = sound_size != 0 ? 0x89ABCDE : 0;
    std::memcpy(record.magic_cookie, "13Dec96", 8);
    seal_tav_info(&record);
    return record;
}

// The board after a successful load of set `o` with the given shape: every byte of the
// game flash and the sound flash, and every field of the record.
inline void expect_board_loaded(const tavboard::Board &board, const UpdateSetOptions &o, LoadShape shape) {
    const uint8_t *game = board.data(tavboard::Device::game);
    ASSERT_NE(game, nullptr);
    const uint32_t info = (4u << 20) - board.fit().game_block;
    // The expected 4 MB: BootData at 0 and the images back to back from 32768, erased bytes
    // up to tavboot.rom at 0x3F8000 and its zero fill. The record is checked by field below.
    std::vector<uint8_t> want(4u << 20, 0xFF);
    uint32_t checksum = 0;
    uint32_t end = 0;
    if (shape.game) {
        for (UpdateFile file : {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game, UpdateFile::symbols}) {
            std::vector<uint8_t> bytes = tavtools::update_file_bytes(o, file);
            if (file == UpdateFile::bootdata) bytes.resize(32768);
            ASSERT_LE(end + bytes.size(), info) << tavtools::update_file_base(file);
            std::copy(bytes.begin(), bytes.end(), want.begin() + end);
            checksum += word_sum(bytes.data(), bytes.size());
            end += static_cast<uint32_t>(bytes.size());
        }
    }
    std::vector<uint8_t> tavboot = tavtools::update_file_bytes(o, UpdateFile::tavboot);
    std::fill(want.begin() + 0x3F8000, want.end(), 0x00);
    std::copy(tavboot.begin(), tavboot.end(), want.begin() + 0x3F8000);
    std::copy(game + info, game + info + 256, want.begin() + info);
    auto diff = std::mismatch(want.begin(), want.end(), game);
    EXPECT_TRUE(diff.first == want.end()) << "game flash byte " << diff.first - want.begin() << " is "
                                          << int(*diff.second) << ", not " << int(*diff.first);

    // A smaller sound device holds the last repeat of sf.rom.
    const uint8_t *sound = board.data(tavboard::Device::sound);
    std::vector<uint8_t> sf = tavtools::update_file_bytes(o, UpdateFile::sound);
    if (sound != nullptr) {
        uint32_t size = board.device_size(tavboard::Device::sound);
        std::vector<uint8_t> held = shape.sound ? std::vector<uint8_t>(sf.end() - size, sf.end())
                                                : std::vector<uint8_t>(size, 0xFF);
        EXPECT_TRUE(std::equal(held.begin(), held.end(), sound)) << "sound flash";
    }

    const uint8_t *r = game + info;
    auto zero = [](uint8_t b) { return b == 0; };
    EXPECT_EQ(std::strlen(reinterpret_cast<const char *>(r)), 24u);
    EXPECT_TRUE(std::all_of(r, r + 24, [](uint8_t b) { return b >= 0x20 && b <= 0x7E; })) << "timestamp text";
    EXPECT_TRUE(std::all_of(r + 24, r + 32, zero)) << "timestamp padding";
    EXPECT_EQ(le_word(r + 32), 64u);
    EXPECT_EQ(le_word(r + 40), o.game_number);
    EXPECT_EQ(le_word(r + 44), shape.game ? end : 0u) << "game_size";
    EXPECT_EQ(le_word(r + 48), shape.game ? checksum : 0u) << "game_checksum";
    EXPECT_EQ(le_word(r + 52), shape.sound ? 1048576u : 0u) << "sound_size";
    EXPECT_EQ(le_word(r + 56), shape.sound ? word_sum(sf.data(), sf.size()) : 0u) << "sound_checksum";
    EXPECT_EQ(std::memcmp(r + 60, "13Dec96\0", 8), 0);
    EXPECT_TRUE(std::all_of(r + 68, r + 256, zero)) << "reserved bytes of the record";
    EXPECT_EQ(word_sum(r, 256), 0u);
}

class LoaderJobsTest : public ModelBoardTest {
  protected:
    void SetUp() override {
        ModelBoardTest::SetUp();
        std::string pattern = testing::TempDir() + "tavsetXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        sets_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(sets_, ec);
        ModelBoardTest::TearDown();
    }

    // loader_main with argv[0] "tavload" and the words; output captured.
    RunResult run(const std::vector<std::string> &words) { return run_loader(board->window_address(), words); }

    // Writes an update set into a folder of the test; returns the folder.
    std::string make_set(const UpdateSetOptions &o, const std::string &name = "set") {
        std::string dir = sets_ + "/" + name;
        std::string error;
        EXPECT_TRUE(tavtools::write_update_set(dir, o, &error)) << error;
        return dir;
    }

    // Offset of the information record in the game flash of the current board.
    uint32_t info_at() const { return (4u << 20) - board->fit().game_block; }

    void expect_board_loaded(const UpdateSetOptions &o, LoadShape shape) { jobs_test::expect_board_loaded(*board, o, shape); }

    std::string sets_;
};

// Header, then the counter redrawn before each chunk with the bytes still to copy.
inline std::string counted(const std::string &header, uint32_t count) {
    std::string s = header + fmt("%8u", count);
    for (uint32_t left = count; left != 0; left -= left < 8192 ? left : 8192) s += kBs8 + fmt("%8u", left);
    return s;
}

// The -debug standard output of a successful load of `o` from folder `dir` (as given with
// -p), with -gfonly / -sfonly as asked; `sound_file` tells whether sf.rom exists.
inline std::string expected_progress(const UpdateSetOptions &o, const std::string &dir, bool gfonly, bool sfonly,
                                     bool sound_file) {
    auto name = [&](const char *base) { return (dir.empty() ? "" : dir + "/") + o.prefix + base; };
    auto updating = [&](const char *base) { return kSep + "Updating game FLASH with (" + name(base) + ")..."; };
    std::string s;
    if (!gfonly) {
        s += kSep + "Preparing to update sound FLASH...\n";
        if (sound_file) s += counted(kSep + "Updating sound FLASH with (" + name("sf.rom") + ")...", 1048576) + kEnd;
    }
    if (!sfonly) {
        s += kSep + "Preparing to update game FLASH..." +
             fmt("(%d - V%d.%d)\n", o.game_number, o.version_major, o.version_minor);
        s += counted(updating("im_flsh0.rom"), o.im_flsh0_bytes) + kEnd;
        s += counted(updating("game.rom"), o.game_bytes) + kEnd;
        s += counted(updating("symbols.rom"), o.symbols_bytes) + kEnd;
        s += updating("bootdata.rom") + fmt("%8u", 32768u) + kEnd;
    }
    // tavboot.rom counts down the 32 KB area, one redraw per chunk the file still fills.
    s += kSep + "Updating information database and (" + name("tavboot.rom") + ")..." + fmt("%8u", 32768u);
    for (uint32_t done = 0; done < o.tavboot_bytes; done += 8192) s += kBs8 + fmt("%8u", 32768 - done);
    s += kEnd + kSep + "ISA update board load complete.\n";
    return s;
}

}  // namespace jobs_test
