// The loader's runs on the model board behind the flash driver's window (tests/model_board.h: the
// tick clock held, one tick per status read), and the oracle of a load: the board holds what the
// update set (tools/update_set.h) puts where, and a sealed record of it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "loader/loader.h"
#include "loader/tav_info.h"
#include "tests/model_board.h"
#include "tests/tables.h"
#include "tools/update_set.h"

namespace jobs_test {

using tavtest::replaced;
using tavtools::UpdateFile;
using tavtools::UpdateSetOptions;

// What a run gave: its code, its outputs, and what it left unread of its standard input.
struct RunResult {
    int code = -1;
    std::string out;
    std::string err;
    std::string rest;
};

// How a run starts: argv[0], standard input, both outputs in `out` as written (`console`), and `descriptors`
// "none_left" (no file opens) or "stdin_closed" (the first file opened is descriptor 0, as when cron starts it).
struct RunSetup {
    std::string name = "tavload";
    std::string input = "/dev/null";
    bool console = false;
    std::string descriptors;
};

// loader_main on `window` with `words`.
inline RunResult run_loader(uint8_t *window, std::vector<std::string> words, const RunSetup &setup = RunSetup()) {
    words.insert(words.begin(), setup.name);
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const tavtest::TempDir dir;
    std::fflush(stdout);
    const int saved[3] = {dup(0), dup(1), dup(2)};
    const int files[3] = {open(setup.input.c_str(), O_RDONLY), open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600),
                          open(dir.file("err").c_str(), O_WRONLY | O_CREAT, 0600)};
    for (int fd = 0; fd < 3; fd++) dup2(setup.console && fd == 2 ? files[1] : files[fd], fd);
    for (int fd : files) close(fd);
    struct rlimit usual;
    getrlimit(RLIMIT_NOFILE, &usual);
    struct rlimit none_left = usual;
    none_left.rlim_cur = static_cast<rlim_t>(dup(0));   // the lowest free descriptor
    close(static_cast<int>(none_left.rlim_cur));
    if (setup.descriptors == "none_left") setrlimit(RLIMIT_NOFILE, &none_left);
    if (setup.descriptors == "stdin_closed") close(0);
    RunResult r;
    r.code = loader_main(window, static_cast<int>(words.size()), argv.data());
    setrlimit(RLIMIT_NOFILE, &usual);
    for (int c = std::getchar(); c != EOF; c = std::getchar()) r.rest += char(c);
    std::fflush(stdout);
    for (int fd = 0; fd < 3; fd++) dup2(saved[fd], fd);
    for (int fd : saved) close(fd);
    __fpurge(stdin);
    clearerr(stdin);
    r.out = tavtest::read_file(dir.file("out"));
    r.err = tavtest::read_file(dir.file("err"));
    return r;
}

// The sum of the little-endian long words of `bytes`, modulo 2^32; trailing bytes left out.
inline uint32_t word_sum(const void *bytes, size_t length) {
    const uint8_t *b = static_cast<const uint8_t *>(bytes);
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= length; i += 4) sum += b[i] | b[i + 1] << 8 | b[i + 2] << 16 | uint32_t(b[i + 3]) << 24;
    return sum;
}

struct LoadShape {
    bool sound = true;   // sf.rom went into the sound flash (or space 1 of an 8 MB board without one)
    bool game = true;    // BootData and the images went into the game flash
};

// Both devices' stored bytes, the game flash first.
inline std::vector<uint8_t> flash_bytes(const tavboard::Board &board) {
    const uint8_t *game = board.data(tavboard::Device::game);
    const uint8_t *sound = board.data(tavboard::Device::sound);
    std::vector<uint8_t> bytes(game, game + board.device_size(tavboard::Device::game));
    bytes.insert(bytes.end(), sound, sound + board.device_size(tavboard::Device::sound));
    return bytes;
}

