// The user-mode library of the toolkit stand-in: opening against the device database,
// the range information, mapping the model board (or physical memory) behind the window,
// releasing it on close, the status texts, and the trace.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/board_access.h"
#include "toolkit/DriverAgent.h"
#include "toolkit/toolkit_controls.h"
#include "toolkit/toolkit_status.h"
#include "toolkit_seed.h"

namespace {

class ToolkitAgentTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        for (const char *name : {"TAV_TOOLKIT_FAIL", "TAV_TOOLKIT_TRACE", "TAV_BOARD"}) unsetenv(name);
        toolkit_calls_clear();
    }
    // Leaves no connection (and so no mapped board) behind.
    void TearDown() override {
        close_all();
        unsetenv("TAV_BOARD");
    }
    static void close_all() {
        for (int i = 0; i < 8 && DriverAgentClose() == DA_STATUS_OK; ++i) {
        }
    }
    // Opens connection, device and range; returns the first failing status (0 if none).
    DASTATUS open_all() {
        DASTATUS status = DriverAgentOpen();
        if (status >= 0) status = DaOpenDeviceA("TAV", &device_, 0);
        return status < 0 ? status : DaOpenMemRangeA(device_, "TAV", &range_, 0);
    }
    uint8_t *map(DASTATUS *status) { return static_cast<uint8_t *>(MapMemoryToProcess(range_, status)); }
    bool board_free(const std::string &path) {
        std::string error;
        return tavboard::Board::open(path, &error) != nullptr;
    }

    TempTavHome home_;
    DAHANDLE device_ = 0;
    DAHANDLE range_ = 0;
};

RegistrySeed seed_without(bool RegistrySeed::*part) {
    RegistrySeed s;
    s.*part = false;
    return s;
}

