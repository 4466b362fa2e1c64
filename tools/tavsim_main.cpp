// tavsim: the command-line tool of the TAV board model.
#include "tools/tavsim_common.h"
#include "tools/tavsim_make_update.h"

#include <cstring>

int main(int argc, char **argv) {
    if (argc < 2) return tavsim::usage_error("no command given");
    const char *command = argv[1];
    if (std::strcmp(command, "-h") == 0 || std::strcmp(command, "--help") == 0 || std::strcmp(command, "help") == 0) {
        tavsim::print_usage(false);
        return tavsim::kExitOk;
    }
    struct Entry {
        const char *name;
        int (*run)(int, char **);
    } const commands[] = {
        {"create", tavsim_create},   {"info", tavsim_info},         {"export", tavsim_export},
        {"fault", tavsim_fault},     {"timing", tavsim_timing},     {"counters", tavsim_counters},
        {"make-update", tavsim_make_update}, {"flip", tavsim_flip},
        {"power-cycle", tavsim_power_cycle},
    };
    for (const Entry &e : commands)
        if (std::strcmp(command, e.name) == 0) return e.run(argc - 1, argv + 1);
    return tavsim::usage_error(std::string("unknown command ") + command);
}
