#include "platform/tav_home.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

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
        const char *user_home = std::getenv("HOME");
        if (user_home == nullptr || user_home[0] == '\0') return std::string();
        home = std::string(user_home) + "/.local/state/tav";
#endif
    }
    std::error_code ec;
    std::filesystem::create_directories(home, ec);
    if (ec) return std::string();
    return home;
}
