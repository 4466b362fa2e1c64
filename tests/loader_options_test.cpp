// Command line, run state and the run's way out of the loader, table-driven. The two jobs are
// recording doubles here (this program's show_status and load_board win over the loader
// library's), so the rows see which job the options reach, with which run state, and what the
// finishing step does with the job's result.
#include <fcntl.h>
#include <stdio_ext.h>

#include "model_fixture.h"

namespace {

enum class Job { none, status, load };

struct JobRecord {
    Job job = Job::none;
    int result = 0;   // what the job returns
    uint8_t *window_seen = nullptr;
    RunOptions options_seen{};
    std::string state;   // as the rows write it, taken while argv is alive
};
JobRecord job_record;

int record_job(Job job) {
    const RunOptions &o = run_options;
    char state[512];
    std::snprintf(state, sizeof state, "%u gf%d sf%d ask%d debug%d f%d'%s' p%d'%s'", o.game_number, o.gfonly, o.sfonly, ask, debug,
                  o.prefix_given, o.prefix, o.path_given, o.path);
    job_record.job = job, job_record.window_seen = board_window, job_record.options_seen = o, job_record.state = state;
    return job_record.result;
}

}  // namespace

int show_status(void) { return record_job(Job::status); }
int load_board(void) { return record_job(Job::load); }

