// The fault matrix: every fault the board model can inject, placed in turn in each phase of
// a load (information-block erase, sound flash on space 8, sound flash on space 1 of an 8 MB
// board, each game image, BootData, tavboot.rom, the record) and in the status report.
// Each case checks the exact driver and loader messages and the result code, that no file
// descriptor is left open, that the case ends (tick clock held and driven by the status
// reads, and a wall-clock guard), and that the board, with the fault gone and power cycled,
// reads as not loaded.
//
// Placement: the fault names the erase block or the byte of the phase's first operation,
// and appears when the phase begins (counted in bytes programmed so far), so that exactly
// one phase meets it. Combinations that cannot happen are skipped with the reason.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "loader_jobs_support.h"
#include "reliability_support.h"

namespace {

using namespace jobs_test;
using tavboard::Device;
using tavboard::FaultKind;

constexpr uint32_t kSound = 1048576;
constexpr uint32_t kImFlsh0 = 200000;   // [32768, 232768): erase blocks 0 and 1
constexpr uint32_t kGame = 300000;      // [232768, 532768): first erases block 2
constexpr uint32_t kSymbols = 200000;   // [532768, 732768): first erases block 5
constexpr uint32_t kInfo = (4u << 20) - (128u << 10);
constexpr uint32_t kTavbootAt = 0x3F8000;

UpdateSetOptions matrix_set() {
    UpdateSetOptions o;
    o.im_flsh0_bytes = kImFlsh0;
    o.game_bytes = kGame;
    o.symbols_bytes = kSymbols;
    o.tavboot_bytes = 20000;   // then 12768 bytes of zero fill
    return o;
}

enum class Phase { info_erase, sound8, sound1, im_flsh0, game, symbols, bootdata, tavboot, record, status };
const char *const kPhaseNames[] = {"InfoErase", "SoundSpace8", "SoundSpace1", "ImFlsh0", "Game",
                                   "Symbols",   "BootData",    "Tavboot",     "Record",  "Status"};

enum class Kind { erase_fail, program_fail, stuck, vpp_low, locked, never_ready, buffer_busy, absent, board_absent };
const struct {
    const char *name;
    FaultKind fault;
} kKinds[] = {{"EraseFail", FaultKind::erase_fail},   {"ProgramFail", FaultKind::program_fail},
              {"StuckBits", FaultKind::stuck},        {"VppLow", FaultKind::vpp_low},
              {"Locked", FaultKind::locked},          {"NeverReady", FaultKind::never_ready},
              {"BufferBusy", FaultKind::buffer_busy}, {"DeviceAbsent", FaultKind::absent},
              {"BoardAbsent", FaultKind::absent}};

// What one phase of the matrix load looks like to a fault.
struct PhaseShape {
    uint64_t programmed_before;   // bytes programmed when the phase begins
    Device device;
    int32_t first_erase_block;    // the first block the phase erases, -1 when it erases none
    uint32_t program_at;          // a device offset the phase programs ...
    bool erased_first;            // ... whose block the phase erases before programming it
    bool buffered;                // the phase programs through the write buffer
    UpdateFile source;            // the file programmed (named in the loader's message) ...
    uint32_t source_at;           // ... from this device offset on
    int code;                     // result code of a write failure in this phase
};

constexpr uint64_t kBeforeBoot = kSound + kImFlsh0 + kGame + kSymbols;
const PhaseShape kShapes[] = {   // in the order of Phase; no file for the erase, record and status
    {0, Device::game, 31, 0, true, false, UpdateFile::sound, 0, 32},
    {0, Device::sound, 0, 0x10, true, false, UpdateFile::sound, 0, 21},
    {0, Device::game, 32, (4u << 20) + 0x10, true, true, UpdateFile::sound, 4u << 20, 21},
    {kSound, Device::game, 0, 32768 + 0x10, true, true, UpdateFile::im_flsh0, 32768, 21},
    {kSound + kImFlsh0, Device::game, 2, 232768 + 0x10, false, true, UpdateFile::game, 232768, 24},
    {kSound + kImFlsh0 + kGame, Device::game, 5, 532768 + 0x10, false, true, UpdateFile::symbols, 532768, 27},
    {kBeforeBoot, Device::game, -1, 0x10, false, true, UpdateFile::bootdata, 0, 15},
    {kBeforeBoot + 32768, Device::game, 31, kTavbootAt + 0x10, true, true, UpdateFile::tavboot, kTavbootAt, 31},
    {kBeforeBoot + 65536, Device::game, -1, kInfo + 32, false, true, UpdateFile::sound, 0, 33},
    {0, Device::game, 31, kInfo + 32, false, false, UpdateFile::sound, 0, 0},
};

// The messages of the driver's status wait for a status, as it reports them.
std::string wait_messages(Kind k, bool erase) {
    const std::string w = "flash_wait(): ";
    const std::string failed = w + (erase ? "erase/clear" : "write/set") + " block lock error\n";
    auto timeout = [&](unsigned status) { return w + fmt("device 0 WSM ready timeout (0x%02x)\n", status); };
    switch (k) {
        case Kind::erase_fail: return failed + timeout(0xa0);
        case Kind::program_fail: return failed + timeout(0x90);
        case Kind::vpp_low: return w + "device is write protected\n" + failed + timeout(erase ? 0xa8 : 0x98);
        case Kind::locked: return w + "device is block locked\n" + failed + timeout(erase ? 0xa2 : 0x92);
        case Kind::never_ready: return timeout(0);
        case Kind::absent:
        case Kind::board_absent:
            // Nothing drives the bus: every status bit reads as one.
            return w + "device is block locked\n" + w + "device is write suspended\n" + w +
                   "device is write protected\n" + w + "write/set block lock error\n" + w +
                   "erase/clear block lock error\n" + timeout(0xff);
        default: return "";
    }
}

// How the fault is brought onto the board.
enum class Arm {
    before_run,           // on the board before the run starts
    at_phase_start,       // when the bytes programmed reach the phase's start
    after_first_program,  // once the phase's first program has begun (absent devices)
};

struct Case {
    Kind kind;
    Phase phase;
    std::string skip;            // non-empty: cannot happen, and why
    tavboard::Fault fault;
    Arm arm = Arm::before_run;
    int code = 0;
    std::string err_driver;      // the driver's messages (the loader's message follows)
    bool not_responding = false; // the loader's message is the one of a space that does not answer
    bool status_report = false;  // the status run still reports the load
    bool loaded_after = false;   // the board reads as loaded once the fault is gone
};

Case make_case(Kind kind, Phase phase) {
    Case c;
    c.kind = kind;
    c.phase = phase;
    const PhaseShape &s = kShapes[int(phase)];
    c.fault.kind = kKinds[int(kind)].fault;
    c.fault.device = s.device;
    c.code = s.code;
    c.arm = s.programmed_before == 0 ? Arm::before_run : Arm::at_phase_start;

    if (phase == Phase::status) {
        // The status report only reads: write-side faults leave it alone; a stuck bit in the
        // record's size field and a board that does not answer do not.
        c.status_report = kind != Kind::stuck && kind != Kind::absent && kind != Kind::board_absent;
        c.loaded_after = kind != Kind::stuck;
        c.fault.block = kind == Kind::stuck || kind == Kind::absent ? -1 : 31;
        if (kind == Kind::stuck) {
            c.fault.offset = kInfo + 32;
            c.fault.mask = 0x40;
            c.code = 34;
        } else if (!c.status_report) {
            c.code = 16;
            c.not_responding = true;
        }
        return c;
    }

    switch (kind) {
        case Kind::erase_fail:
            if (s.first_erase_block < 0) {
                c.skip = phase == Phase::bootdata
                             ? "BootData's erase block 0 was erased by im_flsh0.rom before; its write erases nothing"
                             : "the record's block was erased by tavboot.rom before; its write erases nothing";
                return c;
            }
            c.fault.block = s.first_erase_block;
            c.err_driver = wait_messages(kind, true);
            return c;
        case Kind::program_fail:
        case Kind::vpp_low:
        case Kind::locked:
        case Kind::never_ready:
            if (phase != Phase::info_erase) {
                c.fault.offset = s.program_at;
                c.err_driver = wait_messages(kind, s.erased_first && kind != Kind::program_fail);
            } else if (kind == Kind::program_fail) {
                c.skip = "the erase of the information block programs nothing";
            } else {
                c.fault.block = 31;
                c.err_driver = wait_messages(kind, true);
            }
            return c;
        case Kind::stuck: {
            if (phase == Phase::info_erase) {
                c.skip = "an erase is not read back: stuck bits show where data is later programmed";
                return c;
            }
            // A byte the set does not have as zero, so that the held bits change it.
            std::vector<uint8_t> bytes = tavtools::update_file_bytes(matrix_set(), s.source);
            auto byte_at = [&](uint32_t at) { return phase == Phase::record ? 64 : bytes[at - s.source_at]; };
            uint32_t at = s.program_at;
            while (byte_at(at) == 0) at++;
            c.fault.offset = at;
            c.fault.mask = 0xFF;
            c.err_driver = fmt("flash_write(): data (0x00) != (0x%02x) at offset (0x%x)\n", byte_at(at),
                               phase == Phase::sound1 ? at - (4u << 20) : at);
            return c;
        }
        case Kind::buffer_busy:
            if (!s.buffered) {
                c.skip = phase == Phase::info_erase ? "an erase does not use the write buffer"
                                                    : "the boot-block sound flash is programmed byte by byte";
                return c;
            }
            c.fault.offset = s.program_at;   // the driver gives up on the buffer silently
            return c;
        case Kind::absent:
        case Kind::board_absent:
            if (phase == Phase::info_erase || (phase == Phase::sound8 && kind == Kind::absent)) {
                // Nothing answers from the start: the space's query fails.
                c.arm = Arm::before_run;
                c.code = 16;
                c.not_responding = true;
            } else {
                // The device stops answering in the middle of the phase's first program.
                c.arm = Arm::after_first_program;
                c.err_driver = wait_messages(kind, false);
            }
            return c;
    }
    return c;
}

std::vector<Case> all_cases() {
    std::vector<Case> cases;
    for (size_t k = 0; k < std::size(kKinds); k++)
        for (size_t p = 0; p < std::size(kPhaseNames); p++) cases.push_back(make_case(Kind(k), Phase(p)));
    return cases;
}

class FaultMatrixTest : public LoaderJobsTest, public testing::WithParamInterface<Case> {
  protected:
    // A new process's view of the same board file: devices freshly powered up.
    void power_cycle() {
        std::string path = board->path();
        board->set_status_read_hook(nullptr);
        tavboard::detach(*board);
        board.reset();
        std::string error;
        board = tavboard::Board::open(path, &error);
        ASSERT_NE(board, nullptr) << error;
        tavboard::attach(*board);
        board_window = board->window_address();
        board->set_status_read_hook([] { tick_clock_advance(1); });
    }

