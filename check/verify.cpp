// tavverify: reads the board, checks it against its record and, with -p, against an update
// set, and reports each region, the block map and a verdict.
#include <cstdio>
#include <cstring>

#include "check/board_check.h"
#include "loader/loader.h"

namespace {

const char kVerifyUsage[] =
    "usage: tavverify [-debug][-fPREFIX][-pPATH]\n"
    "    -?         this help message\n"
    "    -debug     output progress/debugging information\n"
    "    -fPREFIX   add PREFIX to all update filenames\n"
    "    -pPATH     also compare the board byte for byte with the update set in PATH\n";

int verify_usage(const char *word) {
    if (word != nullptr) std::fprintf(stderr, "%s: invalid option '%s'\n", program_name, word);
    std::fputs(kVerifyUsage, stderr);
    return CHECK_EXIT_USAGE;
}

}  // namespace

int check_is_option(const char *word) {
#if defined(_WIN32)
    if (word[0] == '/') return 1;
#endif
    return word[0] == '-';
}

int verify_main(uint8_t *window, int argc, char **argv) {
    program_name = "tavverify";
    debug = 0;
    run_options = RunOptions{};
    run_options.path = "";
    run_options.prefix = "";
    for (int i = 1; i < argc; i++) {
        const char *word = argv[i];
        if (!check_is_option(word)) return verify_usage(word);
        const char *rest = word + 1;
        if (std::strcmp(rest, "?") == 0) {
            std::fputs(kVerifyUsage, stderr);
            return CHECK_EXIT_OK;
        } else if (std::strcmp(rest, "debug") == 0) {
            debug = 1;
        } else if (rest[0] == 'p') {
            run_options.path = rest + 1;
            run_options.path_given = 1;
        } else if (rest[0] == 'f') {
            run_options.prefix = rest + 1;
            run_options.prefix_given = 1;
        } else {
            return verify_usage(word);
        }
    }

    if (start_board_work(window) != 1) return -1;
    BoardCheck check;
    int exit_status = CHECK_EXIT_FAILED;
    if (check_read_board(&check) == 1) {
        if (debug == 1) print_tav_info(&check.record);
        check_board(&check, run_options.path_given || run_options.prefix_given);
        if (run_options.path_given || run_options.prefix_given) check_against_set(&check);
        print_check_report(&check);
        exit_status = check_passed(&check) ? CHECK_EXIT_OK : CHECK_EXIT_FAILED;
    }
    check_free(&check);
    return exit_status;
}
