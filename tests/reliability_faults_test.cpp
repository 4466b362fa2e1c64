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
#include <cstring>
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
constexpr uint32_t kTavboot = 20000;    // then 12768 bytes of zero fill
constexpr uint32_t kBlock = 128u << 10;
constexpr uint32_t kInfo = (4u << 20) - kBlock;
constexpr uint32_t kTavbootAt = 0x3F8000;

UpdateSetOptions matrix_set() {
    UpdateSetOptions o;
    o.im_flsh0_bytes = kImFlsh0;
    o.game_bytes = kGame;
    o.symbols_bytes = kSymbols;
    o.tavboot_bytes = kTavboot;
    return o;
}

enum class Phase { info_erase, sound8, sound1, im_flsh0, game, symbols, bootdata, tavboot, record, status };
const Phase kPhases[] = {Phase::info_erase, Phase::sound8,   Phase::sound1,  Phase::im_flsh0, Phase::game,
                         Phase::symbols,    Phase::bootdata, Phase::tavboot, Phase::record,   Phase::status};

enum class Kind { erase_fail, program_fail, stuck, vpp_low, locked, never_ready, buffer_busy, absent, board_absent };
const Kind kKinds[] = {Kind::erase_fail, Kind::program_fail, Kind::stuck,       Kind::vpp_low,     Kind::locked,
                       Kind::never_ready, Kind::buffer_busy, Kind::absent, Kind::board_absent};

const char *phase_name(Phase p) {
    switch (p) {
        case Phase::info_erase: return "InfoErase";
        case Phase::sound8: return "SoundSpace8";
        case Phase::sound1: return "SoundSpace1";
        case Phase::im_flsh0: return "ImFlsh0";
        case Phase::game: return "Game";
        case Phase::symbols: return "Symbols";
        case Phase::bootdata: return "BootData";
        case Phase::tavboot: return "Tavboot";
        case Phase::record: return "Record";
        case Phase::status: return "Status";
    }
    return "";
}

const char *kind_name(Kind k) {
    switch (k) {
        case Kind::erase_fail: return "EraseFail";
        case Kind::program_fail: return "ProgramFail";
        case Kind::stuck: return "StuckBits";
        case Kind::vpp_low: return "VppLow";
        case Kind::locked: return "Locked";
        case Kind::never_ready: return "NeverReady";
        case Kind::buffer_busy: return "BufferBusy";
        case Kind::absent: return "DeviceAbsent";
        case Kind::board_absent: return "BoardAbsent";
    }
    return "";
}

// What one phase of the matrix load looks like to a fault.
struct PhaseShape {
    uint64_t programmed_before;   // bytes programmed when the phase begins
    Device device;
    int32_t first_erase_block;    // the first block the phase erases, -1 when it erases none
    uint32_t program_at;          // a device offset the phase programs ...
    bool erased_first;            // ... whose block the phase erases before programming it
    bool buffered;                // the phase programs through the write buffer
    const char *file;             // base name in the loader's message; null for the record
    int code;                     // result code of a write failure in this phase
};

PhaseShape shape_of(Phase p) {
    switch (p) {
        case Phase::info_erase: return {0, Device::game, 31, 0, true, false, nullptr, 32};
        case Phase::sound8: return {0, Device::sound, 0, 0x10, true, false, "sf.rom", 21};
        case Phase::sound1: return {0, Device::game, 32, (4u << 20) + 0x10, true, true, "sf.rom", 21};
        case Phase::im_flsh0: return {kSound, Device::game, 0, 32768 + 0x10, true, true, "im_flsh0.rom", 21};
        case Phase::game:
            return {kSound + kImFlsh0, Device::game, 2, 232768 + 0x10, false, true, "game.rom", 24};
        case Phase::symbols:
            return {kSound + kImFlsh0 + kGame, Device::game, 5, 532768 + 0x10, false, true, "symbols.rom", 27};
        case Phase::bootdata:
            return {kSound + kImFlsh0 + kGame + kSymbols, Device::game, -1, 0x10, false, true, "bootdata.rom", 15};
        case Phase::tavboot:
            return {kSound + kImFlsh0 + kGame + kSymbols + 32768, Device::game, 31, kTavbootAt + 0x10, true, true,
                    "tavboot.rom", 31};
        case Phase::record:
            return {kSound + kImFlsh0 + kGame + kSymbols + 65536, Device::game, -1, kInfo + 32, false, true, nullptr,
                    33};
        case Phase::status: return {0, Device::game, 31, kInfo + 32, false, false, nullptr, 0};
    }
    return {};
}

