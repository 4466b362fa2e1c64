// The driver toolkit stand-in: each status its own text, the installer named as a user runs it, and the real
// board path's guards against other local users: what they could plant at the board's lock or the device
// database, a held board, each database read judged, the test seams ignored under sudo and set-uid.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "board/physical_map.h"
#include "tests/support.h"
#include "tests/tables.h"
#include "toolkit/DaConfig.h"
#include "toolkit/DriverAgent.h"
#include "toolkit/toolkit_controls.h"

namespace {

// The real board path's test seams, and SUDO_USER (under sudo the seams are ignored and /dev/mem is used).
const char *const kSeams[] = {"TAV_BOARD", "TAV_TOOLKIT_MEM_DEVICE", "TAV_TOOLKIT_LOCK_FOLDER", "SUDO_USER"};

TEST(Toolkit, EachStatusHasItsOwnText) {
    std::set<std::string> texts;
    for (DASTATUS status = DA_ERR_LOCK_UNSAFE; status <= DA_STATUS_OK; status++) {
        EXPECT_TRUE(texts.insert(DaTranslateErrorMessageA(status)).second) << status;
    }
    // The loop starts at the lowest status: the next one down is none.
    EXPECT_EQ(std::string(DaTranslateErrorMessageA(DA_ERR_LOCK_UNSAFE - 1)),
              "driver toolkit status " + std::to_string(DA_ERR_LOCK_UNSAFE - 1) + " (not a status of this toolkit)");
}

// The programs name the installer as a user runs it: tav-install when PATH runs the one that belongs to them,
// its full path when PATH runs another or none (a normal user's PATH has no sbin folder). tavload is copied into
// a prefix laid out as the package lays it out (bin/, sbin/) or as the build tree does (both in bin/).
TEST(Toolkit, NotInstalledNamesTheInstallerAsItRuns) {
    const struct { const char *name, *installer_folder, *path, *named; } rows[] = {   // @P@: the prefix
        {"package, sbin not on PATH", "sbin", "/usr/bin:/bin", "@P@/sbin/tav-install"},
        {"package, sbin on PATH", "sbin", "/usr/bin:@P@/sbin:/bin", "tav-install"},
        {"package, another tav-install first on PATH", "sbin", "@P@/other:@P@/sbin", "@P@/sbin/tav-install"},
        {"build tree, beside the program", "bin", "/usr/bin:/bin", "@P@/bin/tav-install"},
        {"no tav-install to find", "", "/usr/bin:/bin", "tav-install"},
    };
    const std::string path = getenv("PATH");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        tavtest::TempDir prefix;   // also the state folder, with no device database
        const std::string installer = prefix.file(std::string(row.installer_folder) + "/tav-install");
        for (const char *folder : {"bin", "sbin", "other"}) std::filesystem::create_directories(prefix.file(folder));
        ASSERT_TRUE(std::filesystem::copy_file(TAV_BIN_DIR "/tavload", prefix.file("bin/tavload")));
        std::filesystem::copy_file(TAV_BIN_DIR "/tav-install", prefix.file("other/tav-install"));
        if (row.installer_folder[0] != '\0') std::filesystem::copy_file(TAV_BIN_DIR "/tav-install", installer);
        setenv("PATH", tavtest::replaced(row.path, "@P@", prefix.path()).c_str(), 1);
        tavtools::ProcessOutcome r = tavtest::run_process(
            {prefix.file("bin/tavload"), {"-status"}, prefix.path(), {"TAV_HOME=" + prefix.path()}});
        setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.err, "Error: the driver toolkit is not installed: its class driver service \"agentcd\" is not "
                         "recorded (run " + tavtest::replaced(row.named, "@P@", prefix.path()) + " first)\n");
    }
}

