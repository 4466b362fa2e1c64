// The driver toolkit stand-in: the texts it gives the loader to print (each status its own, an
// unusable board and a damaged device database named), and the real board reached only through a
// device database no other user can change. What install registers is the installer's rows; the
// toolkit calls of a run, a range too small, a held board and the physical range are the chain's.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>

#include "board/model.h"
#include "tests/support.h"
#include "toolkit/DaConfig.h"
#include "toolkit/DriverAgent.h"
#include "toolkit/toolkit_controls.h"

namespace {

class Toolkit : public testing::Test {
  protected:
    void SetUp() override { toolkit_calls_clear(); }
    void TearDown() override {
        close_all();
        for (const char *name : {"TAV_BOARD", "TAV_TOOLKIT_LOCK_FOLDER", "TAV_TOOLKIT_MEM_DEVICE"}) unsetenv(name);
    }
    static void close_all() {
        for (int i = 0; i < 8 && DriverAgentClose() == DA_STATUS_OK; i++) continue;
    }
    // Opens connection, device and range and maps the range; the first failing status (0 if none).
    DASTATUS open_and_map() {
        DAHANDLE device = 0, range = 0;
        DASTATUS status = DriverAgentOpen();
        if (status >= 0) status = DaOpenDeviceA("TAV", &device, 0);
        if (status >= 0) status = DaOpenMemRangeA(device, "TAV", &range, 0);
        if (status >= 0 && MapMemoryToProcess(range, &status) == nullptr && status >= 0) status = -1;
        return status;
    }
    tavtest::TempHome home;
};

// Each status has its own text; an unknown one shows its number. A range entry of the wrong type
// and a board file that cannot be used are named; a store that cannot be parsed is refused,
// named on standard error and left as it was.
TEST_F(Toolkit, TextsNameWhatIsWrong) {
    std::set<std::string> texts;
    for (DASTATUS status = DA_ERR_BOARD_BUSY; status <= DA_STATUS_OK; status++)   // the statuses run from 0 down
        EXPECT_TRUE(texts.insert(DaTranslateErrorMessageA(status)).second) << status;
    EXPECT_TRUE(texts.insert(DaTranslateErrorMessageA(-9999)).second);
    EXPECT_NE(std::string(DaTranslateErrorMessageA(-9999)).find("-9999"), std::string::npos);
    tavtest::RegistrySeed no_range;
    no_range.range = false;
    tavtest::write_file(home.registry(), tavtest::registry_seed_text(no_range) +
                                             "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV]\n\"Length\"=\"32768\"\n");
    EXPECT_EQ(open_and_map(), DA_ERR_BAD_RANGE_ENTRY);
    EXPECT_NE(std::string(DaTranslateErrorMessageA(DA_ERR_BAD_RANGE_ENTRY)).find("Length"), std::string::npos);
    close_all();
    ASSERT_TRUE(tavtest::seed_registry());
    tavtest::write_file(home.file("corrupt.img"), std::string(4096, 'x'));
    for (const std::string &path : {home.file("none.img"), home.file("corrupt.img")}) {
        setenv("TAV_BOARD", path.c_str(), 1);
        EXPECT_EQ(open_and_map(), DA_ERR_BOARD_OPEN);
        std::string text = DaTranslateErrorMessageA(DA_ERR_BOARD_OPEN);
        EXPECT_TRUE(text.find(path) != std::string::npos && text.size() > path.size() + 40) << text;
        close_all();
    }
    EXPECT_FALSE(std::filesystem::exists(home.file("none.img")));   // a named board is never made
    const std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\n";
    tavtest::write_file(home.registry(), broken);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RegDeleteDevice("TAV"), DA_ERR_DATABASE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(home.registry()), std::string::npos);
    EXPECT_EQ(tavtest::read_file(home.registry()), broken);
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
        DASTATUS status = open_and_map();
        if (row.unsafe.empty()) {
            EXPECT_EQ(status, DA_STATUS_OK) << DaTranslateErrorMessageA(status);
        } else {
            EXPECT_EQ(std::string(DaTranslateErrorMessageA(status)),
                      "the driver toolkit's device database is not protected against other users: " + row.unsafe +
                          "; with TAV_BOARD=physical it and every folder above it must be owned by root and writable only by their owner");
            EXPECT_EQ(toolkit_call_names().front(), "DriverAgentOpen");
            EXPECT_TRUE(std::filesystem::is_empty(locks)) << row.unsafe;
        }
        close_all();
        ASSERT_EQ(chmod(h.c_str(), 0700) | chown(h.c_str(), geteuid(), 0), 0);
    }
}

}  // namespace
