// Fuzz target: the BootData handling of a game flash load. Each input is a BootData record (up
// to 32 KB) with the sizes of the three image files and of tavboot.rom; a -gfonly load runs
// against a fresh, small model board with the access log on.
// Input: byte 0 flags (bit 0: BootData's game number made to match GAME#; bit 1: declared word
// counts cut to 15 bits so that they often fit; bit 2: bootdata.rom written as given instead of
// padded to 32768 bytes); bytes 1-8 the sizes of im_flsh0.rom, game.rom, symbols.rom and
// tavboot.rom (16-bit little-endian byte counts); the rest BootData.
// Checks: every window access selects a page of space 0; a programmed byte of the images' area
// lies inside an image's declared size and file and holds the file's byte; nothing is programmed
// beyond what the files and declared sizes allow; a complete load leaves a valid record whose
// sizes are those declared.
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/ticks.h"
#include "loader/loader.h"
#include "tests/support.h"

namespace {

constexpr uint32_t kGame = 40215, kBootBytes = 32768, kBlock = 64u << 10, kInfo = (4u << 20) - kBlock;
std::string folder;

// Reported through the sanitizers' channel: it stays open when libFuzzer closes stderr.
[[noreturn]] void fault(const char *what, long detail) {
    __sanitizer_report_error_summary(("bootdata fuzz: " + std::string(what) + " (" + std::to_string(detail) + ")").c_str());
    std::abort();
}
uint32_t le_word(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
// Image file contents: never 0xFF, so every programmed byte differs from erased flash.
uint8_t image_byte(int image, uint32_t at) { return uint8_t((at * 37 + uint32_t(image) * 101 + 11) % 255); }
void write(const std::string &name, const std::vector<uint8_t> &bytes) {
    if (!tavtest::write_file(folder + "/" + name, std::string(bytes.begin(), bytes.end()))) fault("cannot write an update file", long(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A memory file system when there is one: a fresh board file per input is cheap there.
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    folder = (base / "tav-fuzz-bootdata-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) std::abort();
    tick_clock_hold();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) return 0;
    uint32_t file_bytes[4];   // image files of up to 16 KB keep each run short
    for (int i = 0; i < 4; i++) file_bytes[i] = (data[1 + 2 * i] | data[2 + 2 * i] << 8) & (i < 3 ? 0x3FFF : 0xFFFF);
    std::vector<uint8_t> boot(data + 9, data + std::min<size_t>(size, 9 + kBootBytes));
    if (!(data[0] & 4)) boot.resize(kBootBytes, 0);
    for (uint32_t k = 0; boot.size() >= 64 && (data[0] & 1) && k < 4; k++) boot[60 + k] = uint8_t(kGame >> 8 * k);
    for (uint32_t at : {44u, 76u, 84u})
        if (boot.size() >= 88 && (data[0] & 2)) boot[at + 2] = boot[at + 3] = 0, boot[at + 1] &= 0x7F;
    write("bootdata.rom", boot);
    const char *const images[3] = {"im_flsh0.rom", "game.rom", "symbols.rom"};
    for (int i = 0; i < 3; i++) {
        std::vector<uint8_t> bytes(file_bytes[i]);
        for (uint32_t k = 0; k < file_bytes[i]; k++) bytes[k] = image_byte(i, k);
        write(images[i], bytes);
    }
    write("tavboot.rom", std::vector<uint8_t>(file_bytes[3], 0x5A));
    uint64_t declared[3] = {0, 0, 0};   // what the loader reads as the declared sizes (of a whole record)
    for (int i = 0; i < 3 && boot.size() == kBootBytes; i++) declared[i] = 4ull * le_word(&boot[i == 0 ? 44 : i == 1 ? 76 : 84]);

    std::string error;
    auto board = tavboard::Board::create(folder + "/board.img", {4u << 20, kBlock, 256u << 10, false}, true, &error);
    if (board == nullptr) fault("cannot make the board", 0);
    tavboard::attach(*board);
    board->set_status_read_hook([] { tick_clock_advance(1); });
    board->enable_log(true);
    std::string w0 = "tavload", w1 = "-gfonly", w2 = "-p" + folder, w3 = std::to_string(kGame);
    char *argv[] = {w0.data(), w1.data(), w2.data(), w3.data(), nullptr};
    int code = loader_main(board->window_address(), 4, argv);

    uint8_t reg[4] = {0, 0, 0, 0};
    for (const tavboard::Access &a : board->log()) {
        if (a.kind == tavboard::Access::reg_write) reg[a.offset - 0x4000] = uint8_t(a.value & 0xF);
        else if (a.offset >= 0x4000) fault("an access outside the data window", long(a.offset));
        else if (reg[3] != 0 || reg[2] != 0) fault("an access outside space 0", long(reg[3]));
    }
    const uint8_t *game = board->data(tavboard::Device::game);
    uint64_t starts[3], ends[3], start = kBootBytes, image_bytes = 0;
    for (int i = 0; i < 3; start += declared[i], i++) {
        starts[i] = start;
        ends[i] = start + std::min<uint64_t>(declared[i], file_bytes[i]);
        image_bytes += ends[i] - start;
    }
    static const std::vector<uint8_t> erased(4096, 0xFF);
    for (uint32_t at = kBootBytes; at < kInfo; at++) {
        if (at % 4096 == 0 && at + 4096 <= kInfo && std::memcmp(game + at, erased.data(), 4096) == 0) {
            at += 4095;
            continue;
        }
        int image = -1;
        for (int i = 0; i < 3; i++)
            if (at >= starts[i] && at < ends[i]) image = i;
        if (game[at] != 0xFF && image < 0) fault("a byte programmed past a declared size or past its file", long(at));
        if (game[at] != 0xFF && game[at] != image_byte(image, uint32_t(at - starts[image]))) fault("an image byte that is not the file's", long(at));
    }
    for (uint32_t at = 0; at < kBootBytes; at++)
        if (game[at] != 0xFF && (boot.size() != kBootBytes || game[at] != boot[at])) fault("a BootData byte that is not the file's", long(at));
    for (uint32_t at = kInfo + 256; at < 0x3F8000; at += 4096)
        if (std::memcmp(game + at, erased.data(), std::min<uint32_t>(4096, 0x3F8000 - at)) != 0) fault("a byte programmed between the record and tavboot.rom", long(at));
    if (board->counters().programmed_bytes > kBootBytes + image_bytes + 32768 + 256) fault("more bytes programmed than given", long(board->counters().programmed_bytes));
    uint32_t sum = 0;
    for (int k = 0; code == 0 && k < 64; k++) sum += le_word(game + kInfo + 4 * k);
    if (code == 0 && (le_word(game + kInfo + 32) != 64 || sum != 0)) fault("a complete load without a valid record", 0);
    if (code == 0 && le_word(game + kInfo + 44) != kBootBytes + declared[0] + declared[1] + declared[2])
        fault("the record's game_size is not the declared size", long(le_word(game + kInfo + 44)));
    board->set_status_read_hook(nullptr);
    tavboard::detach(*board);
    return 0;
}
