// The board model's contract: read modes and sequence errors, programming, the write buffer
// rules, page decoding, identification, injected faults (as stored bus sessions), power cuts,
// the board file, the accesses behind a window; and one device on its own for what a bus cannot
// reach (a stored state out of range, a power cut inside a two-byte program).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "board/board_file.h"
#include "board/flash_device.h"
#include "board/model.h"
#include "board/physical_map.h"
#include "flash/board_access.h"
#include "tests/support.h"

using namespace tavboard;

namespace {

constexpr uint32_t K = 1u << 10, M = 1u << 20;
const Device G = Device::game, S = Device::sound;
using FK = FaultKind;
using Bytes = std::vector<uint8_t>;

Fit fit(uint32_t game, uint32_t block, uint32_t sound) { return {game, block, sound, false}; }
Fault fault(FK kind, Device d = G, int32_t block = -1, int64_t offset = -1, uint64_t after = 0) { return {kind, d, block, offset, 0, after}; }

// Selects a page address (space code in bits 12-15) through the four page registers.
void page(Board &b, uint32_t address) {
    for (uint32_t i = 0; i < 4; i++) b.write(0x4000 + i, uint8_t(address >> 4 * i & 0xF));
}
// Selects the page holding byte `offset` of device `d`; its window offset.
uint32_t at(Board &b, Device d, uint32_t offset) { return page(b, (d == S ? 0x8000 : 0) | offset / 0x4000), offset % 0x4000; }
// Writes `bytes` at window offset w, polls status (at most 100 reads), back to read array;
// the final status.
uint8_t cmd_at(Board &b, uint32_t w, const Bytes &bytes) {
    for (uint8_t v : bytes) b.write(w, v);
    uint8_t s = b.read(w);
    for (int i = 0; i < 100 && !(s & 0x80); i++) s = b.read(w);
    return b.write(w, 0xFF), s;
}
uint8_t cmd(Board &b, Device d, uint32_t o, const Bytes &bytes) { return cmd_at(b, at(b, d, o), bytes); }
uint8_t program(Board &b, Device d, uint32_t o, uint8_t v) { return cmd(b, d, o, {0x40, v}); }
uint8_t erase(Board &b, Device d, uint32_t o) { return cmd(b, d, o, {0x20, 0xD0}); }
// Four bytes 0x00 through the write buffer at o; 0 when the buffer is not free.
uint8_t buffer(Board &b, Device d, uint32_t o) {
    uint32_t w = at(b, d, o);
    b.write(w, 0xE8);
    if (b.read(w) != 0x80) return 0;
    b.write(w, 3);
    for (uint32_t i = 0; i < 4; i++) b.write(w + i, 0);
    return cmd_at(b, w, {0xD0});
}

class BoardTest : public testing::Test {
  protected:
    std::unique_ptr<Board> make(const Fit &f = {}) {
        std::string error;
        auto b = Board::create(dir.board(), f, true, &error);
        EXPECT_TRUE(b) << error;
        return b;
    }
    std::unique_ptr<Board> open() {
        std::string error;
        auto b = Board::open(dir.board(), &error);
        EXPECT_TRUE(b) << error;
        return b;
    }
    // Runs `body` in a child process; its exit status (128 + signal when killed).
    int in_child(const std::function<int()> &body) {
        pid_t pid = fork();
        if (pid == 0) _exit(body());
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    tavtest::TempDir dir;
};

// Stored bus sessions in tests/data/board/, one access or check a line (hex numbers): "board GAME
// BLOCK SOUND" starts a fresh board, "w OFFSET VALUE" writes the window (page registers at
// 0x4000-0x4003), "r OFFSET VALUE" reads and expects, "data DEVICE OFFSET VALUE" a stored byte,
// "counts N" erases plus programmed bytes, "bits N" the bits a program could not raise, "fault KIND
// DEVICE BLOCK OFFSET MASK ACCEPTED" injects a fault (or sees it refused), "reopen" the board file
// as the next process, "cycle" a power cycle, "clear" the faults cleared, "sign" programs byte
// 0x123 of every page with its page number (plus 0x55 on the sound device), "copy OFFSET A B" two
// bytes copied out. Sessions: read modes and sticky sequence errors, old AND new programming, the
// write buffer's rules, page decoding, each fault's status where it applies, each fit's identifier
// codes and query answers.
TEST_F(BoardTest, StoredBusSessions) {
    for (const char *name : {"read_modes", "programming", "write_buffer", "pages", "faults", "stuck", "identify"}) {
        std::ifstream in(TAV_SOURCE_DIR "/tests/data/board/" + std::string(name) + ".txt");
        ASSERT_TRUE(in) << name;
        std::unique_ptr<Board> b;
        std::string line;
        for (int number = 1; std::getline(in, line); number++) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream words(line);
            std::string op;
            uint32_t x = 0, y = 0, z = 0, u = 0, v = 0, accepted = 0;
            words >> op >> std::hex >> x >> y >> z >> u >> v >> accepted;
            const std::string where = std::string(name) + ":" + std::to_string(number);
            if (op == "board" || op == "reopen") {
                b.reset();   // one holder at a time
                b = op == "board" ? make(fit(x, y, z)) : open();
            } else if (op == "w") {
                b->write(x, uint8_t(y));
            } else if (op == "r") {
                EXPECT_EQ(b->read(x), y) << where;
            } else if (op == "sign") {
                for (uint32_t d : {0, 1})
                    for (uint32_t a = 0; a < b->device_size(Device(d)); a += 0x4000)
                        program(*b, Device(d), a + 0x123, uint8_t((a >> 14) + d * 0x55));
            } else if (op == "copy") {
                uint8_t two[2];
                b->copy_out(x, two, 2);
                EXPECT_EQ((Bytes{two[0], two[1]}), (Bytes{uint8_t(y), uint8_t(z)})) << where;
            } else if (op == "data") {
                EXPECT_EQ(b->data(Device(x))[y], z) << where;
            } else if (op == "counts") {
                EXPECT_EQ(b->counters().erases + b->counters().programmed_bytes, x) << where;
            } else if (op == "bits") {
                EXPECT_EQ(b->counters().not_erased_bits, x) << where;
            } else if (op == "fault") {
                std::string error;
                Fault f = fault(FK(x), Device(y), int32_t(z), int32_t(u));
                f.mask = uint8_t(v);
                EXPECT_EQ(b->add_fault(f, &error), accepted == 1) << where << error;
            } else if (op == "cycle" || op == "clear") {
                op == "cycle" ? b->power_cycle() : b->clear_faults();
            } else {
                ADD_FAILURE() << where << ": " << line;
            }
        }
    }
}

// A power cut at the after-th access of a process ends it (137); the cut access never happens.
// Accesses: 4 page registers, the command (5), its data or confirm (6), status reads from 7 (two
// busy, as set); a buffer: 0xE8 (5), status (6), count (7), data (8-11), confirm (12), status from 13.
TEST_F(BoardTest, PowerCutLeavesTheOperationOldNewOrUndefined) {
    enum Op { ERASE, PROGRAM, BUFFER };
    enum Left { OLD, NEW, NEITHER };
    const struct { Device d; Op op; uint32_t at; uint64_t after; Left left; } rows[] = {
        {G, ERASE, 0x20000, 6, OLD}, {G, ERASE, 0x20000, 7, NEITHER}, {G, ERASE, 0x20000, 9, NEW}, {S, ERASE, 0x4000, 8, NEITHER},
        {S, PROGRAM, 0x4010, 7, NEITHER}, {G, PROGRAM, 0x10, 6, OLD}, {G, BUFFER, 0x40, 12, OLD}, {G, BUFFER, 0x40, 13, NEITHER},
        {G, BUFFER, 0x40, 15, NEW},
    };
    for (const auto &row : rows) {
        const uint32_t length = row.op == ERASE ? 0x2000 : row.op == BUFFER ? 4 : 1;
        Bytes old_data, whole;
        {
            auto b = make();
            b->set_timing(Timing::instant, 2);
            for (uint32_t i = 0; row.op == ERASE && i < length; i++) program(*b, row.d, row.at + i, uint8_t(0x5A ^ i * 7) & 0xF7);
            const uint8_t *d = b->data(row.d);
            old_data.assign(d + row.at, d + row.at + length);
            whole.assign(d, d + b->device_size(row.d));
            std::string error;
            ASSERT_TRUE(b->add_fault(fault(FK::power_cut, G, -1, -1, row.after), &error)) << error;
        }
        EXPECT_EQ(in_child([&] {
                      std::string error;
                      auto b = Board::open(dir.board(), &error);
                      for (int i = 0; b && i < 2; i++) row.op == ERASE ? erase(*b, row.d, row.at) : row.op == PROGRAM ? program(*b, row.d, row.at, 0) : buffer(*b, row.d, row.at);
                      return 3;
                  }),
                  137);
        auto b = open();
        ASSERT_TRUE(b);
        EXPECT_TRUE(b->faults().empty());   // fired once, taken off the board
        const uint8_t *d = b->data(row.d);
        Bytes now(d + row.at, d + row.at + length), new_data(length, row.op == ERASE ? 0xFF : 0);
        if (row.left == NEITHER) {
            EXPECT_TRUE(now != old_data && now != new_data) << row.after;
        } else {
            EXPECT_EQ(now, row.left == OLD ? old_data : new_data) << row.after;
        }
        std::copy(now.begin(), now.end(), whole.begin() + row.at);
        EXPECT_TRUE(Bytes(d, d + whole.size()) == whole) << "only the operation's bytes change";
    }
}

// Contents, faults, timing, counters and the devices' modes outlive a process that died
// without closing; a power cycle puts the devices back in read array. A second holder is refused, and an existing file unless forced.
TEST_F(BoardTest, BoardFileOutlivesItsProcessAndIsHeldByOne) {
    make().reset();
    ASSERT_EQ(in_child([&] {
                  std::string error;
                  auto b = Board::open(dir.board(), &error);
                  if (!b || program(*b, G, 0x10, 0x3C) != 0x80 || !b->add_fault(fault(FK::erase_fail, G, 7), &error)) return 3;
                  b->set_timing(Timing::instant, 5);
                  b->write(0, 0x98);
                  _exit(0);
              }),
              0);
    auto b = open();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->faults().size() == 1 ? b->faults()[0].block : -1, 7);
    EXPECT_EQ(b->busy_reads(), 5u);
    EXPECT_EQ(b->counters().programmed_bytes, 1u);
    EXPECT_EQ(b->command_count(0x98), 1u);
    EXPECT_EQ(b->erase_count(S, kMaxSoundBlocks), 0u);   // no such block (the device states follow the counts)
    page(*b, 0);
    EXPECT_EQ(b->read(0x20), 'Q');   // the device state is stored too: still in query mode
    b->power_cycle();
    EXPECT_EQ((Bytes{b->read(0x10), b->read(0x20)}), (Bytes{0x3C, 0xFF}));   // switched off and on: read array
    std::string error;
    EXPECT_FALSE(Board::open(dir.board(), &error) || Board::create(dir.board(), Fit(), true, &error));   // texts: the chain's and tavsim's rows
    b.reset();
    EXPECT_FALSE(Board::create(dir.board(), Fit(), false, &error));
    EXPECT_EQ(open()->data(G)[0x10], 0x3C);
    for (Fit f : {fit(2 * M, 128 * K, 1 * M), fit(4 * M, 16 * K, 1 * M), fit(4 * M, 128 * K, 2 * M)})
        EXPECT_FALSE(Board::create(dir.file("bad.img"), f, true, &error));
    EXPECT_EQ(make()->data(G)[0x10], 0xFF);   // forced: fresh, erased
}

