// The user-mode library of the toolkit stand-in: opening against the device database,
// the range information, mapping the model board (or physical memory) behind the window,
// releasing it on close, the status texts, and the test controls.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
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
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_TOOLKIT_TRACE");
        unsetenv("TAV_BOARD");
        toolkit_calls_clear();
    }
    void TearDown() override {
        // Leave no connection (and so no mapped board) behind for the next test.
        for (int i = 0; i < 8 && DriverAgentClose() == DA_STATUS_OK; ++i) {
        }
        unsetenv("TAV_TOOLKIT_FAIL");
        unsetenv("TAV_BOARD");
    }

    // Opens connection, device and range; returns the first failing status (0 if none).
    DASTATUS open_all() {
        DASTATUS status = DriverAgentOpen();
        if (status < 0) return status;
        status = DaOpenDeviceA("TAV", &device_, 0);
        if (status < 0) return status;
        return DaOpenMemRangeA(device_, "TAV", &range_, 0);
    }

    TempTavHome home_;
    DAHANDLE device_ = 0;
    DAHANDLE range_ = 0;
};

struct OpenCase {
    const char *what;
    std::string registry;
    const char *failing_call;
    DASTATUS status;
    std::vector<const char *> text_parts;   // what the status text must say
};

class ToolkitAgentOpen : public ToolkitAgentTest, public testing::WithParamInterface<OpenCase> {};

TEST_P(ToolkitAgentOpen, FailsAtTheMissingEntryWithAHelpfulText) {
    const OpenCase &c = GetParam();
    ASSERT_TRUE(write_file(home_.registry(), c.registry));
    EXPECT_EQ(open_all(), c.status);
    std::vector<std::string> names = toolkit_call_names();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), c.failing_call);
    std::string text = DaTranslateErrorMessageA(c.status);
    for (const char *part : c.text_parts) EXPECT_NE(text.find(part), std::string::npos) << text;
}