    void arm(const Case &c) {
        if (armed_) return;
        armed_ = true;
        if (c.kind == Kind::board_absent) return board->set_board_absent(true);
        arm_ok_ = board->add_fault(c.fault, &arm_error_);
    }

    bool armed_ = false;
    bool arm_ok_ = true;
    std::string arm_error_;
};

TEST_P(FaultMatrixTest, FailsInItsPhaseAndLeavesTheBoardNotLoaded) {
    const Case &c = GetParam();
    if (!c.skip.empty()) GTEST_SKIP() << c.skip;
    if (c.phase == Phase::sound1) {
        tavboard::Fit fit;
        fit.game_size = 8u << 20;
        fit.sound_size = 0;
        remake_board(fit);
    }
    std::string dir = make_set(matrix_set());
    if (c.phase == Phase::status) {
        RunResult load = run({"-p" + dir, "40215"});
        ASSERT_EQ(load.code, 0) << load.err;
    }
    board->reset_counters();

    const PhaseShape s = kShapes[int(c.phase)];
    if (c.arm == Arm::before_run) arm(c);
    board->set_status_read_hook([this, &c, s] {
        tick_clock_advance(1);
        if (armed_ || c.arm == Arm::before_run) return;
        uint64_t programmed = board->counters().programmed_bytes;
        if (c.arm == Arm::at_phase_start ? programmed >= s.programmed_before : programmed > s.programmed_before)
            arm(c);
    });

    int fds_before = reliability_test::open_descriptors();
    RunResult r;
    {
        reliability_test::WallClockGuard guard(std::string(kKinds[int(c.kind)].name) + " in " +
                                                   kPhaseNames[int(c.phase)], 120);
        r = run(c.phase == Phase::status ? std::vector<std::string>{"-status"}
                                         : std::vector<std::string>{"-p" + dir, "40215"});
    }
    int fds_after = reliability_test::open_descriptors();
    ASSERT_TRUE(armed_) << "the fault never came: the phase did not begin";
    ASSERT_TRUE(arm_ok_) << arm_error_;

    std::string loader_message;
    if (c.not_responding) loader_message = kNotResponding;
    else if (c.phase == Phase::info_erase) loader_message = "tavload: unable to erase update FLASH\n";
    else if (c.phase == Phase::record) loader_message = "tavload: unable to write FLASH from TAVInfo\n";
    else if (c.phase == Phase::status) loader_message = c.status_report ? "" : kNotLoaded;
    else loader_message = "\ntavload: unable to write FLASH from (" + dir + "/" + tavtools::update_file_base(s.source) + ")\n";
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.err, c.err_driver + loader_message);
    const std::string loaded = " with GameID 40215 Game & Sound updates.\n";
    if (c.status_report) {
        EXPECT_EQ(r.out.rfind("TAV loaded on ", 0), 0u) << r.out;
        EXPECT_TRUE(ends_with(r.out, loaded)) << r.out;
    } else {
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(fds_after, fds_before) << "a file was left open";

    // The fault gone and the power cycled: a failed load leaves the board not loaded; the
    // status report changed nothing but what the stuck bits took away.
    board->clear_faults();
    board->set_board_absent(false);
    power_cycle();
    RunResult after = run({"-status"});
    EXPECT_EQ(after.code, c.loaded_after ? 0 : 34) << after.out << after.err;
    EXPECT_EQ(after.err, c.loaded_after ? "" : kNotLoaded);
    EXPECT_TRUE(c.loaded_after ? ends_with(after.out, loaded) : after.out.empty()) << after.out;
}

INSTANTIATE_TEST_SUITE_P(EveryFaultInEveryPhase, FaultMatrixTest, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case> &info) {
                             return std::string(kKinds[int(info.param.kind)].name) + "In" +
                                    kPhaseNames[int(info.param.phase)];
                         });

// The size of the matrix, for the record: how many fault x phase cases run and how many
// cannot happen; a new skip reason that empties the matrix shows here.
TEST(FaultMatrixSize, CountsCoveredAndImpossibleCases) {
    int covered = 0;
    for (const Case &c : all_cases()) covered += c.skip.empty();
    std::printf("fault matrix: %zu faults x %zu phases = %zu cases, %d covered, %zu cannot happen\n", std::size(kKinds),
                std::size(kPhaseNames), all_cases().size(), covered, all_cases().size() - covered);
    EXPECT_GE(covered, 75);
}

}  // namespace