// A damaged or foreign file is refused naming the file, never reinitialised, left as it was.
// Resealed rows carry a valid configuration checksum over the damage.
TEST_F(BoardTest, DamagedFilesAreRefusedAndLeftAlone) {
    auto header = [](std::string &b) { return reinterpret_cast<BoardHeader *>(b.data()); };
    const struct { std::function<void(std::string &)> damage; bool reseal; const char *message; } rows[] = {
        {[](std::string &b) { b.pop_back(); }, false, "truncated"}, {[](std::string &b) { b = std::string(20000, 'x'); }, false, "not a TAV board file"},
        {[&](std::string &b) { header(b)->version = 7; }, false, "version 7"}, {[&](std::string &b) { header(b)->game_size = 8u << 20; }, false, "corrupt"},
        {[](std::string &b) { b.push_back('\xFF'); }, false, "corrupt"}, {[&](std::string &b) { header(b)->game_block = 12345; }, true, "corrupt"},
        {[&](std::string &b) { header(b)->fault_count = kMaxFaults + 1; }, true, "is corrupt (bad configuration)"},
        {[&](std::string &b) { header(b)->timing = uint32_t(Timing::datasheet) + 1; }, true, "is corrupt (bad configuration)"},
    };
    for (const auto &row : rows) {
        make().reset();
        std::string bytes = tavtest::read_file(dir.board()), error;
        row.damage(bytes);
        if (row.reseal) header(bytes)->config_check = board_config_check(*header(bytes));
        tavtest::write_file(dir.board(), bytes);
        EXPECT_FALSE(Board::open(dir.board(), &error));
        EXPECT_NE(error.find(row.message), std::string::npos) << error;
        EXPECT_NE(error.find(dir.board()), std::string::npos) << error;
        EXPECT_FALSE(Board::open_or_create(dir.board(), &error));
        EXPECT_TRUE(tavtest::read_file(dir.board()) == bytes);
    }
}

