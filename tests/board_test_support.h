// Helpers shared by the board model tests: a scratch folder, page selection through the page
// registers, the two-cycle commands, and a child process.
#pragma once

#include "board/model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace boardtest {

// The whole contents of a file.
inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using tavboard::Board;
using tavboard::Device;

// A fresh folder under the system's temporary folder, removed at the end.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tav-board-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

constexpr uint32_t kWindow = 0x4000;

// Selects a page address (space nibble in bits 12-15) through the four page registers.
inline void select_page(Board &b, uint32_t page_address) {
    for (uint32_t i = 0; i < 4; i++) b.write(kWindow + i, uint8_t((page_address >> (4 * i)) & 0xF));
}

// Selects the page holding byte `offset` of `dev` (space 0 or 8); returns its window offset.
inline uint32_t at(Board &b, Device dev, uint32_t offset) {
    select_page(b, (dev == Device::sound ? 0x8000 : 0) | offset / kWindow);
    return offset % kWindow;
}

// Reads status until bit 7 is set (at most `limit` reads); returns the final status.
inline uint8_t poll_ready(Board &b, uint32_t offset, int limit = 100) {
    uint8_t s = b.read(offset);
    for (int i = 0; i < limit && !(s & 0x80); i++) s = b.read(offset);
    return s;
}

// A two-cycle command at byte `offset` of `dev`, polled to ready, then read array; returns
// the final status.
inline uint8_t two_cycle(Board &b, Device dev, uint32_t offset, uint8_t first, uint8_t second) {
    uint32_t w = at(b, dev, offset);
    b.write(w, first);
    b.write(w, second);
    uint8_t s = poll_ready(b, w);
    b.write(w, 0xFF);
    return s;
}
inline uint8_t program(Board &b, Device dev, uint32_t offset, uint8_t v) { return two_cycle(b, dev, offset, 0x40, v); }
inline uint8_t erase(Board &b, Device dev, uint32_t offset) { return two_cycle(b, dev, offset, 0x20, 0xD0); }

inline tavboard::Fit fit_of(uint32_t game, uint32_t block, uint32_t sound) {
    tavboard::Fit f;
    f.game_size = game;
    f.game_block = block;
    f.sound_size = sound;
    return f;
}

inline std::unique_ptr<Board> make_board(const std::string &path, const tavboard::Fit &fit = {}) {
    std::string error;
    auto b = Board::create(path, fit, true, &error);
    EXPECT_TRUE(b) << error;
    return b;
}

// Runs `body` in a child process and returns its exit status (or 128 + signal).
template <class F> int in_child(F body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace boardtest
