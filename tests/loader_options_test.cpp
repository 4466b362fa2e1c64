// Command line, run state and the run's way out of the loader, table-driven.
//
// The two jobs are replaced by recording doubles here (this program's own definitions of
// show_status and load_board win over the loader library's), so that the rows see exactly
// which job the options lead to, with which run state, and what the finishing step does
// with the job's result.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "flash/ticks.h"
#include "loader/loader.h"

namespace {

enum class Job { none, status, load };

struct JobRecord {
    Job job = Job::none;
    int result = 0;               // what the job returns
    uint8_t *window_seen = nullptr;
    int ask_seen = -1;
    int debug_seen = -1;
    RunOptions options_seen{};
    std::string prefix_seen;     // the texts, copied while argv is alive
    std::string path_seen;
};
JobRecord job_record;

}  // namespace

int show_status(void) {
    job_record.job = Job::status;
    job_record.window_seen = board_window;
    job_record.ask_seen = ask;
    job_record.debug_seen = debug;
    job_record.options_seen = run_options;
    job_record.prefix_seen = run_options.prefix;
    job_record.path_seen = run_options.path;
    return job_record.result;
}

int load_board(void) {
    job_record.job = Job::load;
    job_record.window_seen = board_window;
    job_record.ask_seen = ask;
    job_record.debug_seen = debug;
    job_record.options_seen = run_options;
    job_record.prefix_seen = run_options.prefix;
    job_record.path_seen = run_options.path;
    return job_record.result;
}

namespace {

const std::string kUsage =
    "usage: tavload [-ask][-debug][-fPREFIX][-pPATH][-gfonly][-sfonly] GAME#\n"
    "       tavload -status\n"
    "    Version: 1.1\n"
    "    -?         this help message\n"
    "    -ask       wait for an ENTER before exiting\n"
    "    -debug     output progress/debugging information\n"
    "    -fPREFIX   add PREFIX to all update filenames\n"
    "    -pPATH     set the base working directory to PATH\n"
    "    -gfonly    load only the game update files\n"
    "    -sfonly    load only the sf.rom sound image update\n"
    "    GAME#      game number NNNNN (e.g. 40215)\n"
    "\n"
    "    -status    display the status of the TAV board (no GAME#)\n";

const std::string kBanner = std::string(79, '*') + "\n" + "*" + std::string(77, ' ') + "*\n" +
                            "* TAV board load failed!!!" + std::string(52, ' ') + "*\n" + "*" +
                            std::string(77, ' ') + "*\n" + std::string(79, '*') + "\n";

const std::string kPrompt = "\nPress ENTER to continue...";

std::string temp_path(const char *stem) {
    std::string path = testing::TempDir() + stem + "XXXXXX";
    int fd = mkstemp(path.data());
    EXPECT_GE(fd, 0);
    close(fd);
    return path;
}

std::string slurp(const std::string &path) {
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    fclose(file);
    return text;
}

// Standard input from a file with `content` (or from `fd_source` when given) for one scope.
class StdinFeed {
  public:
    explicit StdinFeed(const std::string &content, int fd_source = -1) {
        saved_ = dup(0);
        int fd = fd_source;
        if (fd < 0) {
            path_ = temp_path("stdin");
            FILE *file = fopen(path_.c_str(), "wb");
            fwrite(content.data(), 1, content.size(), file);
            fclose(file);
            fd = open(path_.c_str(), O_RDONLY);
        }
        dup2(fd, 0);
        close(fd);
        __fpurge(stdin);
        clearerr(stdin);
    }
    ~StdinFeed() {
        __fpurge(stdin);
        clearerr(stdin);
        dup2(saved_, 0);
        close(saved_);
        if (!path_.empty()) unlink(path_.c_str());
    }

