#include "tools/process_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace tavtools {

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::mutex &spawn_lock() {
    static std::mutex lock;
    return lock;
}

ProcessOutcome run_program(const std::string &program, const std::vector<std::string> &args,
                           const ProcessSetup &setup) {
    const std::string out_path = setup.capture_dir + "/.out";
    const std::string err_path = setup.capture_dir + "/.err";
    std::vector<std::string> words = {program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!setup.work_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, setup.work_dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ProcessOutcome outcome;
    pid_t pid = 0;
    int rc;
    {
        std::lock_guard<std::mutex> guard(spawn_lock());
        rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(),
                         setup.env != nullptr ? setup.env : environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        outcome.err = "cannot start " + program + ": " + std::strerror(rc);
        return outcome;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
    outcome.out = slurp(out_path);
    outcome.err = slurp(err_path);
    return outcome;
}

}  // namespace tavtools
