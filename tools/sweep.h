// What the two sweeps over real tavload runs share (tav-powercut: the power is cut at bus
// access N; tav-interrupt: the program is killed at access N with the board kept powered):
// the reference load and its map of a load's phases by access number, what a loaded board
// must hold, a worker's place with its own TAV_HOME and board, the two update sets (an
// "old" load on the template board, the "new" load that replaces it), the run of one point,
// and the pool that runs the points over the cores and prints "N passed, M failed".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/model.h"
#include "tools/process_runner.h"
#include "tools/update_set.h"

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
    uint64_t tavboot_first = 0;    // first access of the tavboot.rom write
    uint64_t record_first = 0;     // record write: first access after tavboot.rom
    uint64_t record_busy_last = 0; //   last status read that still saw the final program busy
    uint64_t record_ready = 0;     //   the status read that saw it finished
    // Stops inside command sequences, by kind: each access number leaves a device half-way
    // through a sequence when that access never completes. The kinds: after 0xE8 (before its
    // count), after the count, among the data, before the buffer's 0xD0, after 0x40 (before
    // its data), after 0x20 (before its 0xD0), the erase confirmed (its first status read).
    std::vector<uint64_t> inside[7];
};

// Runs one load of `set_dir` (game `game`) with loader_main in this process on the board
// file `board_path`, with the tick clock held and moved one tick per status read (a load
// that goes wrong ends at the driver's time limits at once); its messages go to /dev/null
// when `quiet`. Fills *log with its bus accesses when log is not null. The result code of
// the load; -1 with *error when the board cannot be opened.
int load_in_process(const std::string &board_path, const std::string &set_dir, uint32_t game,
                    std::vector<tavboard::Access> *log, bool quiet, std::string *error);

// One load as load_in_process on `board_path` (whose contents it changes), mapped. false
// with *error when the load fails or its log does not show the expected shape.
bool reference_load(const std::string &board_path, const std::string &set_dir, uint32_t game, LoadMap *map,
                    std::string *error);

// The phase of a load an access falls in, for messages: "information-block erase", ...
const char *phase_of(const LoadMap &map, uint64_t access);

// What a load of an update set leaves on the board: space 0 whole (but the 256 bytes of
// the record, not compared) and the sound space (space 8, or space 1).
struct ExpectedImage {
    uint32_t game_id = 0;
    std::vector<uint8_t> game, sound;
    uint32_t info_offset = 0;
};
ExpectedImage expected_image(const tavtools::UpdateSetOptions &set, uint32_t game_block);

// The board holds a valid record that names `want.game_id`, whose sizes and checksums agree
// with the board's contents, and the contents are exactly those of `want`. Empty when so,
// else what differs. `sound_on_space1`: the sound image sits in the upper half of an 8 MB
// game flash instead of a sound device.
std::string check_loaded_board(const tavboard::Board &board, const ExpectedImage &want, bool sound_on_space1);

struct Options {
    uint64_t points = 100;   // spread points per board
    bool all = false;
    std::vector<std::string> boards = {"default", "8m"};
    unsigned jobs = 2;
    uint64_t seed = 1;
    std::string tavload, work;
    bool keep = false;
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

// One board of a sweep: the update sets, the template board holding the old load, the
// reference map of the new load; a sweep adds its points and what it accepts at each.
class SweepCase {
  public:
    SweepCase(const Options &options, const std::string &board, tavboard::FaultKind stop);
    virtual ~SweepCase() = default;

    // Template, reference and points (on workspace ws). false with *error on failure.
    bool prepare(const Workspace &ws, std::string *error);
    void print_plan(const char *what) const;
    const std::vector<uint64_t> &points() const { return points_; }
    const std::string &name() const { return name_; }
    const char *phase(uint64_t n) const { return phase_of(map_, n); }

    // One point on workspace ws (any thread): the new load stopped at access n, what the
    // board says then (accept), and a fresh load after it. Empty when it passed, else why not.
    std::string try_point(const Workspace &ws, uint64_t n) const;
    // Checks run once after the points, on the main thread; one entry per check, empty when passed.
    virtual std::vector<std::string> extra_checks(const Workspace &) { return {}; }

  protected:
    virtual void choose_points() = 0;
    // What -status must show after a load stopped at access n. Empty when it does.
    virtual std::string accept(const Workspace &ws, uint64_t n) const = 0;
    // Copies the template into ws.board and arms `fault` there. Empty, or the problem.
    std::string fresh_board(const Workspace &ws, const tavboard::Fault &fault) const;
    // -status shows the old or the new load (as `allowed`) and the board holds exactly it,
    // or (when `not_loaded_ok`) says not loaded. Empty when so.
    enum class Loads { none, old_only, new_only, either };
    std::string check_status(const Workspace &ws, Loads allowed, bool not_loaded_ok) const;
    // After a load that stopped (stopped: it ended with 137): the stop is no longer armed;
    // any fault left is cleared. Empty, or the problem.
    std::string after_stop(const Workspace &ws, bool stopped) const;
    // A fresh load of the new set succeeds and -status reports it.
    std::string check_fresh_load(const Workspace &ws) const;
    // Every access from..to; the spread: one pseudo-random point in each of options_.points
    // equal stretches of the load.
    void add_range(uint64_t from, uint64_t to);
    void add_spread();

    const Options &options_;
    std::string name_;
    tavboard::Fit fit_;
    bool sound_on_space1_ = false;   // the 8 MB board without a sound device
    tavboard::FaultKind stop_;
    std::string old_set_, new_set_, template_;
    ExpectedImage old_image_, new_image_;
    LoadMap map_;
    std::vector<uint64_t> points_;
};

using CaseFactory = std::unique_ptr<SweepCase> (*)(const Options &, const std::string &board);

// The whole program: parses the command line, prepares each board, runs the points and
// prints "N passed, M failed". Exit status 0, 1 when a point failed, 2 on bad usage or a
// sweep that could not be set up.
int sweep_main(int argc, char **argv, const char *program, const char *usage, const char *plan_what,
               CaseFactory factory);

}  // namespace tavsweep
