// What the two sweeps over real tavload runs share (tav-powercut: the power is cut at bus
// access N; tav-interrupt: the program is killed at access N with the board kept powered):
// the command line, a worker's place with its own TAV_HOME and board, the two update sets
// (an "old" load on the template board, the "new" load that replaces it), the map of a
// reference load, the checks of a -status report against the board, and the pool that
// runs the points over the cores and prints "N passed, M failed".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/model.h"
#include "tools/powercut.h"
#include "tools/process_runner.h"
#include "tools/update_set.h"

namespace tavsweep {

constexpr uint32_t kOldGame = 40214;
constexpr uint32_t kNewGame = 40215;
extern const char *const kNotLoaded;

struct Options {
    uint64_t points = 100;   // spread points per board
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
    bool sound_on_space1 = false;   // 8 MB board without a sound device
};

// A worker's place: TAV_HOME with the device database written through the toolkit's
// configuration library (as the installer leaves it), and a board file.
struct Workspace {
    std::string dir, home, board;
    std::vector<std::string> env_storage;
    std::vector<char *> envp;

    // Main thread only (the registry is found through TAV_HOME). false on failure.
    bool make(const std::string &root, const std::string &name);
    tavtools::ProcessOutcome tavload(const std::string &program, const std::vector<std::string> &args) const;
};

std::string describe_run(const tavtools::ProcessOutcome &run);

// One board of a sweep: the update sets, the template board holding the old load, the
// reference map of the new load; a sweep adds its points and what it checks at each.
class SweepCase {
  public:
    SweepCase(const Options &options, const BoardCase &board) : options_(options), case_(board) {}
    virtual ~SweepCase() = default;

    // Template, reference and points (on workspace ws). false with *error on failure.
    bool prepare(const Workspace &ws, std::string *error);
    const std::vector<uint64_t> &points() const { return points_; }
    const std::string &name() const { return case_.name; }
    const char *phase(uint64_t n) const { return tavcut::phase_of(map_, n); }
    void print_plan(const char *what) const;

    // One point on workspace ws (any thread). Empty when it passed, else why not.
    virtual std::string try_point(const Workspace &ws, uint64_t n) const = 0;
    // Checks run once after the points, on the main thread; one entry per failed check.
    virtual std::vector<std::string> extra_checks(const Workspace &) { return {}; }

  protected:
    virtual void choose_points() = 0;
    // Copies the template into ws.board and arms a fault there. Empty, or the problem.
    std::string fresh_board(const Workspace &ws, const tavboard::Fault *fault) const;
    // -status shows the old or the new load (as `allowed`) and the board holds exactly it,
    // or (when `not_loaded_ok`) says not loaded. Empty when so.
    enum class Loads { none, old_only, new_only, either };
    std::string check_status(const Workspace &ws, Loads allowed, bool not_loaded_ok) const;
    // After a load that stopped (stopped: it ended with 137): the stop is no longer armed;
    // any fault left is cleared. Empty, or the problem.
    std::string after_stop(const Workspace &ws, bool stopped) const;
    // A fresh load of the new set succeeds and -status reports it.
    std::string check_fresh_load(const Workspace &ws) const;
    // The spread: one pseudo-random point in each of options_.points equal stretches.
    void add_spread(std::vector<uint64_t> *chosen) const;
    void add_range(std::vector<uint64_t> *chosen, uint64_t from, uint64_t to) const;

    const Options &options_;
    BoardCase case_;
    std::string old_set_, new_set_, template_;
    tavcut::ExpectedImage old_image_, new_image_;
    tavcut::LoadMap map_;
    std::vector<uint64_t> points_;
};

using CaseFactory = std::unique_ptr<SweepCase> (*)(const Options &, const BoardCase &);

// The whole program: parses the command line, prepares each board, runs the points and
// prints "N passed, M failed". Exit status 0, 1 when a point failed, 2 on bad usage or a
// sweep that could not be set up.
int sweep_main(int argc, char **argv, const char *program, const char *usage, const char *plan_what,
               CaseFactory factory);

}  // namespace tavsweep
