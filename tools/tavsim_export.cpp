// tavsim export: the raw contents of one device.
#include "tools/tavsim_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int tavsim_export(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {"--game", "--sound"}, {}, &args, &error)) return usage_error(error);
    bool game = args.values.count("--game") != 0;
    bool sound = args.values.count("--sound") != 0;
    if (game == sound) return usage_error("export needs exactly one of --game OUT and --sound OUT");
    int exit_code;
    auto board = open_board(args, 0, &exit_code);
    if (!board) return exit_code;
    tavboard::Device device = game ? tavboard::Device::game : tavboard::Device::sound;
    const std::string &out_path = args.values[game ? "--game" : "--sound"];
    const uint8_t *data = board->data(device);
    if (data == nullptr) {
        std::fprintf(stderr, "tavsim: the board has no %s flash\n", game ? "game" : "sound");
        return kExitFailure;
    }
    uint32_t size = board->device_size(device);
    std::FILE *out = std::fopen(out_path.c_str(), "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "tavsim: cannot create %s: %s\n", out_path.c_str(), std::strerror(errno));
        return kExitFailure;
    }
    bool ok = std::fwrite(data, 1, size, out) == size;
    ok = std::fclose(out) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "tavsim: cannot write %s: %s\n", out_path.c_str(), std::strerror(errno));
        return kExitFailure;
    }
    std::printf("wrote %u bytes of %s flash to %s\n", size, game ? "game" : "sound", out_path.c_str());
    return kExitOk;
}
