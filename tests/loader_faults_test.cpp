// The fault matrix: every fault the model can inject, in each phase of a load and in the status
// report: the driver's and the loader's messages, the code, no descriptor left open, and the
// board, the fault gone and the power cycled, not loaded. The fault names the erase block or
// byte of the phase's first operation and appears when the phase begins (bytes programmed so
// far), so exactly one phase meets it.
#include "model_fixture.h"

namespace jobs_test {
namespace {

using tavboard::Device;
using tavboard::FaultKind;

// Images at [32768, 232768) (erase blocks 0 and 1), [232768, 532768) (first erases block 2) and
// [532768, 732768) (first erases block 5); tavboot.rom, then 12768 bytes of zero fill.
UpdateSetOptions matrix_set() {
    UpdateSetOptions o;
    o.im_flsh0_bytes = 200000, o.game_bytes = 300000, o.symbols_bytes = 200000, o.tavboot_bytes = 20000;
    return o;
}
const std::string kNotResponding = "tavload: TAV not responding - check if board and jumper are both present\n";

#define W "flash_wait(): "
const std::string kAllOnes = W "device is block locked\n" W "device is write suspended\n" W "device is write protected\n" W
                             "write/set block lock error\n" W "erase/clear block lock error\n" W "device 0 WSM ready timeout (0xff)\n";
// Each fault, and what the driver says of it in an erase and in a program ("-": it cannot
// happen there). An absent device or board reads as all ones.
const struct {
    const char *name;
    FaultKind fault;
    std::string erase_err, write_err;
} kKinds[] = {
    {"EraseFail", FaultKind::erase_fail, W "erase/clear block lock error\n" W "device 0 WSM ready timeout (0xa0)\n", "-"},
    {"ProgramFail", FaultKind::program_fail, "-", W "write/set block lock error\n" W "device 0 WSM ready timeout (0x90)\n"},
    {"StuckBits", FaultKind::stuck, "-", "stuck"},
    {"VppLow", FaultKind::vpp_low, W "device is write protected\n" W "erase/clear block lock error\n" W "device 0 WSM ready timeout (0xa8)\n", W "device is write protected\n" W "write/set block lock error\n" W "device 0 WSM ready timeout (0x98)\n"},
    {"Locked", FaultKind::locked, W "device is block locked\n" W "erase/clear block lock error\n" W "device 0 WSM ready timeout (0xa2)\n", W "device is block locked\n" W "write/set block lock error\n" W "device 0 WSM ready timeout (0x92)\n"},
    {"NeverReady", FaultKind::never_ready, W "device 0 WSM ready timeout (0x00)\n", W "device 0 WSM ready timeout (0x00)\n"},
    {"BufferBusy", FaultKind::buffer_busy, "-", ""},   // the driver gives up on the buffer silently
    {"DeviceAbsent", FaultKind::absent, kAllOnes, kAllOnes},
    {"BoardAbsent", FaultKind::absent, kAllOnes, kAllOnes},
};
#undef W

constexpr uint64_t kSound = 1048576, kBeforeBoot = kSound + 700000;
constexpr uint32_t kInfo = (4u << 20) - (128u << 10);
// What one phase looks like to a fault; in the order of the matrix's columns.
const struct Phase {
    const char *name;
    uint64_t programmed_before;   // bytes programmed when the phase begins
    Device device;
    int32_t first_erase_block;    // -1: the phase erases nothing
    uint32_t program_at;          // a device offset the phase programs ...
    bool erased_first;            // ... whose block the phase erases before
    bool buffered;                // programs through the write buffer
    UpdateFile source;            // the file programmed ...
    uint32_t source_at;           // ... from this device offset on
    int code;                     // result code of a failure here
    const char *loader_err;       // the loader's message; "@F@": "(" the file's name ")"
} kPhases[] = {
    {"InfoErase", 0, Device::game, 31, 0, true, false, UpdateFile::sound, 0, 32, "tavload: unable to erase update FLASH\n"},
    {"SoundSpace8", 0, Device::sound, 0, 0x10, true, false, UpdateFile::sound, 0, 21, "@F@"},
    {"SoundSpace1", 0, Device::game, 32, (4u << 20) + 0x10, true, true, UpdateFile::sound, 4u << 20, 21, "@F@"},
    {"ImFlsh0", kSound, Device::game, 0, 32768 + 0x10, true, true, UpdateFile::im_flsh0, 32768, 21, "@F@"},
    {"Game", kSound + 200000, Device::game, 2, 232768 + 0x10, false, true, UpdateFile::game, 232768, 24, "@F@"},
    {"Symbols", kSound + 500000, Device::game, 5, 532768 + 0x10, false, true, UpdateFile::symbols, 532768, 27, "@F@"},
    {"BootData", kBeforeBoot, Device::game, -1, 0x10, false, true, UpdateFile::bootdata, 0, 15, "@F@"},
    {"Tavboot", kBeforeBoot + 32768, Device::game, 31, 0x3F8010, true, true, UpdateFile::tavboot, 0x3F8000, 31, "@F@"},
    {"Record", kBeforeBoot + 65536, Device::game, -1, kInfo + 32, false, true, UpdateFile::sound, 0, 33, "tavload: unable to write FLASH from TAVInfo\n"},
    {"Status", 0, Device::game, 31, kInfo + 32, false, false, UpdateFile::sound, 0, 34, ""},
};

struct Case {
    size_t kind, phase;
    tavboard::Fault fault;
    bool arm_before = true, arm_after_program = false;   // else at the phase's start
    int code = 0;
    std::string err;                // "@F@" as above
    bool still_loaded = false;      // status report: the load survives the fault
};

void PrintTo(const Case &c, std::ostream *os) { *os << kKinds[c.kind].name << " in " << kPhases[c.phase].name; }

// The case of a fault in a phase; false when it cannot happen there.
bool make_case(size_t k, size_t p, Case *c) {
    const Phase &s = kPhases[p];
    const bool status = p == 9, absent = kKinds[k].fault == FaultKind::absent, stuck = k == 2;
    *c = Case{k, p, {kKinds[k].fault, s.device}, s.programmed_before == 0, false, s.code, "", false};
    if (status) {   // the report only reads: a stuck bit in the record's size field and a silent board matter
        c->still_loaded = !stuck && !absent;
        c->fault.block = stuck || k == 7 ? -1 : 31;
        if (stuck) c->fault.offset = kInfo + 32, c->fault.mask = 0x40;
        c->code = c->still_loaded ? 0 : stuck ? 34 : 16;
        c->err = stuck ? kNotLoaded : c->still_loaded ? "" : kNotResponding;
        return true;
    }
    if (absent && (p == 0 || (p == 1 && k == 7))) return c->code = 16, c->err = kNotResponding, true;   // nothing answers from the start: the query fails
    c->arm_after_program = absent;   // else the device stops answering in its first program
    c->arm_before = c->arm_before && !absent;
    const bool erase = k == 0 || (p == 0) || (s.erased_first && kKinds[k].erase_err != "-" && k != 1 && !absent);
    c->err = (erase ? kKinds[k].erase_err : kKinds[k].write_err) + s.loader_err;
    if (c->err[0] == '-' || (k == 6 && !s.buffered) || (k == 0 && s.first_erase_block < 0)) return false;
    if (k == 0 || p == 0) c->fault.block = p == 0 ? 31 : s.first_erase_block;
    else if (!absent) c->fault.offset = s.program_at;
    if (stuck) {   // a byte the set does not have as zero, held at zero
        std::vector<uint8_t> bytes = tavtools::update_file_bytes(matrix_set(), s.source);
        auto byte_at = [&](uint32_t at) { return p == 8 ? 64 : bytes[at - s.source_at]; };
        while (byte_at(c->fault.offset) == 0) c->fault.offset++;
        c->fault.mask = 0xFF;
        char text[96];
        std::snprintf(text, sizeof text, "flash_write(): data (0x00) != (0x%02x) at offset (0x%x)\n", byte_at(c->fault.offset),
                      unsigned(p == 2 ? c->fault.offset - (4u << 20) : c->fault.offset));
        c->err = text + std::string(s.loader_err);
    }
    return true;
}

std::vector<Case> all_cases() {
    std::vector<Case> cases;
    Case c;
    for (size_t k = 0; k < std::size(kKinds); k++)
        for (size_t p = 0; p < std::size(kPhases); p++)
            if (make_case(k, p, &c)) cases.push_back(c);
    return cases;
}

class FaultMatrix : public LoaderJobsTest, public testing::WithParamInterface<Case> {};

TEST_P(FaultMatrix, FailsInItsPhaseAndLeavesTheBoardNotLoaded) {
    const Case &c = GetParam();
    const Phase &s = kPhases[c.phase];
    if (c.phase == 2) remake_board({8u << 20, 128u << 10, 0, false});
    std::string dir = make_set(matrix_set());
    if (c.phase == 9) { ASSERT_EQ(run({"-p" + dir, "40215"}).code, 0); }
    board->reset_counters();
    bool armed = false;
    auto arm = [&] {
        armed = true;
        std::string error;
        if (c.kind == 8) board->set_board_absent(true);
        else ASSERT_TRUE(board->add_fault(c.fault, &error)) << error;
    };
    if (c.arm_before) arm();
    board->set_status_read_hook([&] {
        tick_clock_advance(1);
        uint64_t programmed = board->counters().programmed_bytes;
        if (!armed && (c.arm_after_program ? programmed > s.programmed_before : programmed >= s.programmed_before)) arm();
    });
    const int descriptors = open_descriptors();
    RunResult r = run(c.phase == 9 ? std::vector<std::string>{"-status"} : std::vector<std::string>{"-p" + dir, "40215"});
    ASSERT_TRUE(armed) << "the phase did not begin";
    EXPECT_EQ(r.code, c.code);
    const std::string file = "\ntavload: unable to write FLASH from (" + dir + "/" + tavtools::update_file_base(s.source) + ")\n";
    EXPECT_EQ(r.err, replaced(c.err, "@F@", file));
    EXPECT_TRUE(c.still_loaded ? r.out.rfind("TAV loaded on ", 0) == 0 && r.out.find(kLoaded) != std::string::npos : r.out.empty()) << r.out;
    EXPECT_EQ(open_descriptors(), descriptors) << "a file was left open";

    // The fault gone and the power cycled.
    board->clear_faults(), board->set_board_absent(false);
    reopen_board();
    RunResult after = run({"-status"});
    const bool loaded = c.phase == 9 && c.kind != 2;
    EXPECT_EQ(after.code, loaded ? 0 : 34);
    EXPECT_EQ(after.err, loaded ? "" : kNotLoaded);
}

INSTANTIATE_TEST_SUITE_P(EveryFaultInEveryPhase, FaultMatrix, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case> &info) {
                             return std::string(kKinds[info.param.kind].name) + "In" + kPhases[info.param.phase].name;
                         });

}  // namespace
}  // namespace jobs_test
