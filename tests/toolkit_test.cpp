// The driver toolkit stand-in: each status its own text, and the real board reached only through a device database
// no other user can change. What a run prints of the toolkit's texts (a board file or a device database that
// cannot be used, a range too small, a held board, the physical range) is the chain's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "tests/support.h"
#include "toolkit/DaConfig.h"
#include "toolkit/DriverAgent.h"
#include "toolkit/toolkit_status.h"

namespace {

TEST(Toolkit, EachStatusHasItsOwnText) {
    std::set<std::string> texts;
    for (DASTATUS status = DA_ERR_BOARD_BUSY; status <= DA_STATUS_OK; status++) {
        EXPECT_TRUE(texts.insert(DaTranslateErrorMessageA(status)).second) << status;
    }
    EXPECT_NE(std::string(DaTranslateErrorMessageA(-9999)).find("-9999"), std::string::npos);
}

// The real board is reached only through a device database that it and every folder above it keep from other
// users; an unsafe one is refused when the connection opens.
TEST(Toolkit, PhysicalBoardTrustsOnlyAProtectedDatabase) {
    const tavtest::TempHome home;
    const std::string h = home.path();
    const std::string reg = home.registry();
    const std::string real = h + "/real.reg";
    const std::string writable = " is writable by group or others (chmod go-w ";
    const std::string foreign = " is owned by uid 4321, not by root (chown root ";
    const uid_t same = uid_t(-1);
    const struct {
        const char *name;
        const char *link;      // the store becomes a link with this text to real.reg; null: it stays a file
        std::string path;      // what gets `mode` and `owner` (the same: unchanged)
        mode_t mode;
        uid_t owner;
        std::string refusal;   // "": accepted
    } rows[] = {
        {"as made", nullptr, reg, 0644, same, ""},
        {"store group-writable", nullptr, reg, 0664, same, writable},
        {"store writable by others", nullptr, reg, 0646, same, writable},
        {"folder group-writable", nullptr, h, 0770, same, writable},
        {"folder sticky", nullptr, h, 01777, same, ""},
        {"store of another user", nullptr, reg, 0644, 4321, foreign},
        {"folder of another user", nullptr, h, 0700, 4321, foreign},
        {"link to a writable store", "real.reg", real, 0666, same, writable},
        {"link to a safe store", real.c_str(), real, 0644, same, ""},
    };
    setenv("TAV_BOARD", "physical", 1);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.owner != same && geteuid() != 0) continue;
        std::filesystem::remove(reg);
        ASSERT_EQ(RegAddIsaDevice("TAV", 0, 0, 1, "Tarsek9 ORVEX Update Board", 0, 1, 0, 0), DA_STATUS_OK);
        ASSERT_EQ(InstallDeviceService("agentcd", "DriverAgent Class Driver", "c:\\agentcd.sys", -1), DA_STATUS_OK);
        if (row.link != nullptr) {
            ASSERT_EQ(rename(reg.c_str(), real.c_str()), 0);
            ASSERT_EQ(symlink(row.link, reg.c_str()), 0);
        }
        ASSERT_EQ(chmod(reg.c_str(), 0644), 0);
        ASSERT_EQ(chmod(row.path.c_str(), row.mode), 0);
        ASSERT_EQ(chown(row.path.c_str(), row.owner, same), 0);
        DAHANDLE device = 0;
        if (row.refusal.empty()) {
            EXPECT_EQ(DriverAgentOpen(), DA_STATUS_OK);
            EXPECT_EQ(DaOpenDeviceA("TAV", &device, 0), DA_STATUS_OK) << "the store read";
            EXPECT_EQ(DriverAgentClose(), DA_STATUS_OK);
        } else {
            EXPECT_EQ(DriverAgentOpen(), DA_ERR_DATABASE_UNSAFE);
            EXPECT_EQ(std::string(DaTranslateErrorMessageA(DA_ERR_DATABASE_UNSAFE)),
                      "the driver toolkit's device database is not protected against other users: " + row.path +
                          row.refusal + row.path + "); with TAV_BOARD=physical it and every folder above it must be "
                                                   "owned by root and writable only by their owner");
        }
        ASSERT_EQ(chmod(h.c_str(), 0700), 0);
        ASSERT_EQ(chown(h.c_str(), geteuid(), same), 0);
        std::filesystem::remove(real);
    }
    unsetenv("TAV_BOARD");
}

}  // namespace
