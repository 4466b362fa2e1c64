#include "platform/protected_path.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

namespace {

constexpr int kMaxLinks = 40;   // as the kernel's own path walk

bool owner_accepted(uid_t owner) { return owner == 0 || owner == geteuid(); }

bool others_may_write(const struct stat &st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

int refuse(std::string *problem, const std::string &text) {
    *problem = text;
    return -1;
}

int refuse_owner(std::string *problem, const std::string &path, uid_t owner) {
    std::string allowed = geteuid() == 0 ? "root" : "root or uid " + std::to_string(geteuid());
    return refuse(problem, path + " is owned by uid " + std::to_string(owner) + ", not by " + allowed +
                               " (chown root " + path + ")");
}

// Judges one folder on the way, or the file at its end.
int judge(const std::string &path, const struct stat &st, bool last, std::string *problem) {
    if (!owner_accepted(st.st_uid)) return refuse_owner(problem, path, st.st_uid);
    bool folder = S_ISDIR(st.st_mode);
    if (last && !S_ISREG(st.st_mode)) return refuse(problem, path + " is not a regular file");
    if (!last && !folder) return refuse(problem, path + " is not a folder");
    if (others_may_write(st) && !(folder && (st.st_mode & S_ISVTX) != 0)) {
        return refuse(problem, path + " is writable by group or others (chmod go-w " + path + ")");
    }
    return 1;
}

void split(const std::string &path, std::deque<std::string> *parts, bool at_front) {
    std::vector<std::string> found;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) found.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    if (at_front) {
        parts->insert(parts->begin(), found.begin(), found.end());
    } else {
        parts->insert(parts->end(), found.begin(), found.end());
    }
}

std::string parent_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Walks `path` from /, judging every folder and link on the way (see open_protected). 1 with
// *end the file the path names (links followed), not yet judged itself; 0 when something on
// the way is missing and nobody else could put it there; -1 with *problem.
int walk(const std::string &path, std::string *end, std::string *problem) {
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return refuse(problem, "the current folder cannot be found");
        absolute = std::string(cwd) + "/" + absolute;
    }
    struct stat st;
    if (stat("/", &st) != 0) return refuse(problem, std::string("/ cannot be examined: ") + std::strerror(errno));
    if (judge("/", st, false, problem) != 1) return -1;
    const bool root_shared = others_may_write(st);
    std::deque<std::string> parts;
    split(absolute, &parts, false);
    std::string current;              // the folder reached so far, "" for /; judged already
    bool current_shared = root_shared;   // others may write it (a sticky folder)
    int links = 0;
    while (!parts.empty()) {
        std::string part = parts.front();
        parts.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            current = parent_of(current);   // judged on the way down
            current_shared = stat(current.empty() ? "/" : current.c_str(), &st) != 0 || others_may_write(st);
            continue;
        }
        std::string next = current + "/" + part;
        if (lstat(next.c_str(), &st) != 0) {
            if (errno != ENOENT) return refuse(problem, next + " cannot be examined: " + std::strerror(errno));
            if (!current_shared) return 0;   // nothing there, and nobody else can put it there
            std::string folder = current.empty() ? "/" : current;
            return refuse(problem, next + " does not exist, and others may create it in " + folder +
                                       " (keep it in a folder that only its owner can write)");
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks) return refuse(problem, path + " has too many symbolic links");
            if (current_shared && !owner_accepted(st.st_uid)) return refuse_owner(problem, next, st.st_uid);
            std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
            ssize_t n = readlink(next.c_str(), target.data(), target.size() - 1);
            if (n < 0) return refuse(problem, next + " cannot be read: " + std::strerror(errno));
            std::string text(target.data(), size_t(n));
            if (!text.empty() && text[0] == '/') {
                current.clear();
                current_shared = root_shared;
            }
            split(text, &parts, true);
            continue;
        }
        if (parts.empty()) {
            // The end: a device or FIFO is never opened; the file itself is judged once open.
            if (!S_ISREG(st.st_mode)) return refuse(problem, next + " is not a regular file");
            *end = next;
            return 1;
        }
        if (judge(next, st, false, problem) != 1) return -1;
        current = next;
        current_shared = others_may_write(st);
    }
    return refuse(problem, path + " names a folder, not a file");
}

}  // namespace

int open_protected(const std::string &path, int *fd, std::string *problem) {
    *fd = -1;
    std::string end;
    int walked = walk(path, &end, problem);
    if (walked != 1) return walked;
    // No link followed at the end: the walk judged where the path leads, and what is opened
    // must be the file found there.
    int opened = ::open(end.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) return refuse(problem, end + " cannot be opened: " + std::strerror(errno));
    struct stat st;
    if (fstat(opened, &st) != 0) {
        int err = errno;
        ::close(opened);
        return refuse(problem, end + " cannot be examined: " + std::strerror(err));
    }
    if (judge(end, st, true, problem) != 1) {
        ::close(opened);
        return -1;
    }
    *fd = opened;
    return 1;
}
