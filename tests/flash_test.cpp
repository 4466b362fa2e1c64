// The flash driver's behaviour, judged by two oracles. The strict board model refuses bad command
// sequences and holds contents and erase counts: each operation's command order (a bus trace),
// the boot-block device's erase order, faults, a write cut into buffers, pages and erase units that
// erases each unit on its first touch only, reads. Scripted devices answer by their own state
// (mode, status, query table, codes) for what the model has not: devices side by side, 16-bit
// devices, any status value or query geometry. The rows are in tests/data/flash/operations.txt.
// Last, every argument check refuses before any bus access.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "flash/board_access.h"
#include "flash/flash.h"
#include "tests/bus_trace.h"
#include "tests/model_board.h"
#include "tests/tables.h"

namespace {

using tavboard::Device;
using FlashDriverTest = ModelBoardTest;

struct Outcome {
    int result;
    std::string out;
    std::string err;
};

Outcome capture(const std::function<int()> &call) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = call();
    const std::string out = testing::internal::GetCapturedStdout();
    return Outcome{result, out, testing::internal::GetCapturedStderr()};
}

std::string hex(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

// The record: size, block size and shift, device size, boot block, space, pages.
std::string fields(const FSI &f) {
    char text[80];
    snprintf(text, sizeof text, "%x %x %d %x %d %d %u", f.size, f.block_size, f.block_shift, f.device_size,
             f.boot_block, f.space, f.page_count);
    return text;
}

const uint8_t kData[8] = {0x11, 0x22, 0x33, 0x44, 0x5B, 0x66, 0x77, 0x88};

// A row's call: "query SPACE", "status OFFSET", "erase OFFSET", "write OFFSET COUNT" (of kData,
// every unit counted as erased already) or "write-new OFFSET COUNT" (with a fresh erase table).
int call(const std::string &text, FSI *fsi) {
    std::istringstream words(text);
    std::string routine;
    uint32_t at = 0;
    uint32_t count = 0;
    words >> routine >> std::hex >> at >> count;
    std::vector<uint8_t> table(64, routine == "write" ? 1 : 0);
    if (routine == "query") return flash_query(int32_t(at), fsi);
    if (routine == "status") return flash_check_status(fsi, at);
    if (routine == "erase") return flash_erase(fsi, at);
    return flash_write(fsi, at, kData, count, table.data());
}

// Scripted devices side by side (16-bit ones too), as a row gives them, each answering by its own
// state: the mode its last command set, its status (bit 7 clear while `busy` status reads remain;
// writes ignored till then), the query table (codes in fields 0 and 1). Accesses are recorded as
// BusTrace lines naming the device ("dev1 000102 w16 00e8"), at window offsets; a status read is a tick.
struct FakeBus {
    struct Device {
        char mode = 's';    // a array, s status, q query or codes, c buffer count, b buffer data
        uint8_t status = 0x80;
        uint32_t busy = 0;
        uint32_t left = 0;  // buffer data cycles still to come
    };
    explicit FakeBus(const tavtest::Row &row) : devices(row.number("devices")), width(row.number("width", 1)) {
        const std::vector<std::string> statuses = tavtest::split(row.has("status") ? row.text("status") : "0x80", ",");
        for (size_t i = 0; i < devices.size(); i++) devices[i].status = uint8_t(std::stoul(statuses.at(i), nullptr, 0));
        devices[0].busy = uint32_t(row.number("busy"));
        const std::string query = row.has("query") ? row.text("query") : "51 52 59 16 1f 00 00 02";
        std::istringstream bytes(query + " " + (row.has("codes") ? row.text("codes") : "89 9d"));
        for (uint32_t field : {0x10, 0x11, 0x12, 0x27, 0x2D, 0x2E, 0x2F, 0x30, 0x00, 0x01}) {
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
        const std::string line = "dev" + std::to_string(&device(at) - devices.data()) + " " + hex(at, 6) + " " + what;
        if (what != "wait" || lines.empty() || lines.back() != line) lines.push_back(line);
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
    void write(uint32_t at, uint16_t value, const std::string &text) {
        add(at, text);
        Device &d = device(at);
        static const std::map<int, char> kModes = {{0xFF, 'a'}, {0x98, 'q'}, {0x90, 'q'}, {0xE8, 'c'}};
        if (d.busy > 0) return;
        if (d.mode == 'c') {
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
        [](void *c, uint32_t at, uint8_t value) { self(c).write(at, value, hex(value, 2)); },
        [](void *c, uint32_t at, uint16_t value) { self(c).write(at, value, "w16 " + hex(value, 4)); },
        [](void *c, uint32_t at, uint8_t *dest, uint32_t count) {
            self(c).add(at, "copy " + std::to_string(count));
            std::copy_n(self(c).memory.begin() + at, count, dest);
        },
    };
};

TEST_F(FlashDriverTest, Operations) {
    const std::map<std::string, tavboard::FaultKind> kinds = {{"erase_fail", tavboard::FaultKind::erase_fail},
        {"buffer_busy", tavboard::FaultKind::buffer_busy}, {"stuck", tavboard::FaultKind::stuck}};
    for (const tavtest::Row &row : tavtest::read_rows("flash/operations.txt")) {
        SCOPED_TRACE(row.where + " " + row.text("name"));
        remake_board(tavboard::Fit{uint32_t(row.number("game_mb", 4)) << 20, 128u << 10,
                                   uint32_t(row.number("sound_kb", 1024)) << 10, false});
        const Device device = row.number("space") == 8 ? Device::sound : Device::game;
        const tavboard::Fault fault{.kind = kinds.at(row.has("fault") ? row.text("fault") : "stuck"), .device = device,
                                    .block = int32_t(row.number("block", -1)), .offset = row.number("offset", -1),
                                    .mask = uint8_t(row.number("mask"))};
        std::string error;
        ASSERT_TRUE(!row.has("fault") || board->add_fault(fault, &error)) << error;
        FSI fsi{};
        const int identified = row.has("space") ? flash_query(int32_t(row.number("space")), &fsi) : 1;
        ASSERT_EQ(identified, 1);
        fsi.device_size = uint32_t(row.number("device_size", fsi.device_size));
        std::optional<tavtest::BusTrace> trace;
        std::optional<FakeBus> bus;
        if (row.has("devices")) {
            bus.emplace(row);
            fsi = FSI{board_window, 0x400000, uint32_t(bus->devices.size()), bus->width, 0x20000, 17, 0x400000, 0, 0,
                      0x4000, 256};
        } else {
            trace.emplace(*board);
        }
        const Outcome outcome = capture([&] { return call(row.text("call"), &fsi); });
        EXPECT_EQ(outcome.result, row.number("result", 1));
        EXPECT_EQ(outcome.err, row.text("err"));
        std::vector<std::string> lines = bus ? bus->lines : trace->folded();
        // The order in which the query bytes are read is no behaviour: each run of reads is sorted.
        for (auto run = lines.begin(); run != lines.end(); run++)
            std::sort(run, std::find_if(run, lines.end(), [](const std::string &l) { return !l.ends_with(" read"); }));
        std::vector<std::string> expected = tavtest::split(row.text("trace"), "; ");
        for (const std::string &block : tavtest::split(row.text("erased"), " ")) {
            for (const char *step : {" 20", " d0", " wait", " ff"}) expected.push_back("sound " + block + step);
        }
        EXPECT_TRUE((!row.has("trace") && !row.has("erased")) || lines == expected) << testing::PrintToString(lines);
        EXPECT_TRUE(!row.has("record") || fields(fsi) == row.text("record")) << fields(fsi);
        const std::string erases = row.text("erases");
        for (uint32_t block = 0; block < erases.size(); block++)
            EXPECT_EQ(board->erase_count(device, block), uint64_t(erases[block] - '0')) << block;
        for (size_t i = 0; bus && i < bus->devices.size(); i++)
            EXPECT_EQ(bus->devices[i].mode, row.has("mode") ? row.text("mode")[0] : 'a') << i;
        EXPECT_EQ(row.unread(), "");
    }
}

// Across a page end, across an erase unit into one written already, more into that unit, the
// last byte of the space, and nothing (which still erases its unit): each unit is erased once.
TEST_F(FlashDriverTest, WriteCutsItsRunAndErasesEachUnitOnItsFirstTouch) {
    FSI fsi{};
    ASSERT_EQ(flash_query(0, &fsi), 1);
    uint8_t *table = flash_alloc_erase_table(&fsi);
    ASSERT_EQ(flash_init_erase_table(&fsi, table), 1);
    std::vector<uint8_t> image(fsi.size, 0xFF);
    const std::pair<uint32_t, uint32_t> runs[] = {{0x3FF0, 8192}, {0x1FFF0, 64}, {0x20100, 5}, {0x3FFFFF, 1}, {0x60000, 0}};
    for (const auto &[offset, count] : runs) {
        std::vector<uint8_t> data(count + 1);
        for (uint32_t i = 0; i < count; i++) data[i] = uint8_t(i * 7 + offset / 16 + 1);
        EXPECT_EQ(flash_write(&fsi, offset, data.data(), count, table), 1) << offset;
        std::copy_n(data.begin(), count, image.begin() + offset);
    }
    EXPECT_EQ(std::mismatch(image.begin(), image.end(), board->data(Device::game)).first - image.begin(), long(fsi.size));
    for (uint32_t block = 0; block < 32; block++) {
        const bool touched = block == 0 || block == 1 || block == 3 || block == 31;
        EXPECT_EQ(board->erase_count(Device::game, block), touched ? 1u : 0u) << block;
    }
    // A read of the whole space sets read array first, whatever mode the device was left in.
    flash_set_mode(&fsi, 0, 0x70);
    std::vector<uint8_t> read(fsi.size);
    EXPECT_EQ(flash_read(&fsi, 0, read.data(), fsi.size), 1);
    EXPECT_EQ(std::mismatch(image.begin(), image.end(), read.begin()).first - image.begin(), long(fsi.size));
    EXPECT_EQ(flash_free_erase_table(&fsi, table), 1);
}

// Each refusal: its result and message, and not one bus access.
TEST_F(FlashDriverTest, ArgumentChecksRefuseBeforeAnyBusAccess) {
    FSI game{};
    ASSERT_EQ(flash_query(0, &game), 1);
    FSI pair = game;
    pair.interleave = 2;
    pair.width = 2;
    FSI odd = game;
    odd.block_size = 0x30000;
    FSI none = game;
    none.block_size = 0;
    FSI huge = pair;
    huge.block_size = 0x80000000;
    std::vector<uint8_t> table(32, 9);
    uint8_t *t = table.data();
    const uint8_t *d = kData;
    uint8_t buffer[8];
    uint8_t *kept = static_cast<uint8_t *>(malloc(4));
    const std::string range = "(): offset (0x400000) out of range (0 - 0x400000)\n";
    const std::string units = "(): erase unit (0x30000) does not divide size (0x400000)\n";
    struct Refusal {
        const char *name;
        std::function<int()> call;
        int result;
        std::string err;
        std::string out = "";
    };
    const Refusal rows[] = {
        {"query", [&] { return flash_query(0, nullptr); }, -1, "flash_query(): NULL FSI pointer\n"},
        {"query space 2", [&] { return flash_query(2, &game); }, -1, "flash_query(): invalid memory space 0x2\n"},
        {"status", [&] { return flash_check_status(nullptr, 0); }, -1, "flash_check_status(): NULL FSI pointer\n"},
        {"status out", [&] { return flash_check_status(&pair, 0x400001); }, -1, "flash_check_status" + range},
        {"wait out", [&] { return flash_wait(&game, 0x400000, 10); }, -1, "flash_wait" + range},
        {"command out", [&] { flash_set_mode(&pair, 0x400001, 0x70); return 0; }, 0, "flash_set_mode" + range},
        {"erase", [&] { return flash_erase(nullptr, 0); }, -1, "flash_erase(): NULL FSI pointer\n"},
        {"erase out", [&] { return flash_erase(&game, 0x400000); }, -1, "flash_erase" + range},
        {"buffer", [&] { return flash_get_write_buffer(nullptr, 0); }, -1, "flash_get_write_buffer(): NULL FSI pointer\n"},
        {"buffer out", [&] { return flash_get_write_buffer(&game, 0x400000); }, -1, "flash_get_write_buffer" + range},
        {"buffer check out", [&] { return flash_check_write_buffer(&game, 0x400000); }, -1, "flash_check_write_buffer" + range},
        {"alloc", [&] { return flash_alloc_erase_table(nullptr) ? 1 : -1; }, -1, "flash_alloc_erase_table(): NULL FSI pointer\n"},
        {"alloc units", [&] { return flash_alloc_erase_table(&odd) ? 1 : -1; }, -1, "flash_alloc_erase_table" + units},
        {"alloc units 0", [&] { return flash_alloc_erase_table(&none) ? 1 : -1; }, -1,
         "flash_alloc_erase_table(): erase unit (0x0) does not divide size (0x400000)\n"},
        {"alloc units past 4 GB", [&] { return flash_alloc_erase_table(&huge) ? 1 : -1; }, -1,
         "flash_alloc_erase_table(): erase unit (0x100000000) does not divide size (0x400000)\n"},
        {"init", [&] { return flash_init_erase_table(nullptr, t); }, -1, "flash_init_erase_table(): NULL FSI pointer\n"},
        {"init table", [&] { return flash_init_erase_table(&game, nullptr); }, -1,
         "flash_init_erase_table(): NULL erase table pointer\n"},
        {"init units", [&] { return flash_init_erase_table(&odd, t); }, -1, "flash_init_erase_table" + units},
        {"free keeps the table", [&] { return flash_free_erase_table(nullptr, kept); }, -1,
         "flash_free_erase_table(): NULL FSI pointer\n"},
        {"free no table", [&] { return flash_free_erase_table(&game, nullptr); }, 1, ""},
        {"write", [&] { return flash_write(nullptr, 0, d, 4, t); }, -1, "flash_write(): NULL FSI pointer\n"},
        {"write aligned", [&] { return flash_write(&pair, 0x400001, d, 3, t); }, -1,
         "flash_write(): offset (0x400001) not aligned to (2) bytes\n"},
        {"write count", [&] { return flash_write(&pair, 0x400002, d, 3, t); }, -1,
         "flash_write(): count (3) not a multiple of (2) bytes\n"},
        {"write out", [&] { return flash_write(&game, 0x400000, d, 0, t); }, -1, "flash_write" + range},
        {"write past the end", [&] { return flash_write(&game, 0x3FFFF0, d, 0x11, t); }, -1,
         "flash_write(): offset (0x3ffff0) + count (17) > (0x400000)\n"},
        {"write past 4 GB", [&] { return flash_write(&game, 0x10, d, 0xFFFFFFF8, t); }, -1,
         "flash_write(): offset (0x10) + count (-8) > (0x400000)\n"},
        {"write data", [&] { return flash_write(&game, 0, nullptr, 4, t); }, -1, "flash_write(): NULL data pointer\n"},
        {"write table", [&] { return flash_write(&game, 0, d, 4, nullptr); }, -1, "flash_write(): NULL erase table\n"},
        {"write units", [&] { return flash_write(&odd, 0, d, 4, t); }, -1, "flash_write" + units},
        {"read", [&] { return flash_read(nullptr, 0, buffer, 4); }, -1, "flash_read(): NULL FSI pointer\n"},
        {"read past 4 GB", [&] { return flash_read(&game, 0x10, buffer, 0xFFFFFFF8); }, -1,
         "flash_read(): offset (0x10) + count (-8) > (0x400000)\n"},
        {"read data", [&] { return flash_read(&game, 0, nullptr, 4); }, -1, "flash_read(): NULL data pointer\n"},
        {"page 256", [&] { return isa_tav_map_page(0, 256); }, 0, "",
         "isa_tav_map_page(0, 256): page (256) is out of range (0-255)\n"},
        {"page -1", [&] { return isa_tav_map_page(0, 0xFFFFFFFF); }, 0, "",
         "isa_tav_map_page(0, -1): page (-1) is out of range (0-255)\n"},
        {"page 64 of 1", [&] { return isa_tav_map_page(1, 64); }, 0, "",
         "isa_tav_map_page(1, 64): page (64) is out of range (0-63)\n"},
        {"page 64 of 8", [&] { return isa_tav_map_page(8, 64); }, 0, "",
         "isa_tav_map_page(8, 64): page (64) is out of range (0-63)\n"},
        {"space 2", [&] { return isa_tav_map_page(2, 0); }, 0, ""},
    };
    for (const Refusal &row : rows) {
        const uint64_t accesses = board->counters().accesses;
        const Outcome outcome = capture(row.call);
        EXPECT_EQ(outcome.result, row.result) << row.name;
        EXPECT_EQ(outcome.err, row.err) << row.name;
        EXPECT_EQ(outcome.out, row.out) << row.name;
        EXPECT_EQ(board->counters().accesses, accesses) << row.name;
    }
    EXPECT_EQ(table, std::vector<uint8_t>(32, 9));
    free(kept);
}

}  // namespace
