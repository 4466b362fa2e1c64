#include "tools/sweep.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "toolkit/DaConfig.h"

extern char **environ;

namespace tavsweep {

namespace fs = std::filesystem;

const char *const kNotLoaded = "TAV is not currently loaded.\n";

namespace {

// The set of one game: same image sizes for the old and the new load, so that both write
// the same erase blocks and nothing of the old load survives a complete new one. Small
// images keep each load short.
tavtools::UpdateSetOptions set_options(uint32_t game) {
    tavtools::UpdateSetOptions o;
    o.game_number = game;
    o.seed = game;
    o.im_flsh0_bytes = 20000;
    o.game_bytes = 140000;    // crosses into the next erase block
    o.symbols_bytes = 12004;
    o.tavboot_bytes = 20000;  // a short boot image: the zero fill is written too
    return o;
}

bool fail(std::string *error, const std::string &text) {
    *error = text;
    return false;
}

// The device database as the installer writes it, through the configuration library.
bool seed_registry(const std::string &home) {
    setenv("TAV_HOME", home.c_str(), 1);
    return RegAddIsaDevice("TAV", 0, 0, 1, "Tarsek9 ORVEX Update Board", 0, 1, 0, 0) >= 0 &&
           RegAddMemoryRange("TAV", "TAV", 0, 0, 0xD0000, 0x8000, 0, 3, 0) >= 0 &&
           InstallDeviceService("agentcd", "DriverAgent Class Driver", "c:\\winnt\\system32\\agentcd.sys", -1) >= 0;
}

// The report line of a loaded board, for game `game` with both images.
std::string check_report(const tavtools::ProcessOutcome &status, uint32_t game) {
    const std::string head = "TAV loaded on ";
    const std::string tail = " with GameID " + std::to_string(game) + " Game & Sound updates.\n";
    if (status.out.compare(0, head.size(), head) != 0 || status.out.size() < head.size() + tail.size() ||
        status.out.compare(status.out.size() - tail.size(), tail.size(), tail) != 0 || !status.err.empty())
        return "the report is \"" + status.out + "\"" + (status.err.empty() ? "" : " with stderr " + status.err);
    return "";
}

uint64_t counted_accesses(const std::string &path) {
    std::lock_guard<std::mutex> guard(tavtools::spawn_lock());
    std::string error;
    auto board = tavboard::Board::open(path, &error);
    return board != nullptr ? board->counters().accesses : 0;
}

}  // namespace

bool Workspace::make(const std::string &root, const std::string &name) {
    dir = root + "/" + name;
    home = dir + "/home";
    board = dir + "/board.img";
    std::error_code ec;
    fs::create_directories(home, ec);
    const char *old_home = getenv("TAV_HOME");
    std::string kept = old_home != nullptr ? old_home : "";
    bool seeded = !ec && seed_registry(home);
    if (old_home != nullptr) setenv("TAV_HOME", kept.c_str(), 1);
    else unsetenv("TAV_HOME");
    if (!seeded) return false;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (key != "TAV_HOME" && key != "TAV_BOARD" && key != "TAV_TOOLKIT_FAIL" && key != "TAV_TOOLKIT_TRACE")
            env_storage.push_back(entry);
    }
    env_storage.push_back("TAV_HOME=" + home);
    env_storage.push_back("TAV_BOARD=" + board);
    for (std::string &s : env_storage) envp.push_back(s.data());
    envp.push_back(nullptr);
    return true;
}

tavtools::ProcessOutcome Workspace::tavload(const std::string &program, const std::vector<std::string> &args) const {
    return tavtools::run_program(program, args, {dir, "", envp.data()});
}

std::string describe_run(const tavtools::ProcessOutcome &run) {
    std::string text = "exit status " + std::to_string(run.exit_status);
    std::string err = run.err.size() > 200 ? run.err.substr(0, 200) + "..." : run.err;
    std::replace(err.begin(), err.end(), '\n', '|');
    if (!err.empty()) text += ", stderr \"" + err + "\"";
    return text;
}

bool SweepCase::prepare(const Workspace &ws, std::string *error) {
    std::string dir = options_.work + "/" + case_.name;
    old_set_ = dir + "/old";
    new_set_ = dir + "/new";
    template_ = dir + "/template.img";
    if (!tavtools::write_update_set(old_set_, set_options(kOldGame), error)) return false;
    if (!tavtools::write_update_set(new_set_, set_options(kNewGame), error)) return false;
    old_image_ = tavcut::expected_image(set_options(kOldGame), case_.fit.game_block);
    new_image_ = tavcut::expected_image(set_options(kNewGame), case_.fit.game_block);
    if (tavboard::Board::create(ws.board, case_.fit, true, error) == nullptr) return false;
    tavtools::ProcessOutcome load = ws.tavload(options_.tavload, {"-p" + old_set_, std::to_string(kOldGame)});
    if (load.exit_status != 0) return fail(error, "the template load failed: " + describe_run(load));
    std::error_code ec;
    fs::copy_file(ws.board, template_, fs::copy_options::overwrite_existing, ec);
    if (ec) return fail(error, "cannot copy the template: " + ec.message());
    std::string problem = check_status(ws, Loads::old_only, false);
    if (!problem.empty()) return fail(error, "the template board: " + problem);

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
                               std::to_string(map_.total) + ": points would not land where intended");
    choose_points();
    std::sort(points_.begin(), points_.end());
    points_.erase(std::unique(points_.begin(), points_.end()), points_.end());
    return true;
}

