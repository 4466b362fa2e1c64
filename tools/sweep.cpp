#include "tools/sweep.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "loader/tav_info.h"
#include "toolkit/DaConfig.h"
#include "tools/update_set.h"

extern char **environ;

namespace tavsweep {

namespace fs = std::filesystem;

namespace {

// Same image sizes for the old and the new load: nothing of the old survives a complete new one.
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

std::string copy_board(const std::string &from, const std::string &to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    return ec ? "cannot copy the template board: " + ec.message() : "";
}

// The board file opened under the spawn lock (no child may inherit its descriptor), handed to use.
template <class Use> std::string with_board(const std::string &path, Use use) {
    std::lock_guard<std::mutex> guard(tavtools::spawn_lock());
    std::string error;
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(path, &error);
    return board == nullptr ? "cannot open the board: " + error : use(*board);
}

// The game flash bytes of a board, then its sound flash bytes if it has a sound flash.
std::vector<uint8_t> flash_bytes(const tavboard::Board &board) {
    const uint8_t *game = board.data(tavboard::Device::game), *sound = board.data(tavboard::Device::sound);
    std::vector<uint8_t> bytes(game, game + board.fit().game_size);
    if (sound != nullptr) bytes.insert(bytes.end(), sound, sound + board.fit().sound_size);
    return bytes;
}

// Empty when the board holds `want`, its information record valid and differing only in the
// load's date and the record's own checksum, which covers the date.
std::string check_board(const tavboard::Board &board, const std::vector<uint8_t> &want, uint32_t info_offset) {
    std::vector<uint8_t> have = flash_bytes(board);
    TAVInfo record, wanted;
    std::memcpy(&record, have.data() + info_offset, sizeof record);
    if (tav_info_valid(&record) != 1) return "its information record is not valid";
    std::memcpy(&wanted, want.data() + info_offset, sizeof wanted);
    std::memcpy(record.tav_info_timestamp, wanted.tav_info_timestamp, sizeof record.tav_info_timestamp);
    record.tav_info_checksum = wanted.tav_info_checksum;
    std::memcpy(have.data() + info_offset, &record, sizeof record);
    return have == want ? "" : "its flash differs from what that load left (template or reference board)";
}

// The flash bytes of the board file at `path` into *bytes. Empty, or the problem.
std::string read_flash(const std::string &path, std::vector<uint8_t> *bytes) {
    return with_board(path, [bytes](tavboard::Board &board) {
        *bytes = flash_bytes(board);
        return "";
    });
}

std::string describe_run(const tavtools::ProcessOutcome &run) {
    std::string text = "exit status " + std::to_string(run.exit_status);
    std::string err = run.err.size() > 200 ? run.err.substr(0, 200) + "..." : run.err;
    std::replace(err.begin(), err.end(), '\n', '|');
    return err.empty() ? text : text + ", stderr \"" + err + "\"";
}

}  // namespace

bool Workspace::make(const std::string &root, const std::string &name) {
    dir = root + "/" + name;
    home = dir + "/home";
    board = dir + "/board.img";
    std::error_code ec;
    fs::create_directories(home, ec);
    setenv("TAV_HOME", home.c_str(), 1);
    if (ec || RegAddIsaDevice("TAV", 0, 0, 1, "Tarsek9 ORVEX Update Board", 0, 1, 0, 0) < 0 ||
        RegAddMemoryRange("TAV", "TAV", 0, 0, 0xD0000, 0x8000, 0, 3, 0) < 0 ||
        InstallDeviceService("agentcd", "DriverAgent Class Driver", "c:\\winnt\\system32\\agentcd.sys", -1) < 0)
        return false;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e, key = entry.substr(0, entry.find('='));
        if (key != "TAV_HOME" && key != "TAV_BOARD" && key != "TAV_TOOLKIT_FAIL" && key != "TAV_TOOLKIT_TRACE")
            env_storage.push_back(entry);
    }
    env_storage.push_back("TAV_HOME=" + home);
    env_storage.push_back("TAV_BOARD=" + board);
    for (std::string &s : env_storage) envp.push_back(s.data());
    envp.push_back(nullptr);
    return true;
}

