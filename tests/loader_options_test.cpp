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
using tavtest::replaced;

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

// The rows of tests/data/loader/options.txt (its head says how to read them).
TEST_F(LoaderOptions, EveryRowGivesItsCodeMessagesAndJob) {
    const std::string usage = tavtest::read_file(TAV_SOURCE_DIR "/tests/data/loader/usage.txt");
    for (std::vector<std::string> f : jobs_test::data_rows("options", 9)) {
        SCOPED_TRACE(testing::PrintToString(f));
        const std::string name = f[8].empty() ? "tavload" : f[8];
        for (std::string &field : f) {
            for (auto [mark, by] : {std::pair<const char *, std::string>{"@U@", usage}, {"@B@", kBanner}, {"@P@", kPrompt},
                                    {"@N@", name}})
                field = replaced(field, mark, by);
        }
        const std::vector<std::string> args = tavtest::split(f[0], ",");
        const Job job = f[3] == "status" ? Job::status : f[3] == "load" ? Job::load : Job::none;
        job_record = JobRecord{Job::none, std::stoi(f[2]), nullptr, {}, ""};
        board_window = kSentinel;
        StdinFeed feed("\n");
        RunResult r = run_loader(args, f[7].empty() ? "tavload" : f[7]);
        EXPECT_EQ(std::make_tuple(r.code, r.err, r.out, job_record.job), std::make_tuple(std::stoi(f[1]), f[4], f[5], job));
        // The window reaches the driver only when board work starts, before the job.
        EXPECT_EQ(board_window, job == Job::none ? kSentinel : kWindow);
        EXPECT_EQ(job_record.window_seen, job == Job::none ? nullptr : kWindow);
        if (!f[6].empty()) { EXPECT_EQ(job_record.state, f[6]); }
        EXPECT_EQ(job_record.options_seen.status, job == Job::status);
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
    const std::string usage = replaced(tavtest::read_file(TAV_SOURCE_DIR "/tests/data/loader/usage.txt"), "@N@", "tavload");
    EXPECT_EQ(tavtest::read_file(dir.file("console")), "tavload: invalid option '-x'\n" + usage + kBanner + kPrompt);
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
