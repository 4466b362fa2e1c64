#include "platform/tav_home.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#if !defined(_WIN32)
#include <pwd.h>
#include <unistd.h>

#include "platform/privilege.h"
#endif

namespace {

#if !defined(_WIN32)
// The home folder that "~" stands for; "" when there is none.
std::string user_home(void) {
    bool privileged = geteuid() == 0 || acting_for_another_user();
    if (privileged) {
        const struct passwd *entry = getpwuid(geteuid());
        return entry == nullptr || entry->pw_dir == nullptr ? std::string() : std::string(entry->pw_dir);
    }
    const char *home = std::getenv("HOME");
    return home == nullptr ? std::string() : std::string(home);
}
#endif

}  // namespace

std::string tav_home(void) {
    std::string home;
    const char *env = std::getenv("TAV_HOME");
    if (env != nullptr && env[0] != '\0') {
        home = env;
    } else {
#if defined(_WIN32)
        const char *local = std::getenv("LOCALAPPDATA");
        if (local == nullptr || local[0] == '\0') return std::string();
        home = std::string(local) + "\\tav";
#else
        std::string user = user_home();
        if (user.empty()) return std::string();
        home = user + "/.local/state/tav";
#endif
    }
    std::error_code ec;
    std::filesystem::create_directories(home, ec);
    if (ec) return std::string();
    return home;
}
