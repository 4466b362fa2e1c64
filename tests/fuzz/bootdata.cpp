// Fuzz target: the BootData handling of a game flash load. Each input is a BootData record
// (up to 32 KB) with the sizes of the three image files and of tavboot.rom; a -gfonly load
// runs against a fresh, small model board with the access log on.
//
// Input: byte 0 flags (bit 0: BootData's game number made to match GAME#, bit 1: declared
// word counts cut to 15 bits so that they often fit, bit 2: bootdata.rom written as given
// instead of padded to 32768 bytes); bytes 1-8 the sizes of im_flsh0.rom, game.rom,
// symbols.rom and tavboot.rom (16-bit little-endian byte counts); the rest BootData.
//
// Checks: every window access selects a page of space 0; a byte of the images' area that
// was programmed lies inside an image's declared size and inside its file, and holds the
// file's byte; no more bytes are programmed than the files and the declared sizes allow;
// a complete load leaves a valid record whose sizes are those declared.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/ticks.h"
#include "loader/loader.h"

namespace {

constexpr uint32_t kGame = 40215;
constexpr uint32_t kBootBytes = 32768;
constexpr uint32_t kSpace0 = 4u << 20;
constexpr uint32_t kBlock = 64u << 10;
constexpr uint32_t kInfo = kSpace0 - kBlock;
const char *const kImages[3] = {"im_flsh0.rom", "game.rom", "symbols.rom"};

std::string folder;

[[noreturn]] void fault(const char *what, long detail) {
    // Through the sanitizers' report channel: it stays open when libFuzzer closes stderr.
    char text[256];
    std::snprintf(text, sizeof text, "bootdata fuzz: %s (%ld)", what, detail);
    __sanitizer_report_error_summary(text);
    std::abort();
}

uint32_t le_word(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void put_word(uint8_t *p, uint32_t v) {
    for (int k = 0; k < 4; k++) p[k] = uint8_t(v >> (8 * k));
}

// Image file contents: never 0xFF, so every programmed byte differs from erased flash.
uint8_t image_byte(int image, uint32_t at) { return uint8_t((at * 37 + uint32_t(image) * 101 + 11) % 255); }

void write_file(const std::string &name, const uint8_t *bytes, size_t size) {
    std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes), std::streamsize(size));
    if (!out) fault("cannot write an update file", long(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A memory file system when there is one: a fresh board file per input is cheap there.
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                          : std::filesystem::temp_directory_path();
    std::string pattern = (base / "tav-fuzz-bootdata-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    folder = pattern;
    tick_clock_hold();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) return 0;
    const uint8_t flags = data[0];
    uint32_t file_bytes[4];
    // Image files of up to 16 KB keep each run short; they still end inside chunks.
    for (int i = 0; i < 4; i++) file_bytes[i] = (data[1 + 2 * i] | data[2 + 2 * i] << 8) & (i < 3 ? 0x3FFF : 0xFFFF);

    std::vector<uint8_t> boot(data + 9, data + size);
    if (boot.size() > kBootBytes) boot.resize(kBootBytes);
    if (!(flags & 4)) boot.resize(kBootBytes, 0);
    if (boot.size() >= 64 && (flags & 1)) put_word(&boot[60], kGame);
    if (boot.size() >= 88 && (flags & 2))
        for (uint32_t at : {44u, 76u, 84u}) put_word(&boot[at], le_word(&boot[at]) & 0x7FFF);
    write_file("bootdata.rom", boot.data(), boot.size());

    for (int i = 0; i < 3; i++) {
        std::vector<uint8_t> bytes(file_bytes[i]);
        for (uint32_t k = 0; k < file_bytes[i]; k++) bytes[k] = image_byte(i, k);
        write_file(kImages[i], bytes.data(), bytes.size());
    }
    std::vector<uint8_t> tavboot(file_bytes[3], 0x5A);
    write_file("tavboot.rom", tavboot.data(), tavboot.size());

    // What the loader reads as the declared sizes (when the record is whole).
    uint64_t declared[3] = {0, 0, 0};
    if (boot.size() == kBootBytes) {
        declared[0] = 4ull * le_word(&boot[44]);
        declared[1] = 4ull * le_word(&boot[76]);
        declared[2] = 4ull * le_word(&boot[84]);
    }

    tavboard::Fit fit;
    fit.game_block = kBlock;
    fit.sound_size = 256u << 10;
    std::string error;
    auto board = tavboard::Board::create(folder + "/board.img", fit, true, &error);
    if (board == nullptr) fault("cannot make the board", 0);
    tavboard::attach(*board);
    board->set_status_read_hook([] { tick_clock_advance(1); });
    board->enable_log(true);

    std::string w0 = "tavload", w1 = "-gfonly", w2 = "-p" + folder, w3 = std::to_string(kGame);
    char *argv[] = {w0.data(), w1.data(), w2.data(), w3.data(), nullptr};
    int code = loader_main(board->window_address(), 4, argv);

    // Every access of the window goes to a page of space 0.
    uint8_t reg[4] = {0, 0, 0, 0};
    for (const tavboard::Access &a : board->log()) {
        if (a.kind == tavboard::Access::reg_write) {
            reg[a.offset - 0x4000] = uint8_t(a.value & 0xF);
            continue;
        }
        if (a.offset >= 0x4000) fault("an access outside the data window", long(a.offset));
        if (reg[3] != 0 || reg[2] != 0) fault("an access outside space 0", long(reg[3]));
    }

    // The images' area: programmed bytes only inside a declared size and inside the file,
    // each holding the file's byte.
    const uint8_t *game = board->data(tavboard::Device::game);
    uint64_t starts[3];
    uint64_t ends[3];
    uint64_t start = kBootBytes;
    for (int i = 0; i < 3; i++) {
        starts[i] = start;
        ends[i] = start + std::min<uint64_t>(declared[i], file_bytes[i]);
        start += declared[i];
    }
    static const std::vector<uint8_t> erased(4096, 0xFF);
    for (uint32_t at = kBootBytes; at < kInfo; at++) {
        if (at % 4096 == 0 && at + 4096 <= kInfo && std::memcmp(game + at, erased.data(), 4096) == 0) {
            at += 4095;
            continue;
        }
        if (game[at] == 0xFF) continue;
        int image = -1;
        for (int i = 0; i < 3; i++)
            if (at >= starts[i] && at < ends[i]) image = i;
        if (image < 0) fault("a byte programmed past a declared size or past its file", long(at));
        if (game[at] != image_byte(image, uint32_t(at - starts[image])))
            fault("an image byte that is not the file's", long(at));
    }
    for (uint32_t at = 0; at < kBootBytes; at++)
        if (game[at] != 0xFF && (boot.size() != kBootBytes || game[at] != boot[at]))
            fault("a BootData byte that is not the file's", long(at));
    for (uint32_t at = kInfo + 256; at < 0x3F8000; at += 4096) {
        uint32_t n = std::min<uint32_t>(4096, 0x3F8000 - at);
        if (std::memcmp(game + at, erased.data(), n) != 0) fault("a byte programmed between the record and tavboot.rom", long(at));
    }

    uint64_t image_bytes = 0;
    for (int i = 0; i < 3; i++) image_bytes += std::min<uint64_t>(declared[i], file_bytes[i]);
    uint64_t programmed = board->counters().programmed_bytes;
    if (programmed > kBootBytes + image_bytes + 32768 + 256) fault("more bytes programmed than given", long(programmed));

    if (code == 0) {
        const uint8_t *r = game + kInfo;
        uint32_t sum = 0;
        for (int k = 0; k < 64; k++) sum += le_word(r + 4 * k);
        if (le_word(r + 32) != 64 || sum != 0) fault("a complete load without a valid record", 0);
        if (le_word(r + 44) != kBootBytes + declared[0] + declared[1] + declared[2])
            fault("the record's game_size is not the declared size", long(le_word(r + 44)));
    }

    board->set_status_read_hook(nullptr);
    tavboard::detach(*board);
    return 0;
}
