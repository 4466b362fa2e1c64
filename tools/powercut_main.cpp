// tav-powercut: the power-cut sweep. Proves, one cut point at a time, the promise of a load:
// after a load that the power cut short, `tavload -status` either says "TAV is not
// currently loaded." (result code 34) or reports a load that the board holds exactly.
//
// For each board (the default board, and an 8 MB board without a sound device, whose sound
// image goes into the upper half of the game flash) the sweep
//   1. loads an "old" update set onto a fresh board with the real tavload: the template;
//   2. runs one reference load of the "new" set in this process with the access log on, to
//      learn the number of bus accesses of a load and where the information-block erase and
//      the record write fall;
//   3. for every chosen N: copies the template, arms a power cut at bus access N, runs the
//      real tavload (expects it killed, exit 137, or finished), then `tavload -status` on the
//      same board file, which must give
//        - the old load, when the cut came before the erase of the information block began;
//        - result code 34, from then until the last program of the new record completed;
//        - the new load after that, with the record's sizes and checksums matching the
//          board's contents, and the contents those of the new set;
//      then a fresh load of the new set must succeed and -status must report it.
// Prints one line per failed point and a closing line "N passed, M failed"; exit status 1
// when M > 0, 2 when the sweep could not be set up.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board/model.h"
#include "tools/powercut.h"
#include "tools/update_set.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "usage: tav-powercut [--points N|all] [--boards default,8m] [--jobs J] [--seed S]\n"
    "                    [--tavload PATH] [--work DIR] [--keep]\n"
    "  Cuts the power of a real tavload run after N bus accesses and checks the board with\n"
    "  tavload -status. Every access of the information-block erase and of the final record\n"
    "  write is tried, plus N further points spread over the whole load (default 100 per\n"
    "  board); \"all\" tries every access. Needs tavload beside this program (or --tavload).\n";

constexpr uint32_t kOldGame = 40214;
constexpr uint32_t kNewGame = 40215;
const char *const kNotLoaded = "TAV is not currently loaded.\n";

// The registry as the installer leaves it for the loader.
const char kRegistry[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\agentcd]\n"
    "\"DisplayName\"=\"DriverAgent Class Driver\"\n"
    "\"ImagePath\"=\"c:\\\\winnt\\\\system32\\\\agentcd.sys\"\n"
    "\"Type\"=dword:00000001\n"
    "\"Start\"=dword:00000003\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV]\n"
    "\"Version\"=dword:00000001\n"
    "\"Revision\"=dword:00000000\n"
    "\"Description\"=\"Tarsek9 ORVEX Update Board\"\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV]\n"
    "\"Base\"=dword:000d0000\n"
    "\"Length\"=dword:00008000\n"
    "\"FastIo\"=dword:00000001\n\n";

// Held while this process has a board file or a new child's descriptors in flux: a child
// started by one worker must not inherit (and so keep locked) the board file another worker
// has open at that moment.
std::mutex descriptor_lock;

struct Options {
    uint64_t points = 100;
    bool all = false;
    std::vector<std::string> boards = {"default", "8m"};
    unsigned jobs = 2;
    uint64_t seed = 1;
    std::string tavload;
    std::string work;
    bool keep = false;
};

struct BoardCase {
    std::string name;
    tavboard::Fit fit;
    bool sound_on_space1 = false;
};

// What -status must say after a cut at a given point.
enum class Expect { old_load, not_loaded, either_new_or_not_loaded, new_load };

const char *expect_text(Expect e) {
    switch (e) {
        case Expect::old_load: return "the old load";
        case Expect::not_loaded: return "not loaded";
        case Expect::either_new_or_not_loaded: return "not loaded or the new load";
        case Expect::new_load: return "the new load";
    }
    return "";
}

struct Run {
    int exit_status = -1;   // -1: did not exit normally
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// One worker's place: its own TAV_HOME with the registry, its own board file.
struct Workspace {
    std::string dir;
    std::string home;
    std::string board;
    std::vector<std::string> env_storage;
    std::vector<char *> envp;

