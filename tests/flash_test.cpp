// The flash driver's contracts on a scripted bus (bus shapes the model board cannot show, and
// every access in order): page selection, commands, the status register's judgement and
// messages, the argument checks, write methods, erase order, identification by query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "flash/board_access.h"
#include "flash/flash.h"
#include "flash/ticks.h"

namespace {

enum Kind { REG, RD, W8, W16, CP };
struct Acc {
    int kind;
    uint32_t offset, value;
    bool operator==(const Acc &) const = default;
};

// Records every access; reads answer through on_read (default: a clean status).
struct FakeBus {
    std::function<uint8_t(uint32_t)> on_read = [](uint32_t) -> uint8_t { return 0x80; };
    std::vector<Acc> log;
    uint8_t memory[16] = {};
    static void add(void *c, int k, uint32_t o, uint32_t v) { static_cast<FakeBus *>(c)->log.push_back({k, o, v}); }
    static uint8_t rd(void *c, uint32_t o, int kind = RD) {
        uint8_t v = static_cast<FakeBus *>(c)->on_read(o);
        add(c, kind, o, v);
        return v;
    }
    const BoardAccessOps ops = {[](void *c, uint32_t r, uint8_t v) { add(c, REG, r, v); }, [](void *c, uint32_t o) { return rd(c, o); },
                                [](void *c, uint32_t o, uint8_t v) { add(c, W8, o, v); },
                                [](void *c, uint32_t o, uint16_t v) { add(c, W16, o, v); },
                                [](void *c, uint32_t o, uint8_t *d, uint32_t n) {
                                    for (; n--; o++) *d++ = rd(c, o, CP);
                                }};
    FakeBus() { tick_clock_hold(), board_access_bind(board_window = memory, &ops, this); }
    ~FakeBus() { board_access_unbind(memory); }
};

FSI fake(uint32_t size, uint32_t interleave, uint32_t width, uint32_t block) {
    return {board_window, size, interleave, width, block, 0, block, 0, 0, 0x4000, size / 0x4000};
}

struct Out {
    int result;
    std::string out, err;
};
// The call's result and what it printed on standard output and standard error.
Out run(const std::function<int()> &call) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = call();
    std::string out = testing::internal::GetCapturedStdout();
    return {result, out, testing::internal::GetCapturedStderr()};
}

