#include "tools/tavsim_common.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace tavsim {

bool parse_args(int argc, char **argv, int first, const std::set<std::string> &with_value,
                const std::set<std::string> &flags, Args *args, std::string *error) {
    for (int i = first; i < argc; i++) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            args->positional.push_back(arg);
            continue;
        }
        std::string name = arg;
        std::string value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        if (flags.count(name)) {
            if (has_value) {
                *error = "option " + name + " takes no value";
                return false;
            }
            args->flags.insert(name);
            continue;
        }
        if (!with_value.count(name)) {
            *error = "unknown option " + name;
            return false;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                *error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (args->values.count(name)) {
            *error = "option " + name + " given twice";
            return false;
        }
        args->values[name] = value;
    }
    return true;
}

void print_usage(bool to_stderr) {
    std::FILE *out = to_stderr ? stderr : stdout;
    std::fputs("usage: tavsim COMMAND [options] [FILE]\n"
               "  create [--game 4M|8M] [--game-block 32K|64K|128K] [--sound 256K|512K|1M|none]\n"
               "         [--absent] [--bus-cycle NS] [--force] [FILE]\n"
               "                                          make a fresh, erased board\n"
               "  info [FILE]                             fit, faults, information record, counters\n"
               "  export --game OUT | --sound OUT [FILE]  raw contents of one device\n"
               "  fault add KIND [--device game|sound] [--block N] [--offset HEX] [--mask HEX]\n"
               "            [--after N] [FILE]\n"
               "        KIND: erase-fail program-fail stuck vpp-low locked never-ready buffer-busy\n"
               "              absent power-cut kill (power-cut and kill take --after N)\n"
               "  fault list [FILE] | fault clear [FILE]\n"
               "  timing instant|datasheet|bus [--busy-reads N] [FILE]\n"
               "  counters [reset] [FILE]                 show the counters, or set them to zero\n"
               "  flip --device game|sound --offset HEX --mask HEX [FILE]\n"
               "                                          invert bits of one stored byte\n"
               "  power-cycle [FILE]                      switch the board off and on: both devices\n"
               "                                          back to read array, status 0x80, idle\n"
               "  make-update DIR GAME# [options]         write an update set\n"
               "FILE defaults to $TAV_HOME/board.img (TAV_HOME defaults to ~/.local/state/tav).\n",
               out);
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "tavsim: %s\n", message.c_str());
    print_usage(true);
    return kExitUsage;
}

std::string board_path(const Args &args, size_t positional_before) {
    if (args.positional.size() > positional_before) return args.positional[positional_before];
    return tavboard::Board::default_path();
}

std::unique_ptr<tavboard::Board> open_board(const Args &args, size_t positional_before, int *exit_code) {
    if (args.positional.size() > positional_before + 1) {
        *exit_code = usage_error("unexpected argument " + args.positional[positional_before + 1]);
        return nullptr;
    }
    std::string error;
    std::unique_ptr<tavboard::Board> board;
    if (args.positional.size() > positional_before) {
        board = tavboard::Board::open(args.positional[positional_before], &error);
    } else {
        board = tavboard::Board::open_or_create(tavboard::Board::default_path(), &error);
    }
    if (!board) {
        std::fprintf(stderr, "tavsim: %s\n", error.c_str());
        *exit_code = kExitFailure;
        return nullptr;
    }
    *exit_code = kExitOk;
    return board;
}

std::unique_ptr<tavboard::Board> open_board_of_plain_command(int argc, char **argv, int *exit_code) {
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {}, {}, &args, &error)) {
        *exit_code = usage_error(error);
        return nullptr;
    }
    return open_board(args, 0, exit_code);
}

bool parse_decimal(const std::string &text, uint64_t *value) {
    if (text.empty()) return false;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return parse_hex(text, value);
    char *end = nullptr;
    if (text[0] == '-' || text[0] == '+') return false;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (end == nullptr || *end != '\0') return false;
    *value = v;
    return true;
}

bool parse_hex(const std::string &text, uint64_t *value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 16) return false;
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    *value = std::strtoull(digits.c_str(), nullptr, 16);
    return true;
}

namespace {
struct KindName {
    tavboard::FaultKind kind;
    const char *name;
};
const KindName kKinds[] = {
    {tavboard::FaultKind::erase_fail, "erase-fail"},   {tavboard::FaultKind::program_fail, "program-fail"},
    {tavboard::FaultKind::stuck, "stuck"},             {tavboard::FaultKind::vpp_low, "vpp-low"},
    {tavboard::FaultKind::locked, "locked"},           {tavboard::FaultKind::never_ready, "never-ready"},
    {tavboard::FaultKind::buffer_busy, "buffer-busy"}, {tavboard::FaultKind::absent, "absent"},
    {tavboard::FaultKind::power_cut, "power-cut"},     {tavboard::FaultKind::kill, "kill"},
};
}  // namespace

const char *fault_kind_name(tavboard::FaultKind kind) {
    for (const KindName &k : kKinds)
        if (k.kind == kind) return k.name;
    return "unknown";
}

bool fault_kind_from_name(const std::string &name, tavboard::FaultKind *kind) {
    for (const KindName &k : kKinds) {
        if (name == k.name) {
            *kind = k.kind;
            return true;
        }
    }
    return false;
}

std::string describe_fault(const tavboard::Fault &f) {
    char text[160];
    if (f.kind == tavboard::FaultKind::power_cut || f.kind == tavboard::FaultKind::kill) {
        std::snprintf(text, sizeof text, "%s after %llu bus accesses", fault_kind_name(f.kind),
                      (unsigned long long)f.after);
        return text;
    }
    std::string s = std::string(fault_kind_name(f.kind)) + " " + (f.device == tavboard::Device::game ? "game" : "sound");
    if (f.block >= 0) s += " block " + std::to_string(f.block);
    if (f.offset >= 0) {
        std::snprintf(text, sizeof text, " offset 0x%llx", (unsigned long long)f.offset);
        s += text;
    }
    if (f.kind == tavboard::FaultKind::stuck) {
        std::snprintf(text, sizeof text, " mask 0x%02x", f.mask);
        s += text;
    }
    if (f.block < 0 && f.offset < 0) s += " (whole device)";
    return s;
}

}  // namespace tavsim