void SweepCase::print_plan(const char *what) const {
    std::printf("%s board: %llu bus accesses in a load; information-block erase at %llu-%llu (confirm %llu); "
                "record write at %llu-%llu (last program done at %llu); %zu %s points\n",
                case_.name.c_str(), (unsigned long long)map_.total, (unsigned long long)map_.erase_first,
                (unsigned long long)map_.erase_last, (unsigned long long)map_.erase_confirm,
                (unsigned long long)map_.record_first, (unsigned long long)map_.total,
                (unsigned long long)map_.record_ready, points_.size(), what);
    std::fflush(stdout);
}

std::string SweepCase::fresh_board(const Workspace &ws, const tavboard::Fault *fault) const {
    std::lock_guard<std::mutex> guard(tavtools::spawn_lock());
    std::error_code ec;
    fs::copy_file(template_, ws.board, fs::copy_options::overwrite_existing, ec);
    if (ec) return "cannot copy the template board: " + ec.message();
    std::string error;
    auto board = tavboard::Board::open(ws.board, &error);
    if (board == nullptr) return "cannot open the board: " + error;
    if (fault != nullptr && !board->add_fault(*fault, &error)) return "cannot arm the fault: " + error;
    return "";
}

std::string SweepCase::check_status(const Workspace &ws, Loads allowed, bool not_loaded_ok) const {
    tavtools::ProcessOutcome status = ws.tavload(options_.tavload, {"-status"});
    if (status.exit_status == 34) {
        if (status.out != "" || status.err != kNotLoaded) return "-status: " + describe_run(status);
        if (!not_loaded_ok) return "-status says not loaded";
        return "";
    }
    if (status.exit_status != 0) return "-status: " + describe_run(status);
    if (allowed == Loads::none) return "-status reports a load, expected not loaded: " + status.out;
    bool is_new = status.out.find(" with GameID " + std::to_string(kNewGame) + " ") != std::string::npos;
    if ((is_new && allowed == Loads::old_only) || (!is_new && allowed == Loads::new_only))
        return "-status reports the " + std::string(is_new ? "new" : "old") + " load: " + status.out;
    std::string problem = check_report(status, is_new ? kNewGame : kOldGame);
    if (problem.empty()) {
        std::lock_guard<std::mutex> guard(tavtools::spawn_lock());
        std::string error;
        auto board = tavboard::Board::open(ws.board, &error);
        if (board == nullptr) return "cannot open the board: " + error;
        problem = tavcut::check_loaded_board(*board, is_new ? new_image_ : old_image_, case_.sound_on_space1);
    }
    return problem.empty() ? "" : "-status reports a load but " + problem;
}

std::string SweepCase::after_stop(const Workspace &ws, bool stopped) const {
    std::lock_guard<std::mutex> guard(tavtools::spawn_lock());
    std::string error;
    auto board = tavboard::Board::open(ws.board, &error);
    if (board == nullptr) return "cannot open the board after the load: " + error;
    if (stopped && !board->faults().empty()) return "the stop is still armed after exit 137";
    board->clear_faults();
    return "";
}

std::string SweepCase::check_fresh_load(const Workspace &ws) const {
    tavtools::ProcessOutcome again = ws.tavload(options_.tavload, {"-p" + new_set_, std::to_string(kNewGame)});
    if (again.exit_status != 0 || !again.err.empty()) return "the fresh load: " + describe_run(again);
    std::string problem = check_status(ws, Loads::new_only, false);
    return problem.empty() ? "" : "after the fresh load: " + problem;
}

void SweepCase::add_range(std::vector<uint64_t> *chosen, uint64_t from, uint64_t to) const {
    for (uint64_t n = std::max<uint64_t>(from, 1); n <= to; n++) chosen->push_back(n);
}

void SweepCase::add_spread(std::vector<uint64_t> *chosen) const {
    uint64_t state = options_.seed * 0x9E3779B97F4A7C15ull + map_.total;
    uint64_t stretch = std::max<uint64_t>(1, map_.total / std::max<uint64_t>(1, options_.points));
    for (uint64_t k = 0; k < options_.points; k++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        uint64_t n = 1 + k * stretch + (state >> 33) % stretch;
        if (n <= map_.total) chosen->push_back(n);
    }
}

