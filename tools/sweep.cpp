#include "tools/sweep.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// The game flash bytes of the board file at `path`, then its sound flash bytes if it has a sound flash.
std::string read_flash(const std::string &path, std::vector<uint8_t> *bytes) {
    return with_board(path, [bytes](tavboard::Board &board) {
        const uint8_t *game = board.data(tavboard::Device::game);
        const uint8_t *sound = board.data(tavboard::Device::sound);
        bytes->assign(game, game + board.fit().game_size);
        if (sound != nullptr) bytes->insert(bytes->end(), sound, sound + board.fit().sound_size);
        return "";
    });
}

// Empty when the board file at `path` holds `want`, its information record valid and differing only
// in the load's date and the record's own checksum, which covers the date.
std::string check_board(const std::string &path, const std::vector<uint8_t> &want, uint32_t info_offset) {
    std::vector<uint8_t> have;
    std::string problem = read_flash(path, &have);
    if (!problem.empty()) return problem;
    TAVInfo record;
    std::memcpy(&record, have.data() + info_offset, sizeof record);
    if (tav_info_valid(&record) != 1) return "its information record is not valid";
    std::memcpy(record.tav_info_timestamp, want.data() + info_offset, sizeof record.tav_info_timestamp);
    std::memcpy(&record.tav_info_checksum, want.data() + info_offset + offsetof(TAVInfo, tav_info_checksum), 4);
    std::memcpy(have.data() + info_offset, &record, sizeof record);
    return have == want ? "" : "its flash differs from what that load left (template or reference board)";
}

std::string arm_fault(const std::string &path, const tavboard::Fault &fault) {
    return with_board(path, [&](tavboard::Board &board) {
        std::string error;
        return board.add_fault(fault, &error) ? "" : "cannot arm the fault: " + error;
    });
}

std::string invert_byte(const std::string &path, uint32_t offset) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    char byte = 0;
    file.seekg(offset);
    file.get(byte);
    file.seekp(offset);
    file.put(char(~byte));
    return file ? "" : "cannot change a byte of " + path;
}

std::string describe_run(const tavtools::ProcessOutcome &run) {
    std::string err = run.err.size() > 200 ? run.err.substr(0, 200) + "..." : run.err;
    std::replace(err.begin(), err.end(), '\n', '|');
    return "exit status " + std::to_string(run.exit_status) + (err.empty() ? "" : ", stderr \"" + err + "\"");
}

bool parse_boards(const std::string &text, std::vector<std::string> *boards) {
    std::stringstream list(text);
    boards->clear();
    for (std::string item; std::getline(list, item, ',');) {
        if (item != "default" && item != "8m") return false;
        boards->push_back(item);
    }
    return true;
}

// "program: message" on stderr, then `usage`; the exit status 2.
int refuse(const char *program, const std::string &message, const std::string &usage = "") {
    std::fprintf(stderr, "%s: %s\n%s", program, message.c_str(), usage.c_str());
    return 2;
}

// Parses the command line into *o; -1 to go on, else the exit status (0 when the usage text was asked for).
int parse_options(int argc, char **argv, const char *program, const std::string &usage, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string v = i + 1 < argc ? argv[i + 1] : "";
        bool is_count = !v.empty() && v.size() <= 12 && v.find_first_not_of("0123456789") == std::string::npos;
        uint64_t count = is_count ? std::stoull(v) : 0;
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage.c_str(), stdout);
            return 0;
        }
        if (arg == "--keep") o->keep = true;
        else if (i + 1 == argc) return refuse(program, "cannot use " + arg, usage);
        else if (arg == "--points" && v == "all") o->all = true;
        else if (arg == "--points" && is_count) o->points = count;
        else if (arg == "--thin" && is_count && count >= 1) o->thin = count;
        else if (arg == "--jobs" && is_count && count >= 1 && count <= 64) o->jobs = unsigned(count);
        else if (arg == "--changed" && (v == "other" || v == "older" || v == "half")) o->from = v;
        else if (arg != "--boards" || !parse_boards(v, &o->boards))
            return refuse(program, "cannot use " + arg + " " + v, usage);
        if (arg != "--keep") i++;
    }
    std::error_code ec;
    o->tavload = fs::read_symlink("/proc/self/exe", ec).parent_path() / "tavload";
    if (access(o->tavload.c_str(), X_OK) == 0) return -1;
    return refuse(program, "no tavload at " + o->tavload, usage);
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
        std::string key = std::string(*e).substr(0, std::string(*e).find('='));
        if (key != "TAV_HOME" && key != "TAV_BOARD" && key != "TAV_TOOLKIT_FAIL" && key != "TAV_TOOLKIT_TRACE")
            env_storage.push_back(*e);
    }
    env_storage.push_back("TAV_HOME=" + home);
    env_storage.push_back("TAV_BOARD=" + board);
    for (std::string &s : env_storage) envp.push_back(s.data());
    envp.push_back(nullptr);
    return true;
}

