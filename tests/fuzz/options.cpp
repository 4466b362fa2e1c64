// Fuzz target: argument vectors into loader_main. The input is split at NUL bytes into
// words; the first is argv[0]. A small model board stands behind the window, with no update
// files anywhere near, so a run that passes the options ends early at its first file.
// Checks: a bad command line (result 2, 4 or 5) never touches the board; a run that touches
// the board gives a result code of a board job; every result code is one the loader has.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "board/model.h"
#include "flash/ticks.h"
#include "loader/loader.h"

namespace {

std::unique_ptr<tavboard::Board> board;

[[noreturn]] void fault(const char *what, int code) {
    // Through the sanitizers' report channel: it stays open when libFuzzer closes stderr.
    char text[256];
    std::snprintf(text, sizeof text, "options fuzz: %s (result code %d)", what, code);
    __sanitizer_report_error_summary(text);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // An empty working folder: relative update file names find nothing.
    std::string pattern = (std::filesystem::temp_directory_path() / "tav-fuzz-options-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) std::abort();
    // -ask waits for ENTER: standard input at its end.
    int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) < 0) std::abort();
    close(null);
    tavboard::Fit fit;
    fit.sound_size = 256u << 10;
    std::string error;
    board = tavboard::Board::create(pattern + "/board.img", fit, true, &error);
    if (board == nullptr) std::abort();
    tavboard::attach(*board);
    tick_clock_hold();
    board->set_status_read_hook([] { tick_clock_advance(1); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Words, each in its own writable buffer (loader_main shortens argv[0] in place).
    std::vector<std::vector<char>> words(1);
    for (size_t i = 0; i < size && words.size() <= 64; i++) {
        if (data[i] == 0) {
            words.back().push_back('\0');
            words.emplace_back();
        } else {
            words.back().push_back(static_cast<char>(data[i]));
        }
    }
    words.back().push_back('\0');
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const char *argv0_begin = argv[0];
    const char *argv0_end = argv[0] + words[0].size();

    board->reset_counters();
    int code = loader_main(board->window_address(), static_cast<int>(words.size()), argv.data());
    uint64_t accesses = board->counters().accesses;

    if (code < 0 || code > 35 || code == 1 || code == 11) fault("a result code the loader does not have", code);
    bool bad_command_line = code == 2 || code == 4 || code == 5;
    if (bad_command_line && accesses != 0) fault("a bad command line reached the board", code);
    if (accesses == 0 && !(bad_command_line || code == 0 || code == 3))
        fault("a board job ended without touching the board", code);
    if (program_name == nullptr ||
        (program_name != std::string("tavload") && (program_name < argv0_begin || program_name >= argv0_end)))
        fault("the program name does not point into argv[0]", code);
    return 0;
}
