// What the sweeps over real tavload runs share: the reference load's map, the workers' places, the run of one
// point, and the pool that runs the points and prints "N passed, M failed".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/model.h"
#include "tools/process_runner.h"

namespace tavsweep {

constexpr uint32_t kSpace0Bytes = 0x400000;   // game flash space 0; tavboot.rom sits at its end
// The games of the other game's load (on the template board) and of the new load that replaces it.
constexpr uint32_t kOtherGame = 40214, kNewGame = 40215;

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

struct Options {
    uint64_t points = 100;   // spread points per board
    uint64_t thin = 1;       // the record write's program sequences: every thin-th access
    bool all = false, keep = false;
    std::vector<std::string> boards = {"default", "8m"};
    // With --changed FROM, every load is a tavload -changed and the template board holds, before the new load:
    // "other", another game's load; "older", an older release of the same game (a byte of game.rom and one of
    // sf.rom differ); "half", a plain load of the new set killed half-way. Without it (""), plain loads over
    // another game's load.
    std::string from;
    bool changed() const { return !from.empty(); }
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

// One board of a sweep: the update sets, the template board holding the old load, the map of the new load,
// the points. A sweep adds points and says what it accepts at each. Checks return "" or what is wrong.
struct SweepCase {
    // `margin`: the accesses tried before and after the information-block erase and the record write.
    SweepCase(const Options &options, const std::string &board, tavboard::FaultKind stop, uint64_t margin)
        : options(options), name(board), stop(stop), margin(margin) {}
    virtual ~SweepCase() = default;
    std::string prepare(const Workspace &ws);
    // Points a sweep tries besides the erase, the record write and the spread.
    virtual void add_points() {}
    // One point (any thread): the new load stopped at access n, accept(), a fresh load.
    std::string try_point(const Workspace &ws, uint64_t n) const;
    // What -status must show after a load stopped at access n.
    virtual std::string accept(const Workspace &ws, uint64_t n) const = 0;
    // Checks run after the points, on the main thread; one entry per check.
    virtual std::vector<std::string> extra_checks(const Workspace &) { return {}; }

    tavtools::ProcessOutcome tavload(const Workspace &ws, const std::vector<std::string> &args) const {
        return tavtools::run_program(options.tavload, args, {ws.dir, "", ws.envp.data()});
    }
    // Copies the template into ws.board and arms `fault` there.
    std::string fresh_board(const Workspace &ws, const tavboard::Fault &fault) const;
    // -status shows an `allowed` load, or not loaded if `not_loaded_ok` (or the template holds no load and it is
    // allowed); a load shown must have left a valid information record and, outside it, the flash bytes of the
    // template (old) or the reference load (new).
    enum Loads { none = 0, old_load = 1, new_load = 2, either = old_load | new_load };
    std::string check_status(const Workspace &ws, Loads allowed, bool not_loaded_ok) const;
    // The stop is no longer armed when the load `stopped` (137); faults cleared.
    std::string after_stop(const Workspace &ws, bool stopped) const;
    // A fresh load of the new set succeeds and -status reports it.
    std::string check_fresh_load(const Workspace &ws) const;
    // Leaves ws.board as a plain load of the new set killed half-way leaves it.
    std::string load_half_way(const Workspace &ws) const;
    // One load of the new set by loader_main in this process on the board file `board_path` (-changed when
    // `changed`), one tick per status read (the driver's time limits pass at once), its bus accesses into *log if
    // not null, else its stderr kept off the output. The result code; -1 with *error when the board cannot be opened.
    int load_in_process(const std::string &board_path, bool changed, std::vector<tavboard::Access> *log,
                        std::string *error) const;
    // The sweep's load on `board_path` as load_in_process, mapped into `map`. Empty, or why it failed or has
    // another shape.
    std::string reference_load(const std::string &board_path);
    void gather_points();

    const Options &options;
    const std::string name;
    const tavboard::Fit fit = name == "8m" ? tavboard::Fit{.game_size = 8u << 20, .sound_size = 0} : tavboard::Fit{};
    const tavboard::FaultKind stop;
    const uint64_t margin;
    const std::string dir = options.work + "/" + name;
    const std::string old_set = dir + "/old", new_set = dir + "/new", template_board = dir + "/template.img";
    std::vector<std::string> new_load_args;   // the new set's load as the sweep runs it: [-changed] -pDIR GAME#
    uint32_t old_game = 0;   // the game the template board holds; 0: it holds no load
    // The game flash bytes, then the sound flash bytes, of the template and of the reference load.
    std::vector<uint8_t> old_image, new_image;
    LoadMap map;
    std::vector<uint64_t> points;
};

template <class Case> std::unique_ptr<SweepCase> make_case(const Options &o, const std::string &board) {
    return std::make_unique<Case>(o, board);
}

// The whole program, printing "N passed, M failed"; `description` opens its usage text. Exit
// status 0; 1 when a point failed; 2 on bad usage or a sweep that could not be set up.
int sweep_main(int argc, char **argv, const char *program, const char *plan_what, const char *description,
               std::unique_ptr<SweepCase> (*make)(const Options &, const std::string &board));

}  // namespace tavsweep
