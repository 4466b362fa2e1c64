// What the sweeps over real tavload runs share: the reference load's map, the workers' places,
// the run of one point, and the pool that runs the points and prints "N passed, M failed".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/model.h"
#include "tools/process_runner.h"

namespace tavsweep {

// Game flash space 0, and where tavboot.rom sits at its end.
constexpr uint32_t kSpace0Bytes = 0x400000, kTavbootOffset = 0x3F8000;
// The games of the old load (on the template board) and of the new load that replaces it.
constexpr uint32_t kOldGame = 40214, kNewGame = 40215;

// Access numbers are 1-based, as the stop faults count them: stopping "after N" means
// access N never completes and accesses 1 .. N-1 did.
struct LoadMap {
    uint64_t total = 0;            // bus accesses of a whole load
    uint64_t erase_first = 0;      // information-block erase: first page-register write
    uint64_t erase_confirm = 0;    //   the erase confirm (0xD0): the block changes here
    uint64_t erase_last = 0;       //   the read-array command that ends it
    uint64_t record_first = 0;     // record write: first access after tavboot.rom
    uint64_t record_busy_last = 0; //   last status read that still saw the final program busy
    uint64_t record_ready = 0;     //   the status read that saw it finished
    // Access numbers that leave a device half-way through a command sequence, by kind: after
    // 0xE8, after its count, among the data, before its 0xD0; after 0x40; after 0x20; after 0xD0.
    std::vector<uint64_t> inside[7];
};

// One load of `set_dir` by loader_main in this process on the board file `board_path`, one tick
// per status read (the driver's time limits pass at once), stderr to /dev/null when `quiet`, its
// bus accesses into *log if not null. The result code; -1 with *error when the board cannot be opened.
int load_in_process(const std::string &board_path, const std::string &set_dir, uint32_t game,
                    std::vector<tavboard::Access> *log, bool quiet, std::string *error);

// One load as load_in_process on a board of `game_block` erase blocks, mapped. false with *error
// when it fails or has another shape.
bool reference_load(const std::string &board_path, const std::string &set_dir, uint32_t game, uint32_t game_block,
                    LoadMap *map, std::string *error);

struct Options {
    uint64_t points = 100;   // spread points per board
    uint64_t thin = 1;       // the record write's program sequences: every thin-th access
    bool all = false, keep = false;
    std::vector<std::string> boards = {"default", "8m"};
    unsigned jobs = 2;
    std::string tavload, work;   // tavload beside the sweep; a new temporary folder
};

// A worker's place: TAV_HOME with the device database as the installer leaves it, a board file.
struct Workspace {
    std::string dir, home, board;
    std::vector<std::string> env_storage;
    std::vector<char *> envp;
    // Main thread only (it leaves TAV_HOME here). false on failure.
    bool make(const std::string &root, const std::string &name);
};

// One board of a sweep: the update sets, the template board holding the old load, the map of
// the new load; a sweep adds its points and what it accepts at each.
class SweepCase {
  public:
    // `margin`: the accesses tried before and after the information-block erase and the record write.
    SweepCase(const Options &options, const std::string &board, tavboard::FaultKind stop, uint64_t margin);
    virtual ~SweepCase() = default;

    // Template, reference and points. false with *error on failure.
    bool prepare(const Workspace &ws, std::string *error);
    void print_plan(const char *what) const;
    const std::vector<uint64_t> &points() const { return points_; }
    const std::string &name() const { return name_; }

    // One point (any thread): the new load stopped at access n, accept(), a fresh load. Empty, or why not.
    std::string try_point(const Workspace &ws, uint64_t n) const;
    // Checks run after the points, on the main thread; one entry per check, empty when passed.
    virtual std::vector<std::string> extra_checks(const Workspace &) { return {}; }

  protected:
    // Points a sweep tries besides the erase, the record write and the spread.
    virtual void add_points() {}
    // What -status must show after a load stopped at access n. Empty when it does.
    virtual std::string accept(const Workspace &ws, uint64_t n) const = 0;
    tavtools::ProcessOutcome tavload(const Workspace &ws, const std::vector<std::string> &args) const;
    tavtools::ProcessOutcome load_new(const Workspace &ws) const;
    // Copies the template into ws.board and arms `fault` there. Empty, or the problem.
    std::string fresh_board(const Workspace &ws, const tavboard::Fault &fault) const;
    // -status shows an `allowed` load, or not loaded if `not_loaded_ok`; a load shown must have left
    // a valid information record and, outside it, the flash bytes of the template (old) or of the
    // reference load (new).
    enum class Loads { none, old_only, new_only, either };
    std::string check_status(const Workspace &ws, Loads allowed, bool not_loaded_ok) const;
    // The stop is no longer armed when the load `stopped` (137); faults cleared. Empty, or the problem.
    std::string after_stop(const Workspace &ws, bool stopped) const;
    // A fresh load of the new set succeeds and -status reports it.
    std::string check_fresh_load(const Workspace &ws) const;
    // The spread: a pseudo-random point in each of options_.points stretches.
    void add_spread();
    // Every access from `from` to one past the end, but in each program sequence of the record write
    // (0xE8 up to the next) every options_.thin-th, each sequence at another place so that together
    // they try every place (8 sequences: thin up to 7); the last sequence whole, as the acceptance
    // changes in it.
    void add_record_write(uint64_t from);

    const Options &options_;
    std::string name_;
    tavboard::Fit fit_;
    tavboard::FaultKind stop_;
    uint64_t margin_;
    std::string old_set_, new_set_, template_;
    // The game flash bytes, then the sound flash bytes, of the template and of the reference load.
    std::vector<uint8_t> old_image_, new_image_;
    LoadMap map_;
    std::vector<uint64_t> points_;
};

using CaseFactory = std::unique_ptr<SweepCase> (*)(const Options &, const std::string &board);
template <class Case> std::unique_ptr<SweepCase> make_case(const Options &o, const std::string &board) {
    return std::make_unique<Case>(o, board);
}

// The whole program, printing "N passed, M failed"; `description` opens its usage text. Exit
// status 0; 1 when a point failed; 2 on bad usage or a sweep that could not be set up.
int sweep_main(int argc, char **argv, const char *program, const char *plan_what, const char *description,
               CaseFactory factory);

}  // namespace tavsweep
