// Generator of update sets: the six files a load reads (bootdata.rom, im_flsh0.rom,
// game.rom, symbols.rom, sf.rom, tavboot.rom) with deterministic pseudo-random contents,
// consistent with each other unless a test asks for a fault.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavtools {

// Where the game flash layout puts its limits.
constexpr uint32_t kBootDataBytes = 32768;
constexpr uint32_t kSoundImageBytes = 1048576;
constexpr uint32_t kTavbootBytes = 32768;
// Images start behind BootData and must end below the information record, which lies at
// the start of the last erase block: 4 MB - 128 KB with the largest blocks.
constexpr uint32_t kImagesOffset = kBootDataBytes;
constexpr uint32_t kImagesEnd = (4u << 20) - (128u << 10);

// BootData word offsets.
constexpr uint32_t kBootImFlsh0Longs = 44;
constexpr uint32_t kBootGameId = 60;
constexpr uint32_t kBootVersionMajor = 64;
constexpr uint32_t kBootVersionMinor = 68;
constexpr uint32_t kBootGameLongs = 76;
constexpr uint32_t kBootSymbolsLongs = 84;

enum class UpdateFile { bootdata, im_flsh0, game, symbols, sound, tavboot };

struct UpdateSetOptions {
    uint32_t game_number = 40215;
    int32_t version_major = 1;
    int32_t version_minor = 0;
    // Image sizes in bytes; the defaults fill about 80 % of the room below the record and
    // end inside a chunk, so the last read of each image is a short one.
    uint32_t im_flsh0_bytes = 300004;
    uint32_t game_bytes = 2500000;
    uint32_t symbols_bytes = 500000;
    uint32_t tavboot_bytes = kTavbootBytes;
    bool sound = true;   // write sf.rom
    uint64_t seed = 1;
    std::string prefix;  // put in front of every file name

    // Faults for tests; a set with any of them is written without the consistency checks.
    bool unchecked = false;                          // skip the checks (e.g. images that do not fit)
    uint32_t sound_bytes = kSoundImageBytes;         // size of sf.rom
    uint32_t sound_period = 0;                       // >0: sf.rom repeats its first sound_period bytes
    uint32_t bootdata_bytes = kBootDataBytes;        // size of bootdata.rom
    std::optional<int32_t> bootdata_game_id;         // game number inside BootData if not game_number
    std::optional<uint32_t> declared_im_flsh0_longs; // word counts inside BootData if not the sizes / 4
    std::optional<uint32_t> declared_game_longs;
    std::optional<uint32_t> declared_symbols_longs;
};

// The base name of a file of the set ("bootdata.rom", ...), without prefix.
const char *update_file_base(UpdateFile file);

// Empty when the options describe a set a load accepts on a 4 MB board with any erase
// block size it supports; else what is wrong.
std::string check_update_set(const UpdateSetOptions &options);

// The contents of one file of the set.
std::vector<uint8_t> update_file_bytes(const UpdateSetOptions &options, UpdateFile file);

// Writes the set into dir (created when missing). Without `unchecked`, refuses options that
// check_update_set rejects. false with *error on failure.
bool write_update_set(const std::string &dir, const UpdateSetOptions &options, std::string *error);

}  // namespace tavtools