// The messages of the driver's status wait for a status, as it reports them.
const char *wait_messages(Kind k, bool erase) {
    switch (k) {
        case Kind::erase_fail:
            return "flash_wait(): erase/clear block lock error\n"
                   "flash_wait(): device 0 WSM ready timeout (0xa0)\n";
        case Kind::program_fail:
            return "flash_wait(): write/set block lock error\n"
                   "flash_wait(): device 0 WSM ready timeout (0x90)\n";
        case Kind::vpp_low:
            return erase ? "flash_wait(): device is write protected\n"
                           "flash_wait(): erase/clear block lock error\n"
                           "flash_wait(): device 0 WSM ready timeout (0xa8)\n"
                         : "flash_wait(): device is write protected\n"
                           "flash_wait(): write/set block lock error\n"
                           "flash_wait(): device 0 WSM ready timeout (0x98)\n";
        case Kind::locked:
            return erase ? "flash_wait(): device is block locked\n"
                           "flash_wait(): erase/clear block lock error\n"
                           "flash_wait(): device 0 WSM ready timeout (0xa2)\n"
                         : "flash_wait(): device is block locked\n"
                           "flash_wait(): write/set block lock error\n"
                           "flash_wait(): device 0 WSM ready timeout (0x92)\n";
        case Kind::never_ready: return "flash_wait(): device 0 WSM ready timeout (0x00)\n";
        case Kind::absent:
        case Kind::board_absent:
            // Nothing drives the bus: every status bit reads as one.
            return "flash_wait(): device is block locked\n"
                   "flash_wait(): device is write suspended\n"
                   "flash_wait(): device is write protected\n"
                   "flash_wait(): write/set block lock error\n"
                   "flash_wait(): erase/clear block lock error\n"
                   "flash_wait(): device 0 WSM ready timeout (0xff)\n";
        default: return "";
    }
}

