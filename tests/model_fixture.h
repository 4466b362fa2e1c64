// The model board behind the flash driver's window, and the loader's runs on it. The tick
// clock is held and the model advances it by one tick per status read, so the driver's time
// limits are reached in polls instead of seconds. Stored -debug transcripts live in
// tests/data/loader/ ("@P@" standing for the -p folder and "/").
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "board/model.h"
#include "tests/model_board.h"
#include "flash/flash.h"
#include "flash/ticks.h"
#include "loader/loader.h"
#include "loader/tav_info.h"
#include "support.h"
#include "tools/update_set.h"

namespace jobs_test {

using tavtest::replaced;
using tavtools::UpdateFile;
using tavtools::UpdateSetOptions;

const std::string kStars = std::string(79, '*') + "\n", kBlank = std::string("*").append(77, ' ').append("*\n");
const std::string kBanner = kStars + kBlank + "* TAV board load failed!!!" + std::string(52, ' ') + "*\n" + kBlank + kStars;
const std::string kNotLoaded = "TAV is not currently loaded.\n";
const std::string kLoaded = " with GameID 40215 Game & Sound updates.\n";

inline int open_descriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; fd++) count += fcntl(fd, F_GETFD) != -1;
    return count;
}

struct RunResult {
    int code = -1;
    std::string out, err;
};

// What a run finds of the process's descriptors: as they are; none left (the limit is the
// lowest free descriptor), so it may open no file; or standard input closed, so the first file
// it opens is descriptor 0, as for a tavload that cron or a service starts.
enum class Descriptors { as_is, none_left, stdin_closed };

// loader_main on `window` with argv[0] `name`; output captured.
inline RunResult run_loader(uint8_t *window, std::vector<std::string> words, const std::string &name = "tavload",
                            Descriptors descriptors = Descriptors::as_is) {
    words.insert(words.begin(), name);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    RunResult r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    struct rlimit saved, tight;
    getrlimit(RLIMIT_NOFILE, &saved);
    tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(dup(0));
    close(static_cast<int>(tight.rlim_cur));
    if (descriptors == Descriptors::none_left) setrlimit(RLIMIT_NOFILE, &tight);
    const int input = descriptors == Descriptors::stdin_closed ? dup(0) : -1;
    if (input >= 0) close(0);
    r.code = loader_main(window, static_cast<int>(words.size()), argv.data());
    if (input >= 0) dup2(input, 0);
    if (input >= 0) close(input);
    setrlimit(RLIMIT_NOFILE, &saved);
    std::fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

inline std::string transcript(const std::string &name, const std::string &folder) {
    return replaced(tavtest::read_file(TAV_SOURCE_DIR "/tests/data/loader/" + name + ".txt"), "@P@", folder);
}

// The rows of tests/data/loader/NAME.txt: its lines but comments, escapes undone, split at " | " into at least
// `fields` fields (missing ones empty).
inline std::vector<std::vector<std::string>> data_rows(const std::string &name, size_t fields) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(tavtest::read_file(TAV_SOURCE_DIR "/tests/data/loader/" + name + ".txt"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        rows.push_back(tavtest::split(tavtest::unescaped(line), " | "));
        rows.back().resize(std::max(fields, rows.back().size()));
    }
    EXPECT_FALSE(rows.empty()) << name;
    return rows;
}

inline uint32_t word_sum(const uint8_t *data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= length; i += 4) sum += data[i] | data[i + 1] << 8 | data[i + 2] << 16 | uint32_t(data[i + 3]) << 24;
    return sum;
}

struct LoadShape {
    bool sound = true, game = true;   // sf.rom went into the sound flash; BootData and the images into the game flash
};

