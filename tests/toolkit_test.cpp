// The driver toolkit stand-in: the texts it gives the loader to print (each status its own, an unusable board
// and a damaged device database named), and the real board reached only through a device database no other
// user can change. What install registers is the installer's rows; the toolkit calls of a run, a range too
// small, a held board and the physical range are the chain's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "tests/support.h"
#include "toolkit/DaConfig.h"
#include "toolkit/DriverAgent.h"
#include "toolkit/toolkit_controls.h"

namespace {

class Toolkit : public testing::Test {
  protected:
    void TearDown() override {
        close_all();
        unsetenv("TAV_BOARD");
        unsetenv("TAV_TOOLKIT_LOCK_FOLDER");
        unsetenv("TAV_TOOLKIT_MEM_DEVICE");
    }
    static void close_all() {
        for (int i = 0; i < 8 && DriverAgentClose() == DA_STATUS_OK; i++) continue;
    }
    // Opens the connection, device "TAV" and its range "TAV" and maps the range: the first failing status, else 0.
    static DASTATUS open_and_map() {
        DAHANDLE device = 0;
        DAHANDLE range = 0;
        DASTATUS status = DriverAgentOpen();
        if (status >= 0) status = DaOpenDeviceA("TAV", &device, 0);
        if (status >= 0) status = DaOpenMemRangeA(device, "TAV", &range, 0);
        if (status >= 0 && MapMemoryToProcess(range, &status) == nullptr && status >= 0) status = -1;
        return status;
    }
    tavtest::TempHome home;
};

// Each status has its own text, an unknown one its number; a range entry of the wrong type and a board file
// that cannot be used are named; a store that cannot be parsed is refused, named and left as it was.
TEST_F(Toolkit, TextsNameWhatIsWrong) {
    std::set<std::string> texts;
    for (DASTATUS status = DA_ERR_BOARD_BUSY; status <= DA_STATUS_OK; status++) {
        EXPECT_TRUE(texts.insert(DaTranslateErrorMessageA(status)).second) << status;
    }
    EXPECT_EQ(texts.count(DaTranslateErrorMessageA(-9999)), 0u);
    EXPECT_NE(std::string(DaTranslateErrorMessageA(-9999)).find("-9999"), std::string::npos);
    tavtest::RegistrySeed no_range;
    no_range.range = false;
    const std::string range = "[HKEY_LOCAL_MACHINE\\Software\\NuMega\\DriverAgent\\Devices\\TAV\\MemoryRanges\\TAV]\n";
    tavtest::write_file(home.registry(), tavtest::registry_seed_text(no_range) + range + "\"Length\"=\"32768\"\n");
    EXPECT_EQ(open_and_map(), DA_ERR_BAD_RANGE_ENTRY);
    EXPECT_NE(std::string(DaTranslateErrorMessageA(DA_ERR_BAD_RANGE_ENTRY)).find("Length"), std::string::npos);
    close_all();
    ASSERT_TRUE(tavtest::seed_registry());
    tavtest::write_file(home.file("corrupt.img"), std::string(4096, 'x'));
    const std::pair<std::string, std::string> boards[] = {{"none.img", ": No such file or directory"},
                                                          {"corrupt.img", " is not a TAV board file"}};
    for (const auto &[name, why] : boards) {
        setenv("TAV_BOARD", home.file(name).c_str(), 1);
        EXPECT_EQ(open_and_map(), DA_ERR_BOARD_OPEN);
        const std::string text = DaTranslateErrorMessageA(DA_ERR_BOARD_OPEN);
        EXPECT_NE(text.find("board file " + home.file(name) + why), std::string::npos) << text;
        close_all();
    }
    EXPECT_FALSE(std::filesystem::exists(home.file("none.img"))) << "a board named was made";
    const std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\n";
    tavtest::write_file(home.registry(), broken);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RegDeleteDevice("TAV"), DA_ERR_DATABASE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(home.registry()), std::string::npos);
    EXPECT_EQ(tavtest::read_file(home.registry()), broken);
}

