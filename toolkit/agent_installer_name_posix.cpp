// The installer's name on POSIX: tav-install, found the way a user finds it.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "toolkit/installer_name.h"

namespace {

constexpr const char *kInstaller = "tav-install";

// The folder of the running program; "" when it cannot be told.
std::string program_folder(void) {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return std::string();
    path[n] = '\0';
    std::string text(path);
    return text.substr(0, text.rfind('/'));
}

// folder/tav-install.
std::string installer_in(const std::string &folder) {
    std::string path = folder;
    path += '/';
    path += kInstaller;
    return path;
}

// True when path is an executable regular file; *info gets what stat says of it.
bool is_program(const std::string &path, struct stat *info) {
    return stat(path.c_str(), info) == 0 && S_ISREG(info->st_mode) && access(path.c_str(), X_OK) == 0;
}

// True when the first tav-install in PATH, the one a shell runs, is the file `wanted`.
bool path_runs(const struct stat &wanted) {
    const char *path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::istringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        // An empty entry is the current folder.
        if (folder.empty()) folder.push_back('.');
        struct stat info;
        if (is_program(installer_in(folder), &info)) {
            return info.st_dev == wanted.st_dev && info.st_ino == wanted.st_ino;
        }
    }
    return false;
}

}  // namespace

std::string installer_command(void) {
    std::string folder = program_folder();
    if (folder.empty()) return kInstaller;
    // Beside the program (the build tree), else where the package puts it: the sbin folder
    // of the prefix whose bin folder holds the program (TAV_SBIN_FROM_BIN, from CMake).
    const std::string candidates[] = {installer_in(folder), installer_in(folder + "/" + TAV_SBIN_FROM_BIN)};
    for (const std::string &candidate : candidates) {
        struct stat info;
        if (!is_program(candidate, &info)) continue;
        if (path_runs(info)) return kInstaller;
        return std::filesystem::path(candidate).lexically_normal().string();
    }
    return kInstaller;
}