// The stored bytes after a load of set `o` dated `date`, as flash_bytes gives them: BootData at 0 and the images
// behind it, erased bytes up to tavboot.rom at 0x3F8000 and its zero fill, the sealed record of it all at the start
// of the last erase block, and the sound image (its last repeat on a smaller device, or in the first MB of space 1
// without one).
inline std::vector<uint8_t> loaded_bytes(const tavboard::Board &board, const UpdateSetOptions &o, LoadShape shape,
                                         const char *date) {
    std::vector<uint8_t> want(board.fit().game_size, 0xFF);
    TAVInfo record = {};
    for (UpdateFile file : {UpdateFile::bootdata, UpdateFile::im_flsh0, UpdateFile::game, UpdateFile::symbols}) {
        const std::vector<uint8_t> bytes = tavtools::update_file_bytes(o, file);
        if (!shape.game) break;
        std::copy(bytes.begin(), bytes.end(), want.begin() + record.game_size);
        record.game_checksum += word_sum(bytes.data(), bytes.size());
        record.game_size += int32_t(bytes.size());
    }
    const std::vector<uint8_t> tavboot = tavtools::update_file_bytes(o, UpdateFile::tavboot);
    std::fill(want.begin() + 0x3F8000, want.begin() + (4u << 20), 0x00);
    std::copy(tavboot.begin(), tavboot.end(), want.begin() + 0x3F8000);
    const std::vector<uint8_t> sf = tavtools::update_file_bytes(o, UpdateFile::sound);
    const uint32_t sound_size = board.device_size(tavboard::Device::sound);
    if (shape.sound && sound_size == 0) std::copy(sf.begin(), sf.end(), want.begin() + (4u << 20));
    std::memcpy(record.tav_info_timestamp, date, 24);
    record.tav_info_size = 64;
    record.game_id = int32_t(o.game_number);
    record.sound_size = shape.sound ? 1048576 : 0;
    record.sound_checksum = shape.sound ? word_sum(sf.data(), sf.size()) : 0;
    std::memcpy(record.magic_cookie, "13Dec96", 8);
    record.tav_info_checksum = 0u - word_sum(&record, sizeof record);
    std::memcpy(want.data() + (4u << 20) - board.fit().game_block, &record, sizeof record);
    want.insert(want.end(), sf.end() - sound_size, sf.end());
    if (!shape.sound) std::fill(want.end() - sound_size, want.end(), 0xFF);
    return want;
}

// The board holds what a load of set `o` writes, with the date of the load.
inline void expect_loaded(const tavboard::Board &board, const UpdateSetOptions &o, LoadShape shape) {
    const uint32_t info = (4u << 20) - board.fit().game_block;
    const char *date = reinterpret_cast<const char *>(board.data(tavboard::Device::game) + info);
    EXPECT_EQ(strnlen(date, 32), 24u);
    const std::vector<uint8_t> want = loaded_bytes(board, o, shape, date);
    const std::vector<uint8_t> seen = flash_bytes(board);
    const auto diff = std::mismatch(want.begin(), want.end(), seen.begin(), seen.end());
    EXPECT_TRUE(diff.first == want.end()) << "byte " << diff.first - want.begin() << " of game flash and sound device";
}

// A load of set `o` dated as the old record, put straight into the board's stored flash (no bus cycle).
inline void put_loaded(tavboard::Board &board, const UpdateSetOptions &o) {
    const std::vector<uint8_t> bytes = loaded_bytes(board, o, LoadShape{}, "Fri Dec 13 16:03:17 1996");
    const uint32_t game_size = board.device_size(tavboard::Device::game);
    std::memcpy(const_cast<uint8_t *>(board.data(tavboard::Device::game)), bytes.data(), game_size);
    std::memcpy(const_cast<uint8_t *>(board.data(tavboard::Device::sound)), bytes.data() + game_size,
                bytes.size() - game_size);
}

}  // namespace jobs_test
