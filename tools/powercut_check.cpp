// What a load of an update set leaves on the board, and the check that a board which reads
// as loaded holds exactly what its information record says.
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "loader/tav_info.h"
#include "tools/sweep.h"

namespace tavsweep {

namespace {

constexpr uint32_t kSoundBytes = 0x100000, kBootDataBytes = 32768;

// 32-bit sum of the little-endian words of data (trailing bytes left out).
uint32_t word_sum(const uint8_t *data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= length; i += 4)
        sum += data[i] | data[i + 1] << 8 | data[i + 2] << 16 | uint32_t(data[i + 3]) << 24;
    return sum;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// Where `have` differs from `want` in [from, to): "<what> byte 0x.. is 0x.., the update set
// has 0x..", or empty.
std::string first_difference(const char *what, const uint8_t *have, const uint8_t *want, uint32_t from, uint32_t to) {
    if (std::memcmp(have + from, want + from, to - from) == 0) return "";
    while (have[from] == want[from]) from++;
    return std::string(what) + " byte " + hex(from) + " is " + hex(have[from]) + ", the update set has " +
           hex(want[from]);
}

}  // namespace

ExpectedImage expected_image(const tavtools::UpdateSetOptions &set, uint32_t game_block) {
    using tavtools::UpdateFile;
    ExpectedImage image;
    image.game_id = set.game_number;
    image.info_offset = kSpace0Bytes - game_block;
    image.game.assign(kSpace0Bytes, 0xFF);
    std::vector<uint8_t> boot = tavtools::update_file_bytes(set, UpdateFile::bootdata);
    boot.resize(kBootDataBytes);
    std::memcpy(image.game.data(), boot.data(), boot.size());
    uint32_t at = kBootDataBytes;
    for (UpdateFile file : {UpdateFile::im_flsh0, UpdateFile::game, UpdateFile::symbols}) {
        std::vector<uint8_t> bytes = tavtools::update_file_bytes(set, file);
        std::memcpy(image.game.data() + at, bytes.data(), bytes.size());
        at += uint32_t(bytes.size());
    }
    std::vector<uint8_t> tavboot = tavtools::update_file_bytes(set, UpdateFile::tavboot);
    std::memset(image.game.data() + kTavbootOffset, 0, kSpace0Bytes - kTavbootOffset);
    std::memcpy(image.game.data() + kTavbootOffset, tavboot.data(), tavboot.size());
    image.sound = tavtools::update_file_bytes(set, UpdateFile::sound);
    image.sound.resize(kSoundBytes, 0xFF);
    return image;
}

std::string check_loaded_board(const tavboard::Board &board, const ExpectedImage &want, bool sound_on_space1) {
    const uint8_t *game = board.data(tavboard::Device::game);
    if (game == nullptr) return "the board has no game flash";
    const uint8_t *sound = sound_on_space1 ? game + kSpace0Bytes : board.data(tavboard::Device::sound);
    if (sound == nullptr) return "the board has no sound flash";
    TAVInfo r;
    std::memcpy(&r, game + want.info_offset, sizeof r);

    // The record itself: valid, and about the load that was asked for.
    if (r.tav_info_size != 64) return "record size is " + std::to_string(r.tav_info_size) + ", not 64";
    uint32_t record_sum = word_sum(game + want.info_offset, sizeof r);
    if (record_sum != 0) return "record words sum to " + hex(record_sum) + ", not 0";
    if (uint32_t(r.game_id) != want.game_id)
        return "record names game " + std::to_string(r.game_id) + ", the board holds " + std::to_string(want.game_id);

    // Its sizes and checksums against what the board holds.
    uint32_t game_size = r.game_size, sound_size = r.sound_size;
    if (game_size > want.info_offset) return "record game_size " + std::to_string(game_size) + " runs into the record";
    if (sound_size != kSoundBytes) return "record sound_size " + std::to_string(sound_size) + ", not 1048576";
    for (auto [name, data, size, sum] : {std::tuple("game", game, game_size, r.game_checksum),
                                         std::tuple("sound", sound, sound_size, r.sound_checksum)})
        if (word_sum(data, size) != sum)
            return std::string("record ") + name + "_checksum " + hex(sum) + " but the first " + std::to_string(size) +
                   " bytes of the " + name + " flash sum to " + hex(word_sum(data, size));

    // And the contents are exactly the update set's.
    std::string problem = first_difference("game flash", game, want.game.data(), 0, want.info_offset);
    if (problem.empty())
        problem = first_difference("game flash", game, want.game.data(), want.info_offset + 256, kSpace0Bytes);
    return problem.empty() ? first_difference("sound flash", sound, want.sound.data(), 0, kSoundBytes) : problem;
}

}  // namespace tavsweep