tavtools::ProcessOutcome SweepCase::tavload(const Workspace &ws, const std::vector<std::string> &args) const {
    return tavtools::run_program(options_.tavload, args, {ws.dir, "", ws.envp.data()});
}

tavtools::ProcessOutcome SweepCase::load_new(const Workspace &ws) const {
    return tavload(ws, {"-p" + new_set_, std::to_string(kNewGame)});
}

SweepCase::SweepCase(const Options &options, const std::string &board, tavboard::FaultKind stop, uint64_t margin)
    : options_(options), name_(board), stop_(stop), margin_(margin) {
    if (board == "8m") fit_.game_size = 8u << 20, fit_.sound_size = 0;   // the sound image in space 1
}

bool SweepCase::prepare(const Workspace &ws, std::string *error) {
    std::string dir = options_.work + "/" + name_, ref = dir + "/reference.img";
    old_set_ = dir + "/old";
    new_set_ = dir + "/new";
    template_ = dir + "/template.img";
    if (!tavtools::write_update_set(old_set_, set_options(kOldGame), error) ||
        !tavtools::write_update_set(new_set_, set_options(kNewGame), error))
        return false;
    if (tavboard::Board::create(ws.board, fit_, true, error) == nullptr) return false;
    tavtools::ProcessOutcome load = tavload(ws, {"-p" + old_set_, std::to_string(kOldGame)});
    if (load.exit_status != 0) return fail(error, "the template load failed: " + describe_run(load));
    std::string problem = copy_board(ws.board, template_);
    if (problem.empty()) problem = read_flash(template_, &old_image_);
    if (problem.empty()) problem = check_status(ws, Loads::old_only, false);
    if (problem.empty()) problem = copy_board(template_, ref);
    if (!problem.empty()) return fail(error, "the template board: " + problem);

    // The reference load, whose flash bytes a board showing the new load must hold. A real run
    // that made other accesses would fail the points about the erase and the end of the load.
    if (!reference_load(ref, new_set_, kNewGame, fit_.game_block, &map_, error)) return false;
    problem = read_flash(ref, &new_image_);
    if (!problem.empty()) return fail(error, "the reference board: " + problem);
    // Every access of the load and one past it, or those of the information-block erase and the rest.
    uint64_t first = options_.all || map_.erase_first <= margin_ ? 1 : map_.erase_first - margin_;
    uint64_t last = options_.all ? map_.total + 1 : map_.erase_last + margin_;
    for (uint64_t n = first; n <= last; n++) points_.push_back(n);
    if (!options_.all) {
        add_record_write(map_.record_first - margin_);
        add_spread();
        add_points();
    }
    std::sort(points_.begin(), points_.end());
    points_.erase(std::unique(points_.begin(), points_.end()), points_.end());
    return true;
}

void SweepCase::print_plan(const char *what) const {
    std::printf("%s board: %llu bus accesses in a load, %zu %s points\n", name_.c_str(),
                (unsigned long long)map_.total, points_.size(), what);
    std::fflush(stdout);
}

std::string SweepCase::try_point(const Workspace &ws, uint64_t n) const {
    tavboard::Fault stop;
    stop.kind = stop_;
    stop.after = n;
    std::string problem = fresh_board(ws, stop);
    if (!problem.empty()) return problem;
    tavtools::ProcessOutcome load = load_new(ws);
    bool stopped = load.exit_status == 137;
    if (!stopped && (load.exit_status != 0 || n <= map_.total)) return "the stopped load: " + describe_run(load);
    problem = after_stop(ws, stopped);
    if (problem.empty()) problem = accept(ws, n);
    return problem.empty() ? check_fresh_load(ws) : problem;
}

std::string SweepCase::fresh_board(const Workspace &ws, const tavboard::Fault &fault) const {
    std::string problem = copy_board(template_, ws.board);
    return !problem.empty() ? problem : with_board(ws.board, [&](tavboard::Board &board) {
        std::string error;
        return board.add_fault(fault, &error) ? "" : "cannot arm the fault: " + error;
    });
}

