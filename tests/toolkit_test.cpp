// The driver toolkit stand-in: what the configuration library leaves in the device database
// and what it refuses; the user-mode library's open against the database, its handles, the
// range and the model board mapped behind the window (and the accesses handed out for it),
// the board locked while mapped, and the status texts the loader prints.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/board_access.h"
#include "platform/win32.h"
#include "tests/support.h"
#include "toolkit/DaConfig.h"
#include "toolkit/DriverAgent.h"
#include "toolkit/model_window.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_status.h"

namespace {

const char *const kDevice = "Software\\NuMega\\DriverAgent\\Devices\\TAV", *const kService = "System\\CurrentControlSet\\Services\\agentcd";

DASTATUS add_device() { return RegAddIsaDevice("TAV", 0, 0, 1, "Tarsek9 ORVEX Update Board", 0, 1, 0, 0); }
DASTATUS add_range() { return RegAddMemoryRange("TAV", "TAV", 0, 0, 0xD0000, 0x8000, 0, 3, 0); }
DASTATUS add_service() { return InstallDeviceService("agentcd", "DriverAgent Class Driver", "c:\\winnt\\system32\\agentcd.sys", -1); }
// "type:bytes" of a value under HKEY_LOCAL_MACHINE, "" when it cannot be read.
std::string value_of(const std::string &path, const char *name) {
    HKEY key = nullptr;
    char data[512];
    DWORD size = sizeof data, type = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::to_string(type) + ":" + std::string(data, size) : "";
}

class Toolkit : public testing::Test {
  protected:
    void SetUp() override { toolkit_calls_clear(); }
    void TearDown() override {
        for (int i = 0; i < 8 && DriverAgentClose() == DA_STATUS_OK; i++) continue;
        for (const char *name : {"TAV_TOOLKIT_FAIL", "TAV_BOARD", "TAV_TOOLKIT_LOCK_FOLDER", "TAV_TOOLKIT_MEM_DEVICE"}) unsetenv(name);
    }
    // Opens connection, device and range; the first failing status (0 if none).
    DASTATUS open_all() {
        DASTATUS status = DriverAgentOpen();
        if (status >= 0) status = DaOpenDeviceA("TAV", &device, 0);
        return status < 0 ? status : DaOpenMemRangeA(device, "TAV", &range, 0);
    }
    uint8_t *map(DASTATUS *status) { return static_cast<uint8_t *>(MapMemoryToProcess(range, status)); }
    bool board_free(const std::string &path) {
        std::string error;
        return tavboard::Board::open(path, &error) != nullptr;
    }
    tavtest::TempHome home;
    DAHANDLE device = 0, range = 0;
};

TEST_F(Toolkit, ConfigurationRegistersWhatTheLoaderReadsAndRefusesTheRest) {
    tavtest::write_file(home.registry(), "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent]\n\"Version\"=dword:00000001\n");
    ASSERT_EQ(add_device() | add_range() | add_service(), DA_STATUS_OK);
    const std::string range_key = std::string(kDevice) + "\\MemoryRanges\\TAV", dword1("4:\x01\0\0\0", 6);
    const struct { std::string path; const char *name; std::string value; } values[] = {
        {kDevice, "Version", dword1}, {kDevice, "Description", std::string("1:Tarsek9 ORVEX Update Board", 29)}, {kDevice, "InterfaceType", dword1},
        {range_key, "Base", std::string("4:\0\0\x0D\0", 6)}, {range_key, "Length", std::string("4:\0\x80\0\0", 6)}, {range_key, "Access", std::string("4:\x03\0\0\0", 6)},
        {kService, "ImagePath", std::string("1:c:\\winnt\\system32\\agentcd.sys", 32)}, {kService, "Type", dword1},
        {"Software\\NuMega\\DriverAgent", "Version", dword1}};   // the toolkit's own version is never touched
    for (const auto &row : values) EXPECT_EQ(value_of(row.path, row.name), row.value) << row.name;
    ASSERT_EQ(RegDeleteDevice("TAV"), DA_STATUS_OK);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "System");
    auto fail = [](const char *names, DASTATUS (*call)()) { return [=] { return setenv("TAV_TOOLKIT_FAIL", names, 1), call(); }; };
    const struct { std::function<DASTATUS()> call; DASTATUS status; } refusals[] = {
        {add_range, DA_ERR_NO_DEVICE}, {[] { return RegDeleteDevice("TAV"); }, DA_ERR_NO_DEVICE},
        {[] { return RegAddIsaDevice("", 0, 0, 1, "d", 0, 1, 0, 0); }, DA_ERR_BAD_ARGUMENT},
        {[] { return RegAddIsaDevice("T\\V", 0, 0, 1, "d", 0, 1, 0, 0); }, DA_ERR_BAD_ARGUMENT},
        {[] { return add_device(), RegAddMemoryRange("TAV", "TAV", 0, 0, 0xFFFFF000u, 0x8000, 0, 3, 0) + 0 * RegDeleteDevice("TAV"); }, DA_ERR_BAD_ARGUMENT},
        {[] { return InstallDeviceService("agentcd", "x", "c:\\a.sys", 5); }, DA_ERR_BAD_ARGUMENT},
        {fail("RegAddMemoryRange, RegAddIsaDevice=-42", add_device), -42}, {fail("DriverAgentOpen,InstallDeviceService", add_service), DA_ERR_INJECTED},
        {fail("RegAddMemoryRangeX,XRegAddIsaDevice", [] { return add_device() | add_range() | RegDeleteDevice("TAV"); }), DA_STATUS_OK}};
    for (const auto &row : refusals) {
        EXPECT_EQ(row.call(), row.status);
        unsetenv("TAV_TOOLKIT_FAIL");
        EXPECT_EQ(value_of(kDevice, "Version") + value_of(kService, "Type"), "");   // nothing written
    }
    const std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\n";
    tavtest::write_file(home.registry(), broken);
    testing::internal::CaptureStderr();
    EXPECT_EQ(add_device() < 0 && add_service() < 0 && RegDeleteDevice("TAV") == DA_ERR_DATABASE, true);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(home.registry()), std::string::npos);
    EXPECT_EQ(tavtest::read_file(home.registry()), broken);
}

