// The sweep's reference load: one whole load run by loader_main in this process with the
// board's access log on, and the map of where its phases fall in the numbered bus accesses.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/flash.h"
#include "flash/ticks.h"
#include "loader/loader.h"
#include "tools/powercut.h"

namespace tavcut {

namespace {

constexpr uint32_t kWindowBytes = 0x4000;
constexpr uint32_t kTavbootOffset = 0x3F8000;
constexpr uint32_t kSpace0Bytes = 0x400000;

// One logged access with the page registers decoded into a space and a byte offset in it.
struct Decoded {
    tavboard::Access::Kind kind;
    int space;         // 0, 1 or 8; -1 for page-register writes and odd selections
    uint32_t offset;   // byte offset in the space
    uint32_t value;
};

std::vector<Decoded> decode(const std::vector<tavboard::Access> &log) {
    std::vector<Decoded> out;
    out.reserve(log.size());
    uint32_t reg[4] = {0, 0, 0, 0};
    for (const tavboard::Access &a : log) {
        if (a.kind == tavboard::Access::reg_write) {
            reg[a.offset - kWindowBytes] = a.value & 0xF;
            out.push_back({a.kind, -1, a.offset, a.value});
            continue;
        }
        uint32_t page = reg[0] | reg[1] << 4 | reg[2] << 8;
        int space = -1;
        if (reg[3] == 0 && reg[2] == 0) space = 0;
        if (reg[3] == 1 && reg[2] == 1) {
            space = 1;
            page -= 256;
        }
        if (reg[3] == 8 && reg[2] == 0) space = 8;
        out.push_back({a.kind, space, page * kWindowBytes + a.offset, a.value});
    }
    return out;
}

bool is_write(const Decoded &d) { return d.kind == tavboard::Access::write8 || d.kind == tavboard::Access::write16; }

// Index of the first page-register write of the run of them just before index i.
size_t back_over_registers(const std::vector<Decoded> &log, size_t i) {
    while (i > 0 && log[i - 1].kind == tavboard::Access::reg_write) i--;
    return i;
}

// Walks the writes through the command sequences the driver issues and notes, for each
// kind of stop, the access numbers that leave a device inside one.
void find_sequence_stops(const std::vector<Decoded> &log, LoadMap *m) {
    enum { idle, count_next, data, confirm_next, program_data, erase_confirm } state = idle;
    uint32_t left = 0, total = 0;
    for (size_t i = 0; i < log.size(); i++) {
        if (!is_write(log[i])) continue;
        uint64_t next = i + 2;   // stopping there leaves the device as this write left it
        uint32_t v = log[i].value;
        switch (state) {
            case idle:
                if (v == 0xE8) state = count_next, m->inside[after_buffer_request].push_back(next);
                else if (v == 0x40 || v == 0x10) state = program_data, m->inside[after_program_setup].push_back(next);
                else if (v == 0x20) state = erase_confirm, m->inside[after_erase_setup].push_back(next);
                break;
            case count_next:
                left = total = v + 1;
                state = data;
                m->inside[after_buffer_count].push_back(next);
                break;
            case data:
                if (--left == total / 2) m->inside[among_buffer_data].push_back(next);
                if (left == 0) state = confirm_next, m->inside[before_buffer_confirm].push_back(next);
                break;
            case erase_confirm:
                if (v == 0xD0) m->inside[while_erase_busy].push_back(next);
                state = idle;
                break;
            default:   // a program's data, a buffer's confirm
                state = idle;
                break;
        }
    }
}

bool fail(std::string *error, const std::string &text) {
    *error = text;
    return false;
}

}  // namespace

int load_in_process(const std::string &board_path, const std::string &set_dir, uint32_t game,
                    std::vector<tavboard::Access> *log, std::string *error) {
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(board_path, error);
    if (board == nullptr) return -1;
    tavboard::attach(*board);
    tick_clock_hold();
    board->set_status_read_hook([] { tick_clock_advance(1); });
    board->clear_log();
    board->enable_log(log != nullptr);

    std::string word0 = "tavload";
    std::string word1 = "-p" + set_dir;
    std::string word2 = std::to_string(game);
    char *argv[] = {word0.data(), word1.data(), word2.data(), nullptr};
    int code = loader_main(board->window_address(), 3, argv);
    std::fflush(stdout);

    board->enable_log(false);
    board->set_status_read_hook(nullptr);
    if (log != nullptr) *log = board->log();
    board->clear_log();
    tavboard::detach(*board);
    return code;
}

bool reference_load(const std::string &board_path, const std::string &set_dir, uint32_t game, LoadMap *map,
                    std::string *error) {
    std::vector<tavboard::Access> raw;
    int code = load_in_process(board_path, set_dir, game, &raw, error);
    if (code == -1) return false;
    if (code != 0) return fail(error, "the reference load ended with result code " + std::to_string(code));
    std::vector<Decoded> log = decode(raw);
    std::unique_ptr<tavboard::Board> board = tavboard::Board::open(board_path, error);
    if (board == nullptr) return false;

    LoadMap m;
    m.total = log.size();
    const uint32_t block = board->fit().game_block;
    m.info_offset = kSpace0Bytes - block;

    // The information-block erase: the first erase set-up (0x20) in the record's block.
    size_t setup = log.size();
    for (size_t i = 0; i < log.size(); i++) {
        const Decoded &d = log[i];
        if (is_write(d) && d.space == 0 && d.value == 0x20 && d.offset >= m.info_offset &&
            d.offset < m.info_offset + block) {
            setup = i;
            break;
        }
    }
    if (setup == log.size()) return fail(error, "no erase of the information block in the reference load");
    size_t confirm = setup + 1;
    while (confirm < log.size() && !(is_write(log[confirm]) && log[confirm].value == 0xD0)) confirm++;
    size_t read_array = confirm + 1;
    while (read_array < log.size() && !(is_write(log[read_array]) && log[read_array].value == 0xFF)) read_array++;
    if (read_array >= log.size()) return fail(error, "the information-block erase does not end in the log");
    m.erase_first = back_over_registers(log, setup) + 1;
    m.erase_confirm = confirm + 1;
    m.erase_last = read_array + 1;

    // Sound: the first access to space 8 or space 1. Game: the first space-0 access after it
    // (or after the erase when there is no sound update).
    size_t i = read_array + 1;
    for (; i < log.size(); i++) {
        if (log[i].space == 8 || log[i].space == 1) {
            m.sound_first = back_over_registers(log, i) + 1;
            break;
        }
    }
    size_t game_search = m.sound_first != 0 ? m.sound_first : read_array + 1;
    size_t last_sound = game_search;
    for (size_t k = game_search; k < log.size(); k++)
        if (log[k].space == 8 || log[k].space == 1) last_sound = k;
    for (size_t k = last_sound + 1; k < log.size(); k++) {
        if (log[k].space == 0) {
            m.game_first = back_over_registers(log, k) + 1;
            break;
        }
    }

    // tavboot.rom: the accesses into the last 32 KB of space 0; the record write is all that
    // follows the last of them.
    size_t first_tavboot = log.size();
    size_t last_tavboot = log.size();
    for (size_t k = 0; k < log.size(); k++) {
        if (log[k].space == 0 && log[k].offset >= kTavbootOffset && log[k].offset < kSpace0Bytes && k > read_array) {
            if (first_tavboot == log.size()) first_tavboot = k;
            last_tavboot = k;
        }
    }
    if (last_tavboot == log.size()) return fail(error, "no tavboot.rom write in the reference load");
    m.tavboot_first = back_over_registers(log, first_tavboot) + 1;
    m.record_first = last_tavboot + 2;

    // The record's last program: the last confirm (0xD0) of the run, then its status reads.
    size_t last_confirm = log.size();
    for (size_t k = log.size(); k-- > last_tavboot;) {
        if (is_write(log[k]) && log[k].value == 0xD0) {
            last_confirm = k;
            break;
        }
    }
    if (last_confirm == log.size()) return fail(error, "no program in the record write of the reference load");
    for (size_t k = last_confirm + 1; k < log.size(); k++) {
        if (log[k].kind != tavboard::Access::read) continue;
        if (log[k].value & 0x80) {
            m.record_ready = k + 1;
            break;
        }
        m.record_busy_last = k + 1;
    }
    if (m.record_ready == 0 || m.record_busy_last == 0)
        return fail(error, "the record's last program shows no busy status in the reference load");
    // Every write of the record phase stays inside the record.
    for (size_t k = last_tavboot + 1; k < log.size(); k++) {
        if (log[k].kind != tavboard::Access::reg_write && log[k].space == 0 &&
            (log[k].offset < m.info_offset || log[k].offset >= m.info_offset + 256))
            return fail(error, "an access of the record phase lies outside the record");
    }
    find_sequence_stops(log, &m);
    *map = m;
    return true;
}

const char *phase_of(const LoadMap &map, uint64_t access) {
    if (access > map.total) return "after the load";
    if (access >= map.record_first) return "record write";
    if (access >= map.tavboot_first) return "tavboot.rom";
    if (map.game_first != 0 && access >= map.game_first) return "game flash";
    if (map.sound_first != 0 && access >= map.sound_first) return "sound flash";
    if (access > map.erase_last) return "after the information-block erase";
    if (access >= map.erase_first) return "information-block erase";
    return "before the information-block erase";
}

}  // namespace tavcut
