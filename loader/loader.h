// The loader body: run state, option handling, the run's one way out, and the jobs.
//
// The loader's convention: the run and its jobs return a result code, 0 (RESULT_OK) or the
// LoaderResult of the first failure, after printing that failure's one message to standard
// error (loader/result_codes.h). Helpers that cannot fail on their own say what they return:
// the record checks 1 or 0, the update files a descriptor or byte count, or -1 with errno.
#pragma once

#include <cstdint>

#include "loader/result_codes.h"

// Options of one run, set while the command line is parsed.
struct RunOptions {
    int gfonly;
    int sfonly;
    int status;
    int changed;             // -changed: write only the erase blocks whose contents change
    const char *prefix;      // points into the -f argument word, after "-f"
    int prefix_given;
    const char *path;        // points into the -p argument word, after "-p"
    int path_given;
    uint32_t game_number;    // GAME#, only read when a load runs
};

// Process-wide run state.
extern const char *program_name;   // points into argv[0], shortened in place
extern int ask;                    // 1 with -ask
extern int debug;                  // 1 with -debug
extern RunOptions run_options;

// The body of tavload. window: the mapped board range; argc/argv as the process got them.
// Returns a result code (0 ok, else one of LoaderResult); prints its own messages.
int loader_main(uint8_t *window, int argc, char **argv);

// Starts board work on the mapped window, as every program that reads or writes the board
// does before its first flash routine: the tick clock first, so that it runs before the first
// wait, then board_window. 1, or -1 after "Error: the 100 ms tick thread cannot be started,
// so no wait of the flash driver would end" on standard error: without the clock no time
// limit would ever be reached, and the board is not touched.
int start_board_work(uint8_t *window);

// The one way out of every run: banner under -debug when code != 0, ENTER wait under -ask.
// Returns code.
int finish_run(int code);

// Writes the thirteen-line usage text to standard error.
void print_usage(void);

// Writes "<program>: TAV not responding - check if board and jumper are both present" to
// standard error, the report of every flash space that does not answer its query. Returns
// RESULT_NOT_RESPONDING.
int report_not_responding(void);

// Last occurrence of ch in text, or null.
char *find_last_char(char *text, int ch);

// The status report: 0 after the report, 16, 33 or 34 on failure; prints its own messages.
int show_status(void);

// A whole load with the validated run_options: record preparation, information block
// erase, sound update, game update, tavboot.rom and the sealed record, and the completion
// line under -debug. Returns 0 or the result code of the first failure; prints its own messages.
int load_board(void);
