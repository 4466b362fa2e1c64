// tavsim run as a process: its subcommands, their output and their exit statuses.
#include "board/model.h"
#include "tests/board_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace tavboard;
using namespace boardtest;

namespace {


bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

struct Outcome {
    int status;
    std::string out, err;
};

class Tavsim : public ::testing::Test {
  protected:
    // Runs tavsim with `args` (shell words) in the scratch folder, TAV_HOME beneath it.
    Outcome tavsim(const std::string &args) {
        std::string cmd = "cd '" + dir_.path + "' && TAV_HOME='" + path("home") + "' '" TAV_BIN_DIR "/tavsim' " +
                          args + " >out.txt 2>err.txt";
        int raw = std::system(cmd.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(path("out.txt")), slurp(path("err.txt"))};
    }
    std::string path(const std::string &name) { return dir_.file(name); }
    std::unique_ptr<Board> board(const char *name = "b.img") {
        std::string error;
        auto b = Board::open(path(name), &error);
        EXPECT_TRUE(b) << error;
        return b;
    }
    ScratchDir dir_;
};

TEST_F(Tavsim, CreateThenInfoShowsTheDefaultFitAndNoValidRecord) {
    Outcome c = tavsim("create b.img");
    ASSERT_EQ(c.status, 0) << c.err;
    Outcome i = tavsim("info b.img");
    ASSERT_EQ(i.status, 0) << i.err;
    for (std::string shown : {"game flash: 4 MB", "32 blocks of 128 KB", "device code 0x16",
                              "sound flash: 1 MB boot-block", "device code 0x9D", "information record: not valid",
                              "tav_info_size:       4294967295"})
        EXPECT_TRUE(has(i.out, shown)) << shown << "\n" << i.out;
    for (std::string name : {"accesses", "register-writes", "reads", "writes", "erases", "programmed-bytes",
                             "not-erased-bits", "busy-us"})
        EXPECT_TRUE(has(i.out, "counter " + name + " 0\n")) << name << "\n" << i.out;
}

TEST_F(Tavsim, CreateOptionsChooseTheFit) {
    struct {
        const char *options;
        std::vector<const char *> shown;
    } cases[] = {
        {"--game 8M --game-block 32K --sound 256K",
         {"game flash: 8 MB", "256 blocks of 32 KB", "0x17", "256 KB boot-block", "0x75", "1 x 128 KB"}},
        {"--game-block 64K --sound 512K", {"64 blocks of 64 KB", "512 KB boot-block", "0x71", "3 x 128 KB"}},
        {"--sound none", {"sound flash: none"}},
        {"--absent", {"board: absent"}},
    };
    for (const auto &c : cases) {
        Outcome r = tavsim(std::string("create --force ") + c.options + " b.img");
        ASSERT_EQ(r.status, 0) << c.options << ": " << r.err;
        Outcome i = tavsim("info b.img");
        ASSERT_EQ(i.status, 0);
        for (const char *s : c.shown) EXPECT_TRUE(has(i.out, s)) << c.options << ": wants " << s << "\n" << i.out;
    }
}

TEST_F(Tavsim, BadOptionsAndValuesAreUsageErrors) {
    ASSERT_EQ(tavsim("create b.img").status, 0);
    const char *bad[] = {
        "", "frobnicate", "create --game 5M b.img", "create --game-block 256K b.img", "create --sound 2M b.img",
        "create --bogus b.img", "create --game", "create a.img b.img", "info a.img b.img", "export b.img",
        "export --game g.bin --sound s.bin b.img", "fault", "fault push b.img", "fault add b.img",
        "fault add meltdown b.img", "fault add power-cut b.img", "fault add power-cut --after 0 b.img",
        "fault add stuck --offset 10 b.img", "fault add stuck --mask 1 b.img", "fault add erase-fail --mask 1 b.img",
        "fault add erase-fail --after 3 b.img", "fault add erase-fail --device video b.img",
        "fault add erase-fail --block x b.img", "fault add erase-fail --offset zz b.img",
        "fault add erase-fail --block 1 --offset 10 b.img", "timing b.img", "timing slow b.img",
        "timing instant --busy-reads many b.img", "counters b.img", "counters zero b.img",
    };
    for (const char *args : bad) {
        Outcome r = tavsim(args);
        EXPECT_EQ(r.status, 2) << "tavsim " << args;
        EXPECT_TRUE(has(r.err, "usage: tavsim")) << "tavsim " << args << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << "tavsim " << args;
    }
    EXPECT_TRUE(tavsim("fault list b.img").out == "no faults\n") << "usage errors changed nothing";
}

TEST_F(Tavsim, BoardsThatCannotBeOpenedOrMadeEndWithStatus1) {
    std::ofstream(path("foreign.img")) << "not a board at all";
    ASSERT_EQ(tavsim("create b.img").status, 0);
    ASSERT_EQ(tavsim("create held.img").status, 0);
    std::string error;
    auto held = Board::open(path("held.img"), &error);
    ASSERT_TRUE(held) << error;
    struct {
        const char *args, *message;
    } cases[] = {
        {"info missing.img", "missing.img"},
        {"info foreign.img", "not a TAV board file"},
        {"fault list foreign.img", "not a TAV board file"},
        {"counters reset missing.img", "missing.img"},
        {"create b.img", "already exists"},
        {"info held.img", "in use by another process"},
        {"fault add erase-fail --block 32 b.img", "block 32"},
    };
    for (const auto &c : cases) {
        Outcome r = tavsim(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_TRUE(has(r.err, c.message)) << c.args << ": " << r.err;
    }
    EXPECT_EQ(slurp(path("foreign.img")), "not a board at all");
    EXPECT_EQ(tavsim("create --force b.img").status, 0);
}

TEST_F(Tavsim, FaultsAreAddedListedAndCleared) {
    ASSERT_EQ(tavsim("create b.img").status, 0);
    struct {
        const char *args;
        const char *listed;
    } faults[] = {
        {"erase-fail --device sound --block 2", "erase-fail sound block 2"},
        {"program-fail --offset 1f000", "program-fail game offset 0x1f000"},
        {"stuck --offset 0x10 --mask 81", "stuck game offset 0x10 mask 0x81"},
        {"vpp-low", "vpp-low game (whole device)"},
        {"locked --block 0", "locked game block 0"},
        {"never-ready --block 5", "never-ready game block 5"},
        {"buffer-busy", "buffer-busy game"},
        {"absent --device sound", "absent sound"},
        {"power-cut --after 1234", "power-cut after 1234"},
    };
    for (const auto &f : faults) ASSERT_EQ(tavsim(std::string("fault add ") + f.args + " b.img").status, 0) << f.args;
    Outcome list = tavsim("fault list b.img");
    ASSERT_EQ(list.status, 0);
    for (const auto &f : faults) EXPECT_TRUE(has(list.out, f.listed)) << f.listed << "\n" << list.out;
    EXPECT_TRUE(has(tavsim("info b.img").out, "power-cut after 1234"));
    ASSERT_EQ(tavsim("fault clear b.img").status, 0);
    EXPECT_EQ(tavsim("fault list b.img").out, "no faults\n");
}

TEST_F(Tavsim, TimingIsStoredWithTheBoard) {
    ASSERT_EQ(tavsim("create b.img").status, 0);
    ASSERT_EQ(tavsim("timing datasheet b.img").status, 0);
    EXPECT_TRUE(has(tavsim("info b.img").out, "timing: datasheet"));
    ASSERT_EQ(tavsim("timing instant --busy-reads 5 b.img").status, 0);
    EXPECT_TRUE(has(tavsim("info b.img").out, "timing: instant, 5 busy status reads"));
}

TEST_F(Tavsim, ExportWritesTheRawContentsOfOneDevice) {
    ASSERT_EQ(tavsim("create --sound 512K b.img").status, 0);
    {
        auto b = board();
        ASSERT_TRUE(b);
        for (Device dev : {Device::game, Device::sound}) ASSERT_EQ(program(*b, dev, 0x4010, 0x42), 0x80);
    }
    ASSERT_EQ(tavsim("export --game g.bin b.img").status, 0);
    ASSERT_EQ(tavsim("export --sound=s.bin b.img").status, 0);
    std::string g = slurp(path("g.bin")), s = slurp(path("s.bin"));
    ASSERT_EQ(g.size(), 4u << 20);
    ASSERT_EQ(s.size(), 512u << 10);
    EXPECT_EQ(uint8_t(g[0x4010]), 0x42);
    EXPECT_EQ(uint8_t(s[0x4010]), 0x42);
    EXPECT_EQ(uint8_t(g[0x4011]), 0xFF);
    EXPECT_EQ(tavsim("create --force --sound none n.img").status, 0);
    EXPECT_EQ(tavsim("export --sound s2.bin n.img").status, 1);
}

TEST_F(Tavsim, CountersAccumulateAcrossProcessesAndReset) {
    ASSERT_EQ(tavsim("create b.img").status, 0);
    for (uint32_t run = 0; run < 2; run++) ASSERT_EQ(program(*board(), Device::game, 0x10 + run, 0x00), 0x80);
    Outcome info = tavsim("info b.img");
    for (const char *line : {"counter programmed-bytes 2\n", "counter register-writes 8\n", "counter command-0x40 2\n"})
        EXPECT_TRUE(has(info.out, line)) << line << info.out;
    ASSERT_EQ(tavsim("counters reset b.img").status, 0);
    info = tavsim("info b.img");
    EXPECT_TRUE(has(info.out, "counter programmed-bytes 0\n")) << info.out;
    EXPECT_FALSE(has(info.out, "command-0x40")) << info.out;
}

TEST_F(Tavsim, InfoDecodesTheInformationRecordAndJudgesIt) {
    uint32_t words[64] = {};
    std::memcpy(words, "Fri Dec 13 16:03:17 1996", 25);
    words[8] = 64;
    words[10] = 40215;
    words[11] = 123456;
    words[12] = 0xDEADBEEF;
    words[13] = 1048576;
    words[14] = 0x1234;
    std::memcpy(&words[15], "13Dec96", 8);
    uint32_t sum = 0;
    for (uint32_t w : words) sum += w;
    words[9] = 0u - sum;
    for (bool valid : {true, false}) {
        ASSERT_EQ(tavsim("create --force b.img").status, 0);
        if (!valid) words[11] ^= 0x100;
        {
            auto b = board();
            ASSERT_TRUE(b);
            const uint32_t record_at = (4u << 20) - (128u << 10);  // the last erase block of space 0
            for (uint32_t i = 0; i < 256; i++)
                program(*b, Device::game, record_at + i, uint8_t(words[i / 4] >> (8 * (i % 4))));
        }
        Outcome info = tavsim("info b.img");
        ASSERT_EQ(info.status, 0);
        for (const char *shown : {valid ? "information record: valid\n" : "information record: not valid (words sum to",
                                  "tav_info_timestamp:  \"Fri Dec 13 16:03:17 1996\"", "game_id:             40215\n",
                                  "game_checksum:       0xdeadbeef\n", "sound_size:          1048576\n",
                                  "magic_cookie:        \"13Dec96\""})
            EXPECT_TRUE(has(info.out, shown)) << shown << "\n" << info.out;
    }
}

TEST_F(Tavsim, TheDefaultBoardIsMadeOnFirstUseInTavHome) {
    Outcome r = tavsim("info");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, path("home") + "/board.img")) << r.out;
    EXPECT_TRUE(has(r.out, "32 blocks of 128 KB")) << r.out;
    ASSERT_EQ(tavsim("fault add vpp-low").status, 0);
    EXPECT_TRUE(has(tavsim("fault list").out, "vpp-low")) << "the same default board";
}

}  // namespace
