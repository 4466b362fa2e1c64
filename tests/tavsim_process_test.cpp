// tavsim as a process: its subcommands in turn on board files in one folder (TAV_HOME beneath
// it), each with its exit status and what its output must show; usage errors change nothing.
#include <gtest/gtest.h>

#include <sstream>

#include "support.h"

namespace {

TEST(Tavsim, SubcommandsInTurn) {
    tavtest::TempDir dir;
    const struct {
        const char *args;
        int status;
        std::vector<std::string> shown;   // in standard output, or in standard error when status != 0
    } rows[] = {
        {"info", 0, {dir.file("home/board.img"), "32 blocks of 128 KB"}},   // the default board, made on first use
        {"fault add vpp-low", 0, {}},
        {"fault list", 0, {"vpp-low"}},
        {"create b.img", 0, {}},
        {"info b.img", 0, {"game flash: 4 MB", "32 blocks of 128 KB", "device code 0x16", "sound flash: 1 MB boot-block", "device code 0x9D",
                           "information record: not valid", "tav_info_size:       4294967295", "counter programmed-bytes 0\n", "counter busy-us 0\n"}},
        {"create b.img", 1, {"already exists"}},
        {"info missing.img", 1, {"missing.img"}},
        {"create --force --game 8M --game-block 32K --sound 256K e.img", 0, {}},
        {"info e.img", 0, {"game flash: 8 MB", "256 blocks of 32 KB", "0x17", "256 KB boot-block", "0x75", "1 x 128 KB"}},
        {"create --sound none n.img", 0, {}},
        {"info n.img", 0, {"sound flash: none"}},
        {"export --sound s.bin n.img", 1, {}},
        {"create --absent a.img", 0, {}},
        {"info a.img", 0, {"board: absent"}},
        {"fault add erase-fail --device sound --block 2 b.img", 0, {}},
        {"fault add stuck --offset 0x10 --mask 81 b.img", 0, {}},
        {"fault add never-ready --block 5 b.img", 0, {}},
        {"fault add absent --device sound b.img", 0, {}},
        {"fault add power-cut --after 1234 b.img", 0, {}},
        {"fault add kill --after 99 b.img", 0, {}},
        {"fault add erase-fail --block 32 b.img", 1, {"block 32"}},
        {"fault list b.img", 0, {"erase-fail sound block 2", "stuck game offset 0x10 mask 0x81", "never-ready game block 5", "absent sound", "power-cut after 1234", "kill after 99"}},
        {"fault clear b.img", 0, {}},
        {"fault list b.img", 0, {"no faults\n"}},
        {"timing datasheet b.img", 0, {}},
        {"info b.img", 0, {"timing: datasheet"}},
        {"export --game g.bin b.img", 0, {}},
        {"export --sound=s.bin e.img", 0, {}},
        {"counters reset b.img", 0, {}},
        {"power-cycle b.img", 0, {"power cycled: both devices in read array, status 0x80, nothing busy\n"}},
        {"flip --device sound --offset 0x10 --mask ff e.img", 0, {}},
        {"info b.img", 0, {"counter accesses 0\n"}},
    };
    const char *const usage_errors[] = {"", "frobnicate", "create --game 5M x.img", "create --bogus x.img", "info a.img b.img", "export b.img", "fault add meltdown b.img",
                                        "fault add stuck --offset 10 b.img", "fault add erase-fail --mask 1 b.img", "timing slow b.img", "counters zero b.img", "make-update set",
                                        "make-update set 4021x", "make-update set 40215 --game -4", "flip --device game --offset 0x10 b.img", "power-cycle --game 8M b.img"};
    auto run = [&](const std::string &args) {
        std::vector<std::string> words;
        std::istringstream split(args);
        for (std::string w; split >> w;) words.push_back(w);
        return tavtest::run_process({TAV_BIN_DIR "/tavsim", words, dir.path(), {"TAV_HOME=" + dir.file("home")}});
    };
    for (const auto &row : rows) {
        tavtest::ProcessOutcome r = run(row.args);
        EXPECT_EQ(r.exit_status, row.status) << row.args << ": " << r.err;
        for (const std::string &part : row.shown)
            EXPECT_NE((row.status == 0 ? r.out : r.err).find(part), std::string::npos) << row.args << " shows " << part;
    }
    for (const char *args : usage_errors) {
        tavtest::ProcessOutcome r = run(args);
        EXPECT_EQ(r.exit_status, 2) << args;
        EXPECT_NE(r.err.find("usage: tavsim"), std::string::npos) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
    EXPECT_EQ(tavtest::read_file(dir.file("g.bin")).size(), 4u << 20);
    EXPECT_EQ(tavtest::read_file(dir.file("s.bin")).size(), 256u << 10);
    EXPECT_EQ(run("fault list b.img").out, "no faults\n") << "usage errors changed nothing";
}

}  // namespace
