// Helpers shared by the board model tests: a scratch folder, and a bus driver that selects
// pages the way the board's page registers expect them.
#pragma once

#include "board/model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace boardtest {

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tav-board-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

constexpr uint32_t kWindow = 0x4000;

// Selects a page address (space nibble in bits 12-15) through the four page registers.
inline void select_page(tavboard::Board &b, uint32_t page_address) {
    for (uint32_t i = 0; i < 4; i++) b.write(kWindow + i, uint8_t((page_address >> (4 * i)) & 0xF));
}

// Space 0 / 8 byte address to page selection plus window offset.
inline uint32_t at_game(tavboard::Board &b, uint32_t device_offset) {
    select_page(b, device_offset / kWindow);
    return device_offset % kWindow;
}
inline uint32_t at_sound(tavboard::Board &b, uint32_t device_offset) {
    select_page(b, 0x8000 | (device_offset / kWindow));
    return device_offset % kWindow;
}

// Reads status until bit 7 is set (at most `limit` reads); returns the final status.
inline uint8_t poll_ready(tavboard::Board &b, uint32_t offset, int limit = 100) {
    uint8_t s = b.read(offset);
    for (int i = 0; i < limit && !(s & 0x80); i++) s = b.read(offset);
    return s;
}

inline std::unique_ptr<tavboard::Board> make_board(const std::string &path, const tavboard::Fit &fit = {}) {
    std::string error;
    auto b = tavboard::Board::create(path, fit, true, &error);
    EXPECT_TRUE(b) << error;
    return b;
}

// Runs `body` in a child process and returns its exit status (or 128 + signal).
template <class F> int in_child(F body) {
    pid_t pid = fork();
    if (pid == 0) {
        int code = body();
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace boardtest