// A state folder (TAV_HOME) with the device database install leaves (the board's range `length` bytes long),
// the board's memory as a file of zeroes, the lock folder as root makes it, and a mapping of the board to hold.
struct Scene {
    explicit Scene(uint32_t length) {
        for (const char *name : kSeams) unsetenv(name);
        made = RegAddIsaDevice("TAV", 0, 0, 1, "Tarsek9 ORVEX Update Board", 0, 1, 0, 0) == DA_STATUS_OK &&
               RegAddMemoryRange("TAV", "TAV", 0, 0, tavboard::kBoardPhysicalBase, length, 0, 3, 0) == DA_STATUS_OK &&
               InstallDeviceService("agentcd", "DriverAgent Class Driver", "c:\\agentcd.sys", -1) == DA_STATUS_OK &&
               mkdir(locks.c_str(), 0755) == 0 && tavtest::write_file(mem, std::string(tavboard::kIsaAreaEnd, '\0'));
    }
    ~Scene() { tavboard::physical_unmap(&held); }
    bool hold() {
        tavboard::PhysicalRefusal why = tavboard::PhysicalRefusal::none;
        std::string error;
        return tavboard::physical_map(mem, locks, tavboard::kBoardPhysicalBase, tavboard::kBoardRangeLength, &held,
                                      &why, &error) == 1;
    }
    // The text with @LOCKS@, @LOCK@, @MEM@, @HOME@ and @PID@ (this process) made what they stand for.
    std::string marked(std::string text) const {
        const std::string pid = std::to_string(getpid());
        const std::pair<const char *, std::string> marks[] = {
            {"@LOCKS@", locks}, {"@LOCK@", lock}, {"@MEM@", mem}, {"@HOME@", home.path()}, {"@PID@", pid}};
        for (const auto &mark : marks) text = tavtest::replaced(text, mark.first, mark.second);
        return text;
    }
    tavtest::TempHome home;
    std::string reg = home.registry();
    std::string locks = home.file("locks");
    std::string lock = tavboard::physical_lock_path(locks);
    std::string mem = home.file("mem");
    tavboard::PhysicalMapping held;
    bool made = false;
};

// Puts in place what the row names, in the order the table's head gives; true when all is there.
bool plant(const tavtest::Row &row, Scene &s) {
    const std::string lock = row.text("lock");
    if (row.text("locks") == "missing" && rmdir(s.locks.c_str()) != 0) return false;
    if (row.has("held") && !s.hold()) return false;
    if (lock == "removed" && unlink(s.lock.c_str()) != 0) return false;
    if (lock == "fifo" && mkfifo(s.lock.c_str(), 0600) != 0) return false;
    if (lock == "folder" && mkdir(s.lock.c_str(), 0700) != 0) return false;
    if (lock == "link" && symlink(s.mem.c_str(), s.lock.c_str()) != 0) return false;
    if (lock == "file" && !tavtest::write_file(s.lock, "")) return false;
    if (row.has("lock_twin") && link(s.lock.c_str(), s.home.file("twin").c_str()) != 0) return false;
    if (row.text("store") == "missing" && unlink(s.reg.c_str()) != 0) return false;
    if (row.has("store_link")) {
        const std::string real = s.home.file("real.reg");
        const std::string text = s.marked(row.text("store_link"));
        if (rename(s.reg.c_str(), real.c_str()) != 0 || symlink(text.c_str(), s.reg.c_str()) != 0) return false;
    }
    const std::pair<std::string, std::string> changed[] = {
        {"lock", s.lock}, {"locks", s.locks}, {"store", s.reg}, {"home", s.home.path()}};
    for (const auto &[what, path] : changed) {
        const bool has_mode = row.has(what + "_mode");
        const bool has_owner = row.has(what + "_owner");
        if (has_mode && chmod(path.c_str(), mode_t(row.number(what + "_mode"))) != 0) return false;
        if (has_owner && chown(path.c_str(), uid_t(row.number(what + "_owner")), 0) != 0) return false;
    }
    return true;
}

class Planted : public testing::TestWithParam<tavtest::Row> {};

