// The body of tavload: program name, options, validation, start of board work, the job.
#include <cstdio>
#include <cstring>

#include "flash/flash.h"
#include "flash/ticks.h"
#include "loader/loader.h"

const char *program_name = "tavload";
int ask = 0;
int debug = 0;
RunOptions run_options;

namespace {

constexpr uint32_t kLowestGame = 10000;
constexpr uint32_t kHighestGame = 99999;

// The name after the last directory separator, with the extension cut off argv[0].
void take_program_name(char *argv0) {
    if (argv0 == nullptr) {
        program_name = "tavload";
        return;
    }
    char *separator = find_last_char(argv0, '/');
    if (separator == nullptr) separator = find_last_char(argv0, '\\');
    program_name = separator != nullptr ? separator + 1 : argv0;
    char *dot = find_last_char(argv0, '.');
    if (dot != nullptr) *dot = '\0';
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Decimal conversion of a GAME# word: white space, a sign, digits up to the first
// non-digit; 32-bit wrap-around, no overflow check.
uint32_t game_number_of(const char *word) {
    while (is_space(*word)) word++;
    bool negative = false;
    if (*word == '+' || *word == '-') {
        negative = *word == '-';
        word++;
    }
    uint32_t value = 0;
    while (*word >= '0' && *word <= '9') {
        value = value * 10 + (uint32_t)(*word - '0');
        word++;
    }
    return negative ? 0u - value : value;
}

void reset_run_state(void) {
    ask = 0;
    debug = 0;
    run_options = RunOptions{};
    run_options.prefix = "";
    run_options.path = "";
}

// A flag option: `rest` must be exactly `expected`; otherwise the usage text alone.
bool flag_matches(const char *rest, const char *expected) { return strcmp(rest, expected) == 0; }

// The end of a run with a bad option word: the usage text and RESULT_BAD_OPTION.
int bad_option(void) {
    print_usage();
    return finish_run(RESULT_BAD_OPTION);
}

}  // namespace

int start_board_work(uint8_t *window) {
    if (tick_clock_start() != 1) {
        fprintf(stderr, "Error: the 100 ms tick thread cannot be started, so no wait of the flash driver would end\n");
        return -1;
    }
    board_window = window;
    return 1;
}

int loader_main(uint8_t *window, int argc, char **argv) {
    reset_run_state();
    take_program_name(argc > 0 ? argv[0] : nullptr);

    // Options, left to right, up to the first word that is not one.
    int remaining = argc;
    char **arg = argv;
    for (;;) {
        arg++;
        remaining--;
        if (remaining <= 0) break;
        char *word = *arg;
        if (word[0] != '-' && word[0] != '/') break;

        char letter = word[1];
        const char *rest = letter != '\0' ? word + 2 : word + 1;
        switch (letter) {
            case '?':
                print_usage();
                return finish_run(RESULT_OK);
            case 'a':
                if (!flag_matches(rest, "sk")) return bad_option();
                ask = 1;
                break;
            case 'c':
                if (!flag_matches(rest, "hanged")) return bad_option();
                run_options.changed = 1;
                break;
            case 'd':
                if (!flag_matches(rest, "ebug")) return bad_option();
                debug = 1;
                break;
            case 'f':
                run_options.prefix = rest;
                run_options.prefix_given = 1;
                break;
            case 'g':
                if (!flag_matches(rest, "fonly")) return bad_option();
                run_options.gfonly = 1;
                break;
            case 'p':
                run_options.path = rest;
                run_options.path_given = 1;
                break;
            case 's':
                if (flag_matches(rest, "fonly")) {
                    run_options.sfonly = 1;
                } else if (flag_matches(rest, "tatus")) {
                    run_options.status = 1;
                } else {
                    return bad_option();
                }
                break;
            default:
                fprintf(stderr, "%s: invalid option '%s'\n", program_name, word);
                return bad_option();
        }
    }

    if (run_options.status != 1) {
        if (remaining != 1) {
            fprintf(stderr, "%s: GAME# must be specified\n\n", program_name);
            print_usage();
            return finish_run(RESULT_NO_GAME_NUMBER);
        }
        run_options.game_number = game_number_of(*arg);
        if (run_options.game_number < kLowestGame || run_options.game_number > kHighestGame) {
            fprintf(stderr, "%s: invalid GAME# (%s) specified\n\n", program_name, *arg);
            print_usage();
            return finish_run(RESULT_BAD_GAME_NUMBER);
        }
    } else if (run_options.gfonly || run_options.sfonly || run_options.changed || run_options.prefix_given ||
               run_options.path_given) {
        fprintf(stderr, "%s: -status specified with other options\n", program_name);
        return finish_run(RESULT_OPTION_CONFLICT);
    }
    if (run_options.gfonly && run_options.sfonly) {
        fprintf(stderr, "%s: specify only one of -gfonly or -sfonly\n", program_name);
        return finish_run(RESULT_OPTION_CONFLICT);
    }

    if (start_board_work(window) != 1) return finish_run(-1);

    if (run_options.status == 1) return finish_run(show_status());
    return finish_run(load_board());
}
