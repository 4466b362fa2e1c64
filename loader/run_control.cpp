// The run's one way out (failure banner, ENTER wait), the usage text, the not-responding
// report and a string helper.
#include <cstdio>

#include "loader/loader.h"

namespace {

const char kVersion[] = "1.1";

const char kUsage[] =
    "usage: %s [-ask][-debug][-fPREFIX][-pPATH][-gfonly][-sfonly][-changed] GAME#\n"
    "       %s -status\n"
    "    Version: %s\n"
    "    -?         this help message\n"
    "    -ask       wait for an ENTER before exiting\n"
    "    -debug     output progress/debugging information\n"
    "    -fPREFIX   add PREFIX to all update filenames\n"
    "    -pPATH     set the base working directory to PATH\n"
    "    -gfonly    load only the game update files\n"
    "    -sfonly    load only the sf.rom sound image update\n"
    "    -changed   write only the erase blocks whose contents change\n"
    "    GAME#      game number NNNNN (e.g. 40215)\n"
    "\n"
    "    -status    display the status of the TAV board (no GAME#)\n";

// Five lines of 79 characters.
const char kFailureBanner[] =
    "*******************************************************************************\n"
    "*                                                                             *\n"
    "* TAV board load failed!!!                                                    *\n"
    "*                                                                             *\n"
    "*******************************************************************************\n";

}  // namespace

int finish_run(int code) {
    if (code != 0 && debug == 1) fputs(kFailureBanner, stderr);
    if (ask == 1) {
        fputs("\nPress ENTER to continue...", stdout);
        fflush(stdout);
        // Up to the newline; the end of input or a read error counts as ENTER.
        int c;
        do {
            c = getchar();
        } while (c != '\n' && c != EOF);
    }
    return code;
}

void print_usage(void) { fprintf(stderr, kUsage, program_name, program_name, kVersion); }

int report_not_responding(void) {
    fprintf(stderr, "%s: TAV not responding - check if board and jumper are both present\n", program_name);
    return RESULT_NOT_RESPONDING;
}

char *find_last_char(char *text, int ch) {
    if (text == nullptr) return nullptr;
    char *last = nullptr;
    for (char *at = text; *at != '\0'; at++) {
        if (*at == (char)ch) last = at;
    }
    return last;
}