  private:
    int saved_ = -1;
    std::string path_;
};

struct RunResult {
    int code;
    std::string out;
    std::string err;
    std::string name;   // program_name, copied while argv is alive
};

// Runs loader_main on writable copies of argv; argv[0] is `name`.
RunResult run_loader(const std::string &name, const std::vector<std::string> &args, uint8_t *window) {
    std::vector<std::vector<char>> storage;
    storage.emplace_back(name.begin(), name.end());
    for (const std::string &a : args) storage.emplace_back(a.begin(), a.end());
    std::vector<char *> argv;
    for (auto &s : storage) {
        s.push_back('\0');
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int code = loader_main(window, (int)storage.size(), argv.data());
    RunResult result{code, "", "", program_name};
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

uint8_t window_bytes[16];
uint8_t *const kWindow = window_bytes;
uint8_t sentinel_bytes[16];
uint8_t *const kSentinel = sentinel_bytes;

class LoaderOptions : public testing::Test {
  protected:
    void SetUp() override {
        tick_clock_hold();
        job_record = JobRecord{};
        board_window = kSentinel;
    }
};

// ---- the option table: code, exact standard error, standard output, and the job reached

struct OptionRow {
    std::vector<std::string> args;
    int code;
    std::string err;
    std::string out;
    Job job;
};

std::string invalid(const std::string &word) { return "tavload: invalid option '" + word + "'\n" + kUsage; }

const std::string kNoGame = "tavload: GAME# must be specified\n\n" + kUsage;
std::string bad_game(const std::string &word) { return "tavload: invalid GAME# (" + word + ") specified\n\n" + kUsage; }
const std::string kStatusOthers = "tavload: -status specified with other options\n";
const std::string kOnlyOne = "tavload: specify only one of -gfonly or -sfonly\n";

const OptionRow kOptionRows[] = {
    // help
    {{"-?"}, 0, kUsage, "", Job::none},
    {{"/?"}, 0, kUsage, "", Job::none},
    {{"-?anything"}, 0, kUsage, "", Job::none},
    {{"-debug", "-?"}, 0, kUsage, "", Job::none},
    {{"-?", "-x", "-status"}, 0, kUsage, "", Job::none},
    // flag letters with a wrong rest: usage text only
    {{"-askx"}, 2, kUsage, "", Job::none},
    {{"-a"}, 2, kUsage, "", Job::none},
    {{"-debu"}, 2, kUsage, "", Job::none},
    {{"-gfonlyx"}, 2, kUsage, "", Job::none},
    {{"-s"}, 2, kUsage, "", Job::none},
    {{"-sfonlyx"}, 2, kUsage, "", Job::none},
    {{"-statu"}, 2, kUsage, "", Job::none},
    {{"-ASK"}, 2, invalid("-ASK"), "", Job::none},
    // any other second character
    {{"-Debug"}, 2, invalid("-Debug"), "", Job::none},
    {{"-x"}, 2, invalid("-x"), "", Job::none},
    {{"-"}, 2, invalid("-"), "", Job::none},
    {{"/"}, 2, invalid("/"), "", Job::none},
    {{"--ask"}, 2, invalid("--ask"), "", Job::none},
    {{"-40215"}, 2, invalid("-40215"), "", Job::none},
    {{"-F", "40215"}, 2, invalid("-F"), "", Job::none},
    {{"-status", "-q"}, 2, invalid("-q"), "", Job::none},
    // GAME# count
    {{}, 5, kNoGame, "", Job::none},
    {{"-debug"}, 5, kNoGame + kBanner, "", Job::none},
    {{"40215", "12345"}, 5, kNoGame, "", Job::none},
    {{"40215", "-debug"}, 5, kNoGame, "", Job::none},
    {{"-gfonly", "-sfonly"}, 5, kNoGame, "", Job::none},
    // GAME# value
    {{"9999"}, 4, bad_game("9999"), "", Job::none},
    {{"100000"}, 4, bad_game("100000"), "", Job::none},
    {{""}, 4, bad_game(""), "", Job::none},
    {{"abc"}, 4, bad_game("abc"), "", Job::none},
    {{" -40215"}, 4, bad_game(" -40215"), "", Job::none},
    {{"4294967296"}, 4, bad_game("4294967296"), "", Job::none},
    {{"10000"}, 0, "", "", Job::load},
    {{"99999"}, 0, "", "", Job::load},
    // -status conflicts, and -gfonly with -sfonly
    {{"-status", "-f"}, 3, kStatusOthers, "", Job::none},
    {{"-status", "-p"}, 3, kStatusOthers, "", Job::none},
    {{"-status", "-gfonly"}, 3, kStatusOthers, "", Job::none},
    {{"-sfonly", "-status"}, 3, kStatusOthers, "", Job::none},
    {{"-fX", "-status", "40215"}, 3, kStatusOthers, "", Job::none},
    {{"-gfonly", "-sfonly", "40215"}, 3, kOnlyOne, "", Job::none},
    {{"-sfonly", "-gfonly", "40215"}, 3, kOnlyOne, "", Job::none},
    // the two jobs
    {{"-status"}, 0, "", "", Job::status},
    {{"/status", "/ask", "/debug"}, 0, "", kPrompt, Job::status},
    {{"-status", "12"}, 0, "", "", Job::status},
    {{"-status", "-status", "not", "-looked", "at"}, 0, "", "", Job::status},
    {{"-gfonly", "40215"}, 0, "", "", Job::load},
    {{"-sfonly", "-sfonly", "40215"}, 0, "", "", Job::load},
    // -ask and -debug take effect from where they stand
    {{"-x", "-ask"}, 2, invalid("-x"), "", Job::none},
    {{"-ask", "-x"}, 2, invalid("-x"), kPrompt, Job::none},
    {{"-x", "-debug"}, 2, invalid("-x"), "", Job::none},
    {{"-debug", "-x"}, 2, invalid("-x") + kBanner, "", Job::none},
    {{"-debug", "-askx"}, 2, kUsage + kBanner, "", Job::none},
    {{"-ask", "-?"}, 0, kUsage, kPrompt, Job::none},
    {{"-ask", "-debug", "-status", "-p"}, 3, kStatusOthers + kBanner, kPrompt, Job::none},
};

TEST_F(LoaderOptions, EveryRowGivesItsCodeMessagesAndJob) {
    for (const OptionRow &row : kOptionRows) {
        std::string words;
        for (const std::string &a : row.args) words += "[" + a + "] ";
        SCOPED_TRACE(words);
        job_record = JobRecord{};
        board_window = kSentinel;
        StdinFeed feed("\n");
        RunResult r = run_loader("tavload", row.args, kWindow);
        EXPECT_EQ(r.code, row.code);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(job_record.job, row.job);
        // The window reaches the driver only when board work starts.
        EXPECT_EQ(board_window, row.job == Job::none ? kSentinel : kWindow);
        if (row.job != Job::none) {
            EXPECT_EQ(job_record.window_seen, kWindow);
        }
    }
}

// ---- what the parser hands to a load

struct LoadRow {
    std::vector<std::string> args;
    uint32_t game_number;
    int gfonly, sfonly, ask, debug;
    const char *prefix;
    int prefix_given;
    const char *path;
    int path_given;
};

const LoadRow kLoadRows[] = {
    {{"40215"}, 40215, 0, 0, 0, 0, "", 0, "", 0},
    {{"40215abc"}, 40215, 0, 0, 0, 0, "", 0, "", 0},
    {{"0040215"}, 40215, 0, 0, 0, 0, "", 0, "", 0},
    {{"+40215"}, 40215, 0, 0, 0, 0, "", 0, "", 0},
    {{" \t\n\v\f\r40215"}, 40215, 0, 0, 0, 0, "", 0, "", 0},
    // 32-bit accumulation without overflow check: 2^32 + 40215 wraps to 40215
    {{"4295007511"}, 40215, 0, 0, 0, 0, "", 0, "", 0},
    {{"-fPRE_", "-p/upd/dir", "-gfonly", "12345"}, 12345, 1, 0, 0, 0, "PRE_", 1, "/upd/dir", 1},
    {{"-fA", "-fB", "-pX", "-pY", "12345"}, 12345, 0, 0, 0, 0, "B", 1, "Y", 1},
    {{"-f", "-p", "12345"}, 12345, 0, 0, 0, 0, "", 1, "", 1},
    {{"/debug", "-debug", "-sfonly", "12345"}, 12345, 0, 1, 0, 1, "", 0, "", 0},
    {{"-ask", "/fx", "12345"}, 12345, 0, 0, 1, 0, "x", 1, "", 0},
};

TEST_F(LoaderOptions, LoadReceivesTheParsedRunState) {
    for (const LoadRow &row : kLoadRows) {
        SCOPED_TRACE(row.args.back() + " after " + std::to_string(row.args.size() - 1) + " options");
        job_record = JobRecord{};
        StdinFeed feed("\n");
        RunResult r = run_loader("tavload", row.args, kWindow);
        ASSERT_EQ(job_record.job, Job::load) << r.err;
        const RunOptions &o = job_record.options_seen;
        EXPECT_EQ(o.game_number, row.game_number);
        EXPECT_EQ(o.gfonly, row.gfonly);
        EXPECT_EQ(o.sfonly, row.sfonly);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(job_record.ask_seen, row.ask);
        EXPECT_EQ(job_record.debug_seen, row.debug);
        EXPECT_EQ(job_record.prefix_seen, row.prefix);
        EXPECT_EQ(o.prefix_given, row.prefix_given);
        EXPECT_EQ(job_record.path_seen, row.path);
        EXPECT_EQ(o.path_given, row.path_given);
    }
}

TEST_F(LoaderOptions, RunStateStartsAfreshOnEveryRun) {
    StdinFeed feed("\n\n");
    run_loader("tavload", {"-ask", "-debug", "-gfonly", "-fP", "-pD", "40215"}, kWindow);
    ASSERT_EQ(job_record.options_seen.gfonly, 1);
    job_record = JobRecord{};
    RunResult r = run_loader("tavload", {"-status"}, kWindow);
    EXPECT_EQ(r.out, "");   // no prompt left over from -ask
    EXPECT_EQ(job_record.job, Job::status);
    EXPECT_EQ(job_record.ask_seen, 0);
    EXPECT_EQ(job_record.debug_seen, 0);
    EXPECT_EQ(job_record.options_seen.gfonly, 0);
    EXPECT_EQ(job_record.options_seen.prefix_given, 0);
    EXPECT_EQ(job_record.prefix_seen, "");
    EXPECT_EQ(job_record.options_seen.path_given, 0);
}

// ---- the job's result through finish_run

struct FinishRow {
    std::vector<std::string> args;
    int job_result;
    std::string err;
    std::string out;
};

const FinishRow kFinishRows[] = {
    {{"-status"}, 34, "", ""},
    {{"-debug", "-status"}, 34, kBanner, ""},
    {{"-debug", "-ask", "-status"}, 16, kBanner, kPrompt},
    {{"-debug", "-ask", "-status"}, 0, "", kPrompt},
    {{"-debug", "40215"}, 21, kBanner, ""},
    {{"-debug", "40215"}, 0, "", ""},
    {{"-ask", "40215"}, 33, "", kPrompt},
};

TEST_F(LoaderOptions, JobResultPassesThroughFinishRun) {
    for (const FinishRow &row : kFinishRows) {
        SCOPED_TRACE(std::to_string(row.job_result) + " with " + row.args.front());
        job_record = JobRecord{};
        job_record.result = row.job_result;
        StdinFeed feed("\n");
        RunResult r = run_loader("tavload", row.args, kWindow);
        EXPECT_EQ(r.code, row.job_result);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, row.out);
    }
}

// Message, banner and prompt in that order on one console.
TEST_F(LoaderOptions, FailureOrderIsMessageBannerPrompt) {
    std::string console = temp_path("console");
    fflush(stdout);
    int saved_out = dup(1), saved_err = dup(2);
    int fd = open(console.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    std::vector<std::string> args = {"-debug", "-ask", "-x"};
    std::vector<std::vector<char>> storage = {{'t', 'a', 'v', 'l', 'o', 'a', 'd', '\0'}};
    for (const std::string &a : args) {
        storage.emplace_back(a.begin(), a.end());
        storage.back().push_back('\0');
    }
    std::vector<char *> argv;
    for (auto &s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    int code;
    {
        StdinFeed feed("\n");
        code = loader_main(kWindow, (int)storage.size(), argv.data());
    }
    fflush(stdout);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(slurp(console), invalid("-x") + kBanner + kPrompt);
    unlink(console.c_str());
}

// ---- the ENTER wait

TEST_F(LoaderOptions, EnterWaitReadsUpToTheNewlineOnly) {
    StdinFeed feed("typed text\nnext line\n");
    RunResult r = run_loader("tavload", {"-ask", "-?"}, kWindow);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kPrompt);
    // What follows the newline is left for whoever reads next.
    EXPECT_EQ(getchar(), 'n');
}

struct EndRow {
    const char *name;
    std::string content;
};

TEST_F(LoaderOptions, EnterWaitEndsAtEndOfInput) {
    const EndRow rows[] = {{"empty input", ""}, {"no newline before the end", "abc"}};
    for (const EndRow &row : rows) {
        SCOPED_TRACE(row.name);
        StdinFeed feed(row.content);
        RunResult r = run_loader("tavload", {"-ask", "-x"}, kWindow);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.out, kPrompt);
    }
}

TEST_F(LoaderOptions, EnterWaitEndsAtReadError) {
    // Reading a directory fails (EISDIR): the wait must end as at end of input.
    int fd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    StdinFeed feed("", fd);
    RunResult r = run_loader("tavload", {"-ask", "-status"}, kWindow);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, kPrompt);
}

// ---- program name

struct NameRow {
    const char *argv0;
    const char *name;
};

TEST_F(LoaderOptions, ProgramNameIsTheLastPathPartWithoutExtension) {
    const NameRow rows[] = {
        {"C:\\GAMES\\TAVLOAD.EXE", "TAVLOAD"},
        {"tavload", "tavload"},
        {"/usr/local/bin/tavload", "tavload"},
        {"./tavload", "tavload"},
        {"C:\\GAMES.D\\TAVLOAD", "TAVLOAD"},
        {"bin/tav.load.exe", "tav.load"},
        {"dir/sub\\x.exe", "sub\\x"},
        {"tavload.", "tavload"},
    };
    for (const NameRow &row : rows) {
        SCOPED_TRACE(row.argv0);
        RunResult r = run_loader(row.argv0, {"-x"}, kWindow);
        EXPECT_EQ(r.name, row.name);
        std::string expected_start = std::string(row.name) + ": invalid option '-x'\nusage: " + row.name + " [-ask]";
        EXPECT_EQ(r.err.substr(0, expected_start.size()), expected_start);
        EXPECT_NE(r.err.find("\n       " + std::string(row.name) + " -status\n"), std::string::npos);
    }
}

TEST_F(LoaderOptions, UsageTextIsThirteenLines) {
    RunResult r = run_loader("tavload", {"-?"}, kWindow);
    int lines = 0;
    for (char c : r.err) lines += c == '\n';
    EXPECT_EQ(lines, 13);
    EXPECT_EQ(r.err, kUsage);
}

// ---- find_last_char

struct LastCharRow {
    const char *text;
    int ch;
    int index;   // -1: none
};

TEST(FindLastChar, FindsTheLastOccurrence) {
    const LastCharRow rows[] = {
        {"a/b/c", '/', 3}, {"abc", '/', -1}, {"", 'a', -1}, {"/", '/', 0},
        {"x.y.z", '.', 3}, {"aaa", 'a', 2}, {"abc", '\0', -1},
    };
    for (const LastCharRow &row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<char> text(row.text, row.text + strlen(row.text) + 1);
        char *found = find_last_char(text.data(), row.ch);
        if (row.index < 0) {
            EXPECT_EQ(found, nullptr);
        } else {
            EXPECT_EQ(found, text.data() + row.index);
        }
    }
    EXPECT_EQ(find_last_char(nullptr, 'a'), nullptr);
}

}  // namespace
