// The programs name the installer as a user of this system runs it: tav-install when PATH runs the one that belongs
// to them, its full path when PATH runs another or none (a normal user's PATH has no sbin folder). tavload is copied
// into a prefix laid out as the package lays it out (bin/, sbin/) or as the build tree does (both in bin/).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/support.h"

namespace {

namespace fs = std::filesystem;

struct Layout {
    const char *name;
    const char *installer;    // where tav-install lies in the prefix, "" for nowhere
    const char *path;         // PATH, "@P@" standing for the prefix
    const char *named;        // the name in the message, "@P@" standing for the prefix
};

const Layout kLayouts[] = {
    {"package, sbin not on PATH", "sbin", "/usr/bin:/bin", "@P@/sbin/tav-install"},
    {"package, sbin on PATH", "sbin", "/usr/bin:@P@/sbin:/bin", "tav-install"},
    {"package, another tav-install first on PATH", "sbin", "@P@/other:@P@/sbin", "@P@/sbin/tav-install"},
    {"build tree, beside the program", "bin", "/usr/bin:/bin", "@P@/bin/tav-install"},
    {"no tav-install to find", "", "/usr/bin:/bin", "tav-install"},
};

TEST(InstallerName, NotInstalledNamesTheInstallerAsItRuns) {
    const std::string path = getenv("PATH");
    for (const Layout &layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        tavtest::TempDir prefix;
        tavtest::TempDir home;
        fs::create_directories(prefix.file("bin"));
        fs::create_directories(prefix.file("sbin"));
        fs::create_directories(prefix.file("other"));
        ASSERT_TRUE(fs::copy_file(TAV_BIN_DIR "/tavload", prefix.file("bin/tavload")));
        fs::copy_file(TAV_BIN_DIR "/tav-install", prefix.file("other/tav-install"));
        if (layout.installer[0] != '\0') {
            fs::copy_file(TAV_BIN_DIR "/tav-install", prefix.file(std::string(layout.installer) + "/tav-install"));
        }
        setenv("PATH", tavtest::replaced(layout.path, "@P@", prefix.path()).c_str(), 1);
        tavtools::ProcessOutcome r = tavtest::run_process(
            {prefix.file("bin/tavload"), {"-status"}, home.path(), {"TAV_HOME=" + home.path()}});
        setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(r.exit_status, 255);
        const std::string named = tavtest::replaced(layout.named, "@P@", prefix.path());
        EXPECT_EQ(r.err, "Error: the driver toolkit is not installed: its class driver service \"agentcd\" is not "
                         "recorded (run " + named + " first)\n");
    }
}

}  // namespace
