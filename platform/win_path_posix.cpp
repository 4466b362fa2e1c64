#include "platform/win_path.h"

#include "platform/tav_home.h"

#include <cctype>
#include <filesystem>
#include <system_error>

namespace {

bool same_name_ignoring_case(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Appends one name to a folder path: the name as given when such a file exists or no
// folder entry matches it, else the first entry whose name matches without regard to case.
std::string append_name(const std::string &folder, const std::string &name) {
    std::string exact = folder + "/" + name;
    std::error_code ec;
    if (name == "." || name == ".." || std::filesystem::exists(exact, ec)) return exact;
    std::filesystem::directory_iterator it(folder, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string candidate = it->path().filename().string();
        if (same_name_ignoring_case(candidate, name)) return folder + "/" + candidate;
    }
    return exact;
}

}  // namespace

std::string native_path(const char *windows_path) {
    if (windows_path == nullptr || windows_path[0] == '\0') return std::string();
    std::string path(windows_path);
    for (char &c : path) {
        if (c == '\\') c = '/';
    }
    bool has_drive = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
    if (!has_drive) return path;

    std::string home = tav_home();
    if (home.empty()) return std::string();
    std::string result = home + "/drive_";
    result += static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    // "c:name" and "c:\name" both start at the drive folder.
    size_t pos = 2;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        if (end > pos) result = append_name(result, path.substr(pos, end - pos));
        pos = end + 1;
    }
    if (path.size() > 2 && path.back() == '/') result += '/';
    return result;
}
