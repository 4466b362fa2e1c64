// The BootData record: the contents of bootdata.rom, 32768 bytes written at offset 0 of the
// game flash. The loader reads six little-endian words of it; the rest is opaque.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "the BootData layout assumes little-endian words");

constexpr uint32_t BOOT_DATA_BYTES = 32768;

struct BootData {
    uint8_t opaque0[44];
    uint32_t boot_im_flsh0_longs;   // size of im_flsh0.rom in 32-bit words
    uint8_t opaque1[12];
    int32_t boot_game_id;           // game number of the update set
    int32_t boot_version_major;
    int32_t boot_version_minor;
    uint8_t opaque2[4];
    uint32_t boot_game_longs;       // size of game.rom in 32-bit words
    uint8_t opaque3[4];
    uint32_t boot_symbols_longs;    // size of symbols.rom in 32-bit words
    uint8_t opaque4[BOOT_DATA_BYTES - 88];
};

static_assert(sizeof(BootData) == BOOT_DATA_BYTES);
static_assert(offsetof(BootData, boot_im_flsh0_longs) == 44);
static_assert(offsetof(BootData, boot_game_id) == 60);
static_assert(offsetof(BootData, boot_version_major) == 64);
static_assert(offsetof(BootData, boot_version_minor) == 68);
static_assert(offsetof(BootData, boot_game_longs) == 76);
static_assert(offsetof(BootData, boot_symbols_longs) == 84);

// Where the parts of an update go in the game flash.
constexpr uint32_t GAME_IMAGES_OFFSET = BOOT_DATA_BYTES;   // images back to back from here
constexpr uint32_t TAVBOOT_OFFSET = 0x3F8000;              // last 32768 bytes of the 4 MB space
constexpr uint32_t TAVBOOT_BYTES = 32768;

// Bytes of the three game images that BootData declares, counted in 64 bits so that no word
// count can wrap. The images end at GAME_IMAGES_OFFSET plus this; a load accepts them only
// when that end lies at or below the information record.
inline uint64_t boot_data_image_bytes(const BootData *boot) {
    return 4ull * (static_cast<uint64_t>(boot->boot_im_flsh0_longs) + boot->boot_game_longs + boot->boot_symbols_longs);
}