// The mapped-memory accesses over a file laid out like physical memory. Only a board's range
// is mapped, by one holder at a time; a refusal comes before the device is opened (the rows name
// a missing device, so reaching it would be a device failure) and leaves no lock file.
TEST_F(BoardTest, PhysicalMapReachesAFileLikeMemoryAndGuardsIt) {
    std::string path = dir.file("mem"), none = dir.file("none"), error;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, kIsaAreaEnd), 0);
    ASSERT_EQ(pwrite(fd, "\x11\x22", 2, kBoardPhysicalBase + 0x1000), 2);
    PhysicalMapping held, other;
    PhysicalRefusal why = PhysicalRefusal::none;
    ASSERT_EQ(physical_map(path, dir.path(), kBoardPhysicalBase, kBoardRangeLength, &held, &why, &error), 1) << error;
    uint8_t *w = held.address;
    for (uint32_t reg = 0; reg < 4; reg++) board_write_page_register(w, reg, uint8_t(0xF - reg));
    board_write8(w, 0x3FFF, 0xE8);
    board_write16(w, 0x2000, 0x1234);
    uint8_t copy[2];
    board_copy_out(w, 0x1000, copy, 2);
    EXPECT_EQ((Bytes{copy[0], copy[1], board_read8(w, 0x1001)}), (Bytes{0x11, 0x22, 0x22}));
    const std::string lock = physical_lock_path(dir.path());
    EXPECT_EQ(physical_map(none, dir.path(), kBoardPhysicalBase, kBoardRangeLength, &other, &why, &error), -1);
    EXPECT_EQ(error, "process " + std::to_string(getpid()) + " holds the board (lock file " + lock + ")");
    EXPECT_EQ(physical_unmap(&held), 1);
    EXPECT_EQ(physical_unmap(&held), -1);
    Bytes file(0x4005);
    ASSERT_EQ(pread(fd, file.data(), file.size(), kBoardPhysicalBase), 0x4005);
    close(fd);
    EXPECT_EQ((Bytes{file[0x3FFF], file[0x2000], file[0x2001], file[0x4000], file[0x4001], file[0x4002], file[0x4003], file[0x4004]}),
              (Bytes{0xE8, 0x34, 0x12, 0xF, 0xE, 0xD, 0xC, 0}));
    EXPECT_EQ(physical_map(none, dir.path(), kBoardPhysicalBase, kBoardRangeLength, &other, &why, &error), -1);
    EXPECT_EQ(why, PhysicalRefusal::device);
    EXPECT_NE(error.find(none + ": No such file"), std::string::npos) << error;
    const std::string rule = ": a board's range must lie inside the ISA adapter memory area 0xA0000-0xFFFFF, be page aligned (4096 bytes) and be at most 0x8000 bytes long";
    std::ifstream ranges(TAV_SOURCE_DIR "/tests/data/board/ranges.txt");
    uint32_t base = 0, length = 0;
    std::string refused;   // "mapped", or the range as its refusal names it
    while (ranges >> std::hex >> base >> length >> std::ws && std::getline(ranges, refused)) {
        const bool mapped = refused == "mapped";
        EXPECT_EQ(physical_map(mapped ? path : none, dir.path(), base, length, &held, &why, &error), mapped ? 1 : -1) << refused;
        if (mapped) {
            EXPECT_EQ(physical_unmap(&held), 1);
            continue;
        }
        EXPECT_EQ(why, PhysicalRefusal::range);
        EXPECT_EQ(error, refused + rule);
        EXPECT_NE(access(physical_lock_path(dir.path()).c_str(), F_OK), 0) << refused;
    }
    EXPECT_GT(base, 0u);   // the ranges were read
}