// A range entry of the wrong type is named; names are found in any case (the missing entries
// are the loader chain's rows). Handles and a connection are needed; a range maps from 0x4004 bytes.
TEST_F(Toolkit, OpenHandlesAndRanges) {
    auto without = [](bool tavtest::RegistrySeed::*part) { tavtest::RegistrySeed s; return s.*part = false, tavtest::registry_seed_text(s); };
    const struct { std::string registry; const char *call; DASTATUS status; std::string text; } rows[] = {
        {without(&tavtest::RegistrySeed::range) + "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV]\n\"Length\"=\"32768\"\n",
         "DaOpenMemRangeA", DA_ERR_BAD_RANGE_ENTRY, "Length"},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\AgentCD]\n\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\numega\\driveragent\\devices\\tav\\memoryranges\\tav]\n\"base\"=dword:000d0000\n\"LENGTH\"=dword:00008000\n",
         "DaOpenMemRangeA", DA_STATUS_OK, "succeeded"}};
    for (const auto &row : rows) {
        tavtest::write_file(home.registry(), row.registry);
        toolkit_calls_clear();
        EXPECT_EQ(open_all(), row.status);
        EXPECT_EQ(toolkit_call_names().back(), row.call);
        EXPECT_NE(std::string(DaTranslateErrorMessageA(row.status)).find(row.text), std::string::npos) << DaTranslateErrorMessageA(row.status);
        while (DriverAgentClose() == DA_STATUS_OK) continue;
    }
    DAHANDLE handle = 0;
    uint8_t info[MEM_RANGE_INFO_SIZE];
    DASTATUS status = 0;
    EXPECT_EQ(DriverAgentClose(), DA_ERR_NOT_CONNECTED);
    EXPECT_EQ(DaOpenDeviceA("TAV", &handle, 0), DA_ERR_NOT_CONNECTED);
    ASSERT_EQ(DriverAgentOpen(), DA_STATUS_OK);
    for (DASTATUS result : {DaOpenMemRangeA(99, "TAV", &handle, 0), QueryMemRangeInfo(99, info), DaCloseMemRange(99), DaCloseDevice(99),
                            (MapMemoryToProcess(99, &status), status)})
        EXPECT_EQ(result, DA_ERR_BAD_HANDLE);
    EXPECT_EQ(DaOpenDeviceA("TAV", nullptr, 0), DA_ERR_BAD_ARGUMENT);
    for (auto [length, mappable] : {std::pair{0x4003u, 0u}, {0x4004u, 1u}}) {
        tavtest::RegistrySeed seed;
        seed.length = length;
        ASSERT_TRUE(tavtest::seed_registry(seed));
        ASSERT_EQ(open_all(), DA_STATUS_OK);
        std::memset(info, 0xCC, sizeof info);
        ASSERT_EQ(QueryMemRangeInfo(range, info), DA_STATUS_OK);
        uint32_t got[2], got_mappable = 0;
        std::memcpy(got, info, 8);
        std::memcpy(&got_mappable, info + MEM_RANGE_INFO_MAPPABLE_OFFSET, 4);
        EXPECT_EQ((std::vector<uint32_t>{got[0], got[1], got_mappable}), (std::vector<uint32_t>{0xD0000, length, mappable}));
        status = DA_STATUS_OK;
        EXPECT_EQ(map(&status) != nullptr, mappable == 1);
        EXPECT_EQ(status, mappable ? DA_STATUS_OK : DA_ERR_RANGE_TOO_SMALL);
        while (DriverAgentClose() == DA_STATUS_OK) continue;
    }
}

