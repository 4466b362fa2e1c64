// Runs a program of the build as a child process (tools/process_runner.h) in work_dir,
// which also receives the capture files .out and .err.
#pragma once

#include "tools/process_runner.h"

using ProcessOutcome = tavtools::ProcessOutcome;

inline ProcessOutcome run_process(const std::string &program, std::vector<std::string> args,
                                  const std::string &work_dir) {
    return tavtools::run_program(program, args, {work_dir, work_dir, nullptr});
}
