// Fuzz target: a -gfonly load against a fresh small model board, from a fuzzed BootData record
// (up to 32 KB; bytes 9 on) and image sizes (bytes 1-8: im_flsh0.rom, game.rom, symbols.rom,
// tavboot.rom, 16-bit little-endian). Byte 0: bit 0 makes the game number match, bit 1 cuts the
// declared word counts to 15 bits, bit 2 keeps bootdata.rom unpadded. Checks: every access is
// in space 0's window; a programmed byte is the file's, inside its declared size and file;
// no more is programmed than given; a complete load leaves a valid record of the declared size.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "board/model.h"
#include "flash/ticks.h"
#include "loader/loader.h"
#include "tests/fuzz/fault.h"
#include "tests/support.h"

namespace {
constexpr uint32_t kGame = 40215, kBootBytes = 32768, kBlock = 64u << 10, kInfo = (4u << 20) - kBlock;
std::string folder;
// Image file contents: never 0xFF, so every programmed byte differs from erased flash.
uint8_t image_byte(int image, uint64_t at) { return uint8_t((at * 37 + uint32_t(image) * 101 + 11) % 255); }
void fault(const std::string &what, uint64_t detail) { fuzz_fault("bootdata: " + what + " (" + std::to_string(detail) + ")"); }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A memory file system when there is one: a fresh board file per input is cheap there.
    folder = ((std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path()) / "tav-fuzz-bootdata-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) std::abort();
    return tick_clock_hold(), 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) return 0;
    uint32_t file_bytes[4];   // image files of up to 16 KB keep each run short
    for (int i = 0; i < 4; i++) file_bytes[i] = (data[1 + 2 * i] | data[2 + 2 * i] << 8) & (i < 3 ? 0x3FFF : 0xFFFF);
    std::string boot(data + 9, data + std::min<size_t>(size, 9 + kBootBytes));
    if (!(data[0] & 4)) boot.resize(kBootBytes, 0);
    for (uint32_t k = 0; boot.size() >= 64 && (data[0] & 1) && k < 4; k++) boot[60 + k] = char(kGame >> 8 * k);
    for (uint32_t at : {44u, 76u, 84u})
        if (boot.size() >= 88 && (data[0] & 2)) boot[at + 2] = boot[at + 3] = 0, boot[at + 1] &= 0x7F;
    const char *const names[5] = {"im_flsh0.rom", "game.rom", "symbols.rom", "tavboot.rom", "bootdata.rom"};
    uint64_t declared[3] = {0, 0, 0}, starts[3], ends[3], start = kBootBytes, image_bytes = 0;
    for (int i = 0; i < 5; i++) {
        std::string bytes = i == 4 ? boot : std::string(i < 4 ? file_bytes[i] : 0, '\x5A');
        for (uint32_t k = 0; i < 3 && k < file_bytes[i]; k++) bytes[k] = char(image_byte(i, k));
        if (!tavtest::write_file(folder + "/" + names[i], bytes)) fault("cannot write an update file", bytes.size());
    }
    for (int i = 0; i < 3; start += declared[i], i++) {   // the declared sizes (of a whole record)
        declared[i] = boot.size() == kBootBytes ? 4ull * fuzz_le_word(reinterpret_cast<const uint8_t *>(&boot[i == 0 ? 44 : i == 1 ? 76 : 84])) : 0;
        starts[i] = start, ends[i] = start + std::min<uint64_t>(declared[i], file_bytes[i]), image_bytes += ends[i] - start;
    }
    std::string error, w0 = "tavload", w1 = "-gfonly", w2 = "-p" + folder, w3 = std::to_string(kGame);
    auto board = tavboard::Board::create(folder + "/board.img", {4u << 20, kBlock, 256u << 10, false}, true, &error);
    if (board == nullptr) fault("cannot make the board", 0);
    tavboard::attach(*board);
    board->set_status_read_hook([] { tick_clock_advance(1); });
    board->enable_log(true);
    char *argv[] = {w0.data(), w1.data(), w2.data(), w3.data(), nullptr};
    int code = loader_main(board->window_address(), 4, argv);
    uint8_t reg[4] = {0, 0, 0, 0};
    for (const tavboard::Access &a : board->log()) {
        if (a.kind == tavboard::Access::reg_write) reg[a.offset - 0x4000] = uint8_t(a.value & 0xF);
        else if (a.offset >= 0x4000 || reg[3] != 0 || reg[2] != 0) fault("an access outside the data window or space 0", a.offset);
    }
    const uint8_t *game = board->data(tavboard::Device::game);
    for (uint32_t at = 0; at < 0x3F8000; at++) {
        if (at % 4096 == 0 && std::all_of(game + at, game + at + 4096, [](uint8_t b) { return b == 0xFF; })) {
            at += 4095;
            continue;
        }
        int image = -1;
        for (int i = 0; i < 3; i++) image = at < kInfo && at >= starts[i] && at < ends[i] ? i : image;
        const int expected = at < kBootBytes ? (boot.size() == kBootBytes ? uint8_t(boot[at]) : -1)
                             : image >= 0    ? image_byte(image, at - starts[image])
                             : at >= kInfo && at < kInfo + 256 ? game[at] : -1;   // -1: must stay erased
        if (game[at] != 0xFF && game[at] != expected) fault("a byte programmed that is not a file's, or past a declared size or file", at);
    }
    if (board->counters().programmed_bytes > kBootBytes + image_bytes + 32768 + 256) fault("more bytes programmed than given", board->counters().programmed_bytes);
    uint32_t sum = 0;
    for (int k = 0; code == 0 && k < 64; k++) sum += fuzz_le_word(game + kInfo + 4 * k);
    if (code == 0 && (fuzz_le_word(game + kInfo + 32) != 64 || sum != 0)) fault("a complete load without a valid record", 0);
    if (code == 0 && fuzz_le_word(game + kInfo + 44) != kBootBytes + declared[0] + declared[1] + declared[2])
        fault("the record's game_size is not the declared size", fuzz_le_word(game + kInfo + 44));
    board->set_status_read_hook(nullptr);
    tavboard::detach(*board);
    return 0;
}
