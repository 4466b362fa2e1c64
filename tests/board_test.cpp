// The board model driven through its bus (data window 0x0000-0x3FFF, page registers 0x4000-0x4003) and checked
// against the flash parts' documented behaviour (commands, sticky status bits, identifier codes, query table, erase
// block layouts, old AND new programming) and against what was written before (stored contents, counters, device
// states): read modes, sequence errors, programming, busy reads, erase blocks, page decoding, each fault's outcome,
// power cuts and kills, the board file, the attached window, the physical mapping over an ordinary file; and one
// device on its own for states no bus sequence leaves.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "board/board_file.h"
#include "board/flash_device.h"
#include "board/model.h"
#include "board/physical_map.h"
#include "flash/board_access.h"
#include "tests/support.h"

using namespace tavboard;

namespace {

using enum Device;
using enum FaultKind;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t KB = 1024;
constexpr uint32_t MB = 1024 * 1024;

// At a device offset: an erase of its block, a program of 0x00, or four bytes of 0x00 through the write buffer.
enum class Op { erase, program, buffer };

// A bus write at a device offset.
struct Cycle {
    uint32_t offset;
    uint8_t value;
};

class BoardTest : public testing::Test {
  protected:
    void SetUp() override { fresh(Fit{}); }
    // A fresh, erased board: an erase or program then stays busy for two status reads.
    void fresh(const Fit &fit) {
        board.reset();
        board = Board::create(dir.board(), fit, true, &error);
        ASSERT_NE(board, nullptr) << error;
    }
    // The board file opened again, as the next process finds it.
    void reopen() {
        board.reset();
        board = Board::open(dir.board(), &error);
        ASSERT_NE(board, nullptr) << error;
    }
    // Writes the page registers: page bits 0-3, 4-7, 8-11, then the space; `high` fills the bits above four.
    void select(uint32_t space, uint32_t page, uint8_t high = 0) {
        for (uint32_t reg = 0; reg < 3; reg++) board->write(0x4000 + reg, uint8_t(high | ((page >> 4 * reg) & 0xF)));
        board->write(0x4003, uint8_t(high | space));
    }
    // Selects the page of device byte `offset` (game flash pages from 256 in space 1, the sound flash in space 8)
    // and writes the bytes there one after another; the byte's window offset.
    uint32_t send(Device device, uint32_t offset, const Bytes &bytes = {}) {
        uint32_t space = offset >= 256 * 0x4000 ? 1 : 0;
        if (device == sound) space = 8;
        select(space, offset / 0x4000);
        for (uint8_t value : bytes) board->write(offset % 0x4000, value);
        return offset % 0x4000;
    }
    uint8_t read_at(Device device, uint32_t offset) { return board->read(send(device, offset)); }
    // Copies `count` bytes out of the window from window offset `at` on.
    Bytes copy(uint32_t at, uint32_t count) {
        Bytes seen(count);
        board->copy_out(at, seen.data(), count);
        return seen;
    }
    Bytes stored(Device device, uint32_t offset, uint32_t count) {
        return Bytes(board->data(device) + offset, board->data(device) + offset + count);
    }
    // Reads the status at window offset `at` until bit 7 is set, at most 100 reads; the last status.
    uint8_t wait(uint32_t at) {
        uint8_t status = board->read(at);
        for (int reads = 1; reads < 100 && (status & 0x80) == 0; reads++) status = board->read(at);
        return status;
    }
    // The bytes written at device byte `offset`, the status polled there, then read array; the status.
    uint8_t operate(Device device, uint32_t offset, const Bytes &bytes) {
        const uint32_t at = send(device, offset, bytes);
        const uint8_t status = wait(at);
        board->write(at, 0xFF);
        return status;
    }
    // The operation's status; for a buffer that finds none free, the extended status.
    uint8_t run(Op op, Device device, uint32_t offset) {
        if (op == Op::erase) return operate(device, offset, {0x20, 0xD0});
        if (op == Op::program) return operate(device, offset, {0x40, 0x00});
        const uint32_t at = send(device, offset, {0xE8});
        const uint8_t extended = board->read(at);
        if (extended != 0x80) return extended;
        board->write(at, 3);
        for (uint32_t i = 0; i < 4; i++) board->write(at + i, 0x00);
        board->write(at, 0xD0);
        return wait(at);
    }
    // Where the device's command state machine stands: its mode, and the status a read would give.
    std::string state(Device device) {
        std::string mode;
        uint8_t status = 0;
        board->device_state(device, &mode, &status);
        char text[64];
        snprintf(text, sizeof text, "%s 0x%02X", mode.c_str(), status);
        return text;
    }
    void add(const Fault &fault) { EXPECT_TRUE(board->add_fault(fault, &error)) << error; }
    // Runs `body` in a child process (close the board here first); its exit code, -1 when a signal ended it.
    int in_child(const std::function<int()> &body) {
        const pid_t pid = fork();
        if (pid == 0) _exit(body());
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    tavtest::TempDir dir;
    std::unique_ptr<Board> board;
    std::string error;
};

// Identifier codes: manufacturer 0x89, then the part's code, each at two bytes (A0 is not decoded in byte mode).
// The J3 query table (query offset k at bytes 2k and 2k + 1) as the data sheet gives it: size 2^n, one erase region
// of (count + 1) blocks of size x 256, nothing past the table. Then the read mode each command selects.
TEST_F(BoardTest, ReadModesIdentifierCodesAndQueryTable) {
    // count: erase blocks - 1; low, high: the block size / 256.
    const struct { Fit fit; uint8_t game_code; uint8_t sound_code; uint8_t count; uint8_t low; uint8_t high; } fits[] =
        {
        {{.game_size = 4 * MB, .game_block = 128 * KB, .sound_size = 1 * MB}, 0x16, 0x9D, 0x1F, 0x00, 0x02},
        {{.game_size = 4 * MB, .game_block = 64 * KB, .sound_size = 512 * KB}, 0x16, 0x71, 0x3F, 0x00, 0x01},
        {{.game_size = 4 * MB, .game_block = 32 * KB, .sound_size = 256 * KB}, 0x16, 0x75, 0x7F, 0x80, 0x00},
        {{.game_size = 8 * MB, .game_block = 128 * KB, .sound_size = 1 * MB}, 0x17, 0x9D, 0x3F, 0x00, 0x02},
        {{.game_size = 8 * MB, .game_block = 64 * KB, .sound_size = 512 * KB}, 0x17, 0x71, 0x7F, 0x00, 0x01},
        {{.game_size = 8 * MB, .game_block = 32 * KB, .sound_size = 256 * KB}, 0x17, 0x75, 0xFF, 0x80, 0x00},
        };
    for (const auto &fit : fits) {
        fresh(fit.fit);
        const std::string name = std::to_string(fit.fit.game_size) + " in " + std::to_string(fit.fit.game_block);
        send(game, 0, {0x90});
        EXPECT_EQ(copy(0, 4), (Bytes{0x89, 0x89, fit.game_code, fit.game_code})) << name;
        send(sound, 0, {0x90});
        EXPECT_EQ(copy(0, 4), (Bytes{0x89, 0x89, fit.sound_code, fit.sound_code})) << name;
        Bytes table = {'Q', 'R', 'Y', 0x01, 0x00, 0x31, 0x00, 0, 0, 0, 0, 0x27, 0x36, 0, 0, 0x07, 0x07, 0x0A, 0x00,
                       0x04, 0x04, 0x04, 0x00, fit.game_code, 0x02, 0x00, 0x05, 0x00, 0x01, fit.count, 0x00, fit.low,
                       fit.high, 'P', 'R', 'I', '1', '1'};
        table.resize(0x70, 0x00);   // query offsets 0x10-0x7F
        Bytes expected;
        for (uint8_t byte : table) expected.insert(expected.end(), 2, byte);
        send(game, 0, {0x98});
        EXPECT_EQ(copy(0x20, 0xE0), expected) << name;
    }
    fresh(Fit{});
    ASSERT_EQ(operate(game, 0x10, {0x40, 0x5A}), 0x80);
    const struct { uint8_t command; const char *state; uint32_t at; uint8_t value; } steps[] = {
        {0xFF, "read array 0x80", 0x10, 0x5A}, {0x70, "read status 0x80", 0x3FFF, 0x80},
        {0x90, "read identifier 0x80", 0x0, 0x89}, {0x98, "read query 0x80", 0x20, 'Q'},
        {0xFF, "read array 0x80", 0x10, 0x5A}, {0x50, "read array 0x80", 0x10, 0x5A},   // clear status keeps the mode
    };
    for (const auto &step : steps) {
        send(game, 0, {step.command});
        EXPECT_EQ(read_at(game, step.at), step.value) << "command " << int(step.command);
        EXPECT_EQ(state(game), step.state) << "command " << int(step.command);
    }
    // Byte 4 of a block in identifier mode: its lock configuration.
    add({.kind = locked, .block = 1});
    send(game, 0, {0x90});
    EXPECT_EQ((Bytes{read_at(game, 0x4), read_at(game, 0x20005), read_at(game, 0x40004)}), (Bytes{0, 1, 0}));
}

// Status 0xB0 until clear status, nothing erased or programmed; a later good program is carried out but still
// reports 0xB0.
TEST_F(BoardTest, SequenceErrorsStickUntilClearStatus) {
    const struct { const char *name; Device device; std::vector<Cycle> cycles; } rows[] = {
        {"erase set-up then read array", game, {{0, 0x20}, {0, 0xFF}}},
        {"erase set-up then read status", sound, {{0, 0x20}, {0, 0x70}}},
        {"a confirm alone", game, {{0, 0xD0}}}, {"an unknown command", game, {{0, 0x33}}},
        {"erase suspend", game, {{0, 0xB0}}}, {"lock-bit set-up", sound, {{0, 0x60}}},
        {"configuration", game, {{0, 0xB8}}}, {"query on the boot-block part", sound, {{0, 0x98}}},
        {"buffer on the boot-block part", sound, {{0, 0xE8}}}, {"a count above 31", game, {{0, 0xE8}, {0, 32}}},
        {"a count in another block", game, {{0, 0xE8}, {0x20000, 0}}},
        {"data before the first", game, {{0x10, 0xE8}, {0x10, 2}, {0x12, 1}, {0x10, 2}, {0x11, 3}, {0x10, 0xD0}}},
        {"data past the count", game, {{0x10, 0xE8}, {0x10, 1}, {0x10, 1}, {0x12, 2}, {0x10, 0xD0}}},
        {"data across a block end", game, {{0x1FFFF, 0xE8}, {0x1FFFF, 1}, {0x1FFFF, 1}, {0x20000, 2}, {0x1FFFF, 0xD0}}},
        {"a confirm other than 0xD0", game, {{0x10, 0xE8}, {0x10, 0}, {0x10, 1}, {0x10, 0xFF}}},
        {"a confirm in another block", game, {{0x10, 0xE8}, {0x10, 0}, {0x10, 1}, {0x20000, 0xD0}}},
    };
    for (const auto &row : rows) {
        fresh(Fit{});
        for (const Cycle &cycle : row.cycles) send(row.device, cycle.offset, {cycle.value});
        EXPECT_EQ(state(row.device), "read status 0xB0") << row.name;
        EXPECT_EQ(operate(row.device, 0x3F00, {0x40, 0x12}), 0xB0) << row.name;
        EXPECT_EQ(board->data(row.device)[0x3F00], 0x12) << row.name;
        EXPECT_EQ(board->counters().erases + board->counters().programmed_bytes, 1u) << row.name;
        send(row.device, 0, {0x50, 0x70});
        EXPECT_EQ(read_at(row.device, 0), 0x80) << row.name;
    }
}

// A program stores old AND new and reports success, counting each 1 asked for over a 0; 0x40 and 0x10 both start
// one. A write buffer (0xE8 answered 0x80, N - 1, N bytes from the first in any order, 0xD0 anywhere in the block)
// programs exactly its bytes; a start off a 32-byte boundary is counted.
TEST_F(BoardTest, ProgrammingStoresOldAndNew) {
    // bits: the 1s asked for over a 0.
    const struct { const char *name; uint8_t old; uint8_t command; uint8_t value; uint8_t stored; uint64_t bits; }
        rows[] = {
        {"over erased", 0xFF, 0x40, 0x5A, 0x5A, 0}, {"the same again", 0x5A, 0x10, 0x5A, 0x5A, 0},
        {"0xFF changes nothing", 0x5A, 0x40, 0xFF, 0x5A, 4}, {"other bits", 0xF0, 0x10, 0x0F, 0x00, 4},
        {"all ones over zero", 0x00, 0x40, 0xFF, 0x00, 8}, {"one bit over another", 0xFE, 0x40, 0x01, 0x00, 1},
        };
    for (const auto &row : rows) {
        for (Device device : {game, sound}) {
            fresh(Fit{});
            ASSERT_EQ(operate(device, 0x4321, {0x40, row.old}), 0x80) << row.name;
            EXPECT_EQ(operate(device, 0x4321, {row.command, row.value}), 0x80) << row.name;
            EXPECT_EQ(read_at(device, 0x4321), row.stored) << row.name;
            EXPECT_EQ(board->counters().not_erased_bits, row.bits) << row.name;
            EXPECT_EQ(board->counters().programmed_bytes, 2u) << row.name;
        }
    }
    const struct { const char *name; uint32_t start; uint32_t count; bool backwards; uint32_t confirm_at; }
        buffers[] = {
            {"one byte", 0x1000, 1, false, 0x1000}, {"four bytes from an odd start", 0x1011, 4, false, 0x1011},
            {"a full buffer", 0x1000, 32, false, 0x1000}, {"backwards after the first", 0x1000, 3, true, 0x1FFFF},
        };
    for (const auto &row : buffers) {
        fresh(Fit{});
        EXPECT_EQ(copy(send(game, row.start, {0xE8}), 1)[0], 0x80) << row.name;
        send(game, row.start, {uint8_t(row.count - 1)});
        Bytes expected(0x100, 0xFF);
        for (uint32_t i = 0; i < row.count; i++) {
            const uint32_t n = row.backwards && i > 0 ? row.count - i : i;
            send(game, row.start + n, {uint8_t(0xA0 + n)});
            expected[row.start + n - 0xF80] = uint8_t(0xA0 + n);
        }
        EXPECT_EQ(operate(game, row.confirm_at, {0xD0}), 0x80) << row.name;
        EXPECT_EQ(stored(game, 0xF80, 0x100), expected) << row.name;
        EXPECT_EQ(board->counters().programmed_bytes, row.count) << row.name;
        EXPECT_EQ(board->counters().unaligned_buffers, row.start % 32 == 0 ? 0u : 1u) << row.name;
    }
}

// Status bit 7 stays clear for the set number of status reads, every read giving the status and writes ignored.
TEST_F(BoardTest, BusyForTheSetNumberOfStatusReads) {
    for (uint32_t busy_reads : {0u, 1u, 5u}) {
        fresh(Fit{});
        board->set_timing(Timing::instant, busy_reads);
        send(game, 0x20000, {0x20, 0xD0});
        for (uint32_t i = 0; i < busy_reads; i++) {
            send(game, 0x10, {0xFF, 0x40, 0x00});
            EXPECT_EQ(board->read(0x10 + i), 0x00) << busy_reads << " busy reads, read " << i;
        }
        EXPECT_EQ(board->read(0x10), 0x80) << busy_reads;
        EXPECT_EQ(board->counters().programmed_bytes, 0u) << busy_reads;
    }
}

// An erase given either end of a block sets exactly it to 0xFF and is counted for it: uniform blocks, and the
// boot-block part's 16 KB, 8 KB, 8 KB, 96 KB, then 128 KB ones. Rows: the blocks' starts, then the last one's end.
TEST_F(BoardTest, EraseClearsExactlyItsBlock) {
    const struct { const char *name; Fit fit; Device device; std::vector<uint32_t> bounds; } rows[] = {
        {"1 MB boot-block part", Fit{}, sound,
         {0, 0x4000, 0x6000, 0x8000, 0x20000, 0x40000, 0x60000, 0x80000, 0xA0000, 0xC0000, 0xE0000, 0x100000}},
        {"256 KB boot-block part", {.sound_size = 256 * KB}, sound, {0, 0x4000, 0x6000, 0x8000, 0x20000, 0x40000}},
        {"32 KB blocks", {.game_block = 32 * KB}, game, {0, 0x8000, 0x10000, 0x18000}},
        {"128 KB blocks", Fit{}, game, {0, 0x20000, 0x40000, 0x60000}},
    };
    for (const auto &row : rows) {
        fresh(row.fit);
        const uint32_t blocks = uint32_t(row.bounds.size() - 1);
        for (uint32_t i = 0; i < blocks; i++) {
            operate(row.device, row.bounds[i], {0x40, 0x00});
            operate(row.device, row.bounds[i + 1] - 1, {0x40, 0x00});
        }
        for (uint32_t i = 0; i < blocks; i++) {
            const uint32_t at = i % 2 == 0 ? row.bounds[i] : row.bounds[i + 1] - 1;
            ASSERT_EQ(run(Op::erase, row.device, at), 0x80) << row.name;
            for (uint32_t j = 0; j < blocks; j++) {
                const uint8_t erased = j <= i ? 0xFF : 0x00;
                const uint8_t *data = board->data(row.device);
                EXPECT_EQ((Bytes{data[row.bounds[j]], data[row.bounds[j + 1] - 1]}), (Bytes{erased, erased}))
                    << row.name << ", block " << j;
                EXPECT_EQ(board->erase_count(row.device, j), j <= i ? 1u : 0u) << row.name << ", block " << j;
            }
        }
        EXPECT_EQ(board->erase_count(row.device == game ? sound : game, 0), 0u) << row.name;
        EXPECT_EQ(board->counters().erases, blocks) << row.name;
        EXPECT_EQ(board->command_count(0x20) + board->command_count(0xD0), 2 * blocks) << row.name;
    }
}

// Space 0 shows the game flash's pages 0-255, space 1 its pages from 256 (an 8 MB part's upper half), space 8 the
// sound flash (a smaller part repeats); each register keeps four bits. Elsewhere is open bus: reads give 0xFF, a
// program reaches nothing. Each row programs window byte 0x123.
TEST_F(BoardTest, PageRegistersSelectADevicePageOrOpenBus) {
    const Fit eight_mb = {.game_size = 8 * MB};
    const struct { const char *name; Fit fit; uint32_t space; uint32_t page; Device device; int page_of_device;
                   uint8_t high = 0; } rows[] = {
        {"space 0, first page", Fit{}, 0, 0, game, 0}, {"space 0, last page", Fit{}, 0, 255, game, 255},
        {"space 0 past a 4 MB part", Fit{}, 0, 256, game, -1}, {"space 1, first page", eight_mb, 1, 256, game, 256},
        {"space 1, last page", eight_mb, 1, 319, game, 319}, {"space 1 on a 4 MB part", Fit{}, 1, 256, game, -1},
        {"space 8, last page", Fit{}, 8, 63, sound, 63},
        {"space 8 repeating a 512 KB part", {.sound_size = 512 * KB}, 8, 40, sound, 8},
        {"space 8 repeating a 256 KB part", {.sound_size = 256 * KB}, 8, 21, sound, 5},
        {"space 8 with no sound flash", {.sound_size = 0}, 8, 0, sound, -1}, {"space 2", Fit{}, 2, 0, game, -1},
        {"space 9", Fit{}, 9, 0, sound, -1}, {"an absent board", {.board_absent = true}, 0, 0, game, -1},
        {"registers keep four bits", Fit{}, 8, 5, sound, 5, 0xF0},
    };
    for (const auto &row : rows) {
        fresh(row.fit);
        select(row.space, row.page, row.high);
        board->write(0x123, 0x40);
        board->write(0x123, 0x5A);
        wait(0x123);
        board->write(0x123, 0xFF);
        const bool reached = row.page_of_device >= 0;
        EXPECT_EQ(copy(0x123, 2), (Bytes{uint8_t(reached ? 0x5A : 0xFF), 0xFF})) << row.name;
        EXPECT_EQ(board->counters().programmed_bytes, reached ? 1u : 0u) << row.name;
        if (reached) {
            EXPECT_EQ(board->data(row.device)[row.page_of_device * 0x4000 + 0x123], 0x5A) << row.name;
        }
    }
    // The write-only registers and the range past them are open bus too.
    ASSERT_EQ(operate(game, 0x3FFF, {0x40, 0x00}), 0x80);
    board->write(0x4004, 0x90);
    board->write(0x7FFF, 0x90);
    EXPECT_EQ(copy(0x3FFF, 6), (Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(board->read(0x7FFF), 0xFF);
    EXPECT_EQ(board->command_count(0x90), 0u);
}

// Each fault's status on the operation it concerns, whether the operation took effect (erase rows programmed their
// byte to 0x00 first), and the status kept until clear status.
TEST_F(BoardTest, FaultsGiveTheirStatusWhereTheyApply) {
    const struct { const char *name; Fault fault; Op op; uint32_t offset; uint8_t status; bool effect; } rows[] = {
        {"erase failure", {.kind = erase_fail}, Op::erase, 0x20010, 0xA0, false},
        {"erase failure in another block", {.kind = erase_fail, .block = 2}, Op::erase, 0x20010, 0x80, true},
        {"erase failure at a byte of its block", {.kind = erase_fail, .offset = 0x20777}, Op::erase, 0x20010, 0xA0,
         false},
        {"erase failure on a program", {.kind = erase_fail}, Op::program, 0x20010, 0x80, true},
        {"program failure", {.kind = program_fail}, Op::program, 0x20010, 0x90, false},
        {"program failure on an erase", {.kind = program_fail}, Op::erase, 0x20010, 0x80, true},
        {"program failure in a buffer", {.kind = program_fail, .offset = 0x20003}, Op::buffer, 0x20000, 0x90, false},
        {"program failure past a buffer", {.kind = program_fail, .offset = 0x20004}, Op::buffer, 0x20000, 0x80, true},
        {"low voltage on an erase", {.kind = vpp_low}, Op::erase, 0x20010, 0xA8, false},
        {"low voltage on a program", {.kind = vpp_low, .device = sound}, Op::program, 0x8000, 0x98, false},
        {"locked block on an erase", {.kind = locked, .device = sound, .block = 0}, Op::erase, 0x10, 0xA2, false},
        {"locked block on a buffer", {.kind = locked, .block = 1}, Op::buffer, 0x20000, 0x92, false},
        {"locked block elsewhere", {.kind = locked, .block = 0}, Op::program, 0x20010, 0x80, true},
        {"parameter block erase failure", {.kind = erase_fail, .device = sound, .block = 1}, Op::erase, 0x4010, 0xA0,
         false},
        {"next block's erase", {.kind = erase_fail, .device = sound, .block = 1}, Op::erase, 0x6010, 0x80, true},
        {"write buffer busy", {.kind = buffer_busy, .block = 1}, Op::buffer, 0x20000, 0x00, false},
        {"write buffer busy elsewhere", {.kind = buffer_busy, .block = 1}, Op::buffer, 0x100, 0x80, true},
        {"never ready elsewhere", {.kind = never_ready, .block = 3}, Op::erase, 0x20010, 0x80, true},
    };
    for (const auto &row : rows) {
        fresh(Fit{});
        const Device device = row.fault.device;
        if (row.op == Op::erase) {
            ASSERT_EQ(run(Op::program, device, row.offset), 0x80) << row.name;
        }
        add(row.fault);
        EXPECT_EQ(run(row.op, device, row.offset), row.status) << row.name;
        const uint8_t done = row.op == Op::erase ? 0xFF : 0x00;
        for (uint32_t i = 0; i < (row.op == Op::buffer ? 4u : 1u); i++) {
            EXPECT_EQ(board->data(device)[row.offset + i] == done, row.effect) << row.name << ", byte " << i;
        }
        send(device, row.offset, {0x70});
        EXPECT_EQ(read_at(device, row.offset), row.status | 0x80) << row.name;
        send(device, row.offset, {0x50});
        EXPECT_EQ(read_at(device, row.offset), 0x80) << row.name;
    }
}

// Never ready: status bit 7 stays clear after an operation in the fault's block and the device ignores writes, also
// for the next process, until the fault is cleared. Absent: open bus. Stuck bits read 0 whatever is programmed or
// erased, and the program reports success.
TEST_F(BoardTest, NeverReadyAbsentAndStuckBits) {
    add({.kind = never_ready, .block = 3});
    add({.kind = absent, .device = sound});
    send(game, 0x60000, {0x20, 0xD0});
    send(game, 0x30, {0xFF});
    EXPECT_EQ(copy(0x30, 5), Bytes(5, 0x00));
    send(sound, 0, {0x90});
    EXPECT_EQ(copy(0, 3), Bytes(3, 0xFF));
    reopen();
    EXPECT_EQ(read_at(game, 0x30), 0x00);
    board->clear_faults();
    EXPECT_EQ(wait(0x30), 0x80);
    add({.kind = stuck, .offset = 0x30, .mask = 0x81});
    EXPECT_EQ(operate(game, 0x30, {0x40, 0xA5}), 0x80);
    EXPECT_EQ(read_at(game, 0x30), 0x24);
    EXPECT_EQ(run(Op::erase, game, 0x31), 0x80);
    EXPECT_EQ(copy(0x30, 2), (Bytes{0x7E, 0xFF}));
}

TEST_F(BoardTest, FaultsThatCannotBeAreRefused) {
    const std::string cut = "a power cut or kill needs the number of the bus access it happens at (1 or more)";
    const std::string stuck_bits = "stuck bits need an offset and a non-zero mask";
    const struct { const char *name; Fit fit; Fault fault; std::string message; } rows[] = {
        {"a game flash block too far", Fit{}, {.kind = erase_fail, .block = 32},
         "block 32 is beyond the device (32 blocks)"},
        {"a sound flash block too far", Fit{}, {.kind = locked, .device = sound, .block = 11},
         "block 11 is beyond the device (11 blocks)"},
        {"a byte too far", Fit{}, {.kind = program_fail, .offset = 4 * MB}, "offset is beyond the device"},
        {"stuck bits at no byte", Fit{}, {.kind = stuck, .mask = 0x01}, stuck_bits},
        {"stuck bits with no mask", Fit{}, {.kind = stuck, .offset = 0x30}, stuck_bits},
        {"a power cut at no access", Fit{}, {.kind = power_cut}, cut},
        {"a kill at no access", Fit{}, {.kind = kill}, cut},
        {"a sound flash not fitted", {.sound_size = 0}, {.kind = vpp_low, .device = sound}, "no sound flash is fitted"},
    };
    for (const auto &row : rows) {
        fresh(row.fit);
        EXPECT_FALSE(board->add_fault(row.fault, &error)) << row.name;
        EXPECT_EQ(error, row.message) << row.name;
        EXPECT_TRUE(board->faults().empty()) << row.name;
    }
    for (int32_t block = 0; block < 32; block++) add({.kind = erase_fail, .block = block});
    EXPECT_FALSE(board->add_fault({.kind = erase_fail}, &error));
    EXPECT_EQ(error, "too many faults (at most 32)");
    EXPECT_EQ(board->faults().size(), 32u);
}

// A power cut or kill at a process's n-th bus access ends it (137) before that access and is taken off the board,
// other faults staying. After a power cut the operation under way leaves its bytes old, new or neither and the
// devices are in read array; after a kill they stay exactly where they were. Nothing else changes. Accesses: four
// page registers, the command (5), its data or confirm (6), status reads from 7 (two busy); a buffer: 0xE8 (5),
// its status (6), count (7), data (8-11), confirm (12), status reads from 13.
TEST_F(BoardTest, PowerCutsAndKills) {
    enum Left { old_bytes, new_bytes, neither };
    const char *array = "read array 0x80";
    const struct { const char *name; FaultKind kind; Device device; Op op; uint32_t offset; uint64_t after; Left left;
                   const char *state; } rows[] = {
        {"cut before an erase's confirm", power_cut, game, Op::erase, 0x20000, 6, old_bytes, array},
        {"cut in an erase", power_cut, game, Op::erase, 0x20000, 7, neither, array},
        {"cut after an erase", power_cut, game, Op::erase, 0x20000, 9, new_bytes, array},
        {"cut in a parameter block's erase", power_cut, sound, Op::erase, 0x4000, 8, neither, array},
        {"cut in a byte's program", power_cut, sound, Op::program, 0x4010, 7, neither, array},
        {"cut before a program's data", power_cut, game, Op::program, 0x10, 6, old_bytes, array},
        {"cut before a buffer's confirm", power_cut, game, Op::buffer, 0x40, 12, old_bytes, array},
        {"cut in a buffer's program", power_cut, game, Op::buffer, 0x40, 13, neither, array},
        {"cut after a buffer's program", power_cut, game, Op::buffer, 0x40, 15, new_bytes, array},
        {"kill before an erase", kill, game, Op::erase, 0x20000, 5, old_bytes, array},
        {"kill after an erase set-up", kill, game, Op::erase, 0x20000, 6, old_bytes, "erase set-up 0x80"},
        {"kill in an erase", kill, game, Op::erase, 0x20000, 7, new_bytes, "read status 0x00"},
        {"kill before a buffer's confirm", kill, game, Op::buffer, 0x40, 12, old_bytes, "buffer confirm 0x80"},
    };
    for (const auto &row : rows) {
        fresh(Fit{});
        uint32_t length = row.op == Op::buffer ? 4 : 1;
        if (row.op == Op::erase) length = 0x2000;
        for (uint32_t i = 0; row.op == Op::erase && i < length; i++) operate(row.device, row.offset + i, {0x40, 0x5A});
        Bytes expected = stored(row.device, 0, board->device_size(row.device));
        const Bytes old_part = stored(row.device, row.offset, length);
        const Bytes new_part(length, row.op == Op::erase ? 0xFF : 0x00);
        add({.kind = erase_fail, .block = 30, .after = row.after});   // at the same access, yet not the one that fires
        add({.kind = row.kind, .after = row.after});
        board.reset();
        const int code = in_child([&] {
            board = Board::open(dir.board(), &error);
            run(row.op, row.device, row.offset);
            return 0;
        });
        EXPECT_EQ(code, 137) << row.name;
        reopen();
        ASSERT_EQ(board->faults().size(), 1u) << row.name;
        EXPECT_EQ(board->faults()[0].block, 30) << row.name;
        EXPECT_EQ(state(row.device), row.state) << row.name;
        const Bytes now_part = stored(row.device, row.offset, length);
        EXPECT_EQ(now_part == old_part, row.left == old_bytes) << row.name;
        EXPECT_EQ(now_part == new_part, row.left == new_bytes) << row.name;
        std::copy(now_part.begin(), now_part.end(), expected.begin() + row.offset);
        EXPECT_TRUE(stored(row.device, 0, board->device_size(row.device)) == expected) << row.name << ": more changed";
    }
}

// Contents, faults, timing, counters and each device's command state outlive a process that ended without closing
// the board; a power cycle puts the devices in read array. One holder at a time; an existing file is replaced only
// when forced; fits no board has are refused.
TEST_F(BoardTest, BoardFileOutlivesItsProcessAndIsHeldByOne) {
    board.reset();
    const int code = in_child([&] {
        board = Board::open(dir.board(), &error);
        if (board == nullptr || operate(game, 0x10, {0x40, 0x3C}) != 0x80 || !board->add_fault({.block = 7}, &error))
            return 3;
        board->set_timing(Timing::instant, 5);
        send(game, 0, {0x98});
        _exit(0);
    });
    ASSERT_EQ(code, 0);
    reopen();
    ASSERT_EQ(board->faults().size(), 1u);
    EXPECT_EQ(board->faults()[0].block, 7);
    EXPECT_EQ(board->busy_reads(), 5u);
    EXPECT_EQ(board->counters().programmed_bytes, 1u);
    EXPECT_EQ(board->command_count(0x98), 1u);
    EXPECT_EQ(board->erase_count(sound, kMaxSoundBlocks), 0u);   // past the table, with the game flash in query mode
    EXPECT_EQ(read_at(game, 0x20), 'Q');
    board->power_cycle();
    EXPECT_EQ((Bytes{read_at(game, 0x20), read_at(game, 0x10)}), (Bytes{0xFF, 0x3C}));
    EXPECT_EQ(Board::open(dir.board(), &error), nullptr);
    EXPECT_EQ(Board::create(dir.board(), Fit{}, true, &error), nullptr);
    board.reset();
    EXPECT_EQ(Board::create(dir.board(), Fit{}, false, &error), nullptr);
    reopen();
    EXPECT_EQ(board->data(game)[0x10], 0x3C);
    for (const Fit &fit : {Fit{.game_size = 2 * MB}, Fit{.game_block = 16 * KB}, Fit{.sound_size = 2 * MB}})
        EXPECT_EQ(Board::create(dir.file("other.img"), fit, true, &error), nullptr) << error;
    fresh(Fit{});
    EXPECT_EQ(board->data(game)[0x10], 0xFF);
}

BoardHeader *header_of(std::string &bytes) { return reinterpret_cast<BoardHeader *>(bytes.data()); }

// A damaged or foreign file is refused naming the file, never made afresh, left as it was. Resealed rows carry a
// valid configuration checksum over the damage.
TEST_F(BoardTest, DamagedFilesAreRefusedAndLeftAlone) {
    const struct { const char *name; std::function<void(std::string &)> damage; bool reseal; const char *message; }
        rows[] = {
        {"a byte short", [](std::string &bytes) { bytes.pop_back(); }, false, "is truncated"},
        {"a byte long", [](std::string &bytes) { bytes.push_back('\xFF'); }, false, "(longer than its fit)"},
        {"not a board", [](std::string &bytes) { bytes = std::string(20000, 'x'); }, false, "is not a TAV board file"},
        {"a later format", [](std::string &bytes) { header_of(bytes)->version = 7; }, false, "has format version 7"},
        {"a fit changed", [](std::string &bytes) { header_of(bytes)->game_size = 8 * MB; }, false, "checksum mismatch"},
        {"a fit no board has", [](std::string &bytes) { header_of(bytes)->game_block = 12345; }, true, "erase blocks"},
        {"too many faults", [](std::string &bytes) { header_of(bytes)->fault_count = 33; }, true, "bad configuration"},
        {"an unknown timing", [](std::string &bytes) { header_of(bytes)->timing = 3; }, true, "(bad configuration)"},
    };
    board.reset();
    const std::string made = tavtest::read_file(dir.board());
    for (const auto &row : rows) {
        std::string bytes = made;
        row.damage(bytes);
        if (row.reseal) header_of(bytes)->config_check = board_config_check(*header_of(bytes));
        tavtest::write_file(dir.board(), bytes);
        EXPECT_EQ(Board::open(dir.board(), &error), nullptr) << row.name;
        EXPECT_NE(error.find(row.message), std::string::npos) << row.name << ": " << error;
        EXPECT_NE(error.find(dir.board()), std::string::npos) << row.name << ": " << error;
        EXPECT_EQ(Board::open_or_create(dir.board(), &error), nullptr) << row.name;
        EXPECT_TRUE(tavtest::read_file(dir.board()) == bytes) << row.name;
    }
}

// Attached, the flash driver's accesses at the board's window address reach the model (a word is two byte cycles,
// low byte first); the address is given back with the board.
TEST_F(BoardTest, AttachedWindowReachesTheModel) {
    board->set_timing(Timing::instant, 0);
    attach(*board);
    uint8_t *window = board->window_address();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(board->window_address(), window);
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(window, reg, reg == 0 ? 1 : 0);
    board_write16(window, 0x10, 0x5A40);
    EXPECT_EQ(board_read8(window, 0x11), 0x80);
    board_write8(window, 0x11, 0xFF);
    Bytes seen(3);
    board_copy_out(window, 0x10, seen.data(), 3);
    EXPECT_EQ(seen, (Bytes{0xFF, 0x5A, 0xFF}));
    EXPECT_EQ(board->data(game)[0x4011], 0x5A);
    board.reset();
    unsigned char pages[8];
    EXPECT_EQ(mincore(window, 0x8000, pages), -1);
}

// The physical mapping over an ordinary file laid out like the PC's memory: the window's accesses land in the
// board's range; a second mapping is refused while one is held; a device that cannot be mapped is named. A range
// no board can have is refused, naming it and the rule, before the device is opened (the refused rows name a
// missing device) or a lock file made.
TEST_F(BoardTest, PhysicalMapReachesAFileLikeMemoryAndGuardsIt) {
    const std::string memory = dir.file("mem");
    std::string bytes(kIsaAreaEnd, '\0');
    bytes[kBoardPhysicalBase + 0x1000] = 0x11;
    ASSERT_TRUE(tavtest::write_file(memory, bytes));
    PhysicalMapping held;
    PhysicalMapping other;
    PhysicalRefusal why = PhysicalRefusal::none;
    ASSERT_EQ(physical_map(memory, dir.path(), kBoardPhysicalBase, kBoardRangeLength, &held, &why, &error), 1) << error;
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(held.address, reg, uint8_t(0xF - reg));
    board_write8(held.address, 0x3FFF, 0xE8);
    board_write16(held.address, 0x2000, 0x1234);
    Bytes seen(2);
    board_copy_out(held.address, 0x0FFF, seen.data(), 2);
    EXPECT_EQ((Bytes{seen[0], seen[1], board_read8(held.address, 0x2001)}), (Bytes{0x00, 0x11, 0x12}));
    EXPECT_EQ(physical_map(memory, dir.path(), kBoardPhysicalBase, kBoardRangeLength, &other, &why, &error), -1);
    EXPECT_EQ(physical_unmap(&held), 1);
    EXPECT_EQ(physical_unmap(&held), -1);
    const std::string range = tavtest::read_file(memory).substr(kBoardPhysicalBase, 0x4005);
    EXPECT_EQ(range.substr(0x3FFF), std::string("\xE8\x0F\x0E\x0D\x0C\x00", 6));
    EXPECT_EQ(range.substr(0x2000, 2), "\x34\x12");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(physical_map(fifo, dir.path(), kBoardPhysicalBase, kBoardRangeLength, &other, &why, &error), -1);
    EXPECT_EQ(error.find("cannot map " + fifo + " at 0xd0000 (0x8000 bytes): "), 0u) << error;
    const std::string rule = ": a board's range must lie inside the ISA adapter memory area 0xA0000-0xFFFFF, be page "
                             "aligned (4096 bytes) and be at most 0x8000 bytes long";
    const struct { uint32_t base; uint32_t length; const char *refused; } rows[] = {
        {0xA0000, 0x8000, nullptr}, {0xF8000, 0x8000, nullptr}, {0xFF000, 0x1000, nullptr},
        {0x100000, 0x8000, "0x8000 bytes at 0x100000"}, {0x0, 0x8000, "0x8000 bytes at 0x0"},
        {0x9F000, 0x2000, "0x2000 bytes at 0x9F000"}, {0xFC000, 0x8000, "0x8000 bytes at 0xFC000"},
        {0xD0800, 0x4004, "0x4004 bytes at 0xD0800"}, {0xD0000, 0x8001, "0x8001 bytes at 0xD0000"},
        {0xD0000, 0x0, "0x0 bytes at 0xD0000"}, {0xFFFFF000, 0x2000, "0x2000 bytes at 0xFFFFF000"},
    };
    const std::string locks = dir.file("locks");
    ASSERT_TRUE(std::filesystem::create_directory(locks));
    for (const auto &row : rows) {
        if (row.refused == nullptr) {
            EXPECT_EQ(physical_map(memory, dir.path(), row.base, row.length, &held, &why, &error), 1) << error;
            EXPECT_EQ(physical_unmap(&held), 1) << row.base;
            continue;
        }
        EXPECT_EQ(physical_map(dir.file("none"), locks, row.base, row.length, &held, &why, &error), -1) << row.refused;
        EXPECT_EQ(why, PhysicalRefusal::range) << row.refused;
        EXPECT_EQ(error, row.refused + rule);
    }
    EXPECT_TRUE(std::filesystem::is_empty(locks));
}

// A device over plain memory with its state set directly, for states no bus sequence leaves.
struct LooseDevice {
    LooseDevice(uint32_t size, uint32_t block, bool boot, const DeviceState &initial) : data(size, 0), state(initial) {
        device.init(game, data.data(), size, block, boot, &state, &env);
    }
    Bytes data;
    DeviceState state;
    DeviceEnv env;
    FlashDevice device;
};

// A stored state (a damaged file) whose field is at its last valid value is kept, one past it starts from power-up.
// The base state is an idle program in query mode with busy reads left over: not busy.
TEST(FlashDevice, StoredStateOutOfRangeStartsFromPowerUp) {
    constexpr uint32_t size = 4 * MB;
    const struct { const char *name; std::function<void(DeviceState &, uint32_t)> set; uint32_t last_valid; } rows[] = {
        {"mode", [](DeviceState &s, uint32_t v) { s.mode = DeviceMode(v); }, kDeviceModeCount - 1},
        {"operation", [](DeviceState &s, uint32_t v) { s.op = uint8_t(v); }, 2},
        {"buffer count", [](DeviceState &s, uint32_t v) { s.buf_count = v; }, 32},
        {"bytes received", [](DeviceState &s, uint32_t v) { s.buf_received = v; }, 0},
        {"buffer start", [](DeviceState &s, uint32_t v) { s.buf_start = v; }, size - 1},
        {"operation start", [](DeviceState &s, uint32_t v) { s.op_start = v; }, size - 1},
        {"program length", [](DeviceState &s, uint32_t v) { s.op_length = v; }, 32},
    };
    for (const auto &row : rows) {
        for (uint32_t value : {row.last_valid, row.last_valid + 1}) {
            DeviceState stored{};
            stored.mode = DeviceMode::read_query;
            stored.op = 2;
            stored.busy_reads_left = 3;
            row.set(stored, value);
            LooseDevice loose(size, 128 * KB, false, stored);
            DeviceState expected{};
            if (value == row.last_valid) expected = stored;
            EXPECT_EQ(std::memcmp(&loose.state, &expected, sizeof expected), 0) << row.name << " " << value;
            EXPECT_FALSE(loose.device.in_progress()) << row.name << " " << value;
        }
    }
}

// A power cut in a two-byte program whose bytes each change one bit leaves them neither old nor new, whichever side
// the cut leaves each bit on.
TEST(FlashDevice, PowerCutInATwoByteProgramLeavesNeitherOldNorNew) {
    DeviceState busy{};
    busy.busy = 1;
    busy.op = 2;
    busy.op_start = 0x10;
    busy.op_length = 2;
    busy.busy_reads_left = 5;
    busy.op_old_small[0] = 1;
    busy.op_old_small[1] = 1;
    LooseDevice loose(256 * KB, 0, true, busy);
    for (uint64_t seed = 0; seed < 16; seed++) {
        loose.data[0x10] = 0;
        loose.data[0x11] = 0;
        loose.device.lose_power(seed);
        const Bytes left(loose.data.begin() + 0x10, loose.data.begin() + 0x12);
        EXPECT_TRUE(left != Bytes(2, 0) && left != Bytes(2, 1)) << seed;
    }
}

}  // namespace