// The real board (a file in place of /dev/mem) is reached only through a device database that it and every
// folder above it keep from other users; an unsafe one is refused when the connection opens, before the lock is
// taken or the memory opened (the memory named does not exist then).
TEST_F(Toolkit, PhysicalBoardTrustsOnlyAProtectedDatabase) {
    const std::string h = home.path();
    const std::string reg = home.registry();
    const std::string real = h + "/real.reg";
    const std::string locks = h + "/locks";
    const std::string writable = " is writable by group or others (chmod go-w ";
    const std::string foreign = " is owned by uid 4321, not by root (chown root ";
    const struct {
        const char *name;
        std::function<int()> make;
        std::string unsafe;  // "": accepted
        bool needs_root;
    } rows[] = {
        {"as made", [] { return 0; }, "", false},
        {"store group-writable", [&] { return chmod(reg.c_str(), 0664); }, reg + writable + reg + ")", false},
        {"store writable by others", [&] { return chmod(reg.c_str(), 0646); }, reg + writable + reg + ")", false},
        {"folder group-writable", [&] { return chmod(h.c_str(), 0770); }, h + writable + h + ")", false},
        {"folder sticky", [&] { return chmod(h.c_str(), 01777); }, "", false},
        {"store of another user", [&] { return chown(reg.c_str(), 4321, 0); }, reg + foreign + reg + ")", true},
        {"folder of another user", [&] { return chown(h.c_str(), 4321, 0); }, h + foreign + h + ")", true},
        {"link to a writable store",
         [&] { return rename(reg.c_str(), real.c_str()) | chmod(real.c_str(), 0666) |
                      symlink("real.reg", reg.c_str()); },
         real + writable + real + ")", false},
        {"link to a safe store", [&] { return rename(reg.c_str(), real.c_str()) | symlink(real.c_str(), reg.c_str()); },
         "", false},
    };
    ASSERT_TRUE(tavtest::write_file(h + "/mem", std::string(0x100000, '\0')));
    setenv("TAV_BOARD", "physical", 1);
    setenv("TAV_TOOLKIT_LOCK_FOLDER", locks.c_str(), 1);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needs_root && geteuid() != 0) continue;
        std::filesystem::remove_all(locks);
        std::filesystem::remove_all(real);
        std::filesystem::remove_all(reg);
        ASSERT_TRUE(tavtest::seed_registry());
        ASSERT_TRUE(std::filesystem::create_directory(locks));
        ASSERT_EQ(chmod(reg.c_str(), 0644) | chmod(h.c_str(), 0700) | chown(h.c_str(), geteuid(), 0), 0);
        ASSERT_EQ(row.make(), 0);
        std::string memory = h + "/mem";
        if (!row.unsafe.empty()) memory = h + "/no-such-mem";
        setenv("TAV_TOOLKIT_MEM_DEVICE", memory.c_str(), 1);
        toolkit_calls_clear();
        const DASTATUS status = open_and_map();
        const std::vector<std::string> calls = toolkit_call_names();
        const std::string text = DaTranslateErrorMessageA(status);
        if (row.unsafe.empty()) {
            EXPECT_EQ(status, DA_STATUS_OK) << text;
        } else {
            EXPECT_EQ(text, "the driver toolkit's device database is not protected against other users: " +
                                row.unsafe + "; with TAV_BOARD=physical it and every folder above it must be owned by "
                                             "root and writable only by their owner");
            EXPECT_EQ(calls, std::vector<std::string>{"DriverAgentOpen"});
            EXPECT_TRUE(std::filesystem::is_empty(locks));
        }
        close_all();
        ASSERT_EQ(chmod(h.c_str(), 0700) | chown(h.c_str(), geteuid(), 0), 0);
    }
}

}  // namespace