    bool make(const std::string &root, const std::string &name) {
        dir = root + "/" + name;
        home = dir + "/home";
        board = dir + "/board.img";
        std::error_code ec;
        fs::create_directories(home, ec);
        if (ec || !write_text(home + "/registry.reg", kRegistry)) return false;
        for (char **e = environ; *e != nullptr; e++) {
            std::string entry = *e;
            std::string name_part = entry.substr(0, entry.find('='));
            if (name_part == "TAV_HOME" || name_part == "TAV_BOARD" || name_part == "TAV_TOOLKIT_FAIL" ||
                name_part == "TAV_TOOLKIT_TRACE")
                continue;
            env_storage.push_back(entry);
        }
        env_storage.push_back("TAV_HOME=" + home);
        env_storage.push_back("TAV_BOARD=" + board);
        for (std::string &s : env_storage) envp.push_back(s.data());
        envp.push_back(nullptr);
        return true;
    }

    // Runs tavload with args; standard input from /dev/null, output captured.
    Run tavload(const std::string &program, const std::vector<std::string> &args) const {
        std::string out_path = dir + "/out.txt";
        std::string err_path = dir + "/err.txt";
        std::vector<std::string> words = {program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        Run run;
        pid_t pid = 0;
        int rc;
        {
            std::lock_guard<std::mutex> guard(descriptor_lock);
            rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        }
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            run.err = std::string("cannot start ") + program + ": " + std::strerror(rc);
            return run;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
        run.out = slurp(out_path);
        run.err = slurp(err_path);
        return run;
    }
};

std::string describe_run(const Run &run) {
    std::string text = "exit status " + std::to_string(run.exit_status);
    std::string err = run.err.size() > 200 ? run.err.substr(0, 200) + "..." : run.err;
    for (char &c : err)
        if (c == '\n') c = '|';
    if (!err.empty()) text += ", stderr \"" + err + "\"";
    return text;
}

// The set of one game: same image sizes for the old and the new load, so that both write
// the same erase blocks and nothing of the old load survives a complete new one. Small
// images keep each load short.
tavtools::UpdateSetOptions set_options(uint32_t game) {
    tavtools::UpdateSetOptions o;
    o.game_number = game;
    o.seed = game;
    o.im_flsh0_bytes = 20000;
    o.game_bytes = 140000;   // crosses into the next erase block
    o.symbols_bytes = 12004;
    o.tavboot_bytes = 20000; // a short boot image: the zero fill is written too
    return o;
}

class Sweep {
  public:
    Sweep(const Options &options, const BoardCase &board, const std::string &root)
        : options_(options), case_(board), root_(root) {}

    // Template, reference and the list of points. false with a message on failure.
    bool prepare(std::string *error) {
        std::string dir = root_ + "/" + case_.name;
        old_set_ = dir + "/old";
        new_set_ = dir + "/new";
        template_ = dir + "/template.img";
        if (!tavtools::write_update_set(old_set_, set_options(kOldGame), error)) return false;
        if (!tavtools::write_update_set(new_set_, set_options(kNewGame), error)) return false;
        old_image_ = tavcut::expected_image(set_options(kOldGame), case_.fit.game_block);
        new_image_ = tavcut::expected_image(set_options(kNewGame), case_.fit.game_block);

        Workspace ws;
        if (!ws.make(dir, "prepare")) return fail(error, "cannot make " + dir + "/prepare");
        {
            auto board = tavboard::Board::create(ws.board, case_.fit, true, error);
            if (board == nullptr) return false;
        }
        Run load = ws.tavload(options_.tavload, {"-p" + old_set_, std::to_string(kOldGame)});
        if (load.exit_status != 0) return fail(error, "the template load failed: " + describe_run(load));
        std::string problem = check_board(ws.board, old_image_);
        if (!problem.empty()) return fail(error, "the template board: " + problem);
        std::error_code ec;
        fs::copy_file(ws.board, template_, fs::copy_options::overwrite_existing, ec);
        if (ec) return fail(error, "cannot copy the template: " + ec.message());

        // The reference load, and a real run of the same load whose access count must agree.
        std::string ref = dir + "/reference.img";
        fs::copy_file(template_, ref, fs::copy_options::overwrite_existing, ec);
        if (ec) return fail(error, "cannot copy the template: " + ec.message());
        if (!tavcut::reference_load(ref, new_set_, kNewGame, &map_, error)) return false;
        fs::copy_file(template_, ws.board, fs::copy_options::overwrite_existing, ec);
        uint64_t before = counted_accesses(ws.board);
        load = ws.tavload(options_.tavload, {"-p" + new_set_, std::to_string(kNewGame)});
        if (load.exit_status != 0) return fail(error, "a load of the new set failed: " + describe_run(load));
        uint64_t made = counted_accesses(ws.board) - before;
        if (made != map_.total)
            return fail(error, "tavload made " + std::to_string(made) + " bus accesses, the reference load " +
                                   std::to_string(map_.total) + ": cut points would not land where intended");
        choose_points();
        return true;
    }

