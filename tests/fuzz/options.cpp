// Fuzz target: argument vectors (split at NUL bytes) into loader_main, a small model board behind
// the window and no update file near. Checks: every result code is one the loader has; a bad
// command line (2, 4, 5) never touches the board, a board job always does; the program name
// points into argv[0].
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "board/model.h"
#include "flash/ticks.h"
#include "loader/loader.h"
#include "tests/fuzz/fault.h"

static std::unique_ptr<tavboard::Board> board;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string folder = (std::filesystem::temp_directory_path() / "tav-fuzz-options-XXXXXX").string(), error;
    int null = open("/dev/null", O_RDONLY);   // -ask waits for ENTER: standard input at its end
    if (mkdtemp(folder.data()) == nullptr || chdir(folder.c_str()) != 0 || null < 0 || dup2(null, 0) < 0) std::abort();
    board = tavboard::Board::create(folder + "/board.img", {.sound_size = 256u << 10}, true, &error);
    if (board == nullptr) std::abort();
    tavboard::attach(*board);
    tick_clock_hold();
    board->set_status_read_hook([] { tick_clock_advance(1); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words(1);   // each word in its own buffer: argv[0] is shortened in place
    for (size_t i = 0; i < size && words.size() <= 64; i++) {
        if (data[i] == 0) words.emplace_back();
        else words.back() += static_cast<char>(data[i]);
    }
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    board->reset_counters();
    int code = loader_main(board->window_address(), static_cast<int>(words.size()), argv.data());
    bool touched = board->counters().accesses != 0;
    bool bad_command_line = code == 2 || code == 4 || code == 5;
    fuzz_check(code >= 0 && code <= 35 && code != 1 && code != 11, "a result code the loader does not have", code);
    fuzz_check(!bad_command_line || !touched, "a bad command line reached the board", code);
    fuzz_check(touched || bad_command_line || code == 0 || code == 3, "a board job left the board alone", code);
    const char *argv0 = words[0].data();   // argv[0]; the name may also be its terminating zero
    bool in_argv0 = program_name != nullptr && program_name >= argv0 && program_name <= argv0 + words[0].size();
    fuzz_check(in_argv0 || (program_name != nullptr && program_name == std::string("tavload")),
               "the program name does not point into argv[0]", code);
    return 0;
}
