// tavsim as a process: a session of its subcommands on board files in one folder (TAV_HOME
// beneath it) against its stored transcript in tests/data/tavsim/ ("$ " and the command line,
// the exit status, standard output, then standard error; "@D@" for the folder). The usage
// errors come last but one: the fault list after them shows that they changed nothing.
#include <gtest/gtest.h>

#include "support.h"

namespace {

TEST(Tavsim, SessionMatchesItsTranscript) {
    tavtest::TempDir dir;
    const std::string expected = tavtest::read_file(TAV_SOURCE_DIR "/tests/data/tavsim/session.txt");
    const std::string seen = tavtest::replay_session(expected, [&](const std::vector<std::string> &words) {
        return tavtest::session_text(tavtest::run_process({TAV_BIN_DIR "/tavsim", words, dir.path(), {"TAV_HOME=" + dir.file("home")}}));
    });
    EXPECT_EQ(tavtest::replaced(seen, dir.path(), "@D@"), expected);
    EXPECT_EQ(tavtest::read_file(dir.file("g.bin")).size(), 4u << 20);
    EXPECT_EQ(tavtest::read_file(dir.file("s.bin")).size(), 256u << 10);
}

}  // namespace
