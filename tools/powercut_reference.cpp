// The sweeps' reference load: one whole load run by loader_main in this process with the
// board's access log on, and the map of where its phases fall in the numbered bus accesses.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "flash/board_access.h"
#include "flash/ticks.h"
#include "loader/boot_data.h"
#include "loader/loader.h"
#include "tools/sweep.h"

namespace tavsweep {

namespace {

// One logged access, a data access placed by the page registers as a byte offset in space 0.
struct Decoded {
    tavboard::Access::Kind kind;
    bool space0;       // a data access in game flash space 0
    uint32_t offset;   // its byte offset there
    uint32_t value;
    bool write() const { return kind == tavboard::Access::write8 || kind == tavboard::Access::write16; }
    bool writes(uint32_t v) const { return write() && value == v; }
    bool in_space0(uint32_t from, uint32_t to) const { return space0 && offset >= from && offset < to; }
};

// Walks the writes through the command sequences the driver issues and notes, for each kind of
// stop (LoadMap::inside), the access numbers that leave a device inside one.
void find_sequence_stops(const std::vector<Decoded> &log, LoadMap *m) {
    std::vector<size_t> writes;   // indexes in the log
    for (size_t i = 0; i < log.size(); i++)
        if (log[i].write()) writes.push_back(i);
    // Stopping at access writes[k] + 2 leaves the device as write k left it.
    auto note = [&](int kind, size_t k) {
        if (k < writes.size()) m->inside[kind].push_back(writes[k] + 2);
    };
    for (size_t k = 0; k < writes.size(); k++) {
        uint32_t v = log[writes[k]].value;
        uint32_t next = k + 1 < writes.size() ? log[writes[k + 1]].value : 0;
        if (v == 0xE8) {   // write to buffer: the count (bytes - 1), the data, the confirm
            note(0, k);
            note(1, k + 1);
            note(2, k + 1 + (next + 1) - (next + 1) / 2);
            note(3, k + 2 + next);
            k += next + 3;
        } else if (v == 0x40 || v == 0x10) {   // program: its data
            note(4, k);
            k++;
        } else if (v == 0x20) {   // erase: its confirm
            note(5, k);
            if (next == 0xD0) note(6, k + 1);
            k++;
        }
    }
}

}  // namespace

int SweepCase::load_in_process(const std::string &board_path, bool changed, std::vector<tavboard::Access> *log,
                               std::string *error) const {
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(board_path, error);
    if (board == nullptr) return -1;
    tavboard::attach(*board);
    tick_clock_hold();
    board->set_status_read_hook([] { tick_clock_advance(1); });
    board->enable_log(log != nullptr);
    std::fflush(stderr);
    int saved = log == nullptr ? dup(2) : -1;
    int nowhere = log == nullptr ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    if (nowhere >= 0) dup2(nowhere, 2);

    std::vector<std::string> words = {"tavload", "-p" + new_set, std::to_string(kNewGame)};
    if (changed) words.insert(words.begin() + 1, "-changed");
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int code = loader_main(board->window_address(), int(words.size()), argv.data());
    std::fflush(stderr);
    if (saved >= 0) dup2(saved, 2);
    for (int fd : {saved, nowhere})
        if (fd >= 0) close(fd);

    if (log != nullptr) *log = board->log();
    tavboard::detach(*board);
    return code;
}

std::string SweepCase::reference_load(const std::string &board_path) {
    std::vector<tavboard::Access> raw;
    std::string error;
    int code = load_in_process(board_path, options.changed(), &raw, &error);
    if (code == -1) return error;
    if (code != 0) return "ended with result code " + std::to_string(code);
    std::vector<Decoded> log;   // the page registers' state applied to each data access
    uint32_t reg[4] = {0, 0, 0, 0};
    for (const tavboard::Access &a : raw) {
        bool data = a.kind != tavboard::Access::reg_write;
        if (!data) reg[a.offset - kPageRegisterOffset] = a.value & 0xF;
        uint32_t page = reg[0] | reg[1] << 4 | reg[2] << 8;
        log.push_back({a.kind, data && reg[3] == 0 && reg[2] == 0, page * kWindowSize + a.offset, a.value});
    }
    const size_t end = log.size();
    const uint32_t info_offset = kSpace0Bytes - fit.game_block;
    // The first (the last) index in [from, end) whose access is `wanted`, or end.
    auto find = [&](size_t from, auto wanted) {
        while (from < end && !wanted(log[from])) from++;
        return from;
    };
    auto find_last = [&](size_t from, auto wanted) {
        for (size_t k = end; k > from; k--)
            if (wanted(log[k - 1])) return k - 1;
        return end;
    };

    LoadMap &m = map;
    m.total = end;
    // The information-block erase: the first erase set-up (0x20) in the record's block, its confirm, the
    // read-array command that ends it.
    size_t setup = find(0, [&](const Decoded &d) { return d.writes(0x20) && d.in_space0(info_offset, kSpace0Bytes); });
    size_t confirm = find(setup + 1, [](const Decoded &d) { return d.writes(0xD0); });
    size_t read_array = find(confirm + 1, [](const Decoded &d) { return d.writes(0xFF); });
    if (read_array >= end) return "no whole erase of the information block";
    // Its first access is the first of the page-register writes just before the set-up.
    m.erase_first = setup + 1;
    while (m.erase_first > 1 && log[m.erase_first - 2].kind == tavboard::Access::reg_write) m.erase_first--;
    m.erase_confirm = confirm + 1;
    m.erase_last = read_array + 1;

    // tavboot.rom: the accesses into the last 32 KB of space 0 after the erase; the record write follows.
    size_t last_tavboot = find_last(read_array + 1, [](const Decoded &d) {
        return d.in_space0(TAVBOOT_OFFSET, kSpace0Bytes);
    });
    if (last_tavboot >= end) return "no tavboot.rom write";
    m.record_first = last_tavboot + 2;

    // The record's last program: the run's last confirm (0xD0), its status reads (bit 7 clear: busy).
    size_t last_confirm = find_last(last_tavboot, [](const Decoded &d) { return d.writes(0xD0); });
    auto is_read = [](const Decoded &d) { return d.kind == tavboard::Access::read; };
    for (size_t k = find(last_confirm + 1, is_read); k < end && m.record_ready == 0; k = find(k + 1, is_read)) {
        if (log[k].value & 0x80) m.record_ready = k + 1;
        else m.record_busy_last = k + 1;
    }
    if (m.record_ready == 0 || m.record_busy_last == 0) return "the record's last program shows no busy status";
    // Every access of the record phase stays inside the record.
    auto outside_record = [&](const Decoded &d) { return d.space0 && !d.in_space0(info_offset, info_offset + 256); };
    if (find(last_tavboot + 1, outside_record) < end) return "an access of the record phase lies outside the record";
    find_sequence_stops(log, &m);
    return "";
}

}  // namespace tavsweep