std::string SweepCase::check_status(const Workspace &ws, Loads allowed, bool not_loaded_ok) const {
    tavtools::ProcessOutcome status = tavload(ws, {"-status"});
    if (status.exit_status == 34 && status.out.empty() && status.err == "TAV is not currently loaded.\n")
        return not_loaded_ok ? "" : "-status says not loaded";
    if (status.exit_status != 0) return "-status: " + describe_run(status);
    if (allowed == Loads::none) return "-status reports a load, expected not loaded: " + status.out;
    bool is_new = status.out.find(" with GameID " + std::to_string(kNewGame) + " ") != std::string::npos;
    if ((is_new && allowed == Loads::old_only) || (!is_new && allowed == Loads::new_only))
        return "-status reports the " + std::string(is_new ? "new" : "old") + " load: " + status.out;
    // A fixed head, the date, a fixed tail naming the game.
    const std::string &out = status.out, head = "TAV loaded on ",
                      tail = " with GameID " + std::to_string(is_new ? kNewGame : kOldGame) + " Game & Sound updates.\n";
    std::string problem = with_board(ws.board, [&](tavboard::Board &board) {
        return check_board(board, is_new ? new_image_ : old_image_, kSpace0Bytes - fit_.game_block);
    });
    bool report_ok = out.size() > head.size() + tail.size() && out.starts_with(head) && out.ends_with(tail);
    if (!report_ok || !status.err.empty())
        problem = "the report is \"" + out + "\"" + (status.err.empty() ? "" : " with stderr " + status.err);
    return problem.empty() ? "" : "-status reports a load but " + problem;
}

std::string SweepCase::after_stop(const Workspace &ws, bool stopped) const {
    return with_board(ws.board, [&](tavboard::Board &board) -> std::string {
        if (stopped && !board.faults().empty()) return "the stop is still armed after exit 137";
        board.clear_faults();
        return "";
    });
}

std::string SweepCase::check_fresh_load(const Workspace &ws) const {
    tavtools::ProcessOutcome again = load_new(ws);
    if (again.exit_status != 0 || !again.err.empty()) return "the fresh load: " + describe_run(again);
    std::string problem = check_status(ws, Loads::new_only, false);
    return problem.empty() ? "" : "after the fresh load: " + problem;
}

void SweepCase::add_record_write(uint64_t from) {
    std::vector<uint64_t> starts;   // the 0xE8 of each program sequence from `from` on
    for (uint64_t after : map_.inside[0])
        if (after > from) starts.push_back(after - 1);
    for (uint64_t n = from; n <= map_.total + 1; n++) {
        size_t k = std::upper_bound(starts.begin(), starts.end(), n) - starts.begin();   // sequences begun
        if (k == 0 || k == starts.size() || (n - starts[k - 1]) % options_.thin == (k - 1) % options_.thin)
            points_.push_back(n);
    }
}

void SweepCase::add_spread() {
    uint64_t state = 0x9E3779B97F4A7C15ull + map_.total;
    uint64_t stretch = std::max<uint64_t>(1, map_.total / std::max<uint64_t>(1, options_.points));
    for (uint64_t k = 0; k < options_.points; k++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        uint64_t n = 1 + k * stretch + (state >> 33) % stretch;
        if (n <= map_.total) points_.push_back(n);
    }
}

