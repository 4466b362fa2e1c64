// The flash driver's behaviour, row by row of tests/data/flash/operations.txt, judged by the strict board model
// (it refuses bad command sequences, holds contents and erase counts) and by scripted devices that answer by their
// own state where the model cannot: devices side by side, 16-bit devices, any status value or query geometry.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "flash/board_access.h"
#include "flash/flash.h"
#include "tests/bus_trace.h"
#include "tests/model_board.h"
#include "tests/tables.h"

namespace {

// One call (hex): query SPACE; status, erase, buffer OFFSET; write, read OFFSET COUNT (of bytes 11 22 33 ...; data=none
// or table=none pass null); alloc, init, free (refusals only); map SPACE PAGE; command OFFSET CODE (flash_set_mode,
// as a stopped program left it; gives 1). 0: the board does not hold the run.
int call(const std::string &text, const tavtest::Row &row, FSI *fsi, uint8_t *table, const uint8_t *held) {
    std::istringstream words(text);
    std::string routine;
    uint32_t at = 0;
    uint32_t count = 0;
    words >> routine >> std::hex >> at >> count;
    std::vector<uint8_t> bytes(0x2000);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t((i + 1) * 0x11);
    uint8_t *data = row.text("data") == "none" ? nullptr : bytes.data();
    if (row.text("table") == "none") table = nullptr;
    if (routine == "query") return flash_query(int32_t(at), fsi);
    if (routine == "status") return flash_check_status(fsi, at);
    if (routine == "erase") return flash_erase(fsi, at);
    if (routine == "buffer") return flash_get_write_buffer(fsi, at);
    if (routine == "alloc") return flash_alloc_erase_table(fsi) == nullptr ? -1 : 1;
    if (routine == "init") return flash_init_erase_table(fsi, table);
    if (routine == "free") return flash_free_erase_table(fsi, table);
    if (routine == "map") return isa_tav_map_page(int32_t(at), count);
    if (routine == "command") {
        flash_set_mode(fsi, at, int(count));
        return 1;
    }
    const int result = routine == "read" ? flash_read(fsi, at, data, count) : flash_write(fsi, at, data, count, table);
    return result == 1 && held != nullptr && !std::equal(data, data + count, held + at) ? 0 : result;
}

// Scripted devices side by side, as a row gives them, each answering by its own state: the mode its last command
// set, its status (bit 7 clear while `busy` status reads remain, each a tick; writes ignored till then), the query
// table (codes in fields 0, 1). Accesses are BusTrace lines naming the device ("dev1 000102 w16 00e8"), window offsets.
struct FakeBus {
    struct Device {
        char mode = 's';    // a array, s status, q query or codes, c buffer count, b buffer data
        uint8_t status = 0x80;
        uint32_t busy = 0;
        uint32_t left = 0;  // buffer data cycles still to come
    };
    explicit FakeBus(const tavtest::Row &row) : devices(row.number("interleave", 1)), width(row.number("width", 1)) {
        const std::vector<std::string> given = tavtest::split(row.text("status"), " ");
        for (size_t i = 0; i < given.size(); i++) devices.at(i).status = uint8_t(std::stoul(given[i], nullptr, 16));
        devices[0].busy = uint32_t(row.number("busy"));
        std::istringstream bytes((row.has("codes") ? row.text("codes") : "89 9d") + " " + row.text("query"));
        for (uint32_t field : {0x00, 0x01, 0x10, 0x11, 0x12, 0x27, 0x2D, 0x2E, 0x2F, 0x30}) {
            unsigned byte = 0;
            bytes >> std::hex >> byte;
            table[field] = uint8_t(byte);
        }
        board_window = memory.data();
        board_access_bind(board_window, &kOps, this);
    }
    ~FakeBus() { board_access_unbind(memory.data()); }
    Device &device(uint32_t at) { return devices[at % (devices.size() * width) / width]; }
    void add(uint32_t at, const std::string &what) {
        char text[40];
        snprintf(text, sizeof text, "dev%d %06x %s", int(&device(at) - devices.data()), at, what.c_str());
        if (what != "wait" || lines.empty() || lines.back() != text) lines.push_back(text);
    }
    uint8_t read(uint32_t at) {
        Device &d = device(at);
        add(at, d.mode == 'a' || d.mode == 'q' ? "read" : "wait");
        if (d.mode == 'a') return memory[at];
        if (d.mode == 'q') return table[at / (2 * devices.size()) % 0x40];
        tick_clock_advance(1);
        if (d.busy == 0) return d.status;
        d.busy--;
        return d.status & 0x7F;
    }
    void write(uint32_t at, uint16_t value, const char *format) {
        char text[16];
        snprintf(text, sizeof text, format, value);
        add(at, text);
        Device &d = device(at);
        static const std::map<int, char> kModes = {{0xFF, 'a'}, {0x98, 'q'}, {0x90, 'q'}, {0xE8, 'c'}};
        if (d.busy > 0) return;
        if (d.mode == 'c' && (d.status & 0x80) != 0) {   // a buffer free: the count
            d.left = value + 1u;
            d.mode = 'b';
        } else if (d.mode == 'b' && d.left > 0) {
            memory[at] &= uint8_t(value);
            memory[at + 1] &= width == 2 ? uint8_t(value >> 8) : 0xFF;
            d.left--;
        } else {
            const auto found = kModes.find(value & 0xFF);
            d.mode = found == kModes.end() ? 's' : found->second;
        }
    }
    std::vector<Device> devices;
    uint32_t width;
    uint8_t table[0x40] = {};
    std::vector<uint8_t> memory = std::vector<uint8_t>(kWindowSize + 1, 0xFF);
    std::vector<std::string> lines;
    static FakeBus &self(void *ctx) { return *static_cast<FakeBus *>(ctx); }
    static constexpr BoardAccessOps kOps = {
        [](void *, uint32_t, uint8_t) {},
        [](void *c, uint32_t at) { return self(c).read(at); },
        [](void *c, uint32_t at, uint8_t value) { self(c).write(at, value, "%02x"); },
        [](void *c, uint32_t at, uint16_t value) { self(c).write(at, value, "w16 %04x"); },
        [](void *c, uint32_t at, uint8_t *dest, uint32_t count) {
            self(c).add(at, "copy " + std::to_string(count));
            std::copy_n(self(c).memory.begin() + at, count, dest);
        },
    };
};

TEST_F(ModelBoardTest, FlashDriverOperations) {
    const std::map<std::string, tavboard::FaultKind> kinds = {{"erase_fail", tavboard::FaultKind::erase_fail},
        {"stuck", tavboard::FaultKind::stuck}};
    const std::vector<tavtest::Row> rows = tavtest::read_rows("flash/operations.txt");
    ASSERT_FALSE(rows.empty());
    for (const tavtest::Row &row : rows) {
        SCOPED_TRACE(row.where + " " + row.text("name"));
        remake_board(tavboard::Fit{.game_size = uint32_t(row.number("game_mb", 4)) << 20,
                                   .sound_size = uint32_t(row.number("sound_kb", 1024)) << 10});
        const tavboard::Device device = row.number("space") == 8 ? tavboard::Device::sound : tavboard::Device::game;
        std::string error;
        const tavboard::Fault fault{.kind = kinds.at(row.has("fault") ? row.text("fault") : "stuck"), .device = device,
                                    .block = int32_t(row.number("block", -1)), .offset = row.number("offset", -1),
                                    .mask = uint8_t(row.number("mask"))};
        ASSERT_TRUE(!row.has("fault") || board->add_fault(fault, &error)) << error;
        FSI fsi{};
        ASSERT_EQ(row.has("space") ? flash_query(int32_t(row.number("space")), &fsi) : 1, 1);
        fsi.interleave = uint32_t(row.number("interleave", fsi.interleave));
        fsi.width = uint32_t(row.number("width", fsi.width));
        fsi.block_size = uint32_t(row.number("block_size", fsi.block_size));
        fsi.device_size = uint32_t(row.number("device_size", fsi.device_size));
        const uint32_t busy_reads = uint32_t(row.number("busy"));
        if (busy_reads > 0 && !row.has("bus")) board->set_timing(tavboard::Timing::instant, busy_reads);
        tavtest::BusTrace trace(*board);
        std::optional<FakeBus> bus;
        if (row.has("bus")) bus.emplace(row);   // bound in the model's place
        const uint8_t *held = bus ? nullptr : board->data(device);
        const std::vector<uint8_t> fresh(64, row.text("table") == "erased" ? 1 : 0);
        std::vector<uint8_t> table = fresh;   // shared by the row's calls
        const uint64_t accesses = board->counters().accesses;
        const std::vector<std::string> calls = tavtest::split(row.text("call"), "; ");
        std::vector<int> results;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        for (const std::string &each : calls)
            results.push_back(call(each, row, row.has("fsi") ? nullptr : &fsi, table.data(), held));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.text("out"));
        EXPECT_EQ(err, row.text("err"));
        EXPECT_EQ(results, std::vector<int>(calls.size(), int(row.number("result", 1))));
        std::vector<std::string> lines = bus ? bus->lines : trace.folded();
        for (auto run = lines.begin(); run != lines.end(); run++)   // the order of query reads is no behaviour
            std::sort(run, std::find_if(run, lines.end(), [](const std::string &l) { return !l.ends_with(" read"); }));
        std::vector<std::string> expected = tavtest::split(row.text("trace"), "; ");
        for (const std::string &block : tavtest::split(row.text("erased"), " "))
            for (const char *step : {" 20", " d0", " wait", " ff"}) expected.push_back("sound " + block + step);
        EXPECT_TRUE((!row.has("trace") && !row.has("erased")) || lines == expected) << testing::PrintToString(lines);
        // A refusal touches nothing: no bus access (page registers included), no table entry.
        const bool untouched = board->counters().accesses == accesses && table == fresh;
        EXPECT_TRUE(!row.has("trace") || !expected.empty() || untouched);
        char record[80];
        snprintf(record, sizeof record, "%x %x %d %x %d %d %u", fsi.size, fsi.block_size, fsi.block_shift,
                 fsi.device_size, fsi.boot_block, fsi.space, fsi.page_count);
        EXPECT_TRUE(!row.has("record") || record == row.text("record")) << record;
        const std::string erases = row.text("erases");
        for (uint32_t block = 0; block < erases.size(); block++)
            EXPECT_EQ(board->erase_count(device, block), uint64_t(erases[block] - '0')) << block;
        for (size_t i = 0; bus && i < bus->devices.size(); i++)
            EXPECT_EQ(bus->devices[i].mode, row.has("mode") ? row.text("mode")[0] : 'a') << i;
        EXPECT_EQ(row.unread(), "");
    }
}

}  // namespace
