// The board model driven through its bus (data window 0x0000-0x3FFF, page registers 0x4000-0x4003), where the flash
// driver's and the loader's runs on it do not look; its bus timing.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
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

struct Cycle {
    uint32_t offset;
    uint8_t value;
};

class BoardTest : public testing::Test {
  protected:
    void SetUp() override { fresh(Fit{}); }
    // A fresh, erased board: an erase or program stays busy for two status reads.
    void fresh(const Fit &fit) {
        board.reset();
        board = Board::create(dir.board(), fit, true, &error);
        ASSERT_NE(board, nullptr) << error;
    }
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
    // Writes the bytes one after another at device byte `offset` (space 1 from 4 MB on); the byte's window offset.
    uint32_t send(Device device, uint32_t offset, const Bytes &bytes = {}) {
        select(device == sound ? 8 : offset / (4 * MB), offset / 0x4000);
        for (uint8_t value : bytes) board->write(offset % 0x4000, value);
        return offset % 0x4000;
    }
    uint8_t read_at(Device device, uint32_t offset) { return board->read(send(device, offset)); }
    Bytes copy(uint32_t window_offset, uint32_t count) {
        Bytes seen(count);
        board->copy_out(window_offset, seen.data(), count);
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
    // Status reads at window offset `at` until the device is ready; the reads that found it busy.
    uint64_t busy_polls(uint32_t at) {
        uint64_t polls = 0;
        while ((board->read(at) & 0x80) == 0 && polls < 100000000) polls++;
        return polls;
    }
    // The bytes written at device byte `offset`, the status polled there, then read array; the status.
    uint8_t operate(Device device, uint32_t offset, const Bytes &bytes) {
        const uint32_t at = send(device, offset, bytes);
        const uint8_t status = wait(at);
        board->write(at, 0xFF);
        return status;
    }
    // The operation's status.
    uint8_t run(Op op, Device device, uint32_t offset) {
        if (op == Op::erase) return operate(device, offset, {0x20, 0xD0});
        if (op == Op::program) return operate(device, offset, {0x40, 0x00});
        const uint32_t at = send(device, offset, {0xE8});
        board->read(at);   // the extended status: a buffer is free on a fresh board
        board->write(at, 3);
        for (uint32_t i = 0; i < 4; i++) board->write(at + i, 0x00);
        board->write(at, 0xD0);
        return wait(at);
    }
    std::string state(Device device) {
        std::string mode;
        uint8_t status = 0;
        board->device_state(device, &mode, &status);
        char text[64];
        snprintf(text, sizeof text, "%s 0x%02X", mode.c_str(), status);
        return text;
    }
    void add(const Fault &fault) { EXPECT_TRUE(board->add_fault(fault, &error)) << error; }

    tavtest::TempDir dir;
    std::unique_ptr<Board> board;
    std::string error;
};

// The read mode each command selects; in identifier mode the game part's codes (0x89, then 0x16 for 4 MB, 0x17 for
// 8 MB; each at two bytes, A0 is not decoded in byte mode) and byte 4 of a block: its lock bit. The whole query table
// of a board file made and opened again, offset k at bytes 2k and 2k + 1: one region of 256 x 32 KB blocks, no more.
TEST_F(BoardTest, ReadModesIdentifierCodesAndQueryTable) {
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
    add({.kind = locked, .block = 1});
    send(game, 0, {0x90});
    const Bytes seen = {read_at(game, 0x3), read_at(game, 0x4), read_at(game, 0x20005), read_at(game, 0x40004)};
    EXPECT_EQ(seen, (Bytes{0x16, 0, 1, 0}));
    fresh({.game_size = 8 * MB, .game_block = 32 * KB});
    reopen();
    send(game, 0, {0x90});
    EXPECT_EQ(copy(0, 4), (Bytes{0x89, 0x89, 0x17, 0x17}));
    Bytes table = {'Q', 'R', 'Y', 0x01, 0, 0x31, 0, 0, 0, 0, 0, 0x27, 0x36, 0, 0, 0x07, 0x07, 0x0A, 0, 0x04, 0x04,
                   0x04, 0, 0x17, 0x02, 0, 0x05, 0, 0x01, 0xFF, 0, 0x80, 0, 'P', 'R', 'I', '1', '1'};
    table.resize(0x70, 0x00);   // query offsets 0x10-0x7F
    Bytes expected;
    for (uint8_t byte : table) expected.insert(expected.end(), 2, byte);
    send(game, 0, {0x98});
    EXPECT_EQ(copy(0x20, 0xE0), expected);
}

// Status 0xB0 until clear status, nothing erased or programmed; a later good program is done but reports 0xB0.
TEST_F(BoardTest, SequenceErrorsStickUntilClearStatus) {
    const struct { const char *name; Device device; std::vector<Cycle> cycles; } rows[] = {
        {"erase set-up then read status", sound, {{0, 0x20}, {0, 0x70}}}, {"lock-bit set-up", sound, {{0, 0x60}}},
        {"query on the boot-block part", sound, {{0, 0x98}}}, {"buffer on the boot-block part", sound, {{0, 0xE8}}},
        {"a count above 31", game, {{0, 0xE8}, {0, 32}}}, {"a count in block 1", game, {{0, 0xE8}, {0x20000, 0}}},
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
        EXPECT_EQ(board->counters().erases + board->counters().programmed_bytes, 1u) << row.name;
        EXPECT_EQ(board->read(send(row.device, 0, {0x50, 0x70})), 0x80) << row.name;
    }
}

// A program (0x40 or 0x10) stores old AND new and reports success, counting each 1 asked for over a 0. A write
// buffer (0xE8, N - 1, N bytes from the first in any order, 0xD0 anywhere in the block; here all 32 from an odd start,
// backwards after the first, confirmed at the block's end) programs exactly its bytes; an odd start is counted.
TEST_F(BoardTest, ProgrammingStoresOldAndNew) {
    const struct { const char *name; uint8_t old; uint8_t command; uint8_t value; uint8_t stored; uint64_t bits; }
        rows[] = {
        {"the same again", 0x5A, 0x10, 0x5A, 0x5A, 0}, {"0xFF changes nothing", 0x5A, 0x40, 0xFF, 0x5A, 4},
        {"other bits", 0xF0, 0x10, 0x0F, 0x00, 4}, {"one bit over another", 0xFE, 0x40, 0x01, 0x00, 1},
        };
    for (const auto &row : rows) {
        fresh(Fit{});
        ASSERT_EQ(operate(game, 0x4321, {0x40, row.old}), 0x80) << row.name;
        EXPECT_EQ(operate(game, 0x4321, {row.command, row.value}), 0x80) << row.name;
        EXPECT_EQ(read_at(game, 0x4321), row.stored) << row.name;
        EXPECT_EQ(board->counters().not_erased_bits, row.bits) << row.name;
    }
    fresh(Fit{});
    send(game, 0x1011, {0xE8, 31});
    Bytes expected(0x100, 0xFF);
    for (uint32_t i = 0; i < 32; i++) {
        const uint32_t n = i == 0 ? 0 : 32 - i;
        send(game, 0x1011 + n, {uint8_t(0xA0 + n)});
        expected[0x91 + n] = uint8_t(0xA0 + n);
    }
    EXPECT_EQ(operate(game, 0x1FFFF, {0xD0}), 0x80);
    EXPECT_EQ(stored(game, 0xF80, 0x100), expected);
    EXPECT_EQ(board->counters().programmed_bytes, 32u);
    EXPECT_EQ(board->counters().unaligned_buffers, 1u);
}

// Past the game part (page 256 of a 4 MB part) the window is open bus: reads give 0xFF, a program reaches nothing.
// Each page register keeps its low four bits; they and the range past them are open bus too.
TEST_F(BoardTest, PageRegistersSelectADevicePageOrOpenBus) {
    select(0, 256);
    board->write(0x123, 0x40);
    board->write(0x123, 0x5A);
    EXPECT_EQ(copy(0x123, 2), Bytes(2, 0xFF));
    EXPECT_EQ(board->counters().programmed_bytes, 0u);
    ASSERT_EQ(operate(sound, 5 * 0x4000 + 0x123, {0x40, 0x5A}), 0x80);
    select(8, 5, 0xF0);
    EXPECT_EQ(board->read(0x123), 0x5A);
    ASSERT_EQ(operate(game, 0x3FFF, {0x40, 0x00}), 0x80);
    board->write(0x4004, 0x90);
    board->write(0x7FFF, 0x90);
    EXPECT_EQ(copy(0x3FFF, 6), (Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(board->command_count(0x90), 0u);
}

// A fault acts only on its kind of operation, in its block or its byte's, in a buffer holding its byte; its status
// stays until clear status (erase rows program their byte first; effect: the byte changed). Never ready holds bit 7
// clear, also for the next process, until the fault is cleared. Faults no board can have are refused.
TEST_F(BoardTest, FaultsActOnlyWhereTheyAreAndWhereTheyCanBe) {
    const struct { const char *name; Fault fault; Op op; uint32_t offset; uint8_t status; bool effect; } rows[] = {
        {"erase failure at one of its bytes", {.kind = erase_fail, .offset = 0x20777}, Op::erase, 0x20010, 0xA0, false},
        {"program failure in a buffer", {.kind = program_fail, .offset = 0x20003}, Op::buffer, 0x20000, 0x90, false},
        {"program failure past a buffer", {.kind = program_fail, .offset = 0x20004}, Op::buffer, 0x20000, 0x80, true},
    };
    for (const auto &row : rows) {
        fresh(Fit{});
        const Device device = row.fault.device;
        if (row.op == Op::erase) {
            ASSERT_EQ(run(Op::program, device, row.offset), 0x80) << row.name;
        }
        add(row.fault);
        EXPECT_EQ(run(row.op, device, row.offset), row.status) << row.name;
        EXPECT_EQ(board->data(device)[row.offset] == (row.op == Op::erase ? 0xFF : 0x00), row.effect) << row.name;
        EXPECT_EQ(board->read(send(device, row.offset, {0x70})), row.status | 0x80) << row.name;
    }
    add({.kind = never_ready, .block = 3});
    send(game, 0x60000, {0x20, 0xD0});
    reopen();
    EXPECT_EQ(wait(send(game, 0x30, {0xFF})), 0x00);
    board->clear_faults();
    EXPECT_EQ(wait(0x30), 0x80);
    const std::string cut = "a power cut or kill needs the number of the bus access it happens at (1 or more)";
    const std::string stuck_bits = "stuck bits need an offset and a non-zero mask";
    const struct { const char *name; Fault fault; std::string message; } refused[] = {
        {"a sound flash block too far", {.kind = locked, .device = sound, .block = 11},
         "block 11 is beyond the device (11 blocks)"},
        {"a byte too far", {.kind = program_fail, .offset = 4 * MB}, "offset is beyond the device"},
        {"stuck bits at no byte", {.kind = stuck, .mask = 0x01}, stuck_bits},
        {"stuck bits with no mask", {.kind = stuck, .offset = 0x30}, stuck_bits},
        {"a power cut at no access", {.kind = power_cut}, cut}, {"a kill at no access", {.kind = kill}, cut},
    };
    for (const auto &row : refused) {
        EXPECT_FALSE(board->add_fault(row.fault, &error)) << row.name;
        EXPECT_EQ(error, row.message) << row.name;
    }
    fresh({.sound_size = 0});
    EXPECT_FALSE(board->add_fault({.kind = vpp_low, .device = sound}, &error));
    EXPECT_EQ(error, "no sound flash is fitted");
    for (int32_t block = 0; block < 32; block++) add({.kind = erase_fail, .block = block});
    EXPECT_FALSE(board->add_fault({.kind = erase_fail}, &error));
    EXPECT_EQ(error, "too many faults (at most 32)");
    EXPECT_EQ(board->faults().size(), 32u);
}

// A power cut or kill at a process's n-th bus access ends it (137) before that access and is taken off the board,
// other faults staying; a cut leaves the operation's bytes old, new or neither and the devices in read array, a kill
// all as it was. Accesses: page registers 1-4; an erase's command 5, confirm 6, busy status reads 7-8; a buffer's
// 0xE8 5, its answer 6, count 7, data 8-11, confirm 12, busy status reads 13-14.
TEST_F(BoardTest, PowerCutsAndKills) {
    enum Left { old_bytes, new_bytes, neither };
    const struct { const char *name; FaultKind kind; Device device; Op op; uint32_t offset; uint64_t after; Left left;
                   const char *state; } rows[] = {
        {"cut before an erase's confirm", power_cut, game, Op::erase, 0x20000, 6, old_bytes, "read array 0x80"},
        {"cut in an erase", power_cut, game, Op::erase, 0x20000, 7, neither, "read array 0x80"},
        {"cut in a parameter block's erase", power_cut, sound, Op::erase, 0x4000, 8, neither, "read array 0x80"},
        {"cut in a buffer's program", power_cut, game, Op::buffer, 0x40, 13, neither, "read array 0x80"},
        {"cut after a buffer's program", power_cut, game, Op::buffer, 0x40, 15, new_bytes, "read array 0x80"},
        {"kill after an erase set-up", kill, game, Op::erase, 0x20000, 6, old_bytes, "erase set-up 0x80"},
        {"kill in an erase", kill, game, Op::erase, 0x20000, 7, new_bytes, "read status 0x00"},
        {"kill before a buffer's confirm", kill, game, Op::buffer, 0x40, 12, old_bytes, "buffer confirm 0x80"},
    };
    for (const auto &row : rows) {
        fresh(Fit{});
        const uint32_t length = row.op == Op::erase ? 0x2000 : 4;
        for (uint32_t i = 0; row.op == Op::erase && i < length; i++) operate(row.device, row.offset + i, {0x40, 0x5A});
        Bytes expected = stored(row.device, 0, board->device_size(row.device));
        const Bytes old_part = stored(row.device, row.offset, length);
        const Bytes new_part(length, row.op == Op::erase ? 0xFF : 0x00);
        add({.kind = erase_fail, .block = 30, .after = row.after});   // at the same access, yet not the one that fires
        add({.kind = row.kind, .after = row.after});
        board.reset();
        const auto cut_run = [&] {
            board = Board::open(dir.board(), &error);
            run(row.op, row.device, row.offset);
        };
        EXPECT_EXIT(cut_run(), testing::ExitedWithCode(137), "") << row.name;
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

BoardHeader *header_of(std::string &bytes) { return reinterpret_cast<BoardHeader *>(bytes.data()); }

// With five busy reads set, an erase stays busy for five status reads, each giving the status, writes ignored; a
// power cycle puts the devices in read array. Fits no board has are refused, and damaged files, naming the file,
// never made afresh, left as they were (resealed rows carry a valid configuration checksum over the damage).
TEST_F(BoardTest, BusyReadsPowerCycleAndTheBoardFile) {
    board->set_timing(Timing::instant, 5);
    ASSERT_EQ(operate(game, 0x10, {0x40, 0x3C}), 0x80);
    send(game, 0x20000, {0x20, 0xD0});
    for (uint32_t i = 0; i < 5; i++) {
        send(game, 0x10, {0xFF, 0x40, 0x00});
        EXPECT_EQ(board->read(0x10 + i), 0x00) << "busy read " << i;
    }
    EXPECT_EQ(board->read(0x10), 0x80);
    send(game, 0, {0x98});
    EXPECT_EQ(board->erase_count(sound, kMaxSoundBlocks), 0u);   // past the table, before the game flash's state
    board->power_cycle();
    EXPECT_EQ((Bytes{read_at(game, 0x20), read_at(game, 0x10)}), (Bytes{0xFF, 0x3C}));
    for (const Fit &fit : {Fit{.game_size = 2 * MB}, Fit{.game_block = 16 * KB}, Fit{.sound_size = 2 * MB}})
        EXPECT_EQ(Board::create(dir.file("other.img"), fit, true, &error), nullptr) << error;
    const struct { const char *name; std::function<void(std::string &)> damage; bool reseal; const char *message; }
        rows[] = {
        {"a byte short", [](std::string &bytes) { bytes.pop_back(); }, false, "is truncated"},
        {"cut inside its header", [](std::string &bytes) { bytes.resize(16); }, false, "is truncated"},
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

// In bus timing each byte cycle takes one bus cycle on the board's clock: 720 ns, or what the board was made with,
// kept in its file (a file from before the setting holds 0 there and takes 720 ns). A J3 block erase is busy for 1 s
// of that clock: the status reads that find it busy are waiting. A 16-bit write is two cycles, a copy one per byte.
TEST_F(BoardTest, BusTimingPassesTheBoardClockByBusCycles) {
    const struct { const char *name; Fit fit; uint64_t cycle_ns; } rows[] = {
        {"the usual bus", Fit{}, 720}, {"a board made with 1000 ns", Fit{.bus_cycle_ns = 1000}, 1000}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        fresh(row.fit);
        reopen();
        EXPECT_EQ(board->fit().bus_cycle_ns, row.cycle_ns);
        board->set_timing(Timing::bus, 2);
        const uint32_t at = send(game, 0, {0x20, 0xD0});
        const uint64_t started = board->clock_ns();
        const uint64_t polls = busy_polls(at);
        EXPECT_NEAR(double(polls), 1e9 / double(row.cycle_ns), 1.0);
        EXPECT_GE(board->clock_ns() - started, 1000000000u);
        board->write16(0, 0xFFFF);
        EXPECT_EQ(copy(0, 64), Bytes(64, 0xFF));
        // Page registers, erase and confirm, the polls and the ready read, the 16-bit write, each byte copied.
        EXPECT_EQ(board->counters().board_ns, (4 + 2 + polls + 1 + 2 + 64) * row.cycle_ns);
        EXPECT_EQ(board->counters().wait_ns, polls * row.cycle_ns);
    }
    board.reset();
    std::string bytes = tavtest::read_file(dir.board());
    header_of(bytes)->bus_cycle_ns = 0;
    header_of(bytes)->config_check = board_config_check(*header_of(bytes));
    tavtest::write_file(dir.board(), bytes);
    ASSERT_NO_FATAL_FAILURE(reopen());
    EXPECT_EQ(board->fit().bus_cycle_ns, 720u);
}

// A write buffer takes 218 us for each aligned 32-byte line it touches in bus timing, all waited for; the other
// timings charge one line whatever the start, and no board time passes in them.
TEST_F(BoardTest, BusTimingChargesAWriteBufferPerLine) {
    const struct { const char *name; Timing timing; uint32_t at; uint32_t count; uint64_t charged_us; } rows[] = {
        {"aligned, bus", Timing::bus, 0x40, 32, 218}, {"straddling two lines, bus", Timing::bus, 0x44, 32, 436},
        {"unaligned inside one line, bus", Timing::bus, 0x44, 8, 218},
        {"straddling two lines, instant", Timing::instant, 0x44, 32, 218},
        {"straddling two lines, datasheet", Timing::datasheet, 0x44, 32, 218},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        fresh(Fit{});
        board->set_timing(row.timing, 2);
        send(game, row.at, {0xE8, uint8_t(row.count - 1)});
        for (uint32_t i = 0; i < row.count; i++) board->write(row.at + i, 0x5A);
        board->write(row.at, 0xD0);
        busy_polls(row.at);
        const Counters c = board->counters();
        EXPECT_EQ(c.busy_us, row.charged_us);
        if (row.timing == Timing::bus) {
            EXPECT_NEAR(double(c.wait_ns), double(row.charged_us * 1000), 720.0);
        } else {
            EXPECT_EQ(c.board_ns, 0u);
            EXPECT_EQ(c.wait_ns, 0u);
        }
    }
}

// Attached, the driver's accesses at the board's window address reach the model (a word: two byte cycles, low byte
// first), the address kept while the board is open. The physical mapping of a file laid out like the PC's memory
// puts them in the board's range; a range no board can have is refused before the device is opened (the refused
// rows name a missing device), and unmapping nothing fails.
TEST_F(BoardTest, WindowsReachTheModelOrTheBoardsRange) {
    attach(*board);
    uint8_t *window = board->window_address();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(board->window_address(), window);
    board_write16(window, 0x10, 0x5A40);
    EXPECT_EQ(board->data(game)[0x11], 0x5A);
    board.reset();
    unsigned char pages[8];
    EXPECT_EQ(mincore(window, 0x8000, pages), -1);
    const std::string memory = dir.file("mem");
    ASSERT_TRUE(tavtest::write_file(memory, std::string(kIsaAreaEnd, '\0')));
    PhysicalMapping held;
    PhysicalRefusal why = PhysicalRefusal::none;
    ASSERT_EQ(physical_map(memory, dir.path(), kBoardPhysicalBase, kBoardRangeLength, &held, &why, &error), 1) << error;
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(held.address, reg, uint8_t(0xF - reg));
    board_write8(held.address, 0x3FFF, 0xE8);
    board_write16(held.address, 0x2000, 0x1234);
    Bytes seen(2);
    board_copy_out(held.address, 0x3FFF, seen.data(), 2);
    EXPECT_EQ((Bytes{seen[0], seen[1], board_read8(held.address, 0x2001)}), (Bytes{0xE8, 0x0F, 0x12}));
    EXPECT_EQ(physical_unmap(&held), 1);
    const std::string range = tavtest::read_file(memory).substr(kBoardPhysicalBase, 0x4005);
    EXPECT_EQ(range.substr(0x3FFF), std::string("\xE8\x0F\x0E\x0D\x0C\x00", 6));
    EXPECT_EQ(range.substr(0x2000, 2), "\x34\x12");
    const struct { uint32_t base; uint32_t length; int result; } ranges[] = {
        {0xA0000, 0x8000, 1}, {0xF8000, 0x8000, 1}, {0x9F000, 0x2000, -1}, {0xFC000, 0x8000, -1},
        {0xD0800, 0x4004, -1}, {0xD0000, 0x8001, -1}, {0xD0000, 0, -1}, {0xFFFFF000, 0x2000, -1},
    };
    for (const auto &row : ranges) {
        const std::string device = row.result == 1 ? memory : dir.file("none");
        EXPECT_EQ(physical_map(device, dir.path(), row.base, row.length, &held, &why, &error), row.result) << row.base;
        EXPECT_EQ(why, row.result == 1 ? PhysicalRefusal::none : PhysicalRefusal::range) << row.base;
        EXPECT_EQ(physical_unmap(&held), row.result) << row.base;
    }
}

// One device over plain memory in states no bus sequence leaves. A stored state (a damaged file) at its last valid
// value is kept, one past it starts from power-up (the base: an idle program with busy reads left over).
// A power cut in a two-byte program whose bytes each change one bit leaves them neither old nor new.
TEST(FlashDevice, StoredStatesAndACutTwoByteProgram) {
    constexpr uint32_t size = 4 * MB;
    Bytes data(size, 0);
    DeviceEnv env;
    FlashDevice device;
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
            stored.op = 2;
            stored.busy_reads_left = 3;
            row.set(stored, value);
            DeviceState state = stored;
            device.init(game, data.data(), size, 128 * KB, false, &state, &env);
            DeviceState expected{};
            if (value == row.last_valid) expected = stored;
            EXPECT_EQ(std::memcmp(&state, &expected, sizeof expected), 0) << row.name << " " << value;
            EXPECT_FALSE(device.in_progress()) << row.name << " " << value;
        }
    }
    DeviceState busy{};
    busy.busy = 1;
    busy.op = 2;
    busy.op_start = 0x10;
    busy.op_length = 2;
    busy.busy_reads_left = 5;
    busy.op_old_small[0] = 1;
    busy.op_old_small[1] = 1;
    device.init(sound, data.data(), 256 * KB, 0, true, &busy, &env);
    for (uint64_t seed = 0; seed < 16; seed++) {
        data[0x10] = 0;
        data[0x11] = 0;
        device.lose_power(seed);
        EXPECT_NE(data[0x10], data[0x11]) << "seed " << seed;   // one old byte and one new
    }
}

}  // namespace