// A device over plain memory with its state set directly, for states no bus sequence leaves.
struct LooseDevice {
    LooseDevice(uint32_t size, uint32_t block, bool boot, const DeviceState &initial) : data(size, 0), state(initial) {
        device.init(Device::game, data.data(), size, block, boot, &state, &env);
    }
    Bytes data;
    DeviceState state;
    DeviceEnv env;
    FlashDevice device;
};

// A stored state just out of range (a damaged file) starts from power-up; the last valid value
// is kept. The base state is an idle program in query mode with leftover busy reads: not busy.
TEST(FlashDevice, StoredStateOutOfRangeStartsFromPowerUp) {
    constexpr uint32_t size = 4 * M;
    const struct { std::function<void(DeviceState &)> set; bool kept; } rows[] = {
        {[](DeviceState &s) { s.mode = DeviceMode(kDeviceModeCount - 1); }, true}, {[](DeviceState &s) { s.mode = DeviceMode(kDeviceModeCount); }, false},
        {[](DeviceState &s) { s.op = 3; }, false}, {[](DeviceState &s) { s.buf_count = 32; }, true}, {[](DeviceState &s) { s.buf_count = 33; }, false},
        {[](DeviceState &s) { s.buf_received = 1; }, false}, {[](DeviceState &s) { s.buf_start = size - 1; }, true},
        {[](DeviceState &s) { s.buf_start = size; }, false}, {[](DeviceState &s) { s.op_start = size - 1; }, true},
        {[](DeviceState &s) { s.op_start = size; }, false}, {[](DeviceState &s) { s.op_length = 32; }, true},
        {[](DeviceState &s) { s.op_length = 33; }, false}};
    for (const auto &row : rows) {
        DeviceState stored{};
        stored.mode = DeviceMode::read_query;
        stored.op = 2;
        stored.busy_reads_left = 3;
        row.set(stored);
        LooseDevice loose(size, 128 * K, false, stored);
        const DeviceState expected = row.kept ? stored : DeviceState{};
        EXPECT_EQ(std::memcmp(&loose.state, &expected, sizeof expected), 0) << &row - rows;
        EXPECT_FALSE(loose.device.in_progress());
    }
}

// A power cut in a two-byte program whose bytes each change one bit leaves them neither old
// nor new, whichever side the cut leaves each bit on.
TEST(FlashDevice, PowerCutInATwoByteProgramLeavesNeitherOldNorNew) {
    DeviceState busy{};
    busy.busy = 1;
    busy.op = 2;
    busy.op_start = 0x10;
    busy.op_length = 2;
    busy.busy_reads_left = 5;
    busy.op_old_small[0] = 1;
    busy.op_old_small[1] = 1;
    LooseDevice loose(256 * K, 0, true, busy);
    for (uint64_t seed = 0; seed < 16; seed++) {
        loose.data[0x10] = 0;
        loose.data[0x11] = 0;
        loose.device.lose_power(seed);
        const Bytes left(loose.data.begin() + 0x10, loose.data.begin() + 0x12);
        EXPECT_TRUE(left != Bytes(2, 0) && left != Bytes(2, 1)) << seed;
    }
}

}  // namespace