    void print_plan() const {
        std::printf("%s board: %llu bus accesses in a load; information-block erase at %llu-%llu (confirm %llu); "
                    "record write at %llu-%llu (last program done at %llu); %zu cut points\n",
                    case_.name.c_str(), (unsigned long long)map_.total, (unsigned long long)map_.erase_first,
                    (unsigned long long)map_.erase_last, (unsigned long long)map_.erase_confirm,
                    (unsigned long long)map_.record_first, (unsigned long long)map_.total,
                    (unsigned long long)map_.record_ready, points_.size());
        std::fflush(stdout);
    }

    const std::vector<uint64_t> &points() const { return points_; }

    // One cut point on workspace ws. Empty when it passed, else why not.
    std::string try_point(const Workspace &ws, uint64_t n) const {
        {
            std::lock_guard<std::mutex> guard(descriptor_lock);
            std::error_code ec;
            fs::copy_file(template_, ws.board, fs::copy_options::overwrite_existing, ec);
            if (ec) return "cannot copy the template board: " + ec.message();
            std::string error;
            auto board = tavboard::Board::open(ws.board, &error);
            if (board == nullptr) return "cannot open the board: " + error;
            tavboard::Fault cut;
            cut.kind = tavboard::FaultKind::power_cut;
            cut.after = n;
            if (!board->add_fault(cut, &error)) return "cannot arm the power cut: " + error;
        }
        Run load = ws.tavload(options_.tavload, {"-p" + new_set_, std::to_string(kNewGame)});
        bool cut_happened = load.exit_status == 137;
        if (!cut_happened && load.exit_status != 0) return "the cut load ended with " + describe_run(load);
        if (!cut_happened && n <= map_.total) return "the power cut did not happen: " + describe_run(load);
        {
            std::lock_guard<std::mutex> guard(descriptor_lock);
            std::string error;
            auto board = tavboard::Board::open(ws.board, &error);
            if (board == nullptr) return "cannot open the board after the cut: " + error;
            if (cut_happened && !board->faults().empty()) return "the power cut is still armed after exit 137";
            board->clear_faults();
        }

        Expect expect = expectation(n);
        Run status = ws.tavload(options_.tavload, {"-status"});
        if (status.exit_status == 34) {
            if (status.out != "" || status.err != kNotLoaded) return "-status: " + describe_run(status);
            if (expect == Expect::old_load || expect == Expect::new_load)
                return std::string("-status says not loaded, expected ") + expect_text(expect);
        } else if (status.exit_status == 0) {
            bool old = expect == Expect::old_load;
            if (expect == Expect::not_loaded) return "-status reports a load, expected not loaded: " + status.out;
            std::string problem = check_report(status, old ? kOldGame : kNewGame);
            if (problem.empty()) problem = check_board(ws.board, old ? old_image_ : new_image_);
            if (!problem.empty()) return "-status reports a load but " + problem;
        } else {
            return "-status: " + describe_run(status);
        }

        // The board recovers with a fresh load.
        Run again = ws.tavload(options_.tavload, {"-p" + new_set_, std::to_string(kNewGame)});
        if (again.exit_status != 0 || !again.err.empty()) return "the fresh load after the cut: " + describe_run(again);
        status = ws.tavload(options_.tavload, {"-status"});
        if (status.exit_status != 0) return "-status after the fresh load: " + describe_run(status);
        std::string problem = check_report(status, kNewGame);
        if (problem.empty()) problem = check_board(ws.board, new_image_);
        if (!problem.empty()) return "after the fresh load: " + problem;
        return "";
    }