// Stored driver sessions on the scripted bus in tests/data/flash/sessions.txt, separated by blank
// lines: "fsi" (the table's fields after its window, hex; the calls that take one), "call" and the
// routine's arguments, then every access in order ("reg", "rd", "w8", "w16", "cp" a byte copied
// out, with offset and value: the bus answers each read so, one tick a read), what it printed
// ("out", "err" a line each) and its "result"; a query's "geometry" is its block and device size.
void replay(const std::vector<std::string> &session) {
    FakeBus bus;
    FSI fsi{};
    std::vector<Acc> script;
    std::string call, out, err, geometry, expected_result;
    const std::string kinds[] = {"reg", "rd", "w8", "w16", "cp"};
    for (const std::string &line : session) {
        const std::string op = line.substr(0, line.find(' ')), rest = line.substr(op.size() + 1);
        if (op == "fsi") {
            uint32_t f[10];
            std::istringstream words(rest);
            for (uint32_t &field : f) words >> std::hex >> field;
            fsi = {board_window, f[0], f[1], f[2], f[3], int32_t(f[4]), f[5], int32_t(f[6]), int32_t(f[7]), f[8], f[9]};
        } else if (op == "call" || op == "result" || op == "geometry") {
            (op == "call" ? call : op == "result" ? expected_result : geometry) = rest;
        } else if (op == "out" || op == "err") {
            (op == "out" ? out : err) += rest + "\n";
        } else {
            Acc a{int(std::find(kinds, kinds + 5, op) - kinds), 0, 0};
            std::istringstream(rest) >> std::hex >> a.offset >> a.value;
            script.push_back(a);
        }
    }
    bus.on_read = [&](uint32_t) -> uint8_t {
        tick_clock_advance(1);
        const size_t next = bus.log.size();
        return next < script.size() && (script[next].kind == RD || script[next].kind == CP) ? uint8_t(script[next].value) : 0xFF;
    };
    std::istringstream words(call);
    std::string name;
    uint32_t at = 0, v = 0;
    std::vector<uint32_t> args;
    words >> name >> std::hex >> at;
    while (words >> v) args.push_back(v);
    std::vector<uint8_t> bytes(args.begin(), args.end());
    uint8_t table[64] = {1};
    Out r = run([&] {
        if (name == "map_page") return isa_tav_map_page(int32_t(at), args.at(0));
        if (name == "wait") return flash_wait(&fsi, at, args.at(0));
        if (name == "write") return flash_write(&fsi, at, bytes.data(), uint32_t(bytes.size()), table);
        if (name == "read") {
            bytes.assign(args.at(0), 0);
            return flash_read(&fsi, at, bytes.data(), args.at(0));
        }
        if (name == "erase") return flash_erase(&fsi, at);
        return flash_query(int32_t(at), &fsi);
    });
    EXPECT_EQ(std::to_string(r.result), expected_result) << call;
    EXPECT_EQ(r.out, out) << call;
    EXPECT_EQ(r.err, err) << call;
    EXPECT_EQ(bus.log, script) << call;
    char got[32];
    snprintf(got, sizeof got, "%x %x", fsi.block_size, fsi.device_size);
    EXPECT_TRUE(geometry.empty() || got == geometry) << call << ": " << got;
}

TEST(FlashBus, StoredSessions) {
    std::ifstream in(TAV_SOURCE_DIR "/tests/data/flash/sessions.txt");
    ASSERT_TRUE(in);
    std::vector<std::string> session;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            replay(session);
            session.clear();
        } else if (line[0] != '#') {
            session.push_back(line);
        }
    }
    replay(session);
}