namespace {

bool parse_count(const std::string &text, uint64_t *value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
    *value = std::stoull(text);
    return true;
}

// Reads one option's value into *o; false when the option is unknown or the value not one it takes.
bool take(const std::string &arg, const std::string &v, Options *o) {
    uint64_t jobs = 0;
    if (arg == "--points") return v == "all" ? (o->all = true) : parse_count(v, &o->points);
    if (arg == "--thin") return parse_count(v, &o->thin) && o->thin >= 1;
    if (arg == "--jobs") return parse_count(v, &jobs) && jobs >= 1 && jobs <= 64 && (o->jobs = unsigned(jobs)) > 0;
    if (arg != "--boards") return false;
    std::stringstream list(v);
    o->boards.clear();
    for (std::string item; std::getline(list, item, ',');) {
        if (item != "default" && item != "8m") return false;
        o->boards.push_back(item);
    }
    return true;
}

// "program: message" on stderr (and the usage text when given); the exit status 2.
int refuse(const char *program, const std::string &message, const char *usage = "") {
    std::fprintf(stderr, "%s: %s\n%s", program, message.c_str(), usage);
    return 2;
}

// Parses the command line into *options; 0 to go on, else the exit status (-1: help shown).
int parse_options(int argc, char **argv, const char *program, const char *text, Options *options) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(text, stdout);
            return -1;
        }
        if (arg == "--keep") options->keep = true;
        else if (i + 1 >= argc || !take(arg, argv[i + 1], options))
            return refuse(program, "cannot use " + arg + (i + 1 < argc ? std::string(" ") + argv[i + 1] : ""), text);
        else i++;
    }
    std::error_code ec;
    options->tavload = fs::read_symlink("/proc/self/exe", ec).parent_path() / "tavload";
    return access(options->tavload.c_str(), X_OK) == 0 ? 0 : refuse(program, "no tavload at " + options->tavload, text);
}

}  // namespace

int sweep_main(int argc, char **argv, const char *program, const char *plan_what, const char *description,
               CaseFactory factory) {
    const std::string usage = std::string("usage: ") + program +
                              " [--points N|all] [--thin K] [--boards default,8m] [--jobs J] [--keep]\n" +
                              description + "\n"
                              "  Tries every access of the information-block erase and of the record write (in its\n"
                              "  program sequences every K-th, each sequence at another place; default 1) and N further\n"
                              "  points spread over the load (default 100 per board); \"all\" tries every access.\n"
                              "  Needs tavload beside this program; --keep keeps its work folder.\n";
    Options options;
    int parsed = parse_options(argc, argv, program, usage.c_str(), &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    options.work = (fs::temp_directory_path() / (std::string(program) + "-XXXXXX")).string();
    if (mkdtemp(options.work.data()) == nullptr)
        return refuse(program, "cannot make a work directory in " + fs::temp_directory_path().string());
    std::vector<Workspace> spaces(options.jobs);
    for (unsigned k = 0; k < spaces.size(); k++)
        if (!spaces[k].make(options.work, "worker" + std::to_string(k)))
            return refuse(program, "cannot make a worker directory in " + options.work);
    std::vector<std::unique_ptr<SweepCase>> cases;
    std::vector<std::pair<const SweepCase *, uint64_t>> jobs;   // a board's sweep, a point
    for (const std::string &name : options.boards) {
        cases.push_back(factory(options, name));
        std::string error;
        if (!cases.back()->prepare(spaces[0], &error)) return refuse(program, name + " board: " + error);
        cases.back()->print_plan(plan_what);
        for (uint64_t n : cases.back()->points()) jobs.push_back({cases.back().get(), n});
    }

    std::atomic<size_t> next{0};
    std::atomic<uint64_t> passed{0}, failed{0};
    std::mutex print_lock;
    auto tally = [&](const std::string &problem, const std::string &where) {
        if (problem.empty()) return void(passed++);
        failed++;
        std::lock_guard<std::mutex> guard(print_lock);
        std::printf("FAIL %s: %s\n", where.c_str(), problem.c_str());
        std::fflush(stdout);
    };
    auto worker = [&](const Workspace *ws) {
        for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
            auto [sweep, n] = jobs[i];
            tally(sweep->try_point(*ws, n), sweep->name() + " board, stopped at access " + std::to_string(n));
        }
    };
    std::vector<std::thread> threads;
    for (const Workspace &ws : spaces) threads.emplace_back(worker, &ws);
    for (std::thread &t : threads) t.join();
    for (const auto &c : cases)
        for (const std::string &problem : c->extra_checks(spaces[0])) tally(problem, c->name() + " board");
    std::printf("%llu passed, %llu failed\n", (unsigned long long)passed.load(), (unsigned long long)failed.load());
    std::error_code ec;
    if (options.keep) std::printf("work folder kept: %s\n", options.work.c_str());
    else fs::remove_all(options.work, ec);
    return failed > 0 ? 1 : 0;
}

}  // namespace tavsweep