TEST_P(Planted, TavloadRefusesWithTheFix) {
    const tavtest::Row &row = GetParam();
    SCOPED_TRACE(row.where + ": " + row.text("name"));
    if (row.has("root") && geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    Scene s(uint32_t(row.number("length", tavboard::kBoardRangeLength)));
    ASSERT_TRUE(s.made);
    ASSERT_TRUE(plant(row, s));
    const std::string device = row.has("mem") ? s.mem : s.home.file("no-such-mem");
    const std::vector<std::string> env = {"TAV_HOME=" + s.home.path(), "TAV_BOARD=physical",
                                          "TAV_TOOLKIT_MEM_DEVICE=" + device, "TAV_TOOLKIT_LOCK_FOLDER=" + s.locks};
    tavtools::ProcessOutcome r = tavtest::run_process({TAV_BIN_DIR "/tavload", {"-status"}, s.home.path(), env});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out + r.err, s.marked(row.text("output")));
    if (row.has("locks_made")) {
        struct stat folder = {};
        EXPECT_EQ(stat(s.locks.c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 07777, mode_t(row.number("locks_made")));
    }
    EXPECT_EQ(row.unread(), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, Planted, testing::ValuesIn(tavtest::read_rows("toolkit/guards.txt")),
                         [](const testing::TestParamInfo<tavtest::Row> &info) { return row_test_name(info.param); });

// A run for another user maps /dev/mem with its lock in /run/tav whatever the seams say.
TEST(Guard, SeamsAreIgnoredForAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "changing the real user needs root";
    setenv("TAV_TOOLKIT_MEM_DEVICE", "/tmp/mem", 1);
    setenv("TAV_TOOLKIT_LOCK_FOLDER", "/tmp/locks", 1);
    EXPECT_EQ(toolkit_mem_device() + " " + toolkit_lock_folder(), "/tmp/mem /tmp/locks") << "root itself";
    setenv("SUDO_USER", "alice", 1);
    EXPECT_EQ(toolkit_mem_device() + " " + toolkit_lock_folder(), "/dev/mem /run/tav") << "under sudo";
    unsetenv("SUDO_USER");
    ASSERT_EQ(setresuid(4321, 0, 0), 0);   // a set-uid run of root's program, by another user
    const std::string seen = toolkit_mem_device() + " " + toolkit_lock_folder();
    ASSERT_EQ(setresuid(0, 0, 0), 0);
    EXPECT_EQ(seen, "/dev/mem /run/tav") << "set-uid";
    for (const char *name : kSeams) unsetenv(name);
}

// The device database is judged as the connection opens and at every read, through the descriptor it reads:
// one made writable by others after the connection opened is refused at the next read.
TEST(Guard, TheDatabaseIsJudgedAtOpenAndAtEachRead) {
    Scene s(tavboard::kBoardRangeLength);
    ASSERT_TRUE(s.made);
    setenv("TAV_BOARD", "physical", 1);   // no range is opened: nothing is mapped
    ASSERT_EQ(chmod(s.reg.c_str(), 0666), 0);
    EXPECT_EQ(DriverAgentOpen(), DA_ERR_DATABASE_UNSAFE);
    ASSERT_EQ(chmod(s.reg.c_str(), 0644), 0);
    ASSERT_EQ(DriverAgentOpen(), DA_STATUS_OK);
    ASSERT_EQ(chmod(s.reg.c_str(), 0666), 0);
    DAHANDLE device = 0;
    EXPECT_EQ(DaOpenDeviceA("TAV", &device, 0), DA_ERR_DATABASE_UNSAFE);
    EXPECT_EQ(std::string(DaTranslateErrorMessageA(DA_ERR_DATABASE_UNSAFE)),
              "the driver toolkit's device database is not protected against other users: " + s.reg +
                  " is writable by group or others (chmod go-w " + s.reg + "); with TAV_BOARD=physical it and every "
                  "folder above it must be owned by root and writable only by their owner");
    EXPECT_EQ(DriverAgentClose(), DA_STATUS_OK);
    for (const char *name : kSeams) unsetenv(name);
}

}  // namespace
