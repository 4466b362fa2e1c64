// `tavsim make-update DIR GAME# [options]`: writes a consistent update set.
#include "tools/tavsim_make_update.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/update_set.h"

namespace {

const char kUsage[] =
    "usage: tavsim make-update DIR GAME# [--version M.m] [--im-flsh0 BYTES] [--game BYTES]\n"
    "                          [--symbols BYTES] [--tavboot BYTES] [--no-sound] [--seed N]\n"
    "  Writes bootdata.rom, im_flsh0.rom, game.rom, symbols.rom, tavboot.rom and (unless\n"
    "  --no-sound) a 1048576-byte sf.rom into DIR, with contents drawn from the seed.\n"
    "  Image sizes are multiples of 4 and must end below 4 MB - 128 KB from offset 32768.\n";

int usage_error(const std::string &message) {
    std::fprintf(stderr, "tavsim make-update: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// A whole decimal number that fits `max`.
bool parse_number(const char *text, uint64_t max, uint64_t *value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

bool parse_version(const char *text, int32_t *major, int32_t *minor) {
    const char *dot = text != nullptr ? std::strchr(text, '.') : nullptr;
    if (dot == nullptr) return false;
    std::string left(text, dot);
    uint64_t a = 0;
    uint64_t b = 0;
    if (!parse_number(left.c_str(), 0x7FFFFFFF, &a) || !parse_number(dot + 1, 0x7FFFFFFF, &b)) return false;
    *major = static_cast<int32_t>(a);
    *minor = static_cast<int32_t>(b);
    return true;
}

}  // namespace

int tavsim_make_update(int argc, char **argv) {
    tavtools::UpdateSetOptions options;
    const char *positional[2] = {nullptr, nullptr};
    int positional_count = 0;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--no-sound") {
            options.sound = false;
            continue;
        }
        if (arg.rfind("--", 0) == 0) {
            std::string name = arg;
            const char *value = nullptr;
            std::string inline_value;
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                inline_value = arg.substr(eq + 1);
                value = inline_value.c_str();
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return usage_error(name + " needs a value");
            }
            uint64_t number = 0;
            if (name == "--version") {
                if (!parse_version(value, &options.version_major, &options.version_minor)) {
                    return usage_error("bad version '" + std::string(value) + "' (expected M.m)");
                }
            } else if (name == "--seed") {
                if (!parse_number(value, UINT64_MAX, &number)) return usage_error("bad seed '" + std::string(value) + "'");
                options.seed = number;
            } else if (name == "--im-flsh0" || name == "--game" || name == "--symbols" || name == "--tavboot") {
                if (!parse_number(value, 0xFFFFFFFFu, &number)) {
                    return usage_error("bad byte count '" + std::string(value) + "' for " + name);
                }
                uint32_t bytes = static_cast<uint32_t>(number);
                if (name == "--im-flsh0") options.im_flsh0_bytes = bytes;
                if (name == "--game") options.game_bytes = bytes;
                if (name == "--symbols") options.symbols_bytes = bytes;
                if (name == "--tavboot") options.tavboot_bytes = bytes;
            } else {
                return usage_error("unknown option " + name);
            }
            continue;
        }
        if (positional_count == 2) return usage_error("unexpected argument '" + arg + "'");
        positional[positional_count++] = argv[i];
    }
    if (positional_count != 2) return usage_error("DIR and GAME# are required");

    uint64_t game = 0;
    if (!parse_number(positional[1], 0x7FFFFFFF, &game)) {
        return usage_error("bad GAME# '" + std::string(positional[1]) + "'");
    }
    options.game_number = static_cast<uint32_t>(game);

    std::string problem = tavtools::check_update_set(options);
    if (!problem.empty()) return usage_error(problem);

    std::string error;
    if (!tavtools::write_update_set(positional[0], options, &error)) {
        std::fprintf(stderr, "tavsim make-update: %s\n", error.c_str());
        return 1;
    }
    std::printf("update set for game %lu V%ld.%ld in %s: im_flsh0.rom %lu, game.rom %lu, symbols.rom %lu, "
                "tavboot.rom %lu bytes%s\n",
                static_cast<unsigned long>(options.game_number), static_cast<long>(options.version_major),
                static_cast<long>(options.version_minor), positional[0],
                static_cast<unsigned long>(options.im_flsh0_bytes), static_cast<unsigned long>(options.game_bytes),
                static_cast<unsigned long>(options.symbols_bytes), static_cast<unsigned long>(options.tavboot_bytes),
                options.sound ? ", sf.rom 1048576 bytes" : ", no sf.rom");
    return 0;
}