// The board after a load of set `o`: BootData at 0 and the images back to back behind it,
// erased bytes up to tavboot.rom at 0x3F8000 and its zero fill, the sound image (its last
// repeat on a smaller device, or the first MB of space 1 without one), and the record.
inline void expect_loaded(const tavboard::Board &board, const UpdateSetOptions &o, LoadShape shape) {
    const uint8_t *game = board.data(tavboard::Device::game);
    const uint32_t info = (4u << 20) - board.fit().game_block;
    std::vector<uint8_t> want(4u << 20, 0xFF), sf = tavtools::update_file_bytes(o, UpdateFile::sound);
    uint32_t end = 0, checksum = 0;
    for (UpdateFile file : {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game, UpdateFile::symbols}) {
        std::vector<uint8_t> bytes = tavtools::update_file_bytes(o, file);
        if (file == UpdateFile::bootdata) bytes.resize(32768);
        if (!shape.game) break;
        std::copy(bytes.begin(), bytes.end(), want.begin() + end);
        checksum += word_sum(bytes.data(), bytes.size());
        end += static_cast<uint32_t>(bytes.size());
    }
    std::vector<uint8_t> tavboot = tavtools::update_file_bytes(o, UpdateFile::tavboot);
    std::fill(want.begin() + 0x3F8000, want.end(), 0x00);
    std::copy(tavboot.begin(), tavboot.end(), want.begin() + 0x3F8000);
    std::copy(game + info, game + info + 256, want.begin() + info);
    auto diff = std::mismatch(want.begin(), want.end(), game);
    EXPECT_TRUE(diff.first == want.end()) << "game flash byte " << diff.first - want.begin();
    auto holds = [&](const uint8_t *at, uint32_t n, bool written) {
        return written ? std::equal(sf.end() - n, sf.end(), at) : std::all_of(at, at + n, [](uint8_t b) { return b == 0xFF; });
    };
    uint32_t size = board.device_size(tavboard::Device::sound);
    if (size != 0) { EXPECT_TRUE(holds(board.data(tavboard::Device::sound), size, shape.sound)) << "sound flash"; }
    if (board.fit().game_size > (4u << 20)) { EXPECT_TRUE(holds(game + (4u << 20), 1u << 20, shape.sound && size == 0)); }
    TAVInfo r;
    std::memcpy(&r, game + info, sizeof r);
    EXPECT_EQ(strnlen(r.tav_info_timestamp, 32), 24u);
    EXPECT_EQ(r.tav_info_size, 64u);
    EXPECT_EQ(word_sum(game + info, 256), 0u);
    EXPECT_EQ(r.game_id, int32_t(o.game_number));
    EXPECT_EQ(r.game_size, shape.game ? int32_t(end) : 0);
    EXPECT_EQ(r.game_checksum, shape.game ? checksum : 0u);
    EXPECT_EQ(r.sound_size, shape.sound ? 1048576 : 0);
    EXPECT_EQ(r.sound_checksum, shape.sound ? word_sum(sf.data(), sf.size()) : 0u);
    EXPECT_EQ(std::memcmp(r.magic_cookie, "13Dec96", 8), 0);
    EXPECT_TRUE(std::all_of(r.reserved, r.reserved + sizeof r.reserved, [](uint8_t b) { return b == 0; }));
}

// A fresh model board and a folder for update sets.
class LoaderJobsTest : public ModelBoardTest {
  protected:
    void start_log() {
        board->clear_log();
        board->enable_log(true);
    }
    // The spaces (0, 1, 8; -1: another) whose pages the log since start_log() shows written, the page
    // registers followed.
    std::string spaces_written() const {
        std::set<int> spaces;
        uint32_t reg[4] = {0, 0, 0, 0};
        for (const tavboard::Access &a : board->log()) {
            if (a.kind == tavboard::Access::reg_write) reg[a.offset - 0x4000] = a.value & 0xF;
            const int space = reg[3] == 0 && reg[2] == 0 ? 0 : reg[3] == 1 && reg[2] == 1 ? 1 : reg[3] == 8 && reg[2] == 0 ? 8 : -1;
            if (a.kind == tavboard::Access::write8 || a.kind == tavboard::Access::write16) spaces.insert(space);
        }
        std::string text;
        for (int s : spaces) text.append(text.empty() ? "" : " ").append(std::to_string(s));
        return text;
    }

    RunResult run(const std::vector<std::string> &words) { return run_loader(board->window_address(), words); }

    std::string make_set(const UpdateSetOptions &o, const std::string &name = "set") {
        std::string dir = sets_.file(name), error;
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        EXPECT_TRUE(tavtools::write_update_set(dir, o, &error)) << error;
        return dir;
    }

    // A record of a load long ago (its cookie does not count), written at the start of the
    // last erase block through the driver, as a load does.
    void put_record(int32_t game_id, int32_t game_size = 3332772, int32_t sound_size = 1048576, bool changed_after_sealing = false) {
        TAVInfo record;
        std::memset(&record, 0, sizeof record);
        std::strcpy(record.tav_info_timestamp, "Fri Dec 13 16:03:17 1996");
        record.tav_info_size = 64, record.game_id = game_id, record.game_size = game_size, record.sound_size = sound_size;
        std::memcpy(record.magic_cookie, "14Jan97", 8);
        seal_tav_info(&record);
        record.game_id += changed_after_sealing;
        FSI fsi;
        ASSERT_EQ(flash_query(0, &fsi), 1);
        uint8_t *table = flash_alloc_erase_table(&fsi);
        ASSERT_EQ(flash_init_erase_table(&fsi, table), 1);
        EXPECT_EQ(flash_write(&fsi, fsi.size - fsi.block_size, reinterpret_cast<const uint8_t *>(&record), 256, table), 1);
        flash_free_erase_table(&fsi, table);
    }

    tavtest::TempDir sets_;
};

}  // namespace jobs_test