// The open stops at the first missing entry, and the status text tells the user what to do.
TEST_F(ToolkitAgentTest, OpenFailsAtTheMissingEntryWithAHelpfulText) {
    struct Case {
        std::string registry;
        const char *failing_call;
        DASTATUS status;
        std::vector<const char *> text_parts;
    } cases[] = {
        {registry_seed_text(seed_without(&RegistrySeed::service)), "DriverAgentOpen", DA_ERR_NOT_INSTALLED,
         {"agentcd", "run install first"}},
        {registry_seed_text(seed_without(&RegistrySeed::device)), "DaOpenDeviceA", DA_ERR_NO_DEVICE,
         {"device \"TAV\"", "run install first"}},
        {registry_seed_text(seed_without(&RegistrySeed::range)), "DaOpenMemRangeA", DA_ERR_NO_RANGE,
         {"memory range \"TAV\" of device \"TAV\"", "run install first"}},
        {registry_seed_text(seed_without(&RegistrySeed::range)) +
             "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV]\n"
             "\"Base\"=dword:000d0000\n\"Length\"=\"32768\"\n",
         "DaOpenMemRangeA", DA_ERR_BAD_RANGE_ENTRY, {"Length", "MemoryRanges\\TAV", "run install again"}},
        // Names are found in any case.
        {"Windows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\AgentCD]\n\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\numega\\driveragent\\devices\\tav\\memoryranges\\tav]\n"
         "\"base\"=dword:000d0000\n\"LENGTH\"=dword:00008000\n",
         "DaOpenMemRangeA", DA_STATUS_OK, {"succeeded"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing_call);
        ASSERT_TRUE(write_file(home_.registry(), c.registry));
        toolkit_calls_clear();
        EXPECT_EQ(open_all(), c.status);
        ASSERT_FALSE(toolkit_call_names().empty());
        EXPECT_EQ(toolkit_call_names().back(), c.failing_call);
        std::string text = DaTranslateErrorMessageA(c.status);
        for (const char *part : c.text_parts) EXPECT_NE(text.find(part), std::string::npos) << text;
        close_all();
    }
}

TEST_F(ToolkitAgentTest, CallsNeedAnOpenConnectionAndHandles) {
    ASSERT_TRUE(seed_registry());
    DAHANDLE handle = 0;
    EXPECT_EQ(DriverAgentClose(), DA_ERR_NOT_CONNECTED);
    EXPECT_EQ(DaOpenDeviceA("TAV", &handle, 0), DA_ERR_NOT_CONNECTED);
    EXPECT_EQ(handle, 0u);
    ASSERT_EQ(DriverAgentOpen(), DA_STATUS_OK);
    EXPECT_EQ(DaOpenMemRangeA(99, "TAV", &handle, 0), DA_ERR_BAD_HANDLE);
    EXPECT_EQ(DaOpenDeviceA("TAV", nullptr, 0), DA_ERR_BAD_ARGUMENT);
    uint8_t info[MEM_RANGE_INFO_SIZE];
    EXPECT_EQ(QueryMemRangeInfo(99, info), DA_ERR_BAD_HANDLE);
    DASTATUS status = 0;
    EXPECT_EQ(MapMemoryToProcess(99, &status), nullptr);
    EXPECT_EQ(status, DA_ERR_BAD_HANDLE);
    EXPECT_EQ(DaCloseMemRange(99), DA_ERR_BAD_HANDLE);
    EXPECT_EQ(DaCloseDevice(99), DA_ERR_BAD_HANDLE);
    EXPECT_EQ(DriverAgentClose(), DA_STATUS_OK);
    EXPECT_EQ(DriverAgentClose(), DA_ERR_NOT_CONNECTED);
}

// A range is mappable only when it holds the window and the page registers (0x4004 bytes).
TEST_F(ToolkitAgentTest, RangeInfoAndMappingFollowTheLength) {
    for (auto [length, mappable] : {std::pair{0x1000u, 0u}, {0x4003u, 0u}, {0x4004u, 1u}, {0x8000u, 1u}}) {
        SCOPED_TRACE(length);
        RegistrySeed seed;
        seed.length = length;
        ASSERT_TRUE(seed_registry(seed));
        ASSERT_EQ(open_all(), DA_STATUS_OK);
        uint8_t info[MEM_RANGE_INFO_SIZE];
        std::memset(info, 0xCC, sizeof info);
        ASSERT_EQ(QueryMemRangeInfo(range_, info), DA_STATUS_OK);
        uint32_t got[2], got_mappable = 0;
        std::memcpy(got, info, 8);
        std::memcpy(&got_mappable, info + MEM_RANGE_INFO_MAPPABLE_OFFSET, 4);
        EXPECT_EQ(got[0], 0xD0000u);
        EXPECT_EQ(got[1], length);
        EXPECT_EQ(got_mappable, mappable);
        EXPECT_NE(info[MEM_RANGE_INFO_SIZE - 1], 0xCC);   // the whole record is filled
        DASTATUS status = DA_STATUS_OK;
        uint8_t *window = map(&status);
        EXPECT_EQ(window != nullptr, mappable == 1);
        if (!mappable) {
            EXPECT_EQ(status, DA_ERR_RANGE_TOO_SMALL);
            EXPECT_NE(std::string(DaTranslateErrorMessageA(status)).find("0x4004"), std::string::npos);
        }
        close_all();
    }
}

// The identifier of the game flash read through the window: proof that the model board
// answers behind the mapped address.
uint8_t game_manufacturer(uint8_t *window) {
    for (uint32_t reg = 0; reg < 4; ++reg) board_write_page_register(window, reg, 0);
    board_write8(window, 0, 0x90);
    uint8_t code = board_read8(window, 0);
    board_write8(window, 0, 0xFF);
    return code;
}

// The default board is made on first use; a board named by TAV_BOARD is used instead and
// the default is then never made. The mapped board is locked until its range is closed.
TEST_F(ToolkitAgentTest, TheDefaultOrTheNamedBoardIsMappedAndLocked) {
    ASSERT_TRUE(seed_registry());
    std::string named = home_.path() + "/other.img";
    std::string error;
    ASSERT_NE(tavboard::Board::create(named, tavboard::Fit{}, false, &error), nullptr) << error;
    for (bool use_named : {true, false}) {
        SCOPED_TRACE(use_named);
        if (use_named) setenv("TAV_BOARD", named.c_str(), 1);
        else unsetenv("TAV_BOARD");
        std::string path = use_named ? named : home_.board();
        ASSERT_EQ(open_all(), DA_STATUS_OK);
        DASTATUS status = DA_STATUS_OK;
        uint8_t *window = map(&status);
        ASSERT_NE(window, nullptr) << DaTranslateErrorMessageA(status);
        EXPECT_EQ(std::filesystem::exists(home_.board()), !use_named);
        EXPECT_EQ(game_manufacturer(window), 0x89);
        EXPECT_EQ(map(&status), window);   // mapped already: the same window
        EXPECT_FALSE(board_free(path)) << "the mapped board must be locked";
        EXPECT_EQ(DaCloseMemRange(range_), DA_STATUS_OK);
        EXPECT_TRUE(board_free(path));
        close_all();
    }
}

TEST_F(ToolkitAgentTest, ClosingDeviceOrConnectionReleasesItsRanges) {
    ASSERT_TRUE(seed_registry());
    for (bool by_device : {true, false}) {
        ASSERT_EQ(open_all(), DA_STATUS_OK);
        DASTATUS status = DA_STATUS_OK;
        ASSERT_NE(map(&status), nullptr);
        EXPECT_EQ(by_device ? DaCloseDevice(device_) : DriverAgentClose(), DA_STATUS_OK);
        EXPECT_EQ(DaCloseMemRange(range_), DA_ERR_BAD_HANDLE) << "by_device " << by_device;
        EXPECT_TRUE(board_free(home_.board()));
        close_all();
    }
}

// A board file that cannot be opened: a clear status, and a text naming the file and why.
TEST_F(ToolkitAgentTest, UnusableBoardFileIsNamedWithTheReason) {
    ASSERT_TRUE(seed_registry());
    std::string missing = home_.path() + "/no-such-board.img";
    std::string corrupt = home_.path() + "/corrupt.img";
    std::string held = home_.path() + "/held.img";
    ASSERT_TRUE(write_file(corrupt, std::string(4096, 'x')));
    std::string error;
    auto holder = tavboard::Board::create(held, tavboard::Fit{}, false, &error);
    ASSERT_NE(holder, nullptr) << error;
    for (const std::string &path : {missing, corrupt, held}) {
        setenv("TAV_BOARD", path.c_str(), 1);
        ASSERT_EQ(open_all(), DA_STATUS_OK);
        DASTATUS status = DA_STATUS_OK;
        EXPECT_EQ(map(&status), nullptr) << path;
        EXPECT_EQ(status, DA_ERR_BOARD_OPEN) << path;
        std::string text = DaTranslateErrorMessageA(status);
        EXPECT_NE(text.find(path), std::string::npos) << text;
        EXPECT_GT(text.size(), path.size() + 40) << "a reason must come with the name: " << text;
        close_all();
    }
    EXPECT_FALSE(std::filesystem::exists(missing)) << "a named board is never made";
}

// The real board (an ordinary file in place of /dev/mem) is reached only through a device
// database that no other user can change; an unsafe one is refused when the connection
// opens, before anything is read from it, the lock is taken or the memory opened.
TEST_F(ToolkitAgentTest, PhysicalBoardTrustsOnlyAProtectedDatabase) {
    const std::string home = home_.path(), reg = home_.registry(), other = home + "/real.reg";
    const std::string locks = home + "/locks", memory = home + "/mem";
    auto writable = [](const std::string &path) {
        return path + " is writable by group or others (chmod go-w " + path + ")";
    };
    auto foreign = [](const std::string &path) {
        return path + " is owned by uid 4321, not by root (chown root " + path + ")";
    };
    struct Row {
        std::function<int()> make;  // 0 when done
        std::string unsafe;         // the problem named; "": accepted
        bool needs_root = false;    // makes files owned by another user
    } rows[] = {
        {[] { return 0; }, ""},
        {[&] { return chmod(reg.c_str(), 0664); }, writable(reg)},
        {[&] { return chmod(reg.c_str(), 0646); }, writable(reg)},
        {[&] { return chmod(home.c_str(), 0770); }, writable(home)},
        {[&] { return chmod(home.c_str(), 01777); }, ""},
        {[&] { return chown(reg.c_str(), 4321, 0); }, foreign(reg), true},
        {[&] { return chown(home.c_str(), 4321, 0); }, foreign(home), true},
        {[&] { return rename(reg.c_str(), other.c_str()) | chmod(other.c_str(), 0666) | symlink("real.reg", reg.c_str()); },
         writable(other)},
        {[&] { return rename(reg.c_str(), other.c_str()) | symlink(other.c_str(), reg.c_str()); }, ""},
    };
    ASSERT_TRUE(write_file(memory, std::string(0x100000, '\0')));
    setenv("TAV_BOARD", "physical", 1);
    setenv("TAV_TOOLKIT_LOCK_FOLDER", locks.c_str(), 1);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.unsafe);
        if (row.needs_root && geteuid() != 0) continue;
        std::filesystem::remove_all(locks);
        std::filesystem::remove(other);
        std::filesystem::remove(reg);
        ASSERT_TRUE(seed_registry() && std::filesystem::create_directory(locks));
        ASSERT_EQ(chmod(reg.c_str(), 0644) | chmod(home.c_str(), 0700) | chown(home.c_str(), geteuid(), 0), 0);
        ASSERT_EQ(row.make(), 0);
        setenv("TAV_TOOLKIT_MEM_DEVICE", (row.unsafe.empty() ? memory : home + "/no-such-mem").c_str(), 1);
        DASTATUS status = open_all();
        if (row.unsafe.empty()) {
            ASSERT_EQ(status, DA_STATUS_OK);
            EXPECT_NE(map(&status), nullptr) << DaTranslateErrorMessageA(status);
        } else {
            EXPECT_EQ(std::string(DaTranslateErrorMessageA(status)),
                      "the driver toolkit's device database is not protected against other users: " + row.unsafe +
                          "; with TAV_BOARD=physical it and every folder above it must be owned by root and "
                          "writable only by their owner");
            EXPECT_EQ(toolkit_call_names().front(), "DriverAgentOpen");
            EXPECT_TRUE(std::filesystem::is_empty(locks));
        }
        close_all();
        toolkit_calls_clear();
        ASSERT_EQ(chmod(home.c_str(), 0700) | chown(home.c_str(), geteuid(), 0), 0);
    }
    unsetenv("TAV_TOOLKIT_MEM_DEVICE");
    unsetenv("TAV_TOOLKIT_LOCK_FOLDER");
}

