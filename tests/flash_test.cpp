// The flash driver's contracts on a scripted bus (bus shapes the model board cannot show, and
// every access in order): page selection, commands, the status register's judgement and
// messages, the argument checks, write methods, erase order, identification by query; each
// as stored sessions replayed by one loop.
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

// Records every access; reads answer through on_read.
struct FakeBus {
    std::function<uint8_t(uint32_t)> on_read;
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

// Stored driver sessions on the scripted bus in tests/data/flash/sessions.txt, separated by blank
// lines: "fsi" (the table's fields after its window, hex; none: a null table), "call" and the
// routine's arguments, then every access in order ("reg", "rd", "w8", "w16", "cp" a byte copied
// out, with offset and value: the bus answers each read so, one tick a read), what it printed
// ("out", "err" a line each) and its "result"; a query's "geometry" is its block and device size.
void replay(const std::vector<std::string> &session) {
    FakeBus bus;
    FSI fsi{};
    bool have_fsi = false;
    std::vector<Acc> script;
    std::string call, out, err, geometry, expected_result;
    const std::string kinds[] = {"reg", "rd", "w8", "w16", "cp"};
    for (const std::string &line : session) {
        const std::string op = line.substr(0, line.find(' ')), rest = line.substr(op.size() + 1);
        if (op == "fsi") {
            uint32_t f[10];
            std::istringstream words(rest);
            for (uint32_t &field : f) words >> std::hex >> field;
            have_fsi = true;
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
    uint8_t table[64] = {uint8_t(name == "write" ? 1 : 9)}, zeros[16] = {};
    FSI *f = have_fsi ? &fsi : nullptr;
    auto routine = [&] {
        if (name == "map_page") return isa_tav_map_page(int32_t(at), args.at(0));
        if (name == "wait") return flash_wait(f, at, args.at(0));
        if (name == "set_mode") return flash_set_mode(f, at, uint8_t(args.at(0))), 0;
        if (name == "check_status") return flash_check_status(f, at);
        if (name == "get_write_buffer") return flash_get_write_buffer(f, at);
        if (name == "check_write_buffer") return flash_check_write_buffer(f, at);
        if (name == "write") return flash_write(f, at, bytes.data(), uint32_t(bytes.size()), table);
        if (name == "write_refused")
            return flash_write(f, at, args.at(1) ? zeros : nullptr, args.at(0), args.at(2) ? table : nullptr);
        if (name == "read_refused") return flash_read(f, at, args.at(1) ? zeros : nullptr, args.at(0));
        if (name == "read") {
            bytes.assign(args.at(0), 0);
            return flash_read(f, at, bytes.data(), args.at(0));
        }
        if (name == "erase") return flash_erase(f, at);
        if (name == "alloc_erase_table") return flash_alloc_erase_table(f) ? 1 : -1;
        if (name == "init_erase_table") return flash_init_erase_table(f, at ? table : nullptr);
        if (name == "free_erase_table") {
            uint8_t *owned = at ? static_cast<uint8_t *>(malloc(4)) : nullptr;
            const int result = flash_free_erase_table(f, owned);
            free(owned);
            return result;
        }
        return flash_query(int32_t(at), f);
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(std::to_string(routine()), expected_result) << call;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), out) << call;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), err) << call;
    EXPECT_TRUE(name == "write" || table[0] == 9) << call;
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

}  // namespace
