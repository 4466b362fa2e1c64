// Runs a program of the build as a child process, as a shell would: standard input from
// /dev/null, standard output and error captured, the exit status as the shell sees it.
// Shared by the sweeps and the process tests (POSIX only).
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace tavtools {

struct ProcessOutcome {
    int exit_status = -1;   // -1 when the process did not exit normally or could not start
    std::string out;
    std::string err;
};

struct ProcessSetup {
    std::string capture_dir;          // receives the capture files .out and .err
    std::string work_dir;             // the child's working directory; empty: this one's
    char *const *env = nullptr;       // the child's environment; null: this process's
};

// Runs program with args (without the program name) and waits for it. A program that
// cannot be started gives exit_status -1 and the reason in err.
ProcessOutcome run_program(const std::string &program, const std::vector<std::string> &args,
                           const ProcessSetup &setup);

// Held around every start of a child. A thread of this process that opens a board file
// holds it too, so that a child started meanwhile cannot inherit (and keep locked) the
// descriptor before it is marked close-on-exec.
std::mutex &spawn_lock();

}  // namespace tavtools
