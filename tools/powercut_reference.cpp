// The sweeps' reference load: one whole load run by loader_main in this process with the
// board's access log on, and the map of where its phases fall in the numbered bus accesses.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "flash/ticks.h"
#include "loader/loader.h"
#include "tools/sweep.h"

namespace tavsweep {

namespace {

constexpr uint32_t kWindowBytes = 0x4000;

// One logged access with the page registers decoded into a space and a byte offset in it.
struct Decoded {
    tavboard::Access::Kind kind;
    int space;         // 0, 1 or 8; -1 for page-register writes and odd selections
    uint32_t offset;   // byte offset in the space
    uint32_t value;
    bool write() const { return kind == tavboard::Access::write8 || kind == tavboard::Access::write16; }
    bool writes(uint32_t v) const { return write() && value == v; }
};

std::vector<Decoded> decode(const std::vector<tavboard::Access> &log) {
    std::vector<Decoded> out;
    uint32_t reg[4] = {0, 0, 0, 0};
    for (const tavboard::Access &a : log) {
        if (a.kind == tavboard::Access::reg_write) {
            reg[a.offset - kWindowBytes] = a.value & 0xF;
            out.push_back({a.kind, -1, a.offset, a.value});
            continue;
        }
        uint32_t page = reg[0] | reg[1] << 4 | reg[2] << 8;
        int space = reg[3] == 0 && reg[2] == 0 ? 0 : reg[3] == 1 && reg[2] == 1 ? 1 : reg[3] == 8 && reg[2] == 0 ? 8 : -1;
        if (space == 1) page -= 256;
        out.push_back({a.kind, space, page * kWindowBytes + a.offset, a.value});
    }
    return out;
}

// Walks the writes through the command sequences the driver issues and notes, for each
// kind of stop (LoadMap::inside), the access numbers that leave a device inside one.
void find_sequence_stops(const std::vector<Decoded> &log, LoadMap *m) {
    enum { idle, count_next, data, confirm_next, program_data, erase_confirm } state = idle;
    uint32_t left = 0, total = 0;
    for (size_t i = 0; i < log.size(); i++) {
        if (!log[i].write()) continue;
        uint32_t v = log[i].value;
        // Stopping at access i + 2 leaves the device as this write left it.
        auto note = [&](int kind) { m->inside[kind].push_back(i + 2); };
        if (state == count_next) left = total = v + 1, state = data, note(1);
        else if (state == data) {
            if (--left == total / 2) note(2);
            if (left == 0) state = confirm_next, note(3);
        }
        else if (state == erase_confirm && v == 0xD0) state = idle, note(6);
        else if (state != idle) state = idle;   // a program's data, a buffer's confirm
        else if (state == idle && v == 0xE8) state = count_next, note(0);
        else if (state == idle && (v == 0x40 || v == 0x10)) state = program_data, note(4);
        else if (state == idle && v == 0x20) state = erase_confirm, note(5);
    }
}

}  // namespace

int load_in_process(const std::string &board_path, const std::string &set_dir, uint32_t game,
                    std::vector<tavboard::Access> *log, bool quiet, std::string *error) {
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(board_path, error);
    if (board == nullptr) return -1;
    tavboard::attach(*board);
    tick_clock_hold();
    board->set_status_read_hook([] { tick_clock_advance(1); });
    board->clear_log();
    board->enable_log(log != nullptr);
    std::fflush(stderr);
    int saved = quiet ? dup(2) : -1, nowhere = quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    if (nowhere >= 0) dup2(nowhere, 2);

    std::string words[] = {"tavload", "-p" + set_dir, std::to_string(game)};
    char *argv[] = {words[0].data(), words[1].data(), words[2].data(), nullptr};
    int code = loader_main(board->window_address(), 3, argv);
    std::fflush(stdout);
    std::fflush(stderr);
    if (saved >= 0) dup2(saved, 2);
    for (int fd : {saved, nowhere})
        if (fd >= 0) close(fd);

    board->enable_log(false);
    board->set_status_read_hook(nullptr);
    if (log != nullptr) *log = board->log();
    board->clear_log();
    tavboard::detach(*board);
    return code;
}

bool reference_load(const std::string &board_path, const std::string &set_dir, uint32_t game, uint32_t block,
                    LoadMap *map, std::string *error) {
    std::vector<tavboard::Access> raw;
    int code = load_in_process(board_path, set_dir, game, &raw, false, error);
    if (code == -1) return false;
    const std::vector<Decoded> log = decode(raw);
    const size_t end = log.size();
    const uint32_t info_offset = kSpace0Bytes - block;
    auto problem = [&](const std::string &text) { return *error = "the reference load: " + text, false; };
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
    if (code != 0) return problem("ended with result code " + std::to_string(code));

    LoadMap m;
    m.total = end;
    // The information-block erase: the first erase set-up (0x20) in the record's block, its
    // confirm, and the read-array command that ends it.
    size_t setup = find(0, [&](const Decoded &d) {
        return d.space == 0 && d.writes(0x20) && d.offset >= info_offset && d.offset < info_offset + block;
    });
    size_t confirm = find(setup + 1, [](const Decoded &d) { return d.writes(0xD0); });
    size_t read_array = find(confirm + 1, [](const Decoded &d) { return d.writes(0xFF); });
    if (read_array >= end) return problem("no whole erase of the information block");
    // Its first access is the first of the page-register writes just before the set-up.
    for (m.erase_first = setup + 1; m.erase_first > 1 && log[m.erase_first - 2].kind == tavboard::Access::reg_write;)
        m.erase_first--;
    m.erase_confirm = confirm + 1;
    m.erase_last = read_array + 1;

    // tavboot.rom: the accesses into the last 32 KB of space 0 after the erase; the record
    // write is all that follows the last of them.
    auto in_tavboot = [](const Decoded &d) { return d.space == 0 && d.offset >= kTavbootOffset && d.offset < kSpace0Bytes; };
    size_t last_tavboot = find_last(read_array + 1, in_tavboot);
    if (last_tavboot >= end) return problem("no tavboot.rom write");
    m.record_first = last_tavboot + 2;

    // The record's last program: the last confirm (0xD0) of the run, then its status reads
    // (bit 7 clear: busy, set: ready).
    size_t last_confirm = find_last(last_tavboot, [](const Decoded &d) { return d.writes(0xD0); });
    auto is_read = [](const Decoded &d) { return d.kind == tavboard::Access::read; };
    for (size_t k = find(last_confirm + 1, is_read); k < end && m.record_ready == 0; k = find(k + 1, is_read))
        (log[k].value & 0x80 ? m.record_ready : m.record_busy_last) = k + 1;
    if (m.record_ready == 0 || m.record_busy_last == 0) return problem("the record's last program shows no busy status");
    // Every access of the record phase stays inside the record.
    if (find(last_tavboot + 1, [&](const Decoded &d) {
            return d.space == 0 && (d.offset < info_offset || d.offset >= info_offset + 256);
        }) < end)
        return problem("an access of the record phase lies outside the record");
    find_sequence_stops(log, &m);
    *map = m;
    return true;
}

}  // namespace tavsweep