// The loader prints these texts: each status has its own, an unknown one shows its number.
TEST_F(ToolkitAgentTest, EveryStatusHasItsOwnText) {
    std::set<std::string> texts;
    for (DASTATUS status : {DA_STATUS_OK, DA_ERR_NOT_INSTALLED, DA_ERR_NOT_CONNECTED, DA_ERR_NO_DEVICE, DA_ERR_NO_RANGE,
                            DA_ERR_BAD_HANDLE, DA_ERR_BAD_ARGUMENT, DA_ERR_DATABASE, DA_ERR_DATABASE_WRITE,
                            DA_ERR_BAD_RANGE_ENTRY, DA_ERR_RANGE_TOO_SMALL, DA_ERR_BOARD_OPEN, DA_ERR_PHYSICAL,
                            DA_ERR_INJECTED, DA_ERR_RANGE_NOT_ALLOWED, DA_ERR_DATABASE_UNSAFE, DA_ERR_BOARD_BUSY}) {
        std::string text = DaTranslateErrorMessageA(status);
        EXPECT_EQ(text.find("not a status"), std::string::npos) << text;
        EXPECT_TRUE(texts.insert(text).second) << text;
    }
    for (DASTATUS unknown : {-9999, 12345, INT32_MIN})
        EXPECT_NE(std::string(DaTranslateErrorMessageA(unknown)).find(std::to_string(unknown)), std::string::npos);
}

TEST_F(ToolkitAgentTest, TraceRecordsHandlesAndResults) {
    ASSERT_TRUE(seed_registry());
    std::string trace = home_.path() + "/trace.txt";
    setenv("TAV_TOOLKIT_TRACE", trace.c_str(), 1);
    ASSERT_EQ(open_all(), DA_STATUS_OK);
    DASTATUS status = 0;
    ASSERT_NE(map(&status), nullptr);
    DaCloseMemRange(range_);
    DaCloseDevice(device_);
    DriverAgentClose();
    unsetenv("TAV_TOOLKIT_TRACE");
    EXPECT_NE(device_, range_);
    std::string d = std::to_string(device_), r = std::to_string(range_);
    EXPECT_EQ(read_file(trace), "DriverAgentOpen() = 0\n"
                                "DaOpenDeviceA(\"TAV\", 0) = 0, handle " + d + "\n"
                                "DaOpenMemRangeA(" + d + ", \"TAV\", 0) = 0, handle " + r + "\n"
                                "MapMemoryToProcess(" + r + ") = mapped\n"
                                "DaCloseMemRange(" + r + ") = 0\n"
                                "DaCloseDevice(" + d + ") = 0\n"
                                "DriverAgentClose() = 0\n");
}

}  // namespace