// The default board is made on first use, a board named by TAV_BOARD used instead; the mapped
// board is locked until its range, device or connection is closed. Unusable boards are named.
TEST_F(Toolkit, MappedBoardsAndTheirAccesses) {
    ASSERT_TRUE(tavtest::seed_registry());
    std::string named = home.file("other.img"), error;
    ASSERT_NE(tavboard::Board::create(named, tavboard::Fit{}, false, &error), nullptr) << error;
    for (int close_by : {0, 1, 2}) {
        close_by == 0 ? setenv("TAV_BOARD", named.c_str(), 1) : unsetenv("TAV_BOARD");
        const std::string path = close_by == 0 ? named : home.board();
        ASSERT_EQ(open_all(), DA_STATUS_OK);
        DASTATUS status = DA_STATUS_OK;
        uint8_t *window = map(&status);
        ASSERT_NE(window, nullptr) << DaTranslateErrorMessageA(status);
        EXPECT_EQ(std::filesystem::exists(home.board()), close_by != 0);
        EXPECT_EQ(map(&status), window);
        // The accesses handed out for the window reach the same board, page registers included.
        const BoardAccessOps *ops = nullptr;
        void *ctx = nullptr;
        ASSERT_EQ(TavModelWindowAccess(window, &ops, &ctx), 1);
        for (uint32_t reg = 0; reg < 4; reg++) ops->write_page_register(ctx, reg, reg == 3 ? close_by * 4 : 0);   // space 0, 4, 8
        ops->write16(ctx, 0, 0x90FF);   // two byte cycles, low first: read array, then identifier
        uint8_t code = 0;
        ops->copy_out(ctx, close_by == 2 ? 2 : 0, &code, 1);
        EXPECT_EQ(code, close_by == 0 ? 0x89 : close_by == 1 ? 0xFF : 0x9D);
        EXPECT_EQ(board_read8(window, 0), close_by == 1 ? 0xFF : 0x89);
        EXPECT_FALSE(board_free(path));
        EXPECT_EQ(close_by == 1 ? DaCloseDevice(device) : close_by == 2 ? DriverAgentClose() : DaCloseMemRange(range), DA_STATUS_OK);
        EXPECT_TRUE(board_free(path));
        EXPECT_EQ(TavModelWindowAccess(window, &ops, &ctx), 0);   // a closed range is declined
        while (DriverAgentClose() == DA_STATUS_OK) continue;
    }
    uint8_t other[16] = {};
    const BoardAccessOps *ops = nullptr;
    void *ctx = nullptr;
    EXPECT_EQ(TavModelWindowAccess(other, &ops, &ctx) + TavModelWindowAccess(nullptr, &ops, &ctx), 0);
    EXPECT_EQ(ops, nullptr);
    tavtest::write_file(home.file("corrupt.img"), std::string(4096, 'x'));
    auto holder = tavboard::Board::create(home.file("held.img"), tavboard::Fit{}, false, &error);
    for (const std::string &path : {home.file("none.img"), home.file("corrupt.img"), home.file("held.img")}) {
        setenv("TAV_BOARD", path.c_str(), 1);
        ASSERT_EQ(open_all(), DA_STATUS_OK);
        DASTATUS status = DA_STATUS_OK;
        EXPECT_EQ(map(&status), nullptr);
        EXPECT_EQ(status, DA_ERR_BOARD_OPEN);
        std::string text = DaTranslateErrorMessageA(status);
        EXPECT_TRUE(text.find(path) != std::string::npos && text.size() > path.size() + 40) << text;
        while (DriverAgentClose() == DA_STATUS_OK) continue;
    }
    EXPECT_FALSE(std::filesystem::exists(home.file("none.img")));   // a named board is never made
    std::set<std::string> texts;
    for (DASTATUS status : {DA_STATUS_OK, DA_ERR_NOT_INSTALLED, DA_ERR_NOT_CONNECTED, DA_ERR_NO_DEVICE, DA_ERR_NO_RANGE, DA_ERR_BAD_HANDLE,
                            DA_ERR_BAD_ARGUMENT, DA_ERR_DATABASE, DA_ERR_DATABASE_WRITE, DA_ERR_BAD_RANGE_ENTRY, DA_ERR_RANGE_TOO_SMALL,
                            DA_ERR_BOARD_OPEN, DA_ERR_PHYSICAL, DA_ERR_INJECTED, DA_ERR_RANGE_NOT_ALLOWED, DA_ERR_DATABASE_UNSAFE,
                            DA_ERR_BOARD_BUSY, -9999})
        EXPECT_TRUE(texts.insert(DaTranslateErrorMessageA(status)).second) << status;   // each status its own text
    EXPECT_NE(texts.find(std::string(DaTranslateErrorMessageA(-9999))), texts.end());
    EXPECT_NE(std::string(DaTranslateErrorMessageA(-9999)).find("-9999"), std::string::npos);
}

