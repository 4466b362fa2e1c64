// Runs a program of the build as a child process, as a shell would: standard input from
// /dev/null, standard output and error captured, the exit status as the shell sees it.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

struct ProcessOutcome {
    int exit_status = -1;   // -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs program with args in work_dir, which also receives the capture files .out and .err.
inline ProcessOutcome run_process(const std::string &program, std::vector<std::string> args,
                                  const std::string &work_dir) {
    const std::string out_path = work_dir + "/.out";
    const std::string err_path = work_dir + "/.err";
    args.insert(args.begin(), program);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, work_dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ProcessOutcome outcome;
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return outcome;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
    auto slurp = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    outcome.out = slurp(out_path);
    outcome.err = slurp(err_path);
    return outcome;
}