RegistrySeed without_service() {
    RegistrySeed s;
    s.service = false;
    return s;
}
RegistrySeed without_device() {
    RegistrySeed s;
    s.device = false;
    return s;
}
RegistrySeed without_range() {
    RegistrySeed s;
    s.range = false;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Database, ToolkitAgentOpen,
    testing::Values(
        OpenCase{"empty registry", "Windows Registry Editor Version 5.00\n", "DriverAgentOpen", DA_ERR_NOT_INSTALLED,
                 {"agentcd", "run install first"}},
        OpenCase{"no service", registry_seed_text(without_service()), "DriverAgentOpen", DA_ERR_NOT_INSTALLED,
                 {"agentcd", "run install first"}},
        OpenCase{"no device", registry_seed_text(without_device()), "DaOpenDeviceA", DA_ERR_NO_DEVICE,
                 {"device \"TAV\"", "run install first"}},
        OpenCase{"no range", registry_seed_text(without_range()), "DaOpenMemRangeA", DA_ERR_NO_RANGE,
                 {"memory range \"TAV\" of device \"TAV\"", "run install first"}},
        OpenCase{"range without length",
                 registry_seed_text(without_range()) +
                     "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV]\n"
                     "\"Base\"=dword:000d0000\n\"Length\"=\"32768\"\n",
                 "DaOpenMemRangeA", DA_ERR_BAD_RANGE_ENTRY, {"Length", "MemoryRanges\\TAV", "run install again"}},
        OpenCase{"names in another case",
                 "Windows Registry Editor Version 5.00\n\n"
                 "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\AgentCD]\n\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\numega\\driveragent\\devices\\tav\\memoryranges\\tav]\n"
                 "\"base\"=dword:000d0000\n\"LENGTH\"=dword:00008000\n",
                 "DaOpenMemRangeA", DA_STATUS_OK, {"succeeded"}}),
    [](const testing::TestParamInfo<OpenCase> &info) {
        std::string name;
        for (const char *p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

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

struct LengthCase {
    uint32_t length;
    uint32_t mappable;
};

class ToolkitAgentRangeInfo : public ToolkitAgentTest, public testing::WithParamInterface<LengthCase> {};

TEST_P(ToolkitAgentRangeInfo, MappableWhenTheWindowAndPageRegistersFit) {
    RegistrySeed seed;
    seed.length = GetParam().length;
    ASSERT_TRUE(seed_registry(seed));
    ASSERT_EQ(open_all(), DA_STATUS_OK);
    uint8_t info[MEM_RANGE_INFO_SIZE];
    std::memset(info, 0xCC, sizeof info);
    ASSERT_EQ(QueryMemRangeInfo(range_, info), DA_STATUS_OK);
    uint32_t base = 0, length = 0, mappable = 0;
    std::memcpy(&base, info + 0, 4);
    std::memcpy(&length, info + 4, 4);
    std::memcpy(&mappable, info + MEM_RANGE_INFO_MAPPABLE_OFFSET, 4);
    EXPECT_EQ(base, 0xD0000u);
    EXPECT_EQ(length, GetParam().length);
    EXPECT_EQ(mappable, GetParam().mappable);
    EXPECT_NE(info[MEM_RANGE_INFO_SIZE - 1], 0xCC);   // the whole record is filled

    DASTATUS status = DA_STATUS_OK;
    void *window = MapMemoryToProcess(range_, &status);
    if (GetParam().mappable) {
        EXPECT_NE(window, nullptr);
    } else {
        EXPECT_EQ(window, nullptr);
        EXPECT_EQ(status, DA_ERR_RANGE_TOO_SMALL);
        EXPECT_NE(std::string(DaTranslateErrorMessageA(status)).find("0x4004"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, ToolkitAgentRangeInfo,
                         testing::Values(LengthCase{0x1000, 0}, LengthCase{0x4000, 0}, LengthCase{0x4003, 0},
                                         LengthCase{0x4004, 1}, LengthCase{0x8000, 1}));

// The identifier of the game flash read through the window: proof that the model board
// answers behind the mapped address.
uint8_t game_manufacturer(uint8_t *window) {
    for (uint32_t reg = 0; reg < 4; ++reg) board_write_page_register(window, reg, 0);
    board_write8(window, 0, 0x90);
    uint8_t code = board_read8(window, 0);
    board_write8(window, 0, 0xFF);
    return code;
}

TEST_F(ToolkitAgentTest, DefaultBoardIsMadeOnFirstUseAndReleasedOnClose) {
    ASSERT_TRUE(seed_registry());
    ASSERT_EQ(open_all(), DA_STATUS_OK);
    DASTATUS status = DA_STATUS_OK;
    auto *window = static_cast<uint8_t *>(MapMemoryToProcess(range_, &status));
    ASSERT_NE(window, nullptr) << DaTranslateErrorMessageA(status);
    EXPECT_TRUE(std::filesystem::exists(home_.board()));
    EXPECT_EQ(game_manufacturer(window), 0x89);
    EXPECT_EQ(MapMemoryToProcess(range_, &status), window);   // mapped already: the same window

    std::string error;
    EXPECT_EQ(tavboard::Board::open(home_.board(), &error), nullptr) << "the mapped board must be locked";
    EXPECT_EQ(DaCloseMemRange(range_), DA_STATUS_OK);
    auto board = tavboard::Board::open(home_.board(), &error);
    EXPECT_NE(board, nullptr) << error;
}

TEST_F(ToolkitAgentTest, ClosingDeviceOrConnectionReleasesItsRanges) {
    ASSERT_TRUE(seed_registry());
    std::string error;
    for (bool by_device : {true, false}) {
        ASSERT_EQ(open_all(), DA_STATUS_OK);
        DASTATUS status = DA_STATUS_OK;
        ASSERT_NE(MapMemoryToProcess(range_, &status), nullptr);
        if (by_device) {
            EXPECT_EQ(DaCloseDevice(device_), DA_STATUS_OK);
        } else {
            EXPECT_EQ(DriverAgentClose(), DA_STATUS_OK);
        }
        EXPECT_EQ(DaCloseMemRange(range_), DA_ERR_BAD_HANDLE) << "by_device " << by_device;
        EXPECT_NE(tavboard::Board::open(home_.board(), &error), nullptr) << error;
        if (by_device) {
            EXPECT_EQ(DriverAgentClose(), DA_STATUS_OK);
        }
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
        EXPECT_EQ(MapMemoryToProcess(range_, &status), nullptr) << path;
        EXPECT_EQ(status, DA_ERR_BOARD_OPEN) << path;
        std::string text = DaTranslateErrorMessageA(status);
        EXPECT_NE(text.find(path), std::string::npos) << text;
        EXPECT_GT(text.size(), path.size() + 40) << "a reason must come with the name: " << text;
        EXPECT_EQ(DriverAgentClose(), DA_STATUS_OK);
    }
    EXPECT_FALSE(std::filesystem::exists(missing)) << "a named board is never made";
}

TEST_F(ToolkitAgentTest, NamedBoardFileIsUsed) {
    ASSERT_TRUE(seed_registry());
    std::string path = home_.path() + "/other.img";
    std::string error;
    ASSERT_NE(tavboard::Board::create(path, tavboard::Fit{}, false, &error), nullptr) << error;
    setenv("TAV_BOARD", path.c_str(), 1);
    ASSERT_EQ(open_all(), DA_STATUS_OK);
    DASTATUS status = DA_STATUS_OK;
    auto *window = static_cast<uint8_t *>(MapMemoryToProcess(range_, &status));
    ASSERT_NE(window, nullptr) << DaTranslateErrorMessageA(status);
    EXPECT_EQ(game_manufacturer(window), 0x89);
    EXPECT_EQ(tavboard::Board::open(path, &error), nullptr);
    EXPECT_FALSE(std::filesystem::exists(home_.board()));
}

// The real board's memory: mapped when this machine allows /dev/mem at 0xD0000 (root),
// else a clear status whose text says what is needed. The window is never touched.
TEST_F(ToolkitAgentTest, PhysicalBoardIsMappedOrRefusedClearly) {
    ASSERT_TRUE(seed_registry());
    setenv("TAV_BOARD", "physical", 1);
    ASSERT_EQ(open_all(), DA_STATUS_OK);
    DASTATUS status = DA_STATUS_OK;
    void *window = MapMemoryToProcess(range_, &status);
    if (window == nullptr) {
        EXPECT_EQ(status, DA_ERR_PHYSICAL);
        std::string text = DaTranslateErrorMessageA(status);
        EXPECT_NE(text.find("/dev/mem"), std::string::npos) << text;
    } else {
        EXPECT_EQ(status, DA_STATUS_OK);
        EXPECT_EQ(DaCloseMemRange(range_), DA_STATUS_OK);
    }
    EXPECT_FALSE(std::filesystem::exists(home_.board()));
}

TEST_F(ToolkitAgentTest, EveryStatusHasItsOwnText) {
    const DASTATUS statuses[] = {DA_STATUS_OK,        DA_ERR_NOT_INSTALLED, DA_ERR_NOT_CONNECTED, DA_ERR_NO_DEVICE,
                                 DA_ERR_NO_RANGE,     DA_ERR_BAD_HANDLE,    DA_ERR_BAD_ARGUMENT,  DA_ERR_DATABASE,
                                 DA_ERR_DATABASE_WRITE, DA_ERR_BAD_RANGE_ENTRY, DA_ERR_RANGE_TOO_SMALL,
                                 DA_ERR_BOARD_OPEN,   DA_ERR_PHYSICAL,      DA_ERR_INJECTED};
    std::set<std::string> texts;
    for (DASTATUS status : statuses) {
        const char *text = DaTranslateErrorMessageA(status);
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 10u) << status;
        EXPECT_EQ(std::string(text).find("not a status"), std::string::npos) << status;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), std::size(statuses));
    for (DASTATUS unknown : {-9999, 12345, INT32_MIN}) {
        std::string text = DaTranslateErrorMessageA(unknown);
        EXPECT_NE(text.find(std::to_string(unknown)), std::string::npos) << text;
    }
}

TEST_F(ToolkitAgentTest, InjectedFailures) {
    ASSERT_TRUE(seed_registry());
    setenv("TAV_TOOLKIT_FAIL", "DriverAgentOpen=-77", 1);
    EXPECT_EQ(DriverAgentOpen(), -77);
    unsetenv("TAV_TOOLKIT_FAIL");
    ASSERT_EQ(open_all(), DA_STATUS_OK);

    setenv("TAV_TOOLKIT_FAIL", "QueryMemRangeInfo=unmappable", 1);
    uint8_t info[MEM_RANGE_INFO_SIZE];
    EXPECT_EQ(QueryMemRangeInfo(range_, info), DA_STATUS_OK);
    uint32_t mappable = 1;
    std::memcpy(&mappable, info + MEM_RANGE_INFO_MAPPABLE_OFFSET, 4);
    EXPECT_EQ(mappable, 0u);
    setenv("TAV_TOOLKIT_FAIL", "QueryMemRangeInfo", 1);
    EXPECT_EQ(QueryMemRangeInfo(range_, info), DA_ERR_INJECTED);

    DASTATUS status = 5;
    setenv("TAV_TOOLKIT_FAIL", "MapMemoryToProcess=none", 1);
    EXPECT_EQ(MapMemoryToProcess(range_, &status), nullptr);
    EXPECT_EQ(status, 5);
    setenv("TAV_TOOLKIT_FAIL", "MapMemoryToProcess", 1);
    EXPECT_EQ(MapMemoryToProcess(range_, &status), nullptr);
    EXPECT_EQ(status, DA_ERR_INJECTED);
    EXPECT_FALSE(std::filesystem::exists(home_.board()));
}

TEST_F(ToolkitAgentTest, TraceRecordsHandlesAndResults) {
    ASSERT_TRUE(seed_registry());
    std::string trace = home_.path() + "/trace.txt";
    setenv("TAV_TOOLKIT_TRACE", trace.c_str(), 1);
    ASSERT_EQ(open_all(), DA_STATUS_OK);
    DASTATUS status = 0;
    ASSERT_NE(MapMemoryToProcess(range_, &status), nullptr);
    DaCloseMemRange(range_);
    DaCloseDevice(device_);
    DriverAgentClose();
    unsetenv("TAV_TOOLKIT_TRACE");
    std::string d = std::to_string(device_);
    std::string r = std::to_string(range_);
    std::string expected = "DriverAgentOpen() = 0\n"
                           "DaOpenDeviceA(\"TAV\", 0) = 0, handle " + d + "\n"
                           "DaOpenMemRangeA(" + d + ", \"TAV\", 0) = 0, handle " + r + "\n"
                           "MapMemoryToProcess(" + r + ") = mapped\n"
                           "DaCloseMemRange(" + r + ") = 0\n"
                           "DaCloseDevice(" + d + ") = 0\n"
                           "DriverAgentClose() = 0\n";
    EXPECT_EQ(read_file(trace), expected);
    EXPECT_NE(device_, range_);
}

}  // namespace