// The real board (an ordinary file in place of /dev/mem) is reached only through a device
// database no other user can change; an unsafe one is refused when the connection opens,
// before anything is read from it, the lock taken or the memory opened (the device is missing).
TEST_F(Toolkit, PhysicalBoardTrustsOnlyAProtectedDatabase) {
    const std::string h = home.path(), reg = home.registry(), real = h + "/real.reg", locks = h + "/locks";
    auto writable = [](const std::string &path) { return path + " is writable by group or others (chmod go-w " + path + ")"; };
    auto foreign = [](const std::string &path) { return path + " is owned by uid 4321, not by root (chown root " + path + ")"; };
    const struct { std::function<int()> make; std::string unsafe; /* "": accepted */ bool needs_root; } rows[] = {
        {[] { return 0; }, "", false}, {[&] { return chmod(reg.c_str(), 0664); }, writable(reg), false},
        {[&] { return chmod(reg.c_str(), 0646); }, writable(reg), false}, {[&] { return chmod(h.c_str(), 0770); }, writable(h), false},
        {[&] { return chmod(h.c_str(), 01777); }, "", false}, {[&] { return chown(reg.c_str(), 4321, 0); }, foreign(reg), true},
        {[&] { return chown(h.c_str(), 4321, 0); }, foreign(h), true},
        {[&] { return rename(reg.c_str(), real.c_str()) | chmod(real.c_str(), 0666) | symlink("real.reg", reg.c_str()); }, writable(real), false},
        {[&] { return rename(reg.c_str(), real.c_str()) | symlink(real.c_str(), reg.c_str()); }, "", false}};
    ASSERT_TRUE(tavtest::write_file(h + "/mem", std::string(0x100000, '\0')));
    setenv("TAV_BOARD", "physical", 1);
    setenv("TAV_TOOLKIT_LOCK_FOLDER", locks.c_str(), 1);
    for (const auto &row : rows) {
        if (row.needs_root && geteuid() != 0) continue;
        for (const std::string &path : {locks, real, reg}) std::filesystem::remove_all(path);
        ASSERT_TRUE(tavtest::seed_registry() && std::filesystem::create_directory(locks));
        ASSERT_EQ(chmod(reg.c_str(), 0644) | chmod(h.c_str(), 0700) | chown(h.c_str(), geteuid(), 0) | row.make(), 0);
        setenv("TAV_TOOLKIT_MEM_DEVICE", (h + (row.unsafe.empty() ? "/mem" : "/no-such-mem")).c_str(), 1);
        toolkit_calls_clear();
        DASTATUS status = open_all();
        if (row.unsafe.empty()) {
            EXPECT_NE(status == DA_STATUS_OK ? map(&status) : nullptr, nullptr) << DaTranslateErrorMessageA(status);
        } else {
            EXPECT_EQ(std::string(DaTranslateErrorMessageA(status)),
                      "the driver toolkit's device database is not protected against other users: " + row.unsafe +
                          "; with TAV_BOARD=physical it and every folder above it must be owned by root and writable only by their owner");
            EXPECT_EQ(toolkit_call_names().front(), "DriverAgentOpen");
            EXPECT_TRUE(std::filesystem::is_empty(locks)) << row.unsafe;
        }
        while (DriverAgentClose() == DA_STATUS_OK) continue;
        ASSERT_EQ(chmod(h.c_str(), 0700) | chown(h.c_str(), geteuid(), 0), 0);
    }
}

}  // namespace
