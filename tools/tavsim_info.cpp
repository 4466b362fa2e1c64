// tavsim info: what is fitted, the faults and timing, the board information record at the
// start of the last erase block of space 0, and the lifetime counters.
#include "tools/tavsim_common.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kSpace0Size = 4u << 20;  // space 0: the first 4 MB of the game device
constexpr uint32_t kRecordSize = 256;

uint32_t word_at(const uint8_t *p, uint32_t index) {
    const uint8_t *w = p + 4 * index;
    return uint32_t(w[0]) | uint32_t(w[1]) << 8 | uint32_t(w[2]) << 16 | uint32_t(w[3]) << 24;
}

// Printable characters of a text field, at most `max`, up to the first byte that is not.
std::string text_of(const uint8_t *p, uint32_t max) {
    std::string s;
    for (uint32_t i = 0; i < max && p[i] >= 0x20 && p[i] <= 0x7E; i++) s += char(p[i]);
    return s;
}

std::string size_text(uint32_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MB";
    return std::to_string(bytes >> 10) + " KB";
}

void print_record(const tavboard::Board &board) {
    tavboard::Fit fit = board.fit();
    const uint8_t *game = board.data(tavboard::Device::game);
    if (game == nullptr) {
        std::printf("information record: none (no game flash fitted)\n");
        return;
    }
    uint32_t space0 = fit.game_size < kSpace0Size ? fit.game_size : kSpace0Size;
    uint32_t at = space0 - fit.game_block;
    const uint8_t *r = game + at;
    std::printf("information record at space 0 offset 0x%x:\n", at);
    std::printf("  tav_info_timestamp:  \"%s\"\n", text_of(r, 32).c_str());
    std::printf("  tav_info_size:       %u\n", word_at(r, 8));
    std::printf("  tav_info_checksum:   0x%x\n", word_at(r, 9));
    std::printf("  game_id:             %d\n", int32_t(word_at(r, 10)));
    std::printf("  game_size:           %d\n", int32_t(word_at(r, 11)));
    std::printf("  game_checksum:       0x%x\n", word_at(r, 12));
    std::printf("  sound_size:          %d\n", int32_t(word_at(r, 13)));
    std::printf("  sound_checksum:      0x%x\n", word_at(r, 14));
    std::printf("  magic_cookie:        \"%s\"\n", text_of(r + 60, 8).c_str());
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kRecordSize / 4; i++) sum += word_at(r, i);
    if (word_at(r, 8) != 64) {
        std::printf("information record: not valid (size field is %u, not 64)\n", word_at(r, 8));
    } else if (sum != 0) {
        std::printf("information record: not valid (words sum to 0x%x, not 0)\n", sum);
    } else {
        std::printf("information record: valid\n");
    }
}

}  // namespace

int tavsim_info(int argc, char **argv) {
    using namespace tavsim;
    int exit_code;
    auto board = open_board_of_plain_command(argc, argv, &exit_code);
    if (!board) return exit_code;

    tavboard::Fit fit = board->fit();
    auto faults = board->faults();
    auto absent = [&](tavboard::Device d) {
        for (const auto &f : faults)
            if (f.kind == tavboard::FaultKind::absent && f.device == d) return " (absent: fault set)";
        return "";
    };
    std::printf("board file: %s\n", board->path().c_str());
    std::printf("board: %s\n", fit.board_absent ? "absent (nothing answers, as with the jumper off)" : "present");
    if (fit.game_size == 0) {
        std::printf("game flash: none\n");
    } else {
        std::printf("game flash: %s CFI device (J3 family), manufacturer 0x89, device code 0x%02X, "
                    "%u blocks of %s, 32-byte write buffer%s\n",
                    size_text(fit.game_size).c_str(), fit.game_size == (8u << 20) ? 0x17 : 0x16,
                    fit.game_size / fit.game_block, size_text(fit.game_block).c_str(), absent(tavboard::Device::game));
    }
    if (fit.sound_size == 0) {
        std::printf("sound flash: none\n");
    } else {
        uint32_t code = fit.sound_size == (256u << 10) ? 0x75 : fit.sound_size == (512u << 10) ? 0x71 : 0x9D;
        uint32_t mains = (fit.sound_size - 0x20000) / 0x20000;
        std::printf("sound flash: %s boot-block device (bottom boot), manufacturer 0x89, device code 0x%02X, "
                    "blocks 16 KB, 8 KB, 8 KB, 96 KB, %u x 128 KB%s\n",
                    size_text(fit.sound_size).c_str(), code, mains, absent(tavboard::Device::sound));
    }
    for (tavboard::Device d : {tavboard::Device::game, tavboard::Device::sound}) {
        std::string mode;
        uint8_t status = 0;
        if (board->device_state(d, &mode, &status))
            std::printf("%s flash state: %s, status 0x%02X\n", d == tavboard::Device::game ? "game" : "sound",
                        mode.c_str(), status);
    }
    print_timing(*board);
    if (faults.empty()) std::printf("faults: none\n");
    for (size_t i = 0; i < faults.size(); i++) std::printf("fault %zu: %s\n", i + 1, describe_fault(faults[i]).c_str());

    print_record(*board);

    print_counters(*board);
    return kExitOk;
}