    const char *phase(uint64_t n) const { return tavcut::phase_of(map_, n); }
    const std::string &name() const { return case_.name; }

  private:
    static bool fail(std::string *error, const std::string &text) {
        *error = text;
        return false;
    }

    static uint64_t counted_accesses(const std::string &path) {
        std::lock_guard<std::mutex> guard(descriptor_lock);
        std::string error;
        auto board = tavboard::Board::open(path, &error);
        return board != nullptr ? board->counters().accesses : 0;
    }

    Expect expectation(uint64_t n) const {
        // Access n never completes; 1 .. n-1 did.
        if (n <= map_.erase_confirm) return Expect::old_load;         // the block was never told to erase
        if (n <= map_.record_busy_last) return Expect::not_loaded;
        if (n <= map_.record_ready) return Expect::either_new_or_not_loaded;  // done, but not yet seen done
        return Expect::new_load;
    }

    // The report line of a loaded board, for game `game` with both images.
    static std::string check_report(const Run &status, uint32_t game) {
        const std::string head = "TAV loaded on ";
        const std::string tail = " with GameID " + std::to_string(game) + " Game & Sound updates.\n";
        if (status.out.compare(0, head.size(), head) != 0 || status.out.size() < head.size() + tail.size() ||
            status.out.compare(status.out.size() - tail.size(), tail.size(), tail) != 0 || !status.err.empty())
            return "the report is \"" + status.out + "\"" + (status.err.empty() ? "" : " with stderr " + status.err);
        return "";
    }

    std::string check_board(const std::string &path, const tavcut::ExpectedImage &want) const {
        std::lock_guard<std::mutex> guard(descriptor_lock);
        std::string error;
        auto board = tavboard::Board::open(path, &error);
        if (board == nullptr) return "cannot open the board: " + error;
        return tavcut::check_loaded_board(*board, want, case_.sound_on_space1);
    }

    void choose_points() {
        std::set<uint64_t> chosen;
        if (options_.all) {
            for (uint64_t n = 1; n <= map_.total + 1; n++) chosen.insert(n);
        } else {
            // Every access of the information-block erase and of the record write, with a
            // margin on each side, and the first access past the end (an uncut load).
            uint64_t from = map_.erase_first > 8 ? map_.erase_first - 8 : 1;
            for (uint64_t n = from; n <= map_.erase_last + 8; n++) chosen.insert(n);
            for (uint64_t n = map_.record_first - 8; n <= map_.total + 1; n++) chosen.insert(n);
            chosen.insert(1);
            // A spread over the whole load: one point at a pseudo-random place in each of
            // `points` equal stretches.
            uint64_t state = options_.seed * 0x9E3779B97F4A7C15ull + map_.total;
            uint64_t stretch = std::max<uint64_t>(1, map_.total / std::max<uint64_t>(1, options_.points));
            for (uint64_t k = 0; k < options_.points; k++) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                uint64_t n = 1 + k * stretch + (state >> 33) % stretch;
                if (n <= map_.total) chosen.insert(n);
            }
        }
        points_.assign(chosen.begin(), chosen.end());
    }