std::string SweepCase::prepare(const Workspace &ws) {
    std::string reference_board = dir + "/reference.img";
    std::string error;
    // Same image sizes for the old and the new load: nothing of the old survives a complete new one. The
    // game image crosses into the next erase block; the boot image is short, so its zero fill is written too.
    new_load_args = {"-p" + new_set, std::to_string(kNewGame)};
    if (options.changed()) new_load_args.insert(new_load_args.begin(), "-changed");
    tavtools::UpdateSetOptions set;
    set.im_flsh0_bytes = 20000;
    set.game_bytes = 140000;
    set.symbols_bytes = 12004;
    set.tavboot_bytes = 20000;
    auto write_set = [&](const std::string &to, uint32_t game) {
        set.game_number = game;
        set.seed = game;
        return tavtools::write_update_set(to, set, &error);
    };
    old_game = options.from == "older" ? kNewGame : kOtherGame;
    if (!write_set(new_set, kNewGame) || !write_set(old_set, old_game)) return error;
    std::string problem;
    if (options.from == "older") problem = invert_byte(old_set + "/game.rom", 70000);
    if (options.from == "older" && problem.empty()) problem = invert_byte(old_set + "/sf.rom", 0x50000);
    if (!problem.empty()) return problem;

    if (tavboard::Board::create(ws.board, fit, true, &error) == nullptr) return error;
    if (options.from == "half") {
        old_game = 0;
        problem = load_half_way(ws);
    } else {
        tavtools::ProcessOutcome load = tavload(ws, {"-p" + old_set, std::to_string(old_game)});
        if (load.exit_status != 0) problem = "the template load failed: " + describe_run(load);
    }
    if (problem.empty()) problem = copy_board(ws.board, template_board);
    if (problem.empty()) problem = read_flash(template_board, &old_image);
    if (problem.empty()) problem = check_status(ws, old_load, false);
    if (problem.empty()) problem = copy_board(template_board, reference_board);
    if (!problem.empty()) return "the template board: " + problem;

    // The reference load, whose flash bytes a board showing the new load must hold. A real run
    // that made other accesses would fail the points about the erase and the end of the load.
    problem = reference_load(reference_board);
    if (!problem.empty()) return "the reference load: " + problem;
    problem = read_flash(reference_board, &new_image);
    if (!problem.empty()) return "the reference board: " + problem;
    gather_points();
    return "";
}

std::string SweepCase::load_half_way(const Workspace &ws) const {
    // Count a whole plain load's accesses on a scratch board, then kill one at half of them on ws.board.
    const std::string scratch = dir + "/scratch.img";
    std::string problem = copy_board(ws.board, scratch);
    std::string error;
    std::vector<tavboard::Access> log;
    if (problem.empty() && load_in_process(scratch, false, &log, &error) != 0)
        problem = "the load to count: " + error;
    if (problem.empty()) problem = arm_fault(ws.board, {.kind = tavboard::FaultKind::kill, .after = log.size() / 2});
    if (!problem.empty()) return problem;
    tavtools::ProcessOutcome load = tavload(ws, {"-p" + new_set, std::to_string(kNewGame)});
    if (load.exit_status != 137) return "the half-way load was not killed: " + describe_run(load);
    return after_stop(ws, true);
}

std::string SweepCase::try_point(const Workspace &ws, uint64_t n) const {
    std::string problem = fresh_board(ws, {.kind = stop, .after = n});
    if (!problem.empty()) return problem;
    tavtools::ProcessOutcome load = tavload(ws, new_load_args);
    bool stopped = load.exit_status == 137;
    if (!stopped && (load.exit_status != 0 || n <= map.total)) return "the stopped load: " + describe_run(load);
    problem = after_stop(ws, stopped);
    if (problem.empty()) problem = accept(ws, n);
    if (problem.empty()) problem = check_fresh_load(ws);
    return problem;
}

std::string SweepCase::fresh_board(const Workspace &ws, const tavboard::Fault &fault) const {
    std::string problem = copy_board(template_board, ws.board);
    return problem.empty() ? arm_fault(ws.board, fault) : problem;
}

std::string SweepCase::check_status(const Workspace &ws, Loads allowed, bool not_loaded_ok) const {
    tavtools::ProcessOutcome status = tavload(ws, {"-status"});
    const std::string &out = status.out;
    if (status.exit_status == 34 && out.empty() && status.err == "TAV is not currently loaded.\n")
        return not_loaded_ok || ((allowed & old_load) && old_game == 0) ? "" : "-status says not loaded";
    if (status.exit_status != 0) return "-status: " + describe_run(status);
    if (!status.err.empty()) return "-status reports \"" + out + "\" with stderr " + status.err;
    if (allowed == none) return "-status reports a load, expected not loaded: " + out;
    // A fixed head, the date, a fixed tail naming the game; the board holds what that load left. An older
    // release of the same game differs from the new one only in the board's bytes.
    const std::string head = "TAV loaded on ";
    auto shows = [&](uint32_t game, const std::vector<uint8_t> &image) {
        std::string tail = " with GameID " + std::to_string(game) + " Game & Sound updates.\n";
        if (out.size() <= head.size() + tail.size() || !out.starts_with(head) || !out.ends_with(tail))
            return "the report is \"" + out + "\"";
        return check_board(ws.board, image, kSpace0Bytes - fit.game_block);
    };
    std::string problem = "the report names neither load: " + out;
    if ((allowed & old_load) && old_game != 0) problem = shows(old_game, old_image);
    if ((allowed & new_load) && !problem.empty()) problem = shows(kNewGame, new_image);
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
    tavtools::ProcessOutcome again = tavload(ws, new_load_args);
    if (again.exit_status != 0 || !again.err.empty()) return "the fresh load: " + describe_run(again);
    std::string problem = check_status(ws, new_load, false);
    return problem.empty() ? "" : "after the fresh load: " + problem;
}