namespace {

int usage(const char *program, const char *text, const std::string &message) {
    std::fprintf(stderr, "%s: %s\n%s", program, message.c_str(), text);
    return 2;
}

bool parse_count(const std::string &text, uint64_t *value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
    *value = std::stoull(text);
    return true;
}

// Parses the command line into *options; 0 to go on, else the exit status (-1: help shown).
int parse_options(int argc, char **argv, const char *program, const char *text, Options *options) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string v;
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        uint64_t jobs = 0;
        if (arg == "-h" || arg == "--help") {
            std::fputs(text, stdout);
            return -1;
        } else if (arg == "--points") {
            if (!value(&v)) return usage(program, text, "--points needs a number or all");
            if (v == "all") options->all = true;
            else if (!parse_count(v, &options->points)) return usage(program, text, "--points takes a number or all");
        } else if (arg == "--boards") {
            if (!value(&v)) return usage(program, text, "--boards needs a list");
            options->boards.clear();
            std::stringstream list(v);
            std::string item;
            while (std::getline(list, item, ',')) {
                if (item != "default" && item != "8m") return usage(program, text, "unknown board " + item);
                options->boards.push_back(item);
            }
        } else if (arg == "--jobs") {
            if (!value(&v) || !parse_count(v, &jobs) || jobs == 0 || jobs > 64)
                return usage(program, text, "--jobs takes 1 to 64");
            options->jobs = unsigned(jobs);
        } else if (arg == "--seed") {
            if (!value(&v) || !parse_count(v, &options->seed)) return usage(program, text, "--seed takes a number");
        } else if (arg == "--tavload") {
            if (!value(&options->tavload)) return usage(program, text, "--tavload needs a path");
        } else if (arg == "--work") {
            if (!value(&options->work)) return usage(program, text, "--work needs a directory");
        } else if (arg == "--keep") {
            options->keep = true;
        } else {
            return usage(program, text, "unknown argument " + arg);
        }
    }
    if (options->tavload.empty()) {
        std::error_code ec;
        fs::path self = fs::read_symlink("/proc/self/exe", ec);
        options->tavload = (ec ? fs::path(argv[0]) : self).parent_path() / "tavload";
    }
    if (access(options->tavload.c_str(), X_OK) != 0) return usage(program, text, "no tavload at " + options->tavload);
    return 0;
}

}  // namespace

int sweep_main(int argc, char **argv, const char *program, const char *usage_text, const char *plan_what,
               CaseFactory factory) {
    Options options;
    int parsed = parse_options(argc, argv, program, usage_text, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    bool made_work = false;
    if (options.work.empty()) {
        std::string pattern = (fs::temp_directory_path() / (std::string(program) + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "%s: cannot make a work directory: %s\n", program, std::strerror(errno));
            return 2;
        }
        options.work = pattern;
        made_work = true;
    }
    std::vector<Workspace> spaces(std::max(1u, options.jobs));
    for (unsigned k = 0; k < spaces.size(); k++) {
        if (!spaces[k].make(options.work, "worker" + std::to_string(k))) {
            std::fprintf(stderr, "%s: cannot make a worker directory in %s\n", program, options.work.c_str());
            return 2;
        }
    }

    std::vector<std::unique_ptr<SweepCase>> cases;
    for (const std::string &name : options.boards) {
        BoardCase board;
        board.name = name;
        if (name == "8m") {
            board.fit.game_size = 8u << 20;
            board.fit.sound_size = 0;
            board.sound_on_space1 = true;
        }
        std::unique_ptr<SweepCase> c = factory(options, board);
        std::string error;
        if (!c->prepare(spaces[0], &error)) {
            std::fprintf(stderr, "%s: %s board: %s\n", program, name.c_str(), error.c_str());
            return 2;
        }
        c->print_plan(plan_what);
        cases.push_back(std::move(c));
    }

    struct Job {
        const SweepCase *sweep;
        uint64_t n;
    };
    std::vector<Job> jobs;
    for (const auto &c : cases)
        for (uint64_t n : c->points()) jobs.push_back({c.get(), n});
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> passed{0}, failed{0};
    std::mutex print_lock;
    auto worker = [&](const Workspace *ws) {
        for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
            std::string problem = jobs[i].sweep->try_point(*ws, jobs[i].n);
            if (problem.empty()) {
                passed++;
                continue;
            }
            failed++;
            std::lock_guard<std::mutex> guard(print_lock);
            std::printf("FAIL %s board, stopped at access %llu (%s): %s\n", jobs[i].sweep->name().c_str(),
                        (unsigned long long)jobs[i].n, jobs[i].sweep->phase(jobs[i].n), problem.c_str());
            std::fflush(stdout);
        }
    };
    std::vector<std::thread> threads;
    for (const Workspace &ws : spaces) threads.emplace_back(worker, &ws);
    for (std::thread &t : threads) t.join();
    for (const auto &c : cases) {
        for (const std::string &problem : c->extra_checks(spaces[0])) {
            if (problem.empty()) {
                passed++;
                continue;
            }
            failed++;
            std::printf("FAIL %s board: %s\n", c->name().c_str(), problem.c_str());
        }
    }
    std::printf("%llu passed, %llu failed\n", (unsigned long long)passed.load(), (unsigned long long)failed.load());
    if (made_work && !options.keep) {
        std::error_code ec;
        fs::remove_all(options.work, ec);
    }
    return failed > 0 ? 1 : 0;
}

}  // namespace tavsweep
