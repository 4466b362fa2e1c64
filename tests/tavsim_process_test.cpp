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

struct Outcome {
    int status;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Tavsim : public ::testing::Test {
  protected:
    // Runs tavsim with `args` (shell words) and TAV_HOME set to a scratch folder.
    Outcome tavsim(const std::string &args) {
        std::string out = dir_.file("out.txt"), err = dir_.file("err.txt");
        std::string cmd = "cd '" + dir_.file("") + "' && TAV_HOME='" + dir_.file("home") + "' '" +
                          std::string(TAV_BIN_DIR) + "/tavsim' " + args + " >'" + out + "' 2>'" + err + "'";
        int raw = std::system(cmd.c_str());
        Outcome r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }
    std::string path(const std::string &name) { return dir_.file(name); }
    ScratchDir dir_;
};

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST_F(Tavsim, CreateThenInfoShowsTheDefaultFitAndNoValidRecord) {
    Outcome c = tavsim("create b.img");
    ASSERT_EQ(c.status, 0) << c.err;
    Outcome i = tavsim("info b.img");
    ASSERT_EQ(i.status, 0) << i.err;
    EXPECT_TRUE(has(i.out, "game flash: 4 MB")) << i.out;
    EXPECT_TRUE(has(i.out, "32 blocks of 128 KB")) << i.out;
    EXPECT_TRUE(has(i.out, "device code 0x16")) << i.out;
    EXPECT_TRUE(has(i.out, "sound flash: 1 MB boot-block")) << i.out;
    EXPECT_TRUE(has(i.out, "device code 0x9D")) << i.out;
    EXPECT_TRUE(has(i.out, "information record: not valid")) << i.out;
    EXPECT_TRUE(has(i.out, "tav_info_size:       4294967295")) << i.out;
    for (const char *name : {"accesses", "register-writes", "reads", "writes", "erases", "programmed-bytes",
                              "not-erased-bits", "busy-us"})
        EXPECT_TRUE(has(i.out, std::string("counter ") + name + " 0\n")) << name << "\n" << i.out;
}

TEST_F(Tavsim, CreateOptionsChooseTheFit) {
    struct {
        const char *options;
        std::vector<const char *> shown;
    } cases[] = {
        {"--game 8M --game-block 32K --sound 256K", {"game flash: 8 MB", "256 blocks of 32 KB", "0x17", "256 KB boot-block", "0x75", "1 x 128 KB"}},
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

TEST_F(Tavsim, CreateRefusesAnExistingBoardWithoutForce) {
    ASSERT_EQ(tavsim("create b.img").status, 0);
    Outcome r = tavsim("create b.img");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "already exists")) << r.err;
    EXPECT_EQ(tavsim("create --force b.img").status, 0);
}

TEST_F(Tavsim, BadOptionsAndValuesAreUsageErrors) {
    ASSERT_EQ(tavsim("create b.img").status, 0);
    const char *bad[] = {
        "",
        "frobnicate",
        "create --game 5M b.img",
        "create --game-block 256K b.img",
        "create --sound 2M b.img",
        "create --bogus b.img",
        "create --game",
        "create a.img b.img",
        "info a.img b.img",
        "export b.img",
        "export --game g.bin --sound s.bin b.img",
        "fault",
        "fault push b.img",
        "fault add b.img",
        "fault add meltdown b.img",
        "fault add power-cut b.img",
        "fault add power-cut --after 0 b.img",
        "fault add stuck --offset 10 b.img",
        "fault add stuck --mask 1 b.img",
        "fault add erase-fail --mask 1 b.img",
        "fault add erase-fail --after 3 b.img",
        "fault add erase-fail --device video b.img",
        "fault add erase-fail --block x b.img",
        "fault add erase-fail --offset zz b.img",
        "fault add erase-fail --block 1 --offset 10 b.img",
        "timing b.img",
        "timing slow b.img",
        "timing instant --busy-reads many b.img",
        "counters b.img",
        "counters zero b.img",
    };
    for (const char *args : bad) {
        Outcome r = tavsim(args);
        EXPECT_EQ(r.status, 2) << "tavsim " << args;
        EXPECT_TRUE(has(r.err, "usage: tavsim")) << "tavsim " << args << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << "tavsim " << args;
    }
    EXPECT_TRUE(tavsim("fault list b.img").out == "no faults\n") << "usage errors changed nothing";
}

TEST_F(Tavsim, BoardsThatCannotBeOpenedEndWithStatus1) {
    {
        std::ofstream foreign(path("foreign.img"));
        foreign << "not a board at all";
    }
    struct {
        const char *args;
        const char *message;
    } cases[] = {
        {"info missing.img", "missing.img"},
        {"info foreign.img", "not a TAV board file"},
        {"fault list foreign.img", "not a TAV board file"},
        {"counters reset missing.img", "missing.img"},
    };
    for (const auto &c : cases) {
        Outcome r = tavsim(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_TRUE(has(r.err, c.message)) << c.args << ": " << r.err;
    }
    EXPECT_EQ(slurp(path("foreign.img")), "not a board at all");
}

TEST_F(Tavsim, ABoardHeldByAnotherProcessIsRefused) {
    ASSERT_EQ(tavsim("create b.img").status, 0);
    std::string error;
    auto held = Board::open(path("b.img"), &error);
    ASSERT_TRUE(held) << error;
    Outcome r = tavsim("info b.img");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "in use by another process")) << r.err;
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
    Outcome info = tavsim("info b.img");
    EXPECT_TRUE(has(info.out, "power-cut after 1234")) << info.out;
    Outcome beyond = tavsim("fault add erase-fail --block 32 b.img");
    EXPECT_EQ(beyond.status, 1) << "a block beyond the device is refused";
    EXPECT_TRUE(has(beyond.err, "block 32")) << beyond.err;
    ASSERT_EQ(tavsim("fault clear b.img").status, 0);
    EXPECT_EQ(tavsim("fault list b.img").out, "no faults\n");
}

