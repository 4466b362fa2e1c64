// Shared pieces of the tavsim subcommands: option parsing, usage errors and opening the
// board file.
#pragma once

#include "board/model.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tavsim {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the board cannot be opened, or the work failed
constexpr int kExitUsage = 2;

struct Args {
    std::map<std::string, std::string> values;  // "--name" -> value
    std::set<std::string> flags;                // "--name" given without a value
    std::vector<std::string> positional;
};

// Parses argv[first..argc): options in `with_value` take a value (as "--x V" or "--x=V"),
// options in `flags` take none; anything else starting with "--" is an error. true ok;
// false with *error set.
bool parse_args(int argc, char **argv, int first, const std::set<std::string> &with_value,
                const std::set<std::string> &flags, Args *args, std::string *error);

// Prints "tavsim: MESSAGE" and the usage text to standard error; returns kExitUsage.
int usage_error(const std::string &message);
void print_usage(bool to_stderr);

// The board file named by the single optional positional argument (the default board when
// none is given; that one is made on first use). On failure prints the reason and returns
// null. More than one positional argument is a usage error: *exit_code is set either way.
std::unique_ptr<tavboard::Board> open_board(const Args &args, size_t positional_before, int *exit_code);
// For the subcommands that take no option and at most the board file: parses argv[1..argc)
// and opens the board as open_board does. Null with *exit_code set on a usage error or when
// the board cannot be opened (the reason printed).
std::unique_ptr<tavboard::Board> open_board_of_plain_command(int argc, char **argv, int *exit_code);
// The file argument, or the default board path.
std::string board_path(const Args &args, size_t positional_before);

// Numbers: decimal (or 0x-prefixed) and hexadecimal (with or without 0x). true ok.
bool parse_decimal(const std::string &text, uint64_t *value);
bool parse_hex(const std::string &text, uint64_t *value);

const char *fault_kind_name(tavboard::FaultKind kind);
bool fault_kind_from_name(const std::string &name, tavboard::FaultKind *kind);
std::string describe_fault(const tavboard::Fault &fault);

// The timing line of info and timing ("timing: ..."), and the counter lines of info and
// counters: each counter, then the board time of the bus timing (when that timing is set or
// has run since the counters were reset), the command bytes and the erases per block.
void print_timing(const tavboard::Board &board);
void print_counters(const tavboard::Board &board);

}  // namespace tavsim

// Subcommands: argv[0] is the subcommand's name; each returns the exit status.
int tavsim_create(int argc, char **argv);
int tavsim_info(int argc, char **argv);
int tavsim_export(int argc, char **argv);
int tavsim_fault(int argc, char **argv);
int tavsim_timing(int argc, char **argv);
int tavsim_counters(int argc, char **argv);
int tavsim_flip(int argc, char **argv);
int tavsim_power_cycle(int argc, char **argv);
