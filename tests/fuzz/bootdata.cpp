// Fuzz target: a -gfonly load against a fresh small model board, from a fuzzed BootData record
// (up to 32 KB; bytes 9 on) and image sizes (bytes 1-8: im_flsh0.rom, game.rom, symbols.rom,
// tavboot.rom, 16-bit little-endian). Byte 0: bit 0 makes the game number match, bit 1 cuts the
// declared word counts to 15 bits, bit 2 keeps bootdata.rom unpadded. Checks: every access is
// in space 0's window; a programmed byte is the file's, inside its declared size and file;
// no more is programmed than given; a complete load leaves a valid record of the declared size.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "board/model.h"
#include "flash/ticks.h"
#include "loader/loader.h"
#include "tests/fuzz/fault.h"
#include "tests/support.h"
#include "tools/update_set.h"

namespace {

using namespace tavtools;
constexpr uint32_t kGame = 40215, kBlock = 64u << 10, kInfo = (4u << 20) - kBlock, kTavboot = 0x3F8000;
std::string folder;

// Image file contents: never 0xFF, so every programmed byte differs from erased flash.
uint8_t image_byte(int image, uint64_t at) { return uint8_t((at * 37 + uint32_t(image) * 101 + 11) % 255); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A memory file system when there is one: a fresh board file per input is cheap there.
    std::filesystem::path parent = std::filesystem::temp_directory_path();
    if (std::filesystem::is_directory("/dev/shm")) parent = "/dev/shm";
    folder = (parent / "tav-fuzz-bootdata-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) std::abort();
    tick_clock_hold();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) return 0;
    std::string boot(data + 9, data + std::min<size_t>(size, 9 + kBootDataBytes));
    if ((data[0] & 4) == 0) boot.resize(kBootDataBytes, 0);
    const bool whole = boot.size() == kBootDataBytes;   // only a whole record declares image sizes
    if ((data[0] & 1) && boot.size() >= kBootGameId + 4) std::memcpy(&boot[kBootGameId], &kGame, 4);
    const uint32_t count_at[3] = {kBootImFlsh0Longs, kBootGameLongs, kBootSymbolsLongs};
    const char *const names[4] = {"im_flsh0.rom", "game.rom", "symbols.rom", "tavboot.rom"};
    uint64_t declared[3] = {0, 0, 0}, start[3], end[3], given = kBootDataBytes;
    for (int i = 0; i < 4; i++) {
        uint32_t bytes = (data[1 + 2 * i] | data[2 + 2 * i] << 8) & (i < 3 ? 0x3FFF : 0xFFFF);   // images: 16 KB
        std::string file(bytes, '\x5A');
        for (uint32_t k = 0; i < 3 && k < bytes; k++) file[k] = char(image_byte(i, k));
        fuzz_check(tavtest::write_file(folder + "/" + names[i], file), "cannot write an update file", bytes);
        if (i == 3) break;
        if ((data[0] & 2) && boot.size() >= kBootSymbolsLongs + 4) {   // the word count cut to 15 bits
            boot[count_at[i] + 1] &= 0x7F;
            std::fill_n(&boot[count_at[i] + 2], 2, 0);
        }
        if (whole) declared[i] = 4ull * fuzz_le_word(reinterpret_cast<const uint8_t *>(&boot[count_at[i]]));
        start[i] = i == 0 ? kBootDataBytes : start[i - 1] + declared[i - 1];
        end[i] = start[i] + std::min<uint64_t>(declared[i], bytes);
        given += end[i] - start[i];
    }
    fuzz_check(tavtest::write_file(folder + "/bootdata.rom", boot), "cannot write an update file", boot.size());

    std::string error;
    tavboard::Fit fit{.game_block = kBlock, .sound_size = 256u << 10};
    auto board = tavboard::Board::create(folder + "/board.img", fit, true, &error);
    if (board == nullptr) fuzz_fault("cannot make the board: " + error);
    tavboard::attach(*board);
    board->set_status_read_hook([] { tick_clock_advance(1); });
    board->enable_log(true);
    std::string words[] = {"tavload", "-gfonly", "-p" + folder, std::to_string(kGame)};
    char *argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), nullptr};
    int code = loader_main(board->window_address(), 4, argv);
    tavboard::detach(*board);
    uint8_t reg[4] = {0, 0, 0, 0};   // the page registers
    for (const tavboard::Access &a : board->log()) {
        if (a.kind == tavboard::Access::reg_write) reg[a.offset - 0x4000] = uint8_t(a.value & 0xF);
        else fuzz_check(a.offset < 0x4000 && reg[2] == 0 && reg[3] == 0, "access outside space 0's window", a.offset);
    }
    const uint8_t *game = board->data(tavboard::Device::game);
    for (uint32_t at = 0; at < kTavboot; at++) {   // tavboot.rom's 32 KB are not checked here
        if (game[at] == 0xFF || (at >= kInfo && at < kInfo + 256)) continue;   // erased, or the record: checked below
        int expected = at < kBootDataBytes && whole ? uint8_t(boot[at]) : -1;   // -1: must stay erased
        for (int i = 0; i < 3; i++)
            if (at >= start[i] && at < end[i] && at < kInfo) expected = image_byte(i, at - start[i]);
        fuzz_check(game[at] == expected, "a byte programmed that is not a file's, or past a declared size or file", at);
    }
    uint64_t programmed = board->counters().programmed_bytes;
    fuzz_check(programmed <= given + 32768 + 256, "more bytes programmed than given", programmed);
    if (code != 0) return 0;
    uint32_t sum = 0;
    for (int k = 0; k < 64; k++) sum += fuzz_le_word(game + kInfo + 4 * k);
    fuzz_check(fuzz_le_word(game + kInfo + 32) == 64 && sum == 0, "a complete load without a valid record", sum);
    uint32_t game_size = fuzz_le_word(game + kInfo + 44);
    fuzz_check(game_size == kBootDataBytes + declared[0] + declared[1] + declared[2],
               "the record's game_size is not the declared size", game_size);
    return 0;
}