namespace {

using jobs_test::kBanner;
using jobs_test::RunResult;

// The usage text as the program named `name` prints it.
std::string usage(const std::string &name = "tavload") {
    return tavtest::replaced(tavtest::read_file(TAV_SOURCE_DIR "/tests/data/loader/usage.txt"), "@N@", name);
}
const std::string kUsage = usage();
const std::string kPrompt = "\nPress ENTER to continue...";

// Standard input from a temporary file with `content` (or from the open `fd`) for one scope.
struct StdinFeed {
    int saved = dup(0);
    explicit StdinFeed(const std::string &content, int fd = -1) {
        if (FILE *file = fd < 0 ? tmpfile() : nullptr) {
            fd = dup(fileno(file)), fclose(file);
            EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
            lseek(fd, 0, SEEK_SET);
        }
        dup2(fd, 0), close(fd), __fpurge(stdin), clearerr(stdin);
    }
    ~StdinFeed() { __fpurge(stdin), clearerr(stdin), dup2(saved, 0), close(saved); }
};

uint8_t window_bytes[16], sentinel_bytes[16];
uint8_t *const kWindow = window_bytes, *const kSentinel = sentinel_bytes;

RunResult run_loader(const std::vector<std::string> &args, const std::string &name = "tavload") {
    return jobs_test::run_loader(kWindow, args, name);
}

class LoaderOptions : public testing::Test {
  protected:
    void SetUp() override { tick_clock_hold(); }
};

std::string invalid(const std::string &word, const std::string &name = "tavload") {
    return name + ": invalid option '" + word + "'\n" + usage(name);
}
std::string bad_game(const std::string &word) { return "tavload: invalid GAME# (" + word + ") specified\n\n" + kUsage; }
const std::string kNoGame = "tavload: GAME# must be specified\n\n" + kUsage;
const std::string kStatusOthers = "tavload: -status specified with other options\n";

TEST_F(LoaderOptions, EveryRowGivesItsCodeMessagesAndJob) {
    const struct {
        std::vector<std::string> args;
        int code;
        std::string err, out;
        Job job;
        int job_result = 0;       // what the job returns, passed on through the finishing step
        std::string state = "";   // the run state a load received (not compared when empty)
        const char *argv0 = "tavload";
    } rows[] = {
        // help: the first option decides
        {{"-?"}, 0, kUsage, "", Job::none},
        {{"/?"}, 0, kUsage, "", Job::none},
        {{"-?anything"}, 0, kUsage, "", Job::none},
        {{"-?", "-x", "-status"}, 0, kUsage, "", Job::none},
        // flag letters with a wrong rest: the usage text only
        {{"-askx"}, 2, kUsage, "", Job::none},
        {{"-debu"}, 2, kUsage, "", Job::none},
        {{"-gfonlyx"}, 2, kUsage, "", Job::none},
        {{"-sfonlyx"}, 2, kUsage, "", Job::none},
        {{"-statu"}, 2, kUsage, "", Job::none},
        // any other second character
        {{"-Debug"}, 2, invalid("-Debug"), "", Job::none},
        {{"-"}, 2, invalid("-"), "", Job::none},
        {{"/"}, 2, invalid("/"), "", Job::none},
        {{"--ask"}, 2, invalid("--ask"), "", Job::none},
        {{"-40215"}, 2, invalid("-40215"), "", Job::none},
        // GAME# count, checked before the option conflicts
        {{}, 5, kNoGame, "", Job::none},
        {{"-debug"}, 5, kNoGame + kBanner, "", Job::none},
        {{"40215", "12345"}, 5, kNoGame, "", Job::none},
        {{"-gfonly", "-sfonly"}, 5, kNoGame, "", Job::none},
        // GAME# value
        {{"9999"}, 4, bad_game("9999"), "", Job::none},
        {{"100000"}, 4, bad_game("100000"), "", Job::none},
        {{"abc"}, 4, bad_game("abc"), "", Job::none},
        {{" -40215"}, 4, bad_game(" -40215"), "", Job::none},
        {{"10000"}, 0, "", "", Job::load},
        {{"99999"}, 0, "", "", Job::load},
        // -status with each other option, and -gfonly with -sfonly
        {{"-status", "-f"}, 3, kStatusOthers, "", Job::none},
        {{"-status", "-p"}, 3, kStatusOthers, "", Job::none},
        {{"-status", "-gfonly"}, 3, kStatusOthers, "", Job::none},
        {{"-sfonly", "-status"}, 3, kStatusOthers, "", Job::none},
        {{"-gfonly", "-sfonly", "40215"}, 3, "tavload: specify only one of -gfonly or -sfonly\n", "", Job::none},
        // the status job; the words after the first non-option are not looked at
        {{"-status"}, 0, "", "", Job::status},
        {{"/status", "/ask", "/debug"}, 0, "", kPrompt, Job::status},
        {{"-status", "-status", "not", "-looked", "at"}, 0, "", "", Job::status},
        // -ask and -debug take effect from where they stand
        {{"-x", "-ask"}, 2, invalid("-x"), "", Job::none},
        {{"-ask", "-x"}, 2, invalid("-x"), kPrompt, Job::none},
        {{"-x", "-debug"}, 2, invalid("-x"), "", Job::none},
        {{"-debug", "-x"}, 2, invalid("-x") + kBanner, "", Job::none},
        {{"-debug", "-askx"}, 2, kUsage + kBanner, "", Job::none},
        {{"-ask", "-?"}, 0, kUsage, kPrompt, Job::none},
        {{"-ask", "-debug", "-status", "-p"}, 3, kStatusOthers + kBanner, kPrompt, Job::none},
        // the job's result: the code, the banner and the prompt
        {{"-status"}, 34, "", "", Job::status, 34},
        {{"-debug", "-ask", "-status"}, 16, kBanner, kPrompt, Job::status, 16},
        {{"-debug", "-ask", "-status"}, 0, "", kPrompt, Job::status},
        {{"-debug", "40215"}, 21, kBanner, "", Job::load, 21},
        // what the parser hands to a load: white space, a sign, digits up to the first
        // non-digit, 32-bit accumulation without overflow check (2^32 + 40215 is 40215)
        {{" \t\n\v\f\r+0040215abc"}, 0, "", "", Job::load, 0, "40215 gf0 sf0 ask0 debug0 f0'' p0''"},
        {{"4295007511"}, 0, "", "", Job::load, 0, "40215 gf0 sf0 ask0 debug0 f0'' p0''"},
        {{"-fPRE_", "-p/upd/dir", "-gfonly", "12345"}, 0, "", "", Job::load, 0, "12345 gf1 sf0 ask0 debug0 f1'PRE_' p1'/upd/dir'"},
        {{"-fA", "-fB", "-pX", "-pY", "12345"}, 0, "", "", Job::load, 0, "12345 gf0 sf0 ask0 debug0 f1'B' p1'Y'"},
        {{"-f", "-p", "12345"}, 0, "", "", Job::load, 0, "12345 gf0 sf0 ask0 debug0 f1'' p1''"},
        {{"/debug", "-debug", "-sfonly", "-sfonly", "12345"}, 0, "", "", Job::load, 0, "12345 gf0 sf1 ask0 debug1 f0'' p0''"},
        {{"-ask", "/fx", "12345"}, 0, "", kPrompt, Job::load, 0, "12345 gf0 sf0 ask1 debug0 f1'x' p0''"},
        {{"12345"}, 0, "", "", Job::load, 0, "12345 gf0 sf0 ask0 debug0 f0'' p0''"},   // nothing left from runs before
        // the program name is the last path part without its extension, in every message
        {{"-x"}, 2, invalid("-x", "TAVLOAD"), "", Job::none, 0, "", "C:\\GAMES\\TAVLOAD.EXE"},
        {{"-x"}, 2, invalid("-x"), "", Job::none, 0, "", "/usr/local/bin/tavload"},
        {{"-x"}, 2, invalid("-x", "TAVLOAD"), "", Job::none, 0, "", "C:\\GAMES.D\\TAVLOAD"},
        {{"-x"}, 2, invalid("-x", "tav.load"), "", Job::none, 0, "", "bin/tav.load.exe"},
        {{"-x"}, 2, invalid("-x", "sub\\x"), "", Job::none, 0, "", "dir/sub\\x.exe"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        job_record = JobRecord{Job::none, row.job_result, nullptr, {}, ""};
        board_window = kSentinel;
        StdinFeed feed("\n");
        RunResult r = run_loader(row.args, row.argv0);
        EXPECT_EQ(std::make_tuple(r.code, r.err, r.out, job_record.job), std::make_tuple(row.code, row.err, row.out, row.job));
        // The window reaches the driver only when board work starts, before the job.
        EXPECT_EQ(board_window, row.job == Job::none ? kSentinel : kWindow);
        EXPECT_EQ(job_record.window_seen, row.job == Job::none ? nullptr : kWindow);
        if (!row.state.empty()) { EXPECT_EQ(job_record.state, row.state); }
        EXPECT_EQ(job_record.options_seen.status, row.job == Job::status);
    }
}

// Message, banner and prompt in that order on one console.
TEST_F(LoaderOptions, FailureOrderIsMessageBannerPrompt) {
    tavtest::TempDir dir;
    fflush(stdout);
    int saved_out = dup(1), saved_err = dup(2), console = open(dir.file("console").c_str(), O_RDWR | O_CREAT, 0600);
    dup2(console, 1), dup2(console, 2), close(console);
    char a0[] = "tavload", a1[] = "-debug", a2[] = "-ask", a3[] = "-x";
    char *argv[] = {a0, a1, a2, a3, nullptr};
    StdinFeed feed("\n");
    EXPECT_EQ(loader_main(kWindow, 4, argv), 2);
    fflush(stdout);
    dup2(saved_out, 1), dup2(saved_err, 2), close(saved_out), close(saved_err);
    EXPECT_EQ(tavtest::read_file(dir.file("console")), invalid("-x") + kBanner + kPrompt);
}

// The ENTER wait ends at the newline (what follows is left), the end of input, or a read
// error (reading a directory fails with EISDIR).
TEST_F(LoaderOptions, EnterWaitEndsAtNewlineEndOfInputOrReadError) {
    for (const char *content : {"typed text\nnext line\n", "", "abc", "directory"}) {
        SCOPED_TRACE(content);
        StdinFeed feed(content, strcmp(content, "directory") == 0 ? open("/", O_RDONLY | O_DIRECTORY) : -1);
        RunResult r = run_loader({"-ask", "-x"});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.out, kPrompt);
        if (content[0] == 't') { EXPECT_EQ(getchar(), 'n'); }
    }
}

}  // namespace
