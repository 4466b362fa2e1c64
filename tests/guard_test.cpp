// The real board path against other local users, through the test seams (a file of zeroes for
// /dev/mem, a lock folder of the test's own): what they could plant at the board's lock or the
// device database is refused; a held board stays held; sudo and set-uid runs ignore the seams.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "board/physical_map.h"
#include "tests/support.h"
#include "tests/tables.h"
#include "toolkit/DaConfig.h"
#include "toolkit/DriverAgent.h"
#include "toolkit/toolkit_controls.h"

namespace {

constexpr uid_t kOtherUser = 4321;

// The device database install leaves in TAV_HOME, with a range of `length` bytes at the board's base.
bool seed_store(uint32_t length) {
    return RegAddIsaDevice("TAV", 0, 0, 1, "Tarsek9 ORVEX Update Board", 0, 1, 0, 0) == DA_STATUS_OK &&
           RegAddMemoryRange("TAV", "TAV", 0, 0, tavboard::kBoardPhysicalBase, length, 0, 3, 0) == DA_STATUS_OK &&
           InstallDeviceService("agentcd", "DriverAgent Class Driver", "c:\\agentcd.sys", -1) == DA_STATUS_OK;
}

void unset_seams() {
    for (const char *name : {"TAV_BOARD", "TAV_TOOLKIT_MEM_DEVICE", "TAV_TOOLKIT_LOCK_FOLDER"}) unsetenv(name);
}

// A state folder with the database install leaves, the board's memory as a file of zeroes, the
// lock folder as root makes it, and a mapping of the board this process may hold.
struct Scene {
    Scene() {
        unsetenv("SUDO_USER");   // under sudo the seams would be ignored and the real device used
        made = seed_store(tavboard::kBoardRangeLength) && mkdir(locks.c_str(), 0755) == 0 &&
               tavtest::write_file(mem, std::string(tavboard::kIsaAreaEnd, '\0'));
    }
    ~Scene() { tavboard::physical_unmap(&held); }
    bool hold() {
        std::string error;
        return tavboard::physical_map(mem, locks, tavboard::kBoardPhysicalBase, tavboard::kBoardRangeLength, &held,
                                      &why, &error) == 1;
    }
    tavtest::TempHome home;
    std::string locks = home.file("locks");
    std::string lock = tavboard::physical_lock_path(locks);
    std::string mem = home.file("mem");
    tavboard::PhysicalMapping held;
    tavboard::PhysicalRefusal why = tavboard::PhysicalRefusal::none;
    bool made = false;
};

bool lock_file(const std::string &path, mode_t mode) {
    return tavtest::write_file(path, "") && chmod(path.c_str(), mode) == 0;
}

// What each row puts in place; true when it is there.
const std::map<std::string, std::function<bool(Scene &)>> kPlants = {
    {"held, no lock folder before", [](Scene &s) { return rmdir(s.locks.c_str()) == 0 && s.hold(); }},
    {"fifo", [](Scene &s) { return mkfifo(s.lock.c_str(), 0600) == 0; }},
    {"folder", [](Scene &s) { return mkdir(s.lock.c_str(), 0700) == 0; }},
    {"symlink", [](Scene &s) { return symlink(s.mem.c_str(), s.lock.c_str()) == 0; }},
    {"file of another user",
     [](Scene &s) { return lock_file(s.lock, 0600) && chown(s.lock.c_str(), kOtherUser, 0) == 0; }},
    {"file with two links",
     [](Scene &s) { return lock_file(s.lock, 0600) && link(s.lock.c_str(), s.home.file("twin").c_str()) == 0; }},
    {"file others may open", [](Scene &s) { return lock_file(s.lock, 0644); }},
    {"lock folder of another user", [](Scene &s) { return chown(s.locks.c_str(), kOtherUser, 0) == 0; }},
    {"lock folder others may write", [](Scene &s) { return chmod(s.locks.c_str(), 01777) == 0; }},
    {"held", [](Scene &s) { return s.hold(); }},
    {"held, lock file removed", [](Scene &s) { return s.hold() && unlink(s.lock.c_str()) == 0; }},
    {"database missing from a shared folder",
     [](Scene &s) { return unlink(s.home.registry().c_str()) == 0 && chmod(s.home.path().c_str(), 01777) == 0; }},
    {"database linked to a file others may write", [](Scene &s) {
         const std::string real = s.home.file("real.reg");
         return rename(s.home.registry().c_str(), real.c_str()) == 0 && chmod(real.c_str(), 0666) == 0 &&
                symlink("real.reg", s.home.registry().c_str()) == 0;
     }},
};

class Planted : public testing::TestWithParam<tavtest::Row> {};

TEST_P(Planted, TavloadRefusesWithTheFix) {
    const tavtest::Row &row = GetParam();
    SCOPED_TRACE(row.where + ": " + row.text("name"));
    if (row.has("root") && geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    Scene s;
    ASSERT_TRUE(s.made && seed_store(uint32_t(row.number("length", tavboard::kBoardRangeLength))));
    ASSERT_TRUE(kPlants.at(row.text("plant"))(s));
    const std::string device = row.has("mem") ? s.mem : s.home.file("no-such-mem");
    const std::vector<std::string> env = {"TAV_HOME=" + s.home.path(), "TAV_BOARD=physical",
                                          "TAV_TOOLKIT_MEM_DEVICE=" + device, "TAV_TOOLKIT_LOCK_FOLDER=" + s.locks};
    tavtools::ProcessOutcome r = tavtest::run_process({TAV_BIN_DIR "/tavload", {"-status"}, s.home.path(), env});
    std::string expected = row.text("output");
    const std::string pid = std::to_string(getpid());   // the holder in the "held" plants
    const std::pair<const char *, std::string> marks[] = {
        {"@LOCKS@", s.locks}, {"@LOCK@", s.lock}, {"@MEM@", s.mem}, {"@HOME@", s.home.path()}, {"@PID@", pid}};
    for (const auto &mark : marks) expected = tavtest::replaced(expected, mark.first, mark.second);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out + r.err, expected);
    if (row.has("folder_mode")) {
        struct stat folder = {};
        EXPECT_EQ(stat(s.locks.c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 07777, mode_t(row.number("folder_mode")));
    }
    EXPECT_EQ(row.unread(), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, Planted, testing::ValuesIn(tavtest::read_rows("guard/refusals.txt")),
                         [](const testing::TestParamInfo<tavtest::Row> &info) { return row_test_name(info.param); });

// A run for another user maps /dev/mem with its lock in /run/tav whatever the seams say.
TEST(Guard, SeamsAreIgnoredForAnotherUser) {
    // sudo_user null: unset; a real user other than root: a set-uid run of root's program
    const struct { const char *name; const char *sudo_user; uid_t real_user; std::string device, folder; } rows[] = {
        {"root itself", nullptr, 0, "/tmp/mem", "/tmp/locks"},
        {"under sudo", "alice", 0, "/dev/mem", "/run/tav"},
        {"set-uid", nullptr, kOtherUser, "/dev/mem", "/run/tav"},
    };
    if (geteuid() != 0) GTEST_SKIP() << "changing the real user needs root";
    setenv("TAV_TOOLKIT_MEM_DEVICE", "/tmp/mem", 1);
    setenv("TAV_TOOLKIT_LOCK_FOLDER", "/tmp/locks", 1);
    for (const auto &row : rows) {
        if (row.sudo_user == nullptr) unsetenv("SUDO_USER");
        if (row.sudo_user != nullptr) setenv("SUDO_USER", row.sudo_user, 1);
        ASSERT_EQ(setresuid(row.real_user, 0, 0), 0) << row.name;
        const std::string device = toolkit_mem_device();
        const std::string folder = toolkit_lock_folder();
        ASSERT_EQ(setresuid(0, 0, 0), 0) << row.name;
        EXPECT_EQ(device, row.device) << row.name;
        EXPECT_EQ(folder, row.folder) << row.name;
    }
    unset_seams();
    unsetenv("SUDO_USER");
}

// Every read of the device database is judged through the descriptor it reads: one made
// writable by others after the connection opened is refused at the next read.
TEST(Guard, EachReadOfTheDatabaseIsJudged) {
    unset_seams();
    Scene s;
    ASSERT_TRUE(s.made);
    setenv("TAV_BOARD", "physical", 1);
    setenv("TAV_TOOLKIT_MEM_DEVICE", s.mem.c_str(), 1);
    setenv("TAV_TOOLKIT_LOCK_FOLDER", s.locks.c_str(), 1);
    ASSERT_EQ(DriverAgentOpen(), DA_STATUS_OK);
    const std::string reg = s.home.registry();
    ASSERT_EQ(chmod(reg.c_str(), 0666), 0);
    DAHANDLE device = 0;
    EXPECT_EQ(DaOpenDeviceA("TAV", &device, 0), DA_ERR_DATABASE_UNSAFE);
    EXPECT_EQ(std::string(DaTranslateErrorMessageA(DA_ERR_DATABASE_UNSAFE)),
              "the driver toolkit's device database is not protected against other users: " + reg +
                  " is writable by group or others (chmod go-w " + reg + "); with TAV_BOARD=physical it and every "
                  "folder above it must be owned by root and writable only by their owner");
    EXPECT_EQ(DriverAgentClose(), DA_STATUS_OK);
    unset_seams();
}

}  // namespace