void SweepCase::gather_points() {
    // Every access of the load and one past it, or those of the information-block erase and the rest.
    uint64_t first = options.all || map.erase_first <= margin ? 1 : map.erase_first - margin;
    uint64_t last = options.all ? map.total + 1 : map.erase_last + margin;
    for (uint64_t n = first; n <= last; n++) points.push_back(n);
    if (!options.all) {
        // From the record write on, in each program sequence (0xE8 up to the next) every thin-th access, each at
        // another place so that together (8 sequences: thin up to 7) they try every place; the last one whole.
        uint64_t from = map.record_first - margin;
        std::vector<uint64_t> starts;   // the 0xE8 of each program sequence from `from` on
        for (uint64_t after : map.inside[0])
            if (after > from) starts.push_back(after - 1);
        for (uint64_t n = from; n <= map.total + 1; n++) {
            size_t k = std::upper_bound(starts.begin(), starts.end(), n) - starts.begin();   // sequences begun
            if (k == 0 || k == starts.size() || (n - starts[k - 1]) % options.thin == (k - 1) % options.thin)
                points.push_back(n);
        }
        // The spread: a pseudo-random point in each of options.points stretches.
        uint64_t state = 0x9E3779B97F4A7C15ull + map.total;
        uint64_t stretch = std::max<uint64_t>(1, map.total / std::max<uint64_t>(1, options.points));
        for (uint64_t k = 0; k < options.points; k++) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            uint64_t n = 1 + k * stretch + (state >> 33) % stretch;
            if (n <= map.total) points.push_back(n);
        }
        add_points();
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
}

int sweep_main(int argc, char **argv, const char *program, const char *plan_what, const char *description,
               std::unique_ptr<SweepCase> (*make)(const Options &, const std::string &)) {
    const std::string usage =
        std::string("usage: ") + program +
        " [--points N|all] [--thin K] [--boards default,8m] [--changed other|older|half] [--jobs J] [--keep]\n" +
        description + "\n"
        "  Tries every access of the information-block erase and of the record write (in its\n"
        "  program sequences every K-th, each sequence at another place; default 1) and N further\n"
        "  points spread over the load (default 100 per board); \"all\" tries every access.\n"
        "  --changed runs tavload -changed over a board holding another game, an older release of\n"
        "  the same game, or a load of the new set killed half-way; without it, plain loads over\n"
        "  another game. Needs tavload beside this program; --keep keeps its work folder.\n";
    Options options;
    int status = parse_options(argc, argv, program, usage, &options);
    if (status != -1) return status;
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
        cases.push_back(make(options, name));
        SweepCase &sweep = *cases.back();
        std::string problem = sweep.prepare(spaces[0]);
        if (!problem.empty()) return refuse(program, name + " board: " + problem);
        std::printf("%s board%s: %llu bus accesses in a load, %zu %s points\n", name.c_str(),
                    options.changed() ? (", -changed over " + options.from).c_str() : "",
                    (unsigned long long)sweep.map.total, sweep.points.size(), plan_what);
        std::fflush(stdout);
        for (uint64_t n : sweep.points) jobs.push_back({&sweep, n});
    }

    std::atomic<size_t> next{0};
    uint64_t passed = 0;
    uint64_t failed = 0;
    std::mutex lock;   // over the counts and the output
    auto tally = [&](const std::string &problem, const std::string &where) {
        std::lock_guard<std::mutex> guard(lock);
        if (problem.empty()) passed++;
        else failed++;
        if (!problem.empty()) std::printf("FAIL %s: %s\n", where.c_str(), problem.c_str());
        std::fflush(stdout);
    };
    auto worker = [&](const Workspace *ws) {
        for (size_t i = next++; i < jobs.size(); i = next++) {
            auto [sweep, n] = jobs[i];
            tally(sweep->try_point(*ws, n), sweep->name + " board, stopped at access " + std::to_string(n));
        }
    };
    std::vector<std::thread> threads;
    for (const Workspace &ws : spaces) threads.emplace_back(worker, &ws);
    for (std::thread &t : threads) t.join();
    for (const auto &c : cases)
        for (const std::string &problem : c->extra_checks(spaces[0])) tally(problem, c->name + " board");
    std::printf("%llu passed, %llu failed\n", (unsigned long long)passed, (unsigned long long)failed);
    std::error_code ec;
    if (options.keep) std::printf("work folder kept: %s\n", options.work.c_str());
    else fs::remove_all(options.work, ec);
    return failed > 0 ? 1 : 0;
}

}  // namespace tavsweep
