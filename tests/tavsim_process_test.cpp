// tavsim as a process: the subcommands no other test runs, `info` once, one usage error of each kind, on board
// files in one folder (TAV_HOME beneath it), against the stored output tests/data/tavsim/session.txt, whose
// "$ tavsim" lines are the commands run (scripts/record writes the rest again): each command with its exit status
// when not 0, standard output, then standard error with "! " before each line, the usage text only for a bare tavsim.
#include <gtest/gtest.h>

#include "tests/tables.h"

TEST(Tavsim, SessionMatchesItsStoredOutput) {
    tavtest::TempDir dir;
    std::string seen;
    const std::string stored = tavtest::read_file(TAV_SOURCE_DIR "/tests/data/tavsim/session.txt");
    for (const std::string &line : tavtest::split(stored, "\n")) {
        if (line.rfind("$ tavsim", 0) != 0) continue;
        const std::string command = line.substr(0, line.find("   #"));
        std::vector<std::string> words = tavtest::split(command, " ");
        words.erase(words.begin(), words.begin() + 2);
        const tavtools::ProcessOutcome r =
            tavtest::run_process({TAV_BIN_DIR "/tavsim", words, dir.path(), {"TAV_HOME=" + dir.file("home")}});
        seen += command;
        if (r.exit_status != 0) seen += "   # exit " + std::to_string(r.exit_status);
        std::string err = r.err;
        const size_t usage = err.find("usage: ");
        if (usage != std::string::npos && !words.empty()) {
            err.erase(usage);
            seen += ", usage left out";
        }
        seen += "\n" + r.out;
        for (const std::string &text : tavtest::split(err, "\n")) {
            if (!text.empty()) seen += "! " + text + "\n";
        }
    }
    EXPECT_EQ(seen, tavtest::stored_output("tavsim/session.txt", seen));
    EXPECT_EQ(tavtest::read_file(dir.file("g.bin")).size(), 8u << 20);
    EXPECT_EQ(tavtest::read_file(dir.file("u/game.rom")).size(), 800u);
}