TEST_F(Tavsim, TimingIsStoredWithTheBoard) {
    ASSERT_EQ(tavsim("create b.img").status, 0);
    ASSERT_EQ(tavsim("timing datasheet b.img").status, 0);
    EXPECT_TRUE(has(tavsim("info b.img").out, "timing: datasheet"));
    ASSERT_EQ(tavsim("timing instant --busy-reads 5 b.img").status, 0);
    EXPECT_TRUE(has(tavsim("info b.img").out, "timing: instant, 5 busy status reads"));
    std::string error;
    auto b = Board::open(path("b.img"), &error);
    ASSERT_TRUE(b) << error;
    EXPECT_EQ(b->busy_reads(), 5u);
}

TEST_F(Tavsim, ExportWritesTheRawContentsOfOneDevice) {
    ASSERT_EQ(tavsim("create --sound 512K b.img").status, 0);
    {
        std::string error;
        auto b = Board::open(path("b.img"), &error);
        ASSERT_TRUE(b) << error;
        for (uint32_t space : {0x0000u, 0x8000u}) {
            select_page(*b, space | 1);
            b->write(0x10, 0x40);
            b->write(0x10, 0x42);
            poll_ready(*b, 0);
        }
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
    for (int run = 0; run < 2; run++) {
        std::string error;
        auto b = Board::open(path("b.img"), &error);
        ASSERT_TRUE(b) << error;
        select_page(*b, 0);
        b->write(0x10 + run, 0x40);
        b->write(0x10 + run, 0x00);
        poll_ready(*b, 0);
    }
    Outcome info = tavsim("info b.img");
    EXPECT_TRUE(has(info.out, "counter programmed-bytes 2\n")) << info.out;
    EXPECT_TRUE(has(info.out, "counter register-writes 8\n")) << info.out;
    EXPECT_TRUE(has(info.out, "counter command-0x40 2\n")) << info.out;
    ASSERT_EQ(tavsim("counters reset b.img").status, 0);
    info = tavsim("info b.img");
    EXPECT_TRUE(has(info.out, "counter programmed-bytes 0\n")) << info.out;
    EXPECT_FALSE(has(info.out, "command-0x40")) << info.out;
}

// Writes a 256-byte information record into the last erase block of space 0.
void write_record(Board &b, const uint32_t words[64]) {
    uint32_t at = (4u << 20) - (128u << 10);
    for (uint32_t i = 0; i < 256; i++) {
        uint8_t v = uint8_t(words[i / 4] >> (8 * (i % 4)));
        if (v == 0xFF) continue;
        uint32_t w = at_game(b, at + i);
        b.write(w, 0x40);
        b.write(w, v);
        poll_ready(b, w);
        b.write(w, 0xFF);
    }
}

TEST_F(Tavsim, InfoDecodesTheInformationRecordAndJudgesIt) {
    uint32_t words[64] = {};
    const char stamp[] = "Fri Dec 13 16:03:17 1996";
    std::memcpy(words, stamp, sizeof stamp);
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
    struct {
        const char *name;
        int change_word;  // -1: none
        const char *verdict;
    } cases[] = {
        {"valid", -1, "information record: valid\n"},
        {"bad_sum", 11, "information record: not valid (words sum to"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(tavsim("create --force b.img").status, 0);
        uint32_t record[64];
        std::memcpy(record, words, sizeof record);
        if (c.change_word >= 0) record[c.change_word] ^= 0x100;
        {
            std::string error;
            auto b = Board::open(path("b.img"), &error);
            ASSERT_TRUE(b) << error;
            write_record(*b, record);
        }
        Outcome info = tavsim("info b.img");
        ASSERT_EQ(info.status, 0);
        EXPECT_TRUE(has(info.out, c.verdict)) << c.name << "\n" << info.out;
        EXPECT_TRUE(has(info.out, "tav_info_timestamp:  \"Fri Dec 13 16:03:17 1996\"")) << info.out;
        EXPECT_TRUE(has(info.out, "game_id:             40215\n")) << info.out;
        EXPECT_TRUE(has(info.out, "game_checksum:       0xdeadbeef\n")) << info.out;
        EXPECT_TRUE(has(info.out, "sound_size:          1048576\n")) << info.out;
        EXPECT_TRUE(has(info.out, "magic_cookie:        \"13Dec96\"")) << info.out;
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