// How the fault is brought onto the board.
enum class Arm {
    before_run,        // on the board before the run starts
    at_phase_start,    // when the bytes programmed reach the phase's start
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

uint8_t set_byte(Phase p, uint32_t device_offset) {
    UpdateSetOptions o = matrix_set();
    switch (p) {
        case Phase::sound8: return tavtools::update_file_bytes(o, UpdateFile::sound)[device_offset];
        case Phase::sound1: return tavtools::update_file_bytes(o, UpdateFile::sound)[device_offset - (4u << 20)];
        case Phase::im_flsh0: return tavtools::update_file_bytes(o, UpdateFile::im_flsh0)[device_offset - 32768];
        case Phase::game: return tavtools::update_file_bytes(o, UpdateFile::game)[device_offset - 232768];
        case Phase::symbols: return tavtools::update_file_bytes(o, UpdateFile::symbols)[device_offset - 532768];
        case Phase::bootdata: return tavtools::update_file_bytes(o, UpdateFile::bootdata)[device_offset];
        case Phase::tavboot: return tavtools::update_file_bytes(o, UpdateFile::tavboot)[device_offset - kTavbootAt];
        case Phase::record: return 64;   // the low byte of tav_info_size
        default: return 0;
    }
}

Case make_case(Kind kind, Phase phase) {
    Case c;
    c.kind = kind;
    c.phase = phase;
    const PhaseShape s = shape_of(phase);
    c.fault.device = s.device;
    c.code = s.code;
    c.arm = s.programmed_before == 0 ? Arm::before_run : Arm::at_phase_start;

    if (phase == Phase::status) {
        // The status report only reads: write-side faults leave it alone; a stuck bit in the
        // record's size field and a board that does not answer do not.
        c.arm = Arm::before_run;
        c.status_report = true;
        c.loaded_after = kind != Kind::stuck;
        c.fault.block = 31;
        switch (kind) {
            case Kind::erase_fail: c.fault.kind = FaultKind::erase_fail; break;
            case Kind::program_fail: c.fault.kind = FaultKind::program_fail; break;
            case Kind::vpp_low: c.fault.kind = FaultKind::vpp_low; break;
            case Kind::locked: c.fault.kind = FaultKind::locked; break;
            case Kind::never_ready: c.fault.kind = FaultKind::never_ready; break;
            case Kind::buffer_busy: c.fault.kind = FaultKind::buffer_busy; break;
            case Kind::stuck:
                c.fault.kind = FaultKind::stuck;
                c.fault.block = -1;
                c.fault.offset = kInfo + 32;
                c.fault.mask = 0x40;
                c.code = 34;
                c.status_report = false;
                break;
            case Kind::absent:
                c.fault.kind = FaultKind::absent;
                c.fault.block = -1;
                c.code = 16;
                c.not_responding = true;
                c.status_report = false;
                break;
            case Kind::board_absent:
                c.code = 16;
                c.not_responding = true;
                c.status_report = false;
                break;
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
            c.fault.kind = FaultKind::erase_fail;
            c.fault.block = s.first_erase_block;
            c.err_driver = wait_messages(kind, true);
            return c;
        case Kind::program_fail:
        case Kind::vpp_low:
        case Kind::locked:
        case Kind::never_ready:
            if (phase == Phase::info_erase) {
                if (kind == Kind::program_fail) {
                    c.skip = "the erase of the information block programs nothing";
                    return c;
                }
                c.fault.block = 31;
                c.err_driver = wait_messages(kind, true);
            } else {
                c.fault.offset = s.program_at;
                c.err_driver = wait_messages(kind, s.erased_first && kind != Kind::program_fail);
            }
            c.fault.kind = kind == Kind::program_fail ? FaultKind::program_fail
                           : kind == Kind::vpp_low    ? FaultKind::vpp_low
                           : kind == Kind::locked     ? FaultKind::locked
                                                      : FaultKind::never_ready;
            return c;
        case Kind::stuck: {
            if (phase == Phase::info_erase) {
                c.skip = "an erase is not read back: stuck bits show where data is later programmed";
                return c;
            }
            c.fault.kind = FaultKind::stuck;
            c.fault.mask = 0xFF;
            uint32_t at = s.program_at;
            while (set_byte(phase, at) == 0) at++;
            c.fault.offset = at;
            uint32_t space_offset = phase == Phase::sound1 ? at - (4u << 20) : at;
            c.err_driver = fmt("flash_write(): data (0x00) != (0x%02x) at offset (0x%x)\n", set_byte(phase, at),
                               space_offset);
            return c;
        }
        case Kind::buffer_busy:
            if (!s.buffered) {
                c.skip = phase == Phase::info_erase ? "an erase does not use the write buffer"
                                                    : "the boot-block sound flash is programmed byte by byte";
                return c;
            }
            c.fault.kind = FaultKind::buffer_busy;
            c.fault.offset = s.program_at;
            c.err_driver = "";   // the driver gives up on the buffer silently
            return c;
        case Kind::absent:
        case Kind::board_absent:
            c.fault.kind = FaultKind::absent;
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
    for (Kind k : kKinds)
        for (Phase p : kPhases) cases.push_back(make_case(k, p));
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
        if (c.kind == Kind::board_absent) {
            board->set_board_absent(true);
            return;
        }
        std::string error;
        arm_ok_ = board->add_fault(c.fault, &error);
        arm_error_ = error;
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
    UpdateSetOptions o = matrix_set();
    std::string dir = make_set(o);
    auto file = [&](const char *base) { return dir + "/" + base; };

    if (c.phase == Phase::status) {
        RunResult load = run({"-p" + dir, "40215"});
        ASSERT_EQ(load.code, 0) << load.err;
    }
    board->reset_counters();

    const PhaseShape s = shape_of(c.phase);
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
        reliability_test::WallClockGuard guard(std::string(kind_name(c.kind)) + " in " + phase_name(c.phase), 120);
        r = run(c.phase == Phase::status ? std::vector<std::string>{"-status"}
                                         : std::vector<std::string>{"-p" + dir, "40215"});
    }
    int fds_after = reliability_test::open_descriptors();
    ASSERT_TRUE(armed_) << "the fault never came: the phase did not begin";
    ASSERT_TRUE(arm_ok_) << arm_error_;

    std::string loader_message;
    if (c.not_responding) {
        loader_message = kNotResponding;
    } else if (c.phase == Phase::info_erase) {
        loader_message = "tavload: unable to erase update FLASH\n";
    } else if (c.phase == Phase::record) {
        loader_message = "tavload: unable to write FLASH from TAVInfo\n";
    } else if (c.phase == Phase::status) {
        loader_message = c.status_report ? "" : kNotLoaded;
    } else {
        loader_message = "\ntavload: unable to write FLASH from (" + file(s.file) + ")\n";
    }
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.err, c.err_driver + loader_message);
    if (c.status_report) {
        EXPECT_EQ(r.out.rfind("TAV loaded on ", 0), 0u) << r.out;
        EXPECT_TRUE(ends_with(r.out, " with GameID 40215 Game & Sound updates.\n")) << r.out;
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
    if (c.loaded_after) {
        EXPECT_EQ(after.code, 0) << after.err;
        EXPECT_TRUE(ends_with(after.out, " with GameID 40215 Game & Sound updates.\n")) << after.out;
    } else {
        EXPECT_EQ(after.code, 34) << after.out << after.err;
        EXPECT_EQ(after.err, kNotLoaded);
        EXPECT_EQ(after.out, "");
    }
}

std::string case_name(const testing::TestParamInfo<Case> &info) {
    return std::string(kind_name(info.param.kind)) + "In" + phase_name(info.param.phase);
}

INSTANTIATE_TEST_SUITE_P(EveryFaultInEveryPhase, FaultMatrixTest, testing::ValuesIn(all_cases()), case_name);

// The size of the matrix, for the record: how many fault x phase cases run and how many
// cannot happen.
TEST(FaultMatrixSize, CountsCoveredAndImpossibleCases) {
    int covered = 0;
    int impossible = 0;
    for (const Case &c : all_cases()) (c.skip.empty() ? covered : impossible)++;
    std::printf("fault matrix: %d faults x %d phases = %d cases, %d covered, %d cannot happen\n",
                int(std::size(kKinds)), int(std::size(kPhases)), covered + impossible, covered, impossible);
    EXPECT_EQ(covered + impossible, int(std::size(kKinds) * std::size(kPhases)));
    EXPECT_GE(covered, 75);
}

}  // namespace