    const Options &options_;
    BoardCase case_;
    std::string root_;
    std::string old_set_;
    std::string new_set_;
    std::string template_;
    tavcut::ExpectedImage old_image_;
    tavcut::ExpectedImage new_image_;
    tavcut::LoadMap map_;
    std::vector<uint64_t> points_;
};

int usage(const std::string &message) {
    std::fprintf(stderr, "tav-powercut: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool parse_count(const std::string &text, uint64_t *value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
    *value = std::stoull(text);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--points") {
            if (!value(&v)) return usage("--points needs a number or all");
            if (v == "all") options.all = true;
            else if (!parse_count(v, &options.points)) return usage("--points takes a number or all, not " + v);
        } else if (arg == "--boards") {
            if (!value(&v)) return usage("--boards needs a list");
            options.boards.clear();
            std::stringstream list(v);
            std::string item;
            while (std::getline(list, item, ',')) {
                if (item != "default" && item != "8m") return usage("unknown board " + item + " (default, 8m)");
                options.boards.push_back(item);
            }
        } else if (arg == "--jobs") {
            uint64_t jobs = 0;
            if (!value(&v) || !parse_count(v, &jobs) || jobs == 0 || jobs > 64) return usage("--jobs takes 1 to 64");
            options.jobs = unsigned(jobs);
        } else if (arg == "--seed") {
            if (!value(&v) || !parse_count(v, &options.seed)) return usage("--seed takes a number");
        } else if (arg == "--tavload") {
            if (!value(&options.tavload)) return usage("--tavload needs a path");
        } else if (arg == "--work") {
            if (!value(&options.work)) return usage("--work needs a directory");
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            return usage("unknown argument " + arg);
        }
    }
    if (options.tavload.empty()) {
        std::error_code ec;
        fs::path self = fs::read_symlink("/proc/self/exe", ec);
        options.tavload = (ec ? fs::path(argv[0]) : self).parent_path() / "tavload";
    }
    if (access(options.tavload.c_str(), X_OK) != 0) return usage("no tavload at " + options.tavload);

    bool made_work = false;
    if (options.work.empty()) {
        std::string pattern = (fs::temp_directory_path() / "tav-powercut-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "tav-powercut: cannot make a work directory: %s\n", std::strerror(errno));
            return 2;
        }
        options.work = pattern;
        made_work = true;
    }

    std::vector<std::unique_ptr<Sweep>> sweeps;
    for (const std::string &name : options.boards) {
        BoardCase board;
        board.name = name;
        if (name == "8m") {
            board.fit.game_size = 8u << 20;
            board.fit.sound_size = 0;
            board.sound_on_space1 = true;
        }
        auto sweep = std::make_unique<Sweep>(options, board, options.work);
        std::string error;
        if (!sweep->prepare(&error)) {
            std::fprintf(stderr, "tav-powercut: %s board: %s\n", name.c_str(), error.c_str());
            return 2;
        }
        sweep->print_plan();
        sweeps.push_back(std::move(sweep));
    }

    struct Job {
        const Sweep *sweep;
        uint64_t n;
    };
    std::vector<Job> jobs;
    for (const auto &sweep : sweeps)
        for (uint64_t n : sweep->points()) jobs.push_back({sweep.get(), n});

    std::atomic<size_t> next{0};
    std::atomic<uint64_t> passed{0};
    std::atomic<uint64_t> failed{0};
    std::mutex print_lock;
    auto worker = [&](unsigned index) {
        Workspace ws;
        if (!ws.make(options.work, "worker" + std::to_string(index))) {
            std::lock_guard<std::mutex> guard(print_lock);
            std::fprintf(stderr, "tav-powercut: cannot make a worker directory\n");
            return;
        }
        for (;;) {
            size_t i = next.fetch_add(1);
            if (i >= jobs.size()) break;
            const Job &job = jobs[i];
            std::string problem = job.sweep->try_point(ws, job.n);
            if (problem.empty()) {
                passed++;
                continue;
            }
            failed++;
            std::lock_guard<std::mutex> guard(print_lock);
            std::printf("FAIL %s board, cut at access %llu (%s): %s\n", job.sweep->name().c_str(),
                        (unsigned long long)job.n, job.sweep->phase(job.n), problem.c_str());
            std::fflush(stdout);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned k = 0; k < options.jobs; k++) threads.emplace_back(worker, k);
    for (std::thread &t : threads) t.join();

    uint64_t tried = passed + failed;
    if (tried != jobs.size()) failed += jobs.size() - tried;   // a worker could not start
    std::printf("%llu passed, %llu failed\n", (unsigned long long)passed.load(), (unsigned long long)failed.load());
    if (made_work && !options.keep) {
        std::error_code ec;
        fs::remove_all(options.work, ec);
    }
    return failed > 0 ? 1 : 0;
}
