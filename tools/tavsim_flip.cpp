// tavsim flip: inverts bits of one stored byte of a device, as decayed or disturbed cells
// would, without any bus cycle: the way to damage a loaded board for a verify.
#include "board/board_file.h"
#include "tools/tavsim_common.h"

#include <cstdio>

int tavsim_flip(int argc, char **argv) {
    using namespace tavsim;
    Args args;
    std::string error;
    if (!parse_args(argc, argv, 1, {"--device", "--offset", "--mask"}, {}, &args, &error)) return usage_error(error);
    if (!args.values.count("--device") || !args.values.count("--offset") || !args.values.count("--mask"))
        return usage_error("flip needs --device game|sound, --offset HEX and --mask HEX");
    const std::string &device = args.values["--device"];
    if (device != "game" && device != "sound") return usage_error("--device takes game or sound, not " + device);
    uint64_t offset, mask;
    if (!parse_hex(args.values["--offset"], &offset))
        return usage_error("--offset takes a hexadecimal device offset, not " + args.values["--offset"]);
    if (!parse_hex(args.values["--mask"], &mask) || mask == 0 || mask > 0xFF)
        return usage_error("--mask takes a hexadecimal bit mask from 01 to ff, not " + args.values["--mask"]);
    if (args.positional.size() > 1) return usage_error("unexpected argument " + args.positional[1]);

    tavboard::BoardFile file;
    std::string path = board_path(args, 0);
    if (!file.open(path, &error)) {
        std::fprintf(stderr, "tavsim: %s\n", error.c_str());
        return kExitFailure;
    }
    bool game = device == "game";
    uint32_t size = game ? file.header()->game_size : file.header()->sound_size;
    if (size == 0) {
        std::fprintf(stderr, "tavsim: the board has no sound flash\n");
        return kExitFailure;
    }
    if (offset >= size) {
        std::fprintf(stderr, "tavsim: offset 0x%llx is beyond the %s flash (0x%x bytes)\n",
                     static_cast<unsigned long long>(offset), device.c_str(), size);
        return kExitFailure;
    }
    uint8_t *byte = (game ? file.game_data() : file.sound_data()) + offset;
    uint8_t before = *byte;
    *byte = uint8_t(before ^ mask);
    std::printf("%s flash offset 0x%llx: 0x%02x -> 0x%02x\n", device.c_str(), static_cast<unsigned long long>(offset),
                before, *byte);
    return kExitOk;
}