// Each refusal: its message, its result, no bus access, and a refused table left as it was.
TEST(FlashBus, ArgumentChecksOfEveryRoutine) {
    FakeBus bus;
    FSI fsi = fake(0x400000, 4, 1, 0x20000), pair = fake(0x100000, 2, 1, 0x20000);
    FSI odd = fake(0x400000, 1, 1, 0x30000);
    FSI none = fake(0x100000, 1, 1, 0), wide = fake(0x100000, 2, 1, 0x80000000), one = fake(0x400000, 1, 1, 0x20000), two = fake(0x400000, 2, 2, 0x20000);
    uint8_t byte = 0, table[128] = {9}, data[16] = {};
    auto ok = [](const void *p) { return p != nullptr ? 1 : -1; };
    const std::string range = " out of range (0 - 0x400000)\n", divide = "erase unit (0x30000) does not divide size (0x400000)\n";
    struct Row { std::function<int()> call; int result; std::string err; };
    std::vector<Row> rows = {
        {[&] { return flash_wait(&pair, 0x100001, 10); }, -1, "flash_wait(): offset (0x100000) out of range (0 - 0x100000)\n"},
        {[&] { return flash_set_mode(&pair, 0x100001, 0x70), 0; }, 0, "flash_set_mode(): offset (0x100000) out of range (0 - 0x100000)\n"},
        {[&] { return flash_check_status(nullptr, 0); }, -1, "flash_check_status(): NULL FSI pointer\n"},
        {[&] { return flash_check_status(&fsi, 0x400003); }, -1, "flash_check_status(): offset (0x400000)" + range},
        {[&] { return flash_query(2, &fsi); }, -1, "flash_query(): invalid memory space 0x2\n"},
        {[&] { return flash_query(0, nullptr); }, -1, "flash_query(): NULL FSI pointer\n"},
        {[&] { return flash_erase(nullptr, 0); }, -1, "flash_erase(): NULL FSI pointer\n"},
        {[&] { return flash_erase(&fsi, 0x400000); }, -1, "flash_erase(): offset (0x400000)" + range},
        {[&] { return flash_get_write_buffer(nullptr, 0); }, -1, "flash_get_write_buffer(): NULL FSI pointer\n"},
        {[&] { return flash_get_write_buffer(&fsi, 0x400000); }, -1, "flash_get_write_buffer(): offset (0x400000)" + range},
        {[&] { return flash_check_write_buffer(&fsi, 0x400000); }, -1, "flash_check_write_buffer(): offset (0x400000)" + range},
        {[&] { return flash_write(&odd, 0, &byte, 1, table); }, -1, "flash_write(): " + divide},
        {[&] { return ok(flash_alloc_erase_table(nullptr)); }, -1, "flash_alloc_erase_table(): NULL FSI pointer\n"},
        {[&] { return ok(flash_alloc_erase_table(&odd)); }, -1, "flash_alloc_erase_table(): " + divide},
        {[&] { return ok(flash_alloc_erase_table(&none)); }, -1, "flash_alloc_erase_table(): erase unit (0x0) does not divide size (0x100000)\n"},
        {[&] { return ok(flash_alloc_erase_table(&wide)); }, -1,
         "flash_alloc_erase_table(): erase unit (0x100000000) does not divide size (0x100000)\n"},
        {[&] { return flash_init_erase_table(&odd, table); }, -1, "flash_init_erase_table(): " + divide},
        {[&] { return flash_init_erase_table(nullptr, table); }, -1, "flash_init_erase_table(): NULL FSI pointer\n"},
        {[&] { return flash_init_erase_table(&fsi, nullptr); }, -1, "flash_init_erase_table(): NULL erase table pointer\n"},
        {[&] { return flash_free_erase_table(&fsi, nullptr); }, 1, ""},
        // A null record keeps the table: the caller still owns it (a double free shows under ASan).
        {[&] {
             uint8_t *owned = static_cast<uint8_t *>(malloc(4));
             int result = flash_free_erase_table(nullptr, owned);
             return free(owned), result;
         },
         -1, "flash_free_erase_table(): NULL FSI pointer\n"},
    };
    // Write and read check their arguments in this order (each row also fails the later checks).
    const struct { FSI *fsi; uint32_t offset, count; bool data, table; std::string err; } io[] = {
        {nullptr, 0, 4, true, true, "NULL FSI pointer\n"}, {&two, 0x400001, 3, false, false, "offset (0x400001) not aligned to (2) bytes\n"},
        {&two, 0x400002, 3, false, false, "count (3) not a multiple of (2) bytes\n"},
        {&one, 0x400000, 0, false, false, "offset (0x400000) out of range (0 - 0x400000)\n"},
        {&one, 0x3FFFF0, 17, false, false, "offset (0x3ffff0) + count (17) > (0x400000)\n"},
        {&one, 0x10, 0xFFFFFFF8, false, false, "offset (0x10) + count (-8) > (0x400000)\n"},
        {&one, 0x3FFFF0, 16, false, false, "NULL data pointer\n"}, {&one, 0x3FFFF0, 16, true, false, "NULL erase table\n"}};
    for (const auto &c : io) {
        uint8_t *d = c.data ? data : nullptr;
        rows.push_back({[=, &table] { return flash_write(c.fsi, c.offset, d, c.count, c.table ? table : nullptr); }, -1, "flash_write(): " + c.err});
        if (c.data && !c.table && c.fsi) continue;   // read takes no table
        rows.push_back({[=] { return flash_read(c.fsi, c.offset, d, c.count); }, -1, "flash_read(): " + c.err});
    }
    for (const auto &row : rows) {
        Out r = run(row.call);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.result, row.result) << row.err;
        EXPECT_TRUE(bus.log.empty()) << row.err;
        EXPECT_EQ(table[0], 9) << row.err;
    }
}


}  // namespace
